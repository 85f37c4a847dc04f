// The volume handle record and the cluster I/O beneath the attribute layer:
// geometry, cluster reads through the read-ahead window, and the volume log.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "../../platform/win32.h"

struct NtfsFile;
struct NtfsAttribute;
struct BitmapMarks;
struct LogAhead;

constexpr uint32_t NTFS_VOLUME_TAG = 0x564F4C55; // "VOLU"
constexpr uint32_t VOLUME_FLAG_RECORDING = 1;
constexpr uint32_t ReadAheadBytes = 65536;
// A ".idx" entry: the number of the cluster stored at the same position of
// the ".dat" file, 8 bytes little-endian.
constexpr uint32_t LogEntrySize = 8;

struct NtfsVolume {
    uint32_t Tag;
    HANDLE NtVolumeHandle;          // the device; INVALID_HANDLE_VALUE in replay
    uint32_t DeviceSectorSize;      // reads of the device are aligned to it
    uint32_t BytesPerSector;
    uint32_t SectorsPerCluster;
    uint32_t BytesPerCluster;
    uint64_t TotalClusters;
    uint64_t MftLcn;
    uint8_t SerialNumber[8];        // boot-sector order
    uint8_t MajorVersion;
    uint8_t MinorVersion;
    NtfsFile* Volume$;              // file 3, owned
    NtfsAttribute* Volume_Information$; // owned by Volume$
    NtfsFile* Mft$;                 // file 0, owned
    NtfsAttribute* Mft_Data$;       // owned by Mft$
    NtfsAttribute* Mft_Bitmap$;     // owned by Mft$
    uint32_t Flags;                 // VOLUME_FLAG_RECORDING
    HANDLE AccessedClusterBitmap;   // ".bmp", recording only
    // Recording: the clusters the ".bmp" covers. TotalClusters, unless the
    // device is shorter: clusters past its end can never be read, and a
    // damaged boot sector claiming billions of clusters must not make the
    // run write (and the dump walk) a bitmap for all of them.
    uint64_t LoggedClusters;
    BitmapMarks* Marks;             // recording: the marks in the ".bmp", owned
    HANDLE AccessedClusterData;     // ".dat"
    HANDLE AccessedClusterIndex;    // ".idx"
    uint64_t* ClusterTable;         // replay: the loaded ".idx"
    uint32_t ClusterTableCount;
    // Device read-ahead: once small reads run in sequence, a window of the
    // clusters that follow is read at once, so that reading a file cluster by
    // cluster does not cost a device request per cluster; scattered reads
    // (index blocks, records) go straight to the device. Only what a caller
    // asks for is ever marked in the bitmap.
    uint8_t* ReadAhead;             // owned, ReadAheadBytes long, or null
    uint64_t ReadAheadLcn;
    uint32_t ReadAheadClusters;     // valid clusters in the window; 0 when empty
    uint64_t LastReadStart;         // the last small read: its first cluster
    uint64_t LastReadEnd;           // and the cluster after it
    LogAhead* Ahead;                // recording: the log written ahead of a read, owned, or null
};
static_assert(std::is_trivially_copyable_v<NtfsVolume>);

bool NtfsVolume_IsValid(const NtfsVolume* VolumeHandle);

uint32_t NtfsVolume_GetBytesPerSector(NtfsVolume* Volume);
uint32_t NtfsVolume_GetBytesPerCluster(NtfsVolume* Volume);
uint64_t NtfsVolume_GetMftLcn(NtfsVolume* Volume);
uint64_t NtfsVolume_ClustersToBytes(NtfsVolume* Volume, uint64_t Clusters);
uint64_t NtfsVolume_BytesToClusters(NtfsVolume* Volume, uint64_t Bytes);

DWORD NtfsVolume_ReadClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer);
DWORD NtfsVolume_ReadAndDropClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count);
DWORD NtfsVolume_CopyClustersToFile(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, HANDLE File, bool* WriteFailed);
DWORD NtfsVolume_FinishCopies(HANDLE File);
DWORD NtfsVolume_ReadLoggedCluster(NtfsVolume* Volume, uint64_t Lcn, void* Buffer);
int NtfsVolume_CompareLcn(const void* Lcn1, const void* Lcn2);
DWORD NtfsVolume_DumpLog(NtfsVolume* Volume);

// Clusters Lcn to Lcn + Count - 1.
struct ClusterRun {
    uint64_t Lcn;
    uint64_t Count;
};
// Whether a recording run can still write its log ahead of a read.
bool NtfsVolume_CanLogAhead(const NtfsVolume* Volume);
void NtfsVolume_LogAhead(NtfsVolume* Volume, std::vector<ClusterRun>* Runs);
