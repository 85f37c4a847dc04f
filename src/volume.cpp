#include "volume.h"

#include <algorithm>
#include <cstring>

#include "../platform/console.h"
#include "../platform/device.h"
#include "attr.h"
#include "file.h"
#include "ntfstool.h"

namespace {

constexpr uint8_t NtfsOemId[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
constexpr uint32_t LogEntrySize = 8;

// Closes what the handle owns, in the order system files, device, ".bmp",
// ".idx", ".dat", cluster table, then clears and frees the record. A failed
// close is an internal fault: the handles were opened by us.
void ReleaseVolume(NtfsVolume* TmpVolumeHandle)
{
    if (TmpVolumeHandle->Volume$ != nullptr)
        NtfsFile_Close(TmpVolumeHandle->Volume$);
    if (TmpVolumeHandle->Mft$ != nullptr)
        NtfsFile_Close(TmpVolumeHandle->Mft$);
    if (TmpVolumeHandle->NtVolumeHandle != INVALID_HANDLE_VALUE)
        NTFS_ASSERT(CloseHandle(TmpVolumeHandle->NtVolumeHandle));
    if (TmpVolumeHandle->AccessedClusterBitmap != INVALID_HANDLE_VALUE)
        NTFS_ASSERT(CloseHandle(TmpVolumeHandle->AccessedClusterBitmap));
    if (TmpVolumeHandle->AccessedClusterIndex != INVALID_HANDLE_VALUE)
        NTFS_ASSERT(CloseHandle(TmpVolumeHandle->AccessedClusterIndex));
    if (TmpVolumeHandle->AccessedClusterData != INVALID_HANDLE_VALUE)
        NTFS_ASSERT(CloseHandle(TmpVolumeHandle->AccessedClusterData));
    if (TmpVolumeHandle->ClusterTable != nullptr)
        HeapFree(GetProcessHeap(), 0, TmpVolumeHandle->ClusterTable);
    if (TmpVolumeHandle->ReadAhead != nullptr)
        HeapFree(GetProcessHeap(), 0, TmpVolumeHandle->ReadAhead);
    BitmapMarks_Free(TmpVolumeHandle->Marks);
    FreeRecord(TmpVolumeHandle, sizeof(NtfsVolume));
}

using VolumeHolder = RecordHolder<NtfsVolume, ReleaseVolume>;


// Builds "<base><extension>" in a heap buffer of (length of base + 5) wide
// characters.
bool BuildLogName(const char16_t* Base, const char16_t* Extension, HeapBuffer* Name)
{
    size_t Length = 0;
    while (Base[Length] != 0)
        Length++;
    if (!Name->Allocate((Length + 5) * sizeof(char16_t)))
        return false;
    char16_t* Text = reinterpret_cast<char16_t*>(Name->Get());
    memcpy(Text, Base, Length * sizeof(char16_t));
    memcpy(Text + Length, Extension, 5 * sizeof(char16_t));
    return true;
}

// Reads the 512-byte boot sector from the start of File, whose reads must be
// aligned to SectorSize (a 4096-byte-sector disk reads a whole sector).
DWORD ReadBootSector(HANDLE File, DWORD SectorSize, uint8_t* Sector)
{
    DWORD Done = 0;
    if (!Device_ReadAt(File, 0, Sector, BootSectorSize, SectorSize, &Done))
        return LastErrorOfFailedCall();
    if (Done < BootSectorSize)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

// Checks the OEM identifier and takes the geometry from the boot sector.
DWORD TakeGeometry(NtfsVolume* Volume, const uint8_t* Sector)
{
    LeReader Boot(Sector, BootSectorSize);
    if (memcmp(Boot.Bytes(BootOemIdOffset, 8), NtfsOemId, 8) != 0)
        return ERROR_UNRECOGNIZED_VOLUME;
    Volume->BytesPerSector = Boot.U16(BootBytesPerSectorOffset);
    Volume->SectorsPerCluster = Boot.U8(BootSectorsPerClusterOffset);
    if (Volume->SectorsPerCluster == 0)
        return ERROR_INVALID_DATA;
    Volume->TotalClusters = Boot.U64(BootTotalSectorsOffset) / Volume->SectorsPerCluster;
    Volume->MftLcn = Boot.U64(BootMftLcnOffset);
    Volume->BytesPerCluster = Volume->BytesPerSector * Volume->SectorsPerCluster;
    memcpy(Volume->SerialNumber, Boot.Bytes(BootSerialNumberOffset, 8), 8);
    return ERROR_SUCCESS;
}

bool IsClusterSize(uint64_t Size)
{
    for (uint64_t Allowed = 512; Allowed <= 65536; Allowed *= 2)
        if (Size == Allowed)
            return true;
    return false;
}

DWORD CheckGeometry(const NtfsVolume* Volume)
{
    if (!IsClusterSize(Volume->BytesPerCluster))
        return ERROR_INVALID_DATA;
    if (Volume->BytesPerSector != 512)
        return ERROR_INVALID_DATA;
    if (Volume->TotalClusters == 0)
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

// Reads the scratch bitmap a block at a time for the dump's walk over every
// cluster: one one-byte read per cluster would cost a system call per
// cluster, minutes on a volume of terabytes. The answers, and the error of a
// bitmap shorter than the walk, are those of BitmapFile_TestBit.
class BitmapBlocks {
public:
    explicit BitmapBlocks(HANDLE File) : File_(File) {}

    // Byte Index of the bitmap, cluster Index * 8 in bit 0.
    DWORD Byte(uint64_t Index, uint8_t* Value)
    {
        if (Index < Start_ || Index - Start_ >= Valid_) {
            DWORD Error = Fill(Index);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        *Value = Block_[Index - Start_];
        return ERROR_SUCCESS;
    }

private:
    DWORD Fill(uint64_t Byte)
    {
        Start_ = Byte;
        Valid_ = 0;
        DWORD Error = SetFilePosition(File_, Byte);
        if (Error != ERROR_SUCCESS)
            return Error;
        DWORD Done = 0;
        if (!ReadFile(File_, Block_, sizeof(Block_), &Done, nullptr))
            return LastErrorOfFailedCall();
        if (Done == 0)
            return ERROR_READ_FAULT;
        Valid_ = Done;
        return ERROR_SUCCESS;
    }

    HANDLE File_;
    uint8_t Block_[65536];
    uint64_t Start_ = 0;
    uint64_t Valid_ = 0;
};

// A volume log is two regular files. A FIFO or a device cannot hold one (a
// FIFO would also block the first read), so anything else is refused before
// it is read, as a log that is not valid.
DWORD CheckLogFile(HANDLE File)
{
    if (GetFileType(File) == FILE_TYPE_DISK)
        return ERROR_SUCCESS;
    DWORD Error = GetLastError();
    return Error != ERROR_SUCCESS ? Error : ERROR_INVALID_DATA;
}

// Reads the Count entries of the ".idx" file into Table with one read, or,
// without a table, walks them a block at a time. Entries are little-endian on
// disk and become native in place; they must ascend strictly from cluster 0
// (whose first sector is the boot sector), since the binary search needs them
// sorted: an index out of order is refused rather than half-searched.
DWORD ReadClusterIndex(HANDLE File, uint32_t Count, uint8_t* Table)
{
    uint8_t Block[65536];
    uint64_t Previous = 0;
    for (uint32_t First = 0; First < Count;) {
        uint32_t InBlock = Table != nullptr ? Count : std::min<uint32_t>(Count - First, sizeof(Block) / LogEntrySize);
        uint8_t* Bytes = Table != nullptr ? Table : Block;
        DWORD Done = 0;
        if (!ReadFile(File, Bytes, InBlock * LogEntrySize, &Done, nullptr))
            return LastErrorOfFailedCall();
        if (Done < InBlock * LogEntrySize)
            return ERROR_READ_FAULT;
        LeReader Entries(Bytes, Done);
        for (uint32_t i = 0; i < InBlock; i++, First++) {
            uint64_t Lcn = Entries.U64(static_cast<size_t>(i) * LogEntrySize);
            if (First == 0 ? Lcn != 0 : Lcn <= Previous)
                return ERROR_INVALID_DATA;
            if (Table != nullptr)
                reinterpret_cast<uint64_t*>(Table)[i] = Lcn;
            Previous = Lcn;
        }
    }
    return ERROR_SUCCESS;
}

// Replay: loads the ".idx" file into the cluster table and takes the geometry
// from the boot sector at the start of the ".dat" file. The log's cluster size
// is implied by the two file sizes and must match the boot sector's.
DWORD OpenReplay(NtfsVolume* Volume)
{
    DWORD Error = CheckLogFile(Volume->AccessedClusterIndex);
    if (Error != ERROR_SUCCESS)
        return Error;
    Error = CheckLogFile(Volume->AccessedClusterData);
    if (Error != ERROR_SUCCESS)
        return Error;
    LARGE_INTEGER IndexSize;
    LARGE_INTEGER DataSize;
    if (!GetFileSizeEx(Volume->AccessedClusterIndex, &IndexSize))
        return LastErrorOfFailedCall();
    if (!GetFileSizeEx(Volume->AccessedClusterData, &DataSize))
        return LastErrorOfFailedCall();
    uint64_t IndexBytes = static_cast<uint64_t>(IndexSize.QuadPart);
    uint64_t DataBytes = static_cast<uint64_t>(DataSize.QuadPart);
    if ((IndexBytes >> 32) != 0)
        return ERROR_INVALID_DATA;
    if (IndexBytes < LogEntrySize)
        return ERROR_INVALID_DATA;
    uint64_t LogClusterSize = DataBytes / IndexBytes * LogEntrySize;

    // Only sizes that a valid log can have get a table, which is then at most
    // 1/64 of the ".dat" size: a huge ".idx" beside a small ".dat" costs no
    // memory. Such a log is refused all the same, after the checks below, so it
    // gets the error it would have got with its table loaded.
    bool SizesFit = IsClusterSize(LogClusterSize);
    uint32_t Count = static_cast<uint32_t>(IndexBytes / LogEntrySize);
    HeapBuffer Table;
    if (SizesFit && !Table.Allocate(static_cast<size_t>(Count) * LogEntrySize))
        return ERROR_OUTOFMEMORY;
    Error = ReadClusterIndex(Volume->AccessedClusterIndex, Count, Table.Get());
    if (Error != ERROR_SUCCESS)
        return Error;

    uint8_t Sector[BootSectorSize];
    Error = ReadBootSector(Volume->AccessedClusterData, 1, Sector);
    if (Error != ERROR_SUCCESS)
        return Error;
    Error = TakeGeometry(Volume, Sector);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (Volume->BytesPerCluster != LogClusterSize || !SizesFit)
        return ERROR_INVALID_DATA;
    Volume->ClusterTable = reinterpret_cast<uint64_t*>(Table.Detach());
    Volume->ClusterTableCount = Count;
    return ERROR_SUCCESS;
}

// Opens $MFT with its $DATA and $BITMAP, then $Volume for the NTFS version.
// Record 0 is read straight from MftLcn; every later record goes through the
// two $MFT attributes, so they must be in place before $Volume is opened.
DWORD OpenSystemFiles(NtfsVolume* TmpVolumeHandle)
{
    DWORD Error = NtfsFile_Open(TmpVolumeHandle, 0, &TmpVolumeHandle->Mft$);
    if (Error != ERROR_SUCCESS)
        return Error;
    NTFS_ASSERT(TmpVolumeHandle->Mft$ != NULL);

    TmpVolumeHandle->Mft_Data$ = NtfsFile_FindAttribute(TmpVolumeHandle->Mft$, ATTRIBUTE_DATA, nullptr, 0);
    if (TmpVolumeHandle->Mft_Data$ == nullptr)
        return ERROR_INVALID_DATA;
    NTFS_ASSERT(TmpVolumeHandle->Mft_Data$ != NULL);
    TmpVolumeHandle->Mft_Bitmap$ = NtfsFile_FindAttribute(TmpVolumeHandle->Mft$, ATTRIBUTE_BITMAP, nullptr, 0);
    if (TmpVolumeHandle->Mft_Bitmap$ == nullptr)
        return ERROR_INVALID_DATA;
    NTFS_ASSERT(TmpVolumeHandle->Mft_Bitmap$ != NULL);

    Error = NtfsFile_Open(TmpVolumeHandle, 3, &TmpVolumeHandle->Volume$);
    if (Error != ERROR_SUCCESS)
        return Error;
    NTFS_ASSERT(TmpVolumeHandle->Volume$ != NULL);

    TmpVolumeHandle->Volume_Information$ =
        NtfsFile_FindAttribute(TmpVolumeHandle->Volume$, ATTRIBUTE_VOLUME_INFORMATION, nullptr, 0);
    if (TmpVolumeHandle->Volume_Information$ == nullptr)
        return ERROR_INVALID_DATA;
    if (!NtfsAttribute_IsResident(TmpVolumeHandle->Volume_Information$))
        return ERROR_INVALID_DATA;
    const uint8_t* Value = nullptr;
    uint64_t ValueLength = 0;
    Error = NtfsAttribute_GetResidentValue(TmpVolumeHandle->Volume_Information$, &Value, &ValueLength);
    if (Error != ERROR_SUCCESS)
        return Error;
    // 8 reserved bytes, then the major and the minor version.
    LeReader Information(Value, Value != nullptr ? static_cast<size_t>(ValueLength) : 0);
    if (!Information.Has(8, 2))
        return ERROR_INVALID_DATA;
    TmpVolumeHandle->MajorVersion = Information.U8(8);
    TmpVolumeHandle->MinorVersion = Information.U8(9);
    return ERROR_SUCCESS;
}

} // namespace

bool NtfsVolume_IsValid(const NtfsVolume* VolumeHandle)
{
    return VolumeHandle != nullptr && VolumeHandle->Tag == NTFS_VOLUME_TAG;
}

// Opens a volume from a device (VolumeName), from a device while recording a
// volume log (both names), or from a volume log alone (VolumeLogFile). Writes
// *VolumeHandle on every path: the handle on success, null on failure.
DWORD NtfsVolume_Open(const char16_t* VolumeName, const char16_t* VolumeLogFile, NtfsVolume** VolumeHandle,
                      BOOLEAN LockVolume)
{
    if (VolumeHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    *VolumeHandle = nullptr;
    if (VolumeName == nullptr && VolumeLogFile == nullptr)
        return ERROR_INVALID_PARAMETER;

    NtfsVolume* Record = AllocateRecord<NtfsVolume>();
    if (Record == nullptr)
        return ERROR_OUTOFMEMORY;
    Record->Tag = NTFS_VOLUME_TAG;
    Record->NtVolumeHandle = INVALID_HANDLE_VALUE;
    Record->AccessedClusterBitmap = INVALID_HANDLE_VALUE;
    Record->AccessedClusterData = INVALID_HANDLE_VALUE;
    Record->AccessedClusterIndex = INVALID_HANDLE_VALUE;
    VolumeHolder TmpVolumeHandle(Record);

    DWORD Error;
    if (VolumeLogFile != nullptr) {
        HeapBuffer BitmapName;
        HeapBuffer DataName;
        HeapBuffer IndexName;
        if (!BuildLogName(VolumeLogFile, u".bmp", &BitmapName) || !BuildLogName(VolumeLogFile, u".dat", &DataName) ||
            !BuildLogName(VolumeLogFile, u".idx", &IndexName))
            return ERROR_OUTOFMEMORY;
        bool Recording = VolumeName != nullptr;
        if (Recording) {
            Record->Flags |= VOLUME_FLAG_RECORDING;
            Record->AccessedClusterBitmap =
                CreateFileW(reinterpret_cast<char16_t*>(BitmapName.Get()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr);
            if (Record->AccessedClusterBitmap == INVALID_HANDLE_VALUE)
                return LastErrorOfFailedCall();
        }
        // Replay only reads the ".dat" file, so read access is enough (a log
        // on read-only media must replay).
        Record->AccessedClusterData =
            CreateFileW(reinterpret_cast<char16_t*>(DataName.Get()), Recording ? GENERIC_WRITE : GENERIC_READ, 0,
                        nullptr, Recording ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (Record->AccessedClusterData == INVALID_HANDLE_VALUE)
            return LastErrorOfFailedCall();
        Record->AccessedClusterIndex =
            CreateFileW(reinterpret_cast<char16_t*>(IndexName.Get()), Recording ? GENERIC_WRITE : GENERIC_READ, 0,
                        nullptr, Recording ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (Record->AccessedClusterIndex == INVALID_HANDLE_VALUE)
            return LastErrorOfFailedCall();
    }

    if (VolumeName != nullptr) {
        Record->NtVolumeHandle =
            CreateFileW(VolumeName, GENERIC_READ, LockVolume ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (Record->NtVolumeHandle == INVALID_HANDLE_VALUE)
            return LastErrorOfFailedCall();
        Record->DeviceSectorSize = Device_SectorSize(Record->NtVolumeHandle);
        uint8_t Sector[BootSectorSize];
        Error = ReadBootSector(Record->NtVolumeHandle, Record->DeviceSectorSize, Sector);
        if (Error != ERROR_SUCCESS)
            return Error;
        Error = TakeGeometry(Record, Sector);
    } else {
        Error = OpenReplay(Record);
    }
    if (Error != ERROR_SUCCESS)
        return Error;

    Error = CheckGeometry(Record);
    if (Error != ERROR_SUCCESS)
        return Error;

    // The boot sector was read directly, not through the cluster read, so
    // cluster 0 is marked here to put it into the log.
    if (Record->AccessedClusterBitmap != INVALID_HANDLE_VALUE) {
        Record->LoggedClusters = Record->TotalClusters;
        LARGE_INTEGER DeviceSize{};
        if (Device_GetSize(Record->NtVolumeHandle, &DeviceSize) && DeviceSize.QuadPart > 0) {
            uint64_t DeviceBytes = static_cast<uint64_t>(DeviceSize.QuadPart);
            uint64_t DeviceClusters = DeviceBytes / Record->BytesPerCluster + (DeviceBytes % Record->BytesPerCluster != 0);
            Record->LoggedClusters = std::min(Record->TotalClusters, DeviceClusters);
        }
        Error = BitmapFile_Initialize(Record->AccessedClusterBitmap, Record->LoggedClusters);
        if (Error != ERROR_SUCCESS)
            return Error;
        Error = BitmapMarks_Create(Record->AccessedClusterBitmap, Record->LoggedClusters, &Record->Marks);
        if (Error != ERROR_SUCCESS)
            return Error;
        Error = BitmapMarks_Set(Record->Marks, 0, 1);
        if (Error != ERROR_SUCCESS)
            return Error;
    }

    Error = OpenSystemFiles(Record);
    if (Error != ERROR_SUCCESS)
        return Error;

    *VolumeHandle = TmpVolumeHandle.Detach();
    return ERROR_SUCCESS;
}

DWORD NtfsVolume_Close(NtfsVolume* VolumeHandle)
{
    if (!NtfsVolume_IsValid(VolumeHandle))
        return ERROR_INVALID_PARAMETER;
    ReleaseVolume(VolumeHandle);
    return ERROR_SUCCESS;
}

uint32_t NtfsVolume_GetBytesPerSector(NtfsVolume* Volume) { return Volume->BytesPerSector; }
uint32_t NtfsVolume_GetBytesPerCluster(NtfsVolume* Volume) { return Volume->BytesPerCluster; }
uint64_t NtfsVolume_GetMftLcn(NtfsVolume* Volume) { return Volume->MftLcn; }
uint64_t NtfsVolume_ClustersToBytes(NtfsVolume* Volume, uint64_t Clusters) { return Clusters * Volume->BytesPerCluster; }
uint64_t NtfsVolume_BytesToClusters(NtfsVolume* Volume, uint64_t Bytes) { return Bytes / Volume->BytesPerCluster; }
NtfsFile* NtfsVolume_GetVolumeFile(NtfsVolume* Volume) { return Volume->Volume$; }

int NtfsVolume_CompareLcn(const void* Lcn1, const void* Lcn2)
{
    uint64_t First = *static_cast<const uint64_t*>(Lcn1);
    uint64_t Second = *static_cast<const uint64_t*>(Lcn2);
    return First > Second ? 1 : First < Second ? -1 : 0;
}

// Reads one cluster from the volume log: binary search in the cluster table,
// then one positioned read of the ".dat" file. A cluster the recording run
// never read is ERROR_READ_FAULT.
DWORD NtfsVolume_ReadLoggedCluster(NtfsVolume* Volume, uint64_t Lcn, void* Buffer)
{
    if (!NtfsVolume_IsValid(Volume))
        return ERROR_INVALID_PARAMETER;
    NtfsVolume* TmpVolumeHandle = Volume;
    NTFS_ASSERT(TmpVolumeHandle->ClusterTable != NULL);
    NTFS_ASSERT(TmpVolumeHandle->AccessedClusterData != INVALID_HANDLE_VALUE);
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;

    uint32_t Low = 0;
    uint32_t High = TmpVolumeHandle->ClusterTableCount;
    while (Low < High) {
        uint32_t Middle = Low + (High - Low) / 2;
        int Order = NtfsVolume_CompareLcn(&TmpVolumeHandle->ClusterTable[Middle], &Lcn);
        if (Order == 0) {
            uint64_t Offset = static_cast<uint64_t>(Middle) * TmpVolumeHandle->BytesPerCluster;
            DWORD Error = SetFilePosition(TmpVolumeHandle->AccessedClusterData, Offset);
            if (Error != ERROR_SUCCESS)
                return Error;
            DWORD Done = 0;
            if (!ReadFile(TmpVolumeHandle->AccessedClusterData, Buffer, TmpVolumeHandle->BytesPerCluster, &Done,
                          nullptr))
                return LastErrorOfFailedCall();
            if (Done < TmpVolumeHandle->BytesPerCluster)
                return ERROR_READ_FAULT;
            return ERROR_SUCCESS;
        }
        if (Order < 0)
            Low = Middle + 1;
        else
            High = Middle;
    }
    return ERROR_READ_FAULT;
}

namespace {

// One positioned read of Count clusters from the device.
DWORD ReadDevice(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    DWORD Bytes = Count * Volume->BytesPerCluster;
    DWORD Done = 0;
    if (!Device_ReadAt(Volume->NtVolumeHandle, NtfsVolume_ClustersToBytes(Volume, Lcn), Buffer, Bytes,
                       Volume->DeviceSectorSize, &Done))
        return LastErrorOfFailedCall();
    if (Done < Bytes)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

// Serves a small read from the read-ahead window, loading the aligned window
// that holds it when the read continues the previous one. False when the window cannot serve the request
// (too large, no memory, or the window read failed or came back short): the
// caller then reads exactly what was asked, so a bad sector elsewhere in the
// window never fails a good request.
bool ReadThroughWindow(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    uint32_t WindowClusters = ReadAheadBytes / Volume->BytesPerCluster;
    if (Volume->ReadAheadDisabled || WindowClusters < 2 || Count >= WindowClusters)
        return false;
    bool Inside = Volume->ReadAheadClusters != 0 && Lcn >= Volume->ReadAheadLcn &&
                  Lcn - Volume->ReadAheadLcn + Count <= Volume->ReadAheadClusters;
    // A read that repeats or continues the previous one (records of one
    // cluster, one after the other) is part of a sequence.
    bool Sequential = Lcn >= Volume->LastReadStart && Lcn <= Volume->LastReadEnd;
    Volume->LastReadStart = Lcn;
    Volume->LastReadEnd = Lcn + Count;
    if (!Inside && !Sequential)
        return false;
    if (!Inside) {
        if (Volume->ReadAhead == nullptr) {
            Volume->ReadAhead = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, ReadAheadBytes));
            if (Volume->ReadAhead == nullptr)
                return false;
        }
        uint64_t WindowLcn = Lcn - Lcn % WindowClusters;
        uint64_t Available = Volume->TotalClusters - WindowLcn;
        uint32_t Clusters = Available < WindowClusters ? static_cast<uint32_t>(Available) : WindowClusters;
        Volume->ReadAheadClusters = 0;
        if (ReadDevice(Volume, WindowLcn, Clusters, Volume->ReadAhead) != ERROR_SUCCESS)
            return false;
        Volume->ReadAheadLcn = WindowLcn;
        Volume->ReadAheadClusters = Clusters;
        if (Lcn - WindowLcn + Count > Clusters)
            return false;
    }
    memcpy(Buffer, Volume->ReadAhead + (Lcn - Volume->ReadAheadLcn) * Volume->BytesPerCluster,
           static_cast<size_t>(Count) * Volume->BytesPerCluster);
    return true;
}

} // namespace

// Reads Count clusters from Lcn: from the device (marking each in the bitmap
// file while recording) or, in replay, from the volume log cluster by cluster.
// The range must lie on the volume, the volume's last cluster included.
DWORD NtfsVolume_ReadClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    if (!NtfsVolume_IsValid(Volume))
        return ERROR_INVALID_PARAMETER;
    if (Lcn >= Volume->TotalClusters || Count > Volume->TotalClusters - Lcn)
        return ERROR_INVALID_PARAMETER;
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (Count == 0)
        return ERROR_SUCCESS;
    uint64_t Bytes = static_cast<uint64_t>(Count) * Volume->BytesPerCluster;
    if (Bytes > 0xFFFFFFFFull)
        return ERROR_INVALID_PARAMETER;

    if (Volume->NtVolumeHandle == INVALID_HANDLE_VALUE) {
        uint8_t* Destination = static_cast<uint8_t*>(Buffer);
        for (uint32_t i = 0; i < Count; i++) {
            DWORD Error = NtfsVolume_ReadLoggedCluster(Volume, Lcn + i, Destination + static_cast<size_t>(i) * Volume->BytesPerCluster);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        return ERROR_SUCCESS;
    }

    DWORD Error = ERROR_SUCCESS;
    if (!ReadThroughWindow(Volume, Lcn, Count, Buffer)) {
        Error = ReadDevice(Volume, Lcn, Count, Buffer);
        if (Error != ERROR_SUCCESS)
            return Error;
    }

    if (Volume->Marks != nullptr && (Volume->Flags & VOLUME_FLAG_RECORDING) != 0)
        return BitmapMarks_Set(Volume->Marks, Lcn, Count);
    return ERROR_SUCCESS;
}

namespace {

// The most bytes of cluster images the dump gathers before writing them;
// small enough to stay in the processor's cache between read and write.
constexpr uint32_t DumpBufferBytes = 1u << 18;

// The dump's output: runs of marked clusters are read from the device in one
// request each and appended to buffers that go to ".idx" and ".dat" in large
// writes. Progress lines are printed as the clusters are reached, so a
// failure shows the lines up to its cluster, as a walk one cluster at a time
// would.
class LogDumper {
public:
    explicit LogDumper(NtfsVolume* Volume) : Volume_(Volume), Total_(Volume->LoggedClusters)
    {
        NextPercentAt_ = NextLine(0);
    }

    bool Allocate()
    {
        Capacity_ = DumpBufferBytes / Volume_->BytesPerCluster;
        return Images_.Allocate(DumpBufferBytes) && Entries_.Allocate(static_cast<size_t>(Capacity_) * LogEntrySize);
    }

    // Prints the progress lines of every cluster up to Lcn.
    void ProgressTo(uint64_t Lcn)
    {
        while (NextPercentAt_ <= Lcn && NextPercentAt_ < Total_) {
            uint64_t Percent = static_cast<uint64_t>(static_cast<unsigned __int128>(NextPercentAt_) * 100 / Total_);
            Console_Print("\r%d percent is done    ", static_cast<int>(Percent));
            NextPercentAt_ = NextLine(Percent);
        }
    }

    // Adds marked cluster Lcn: it extends the pending run or starts a new one.
    DWORD Add(uint64_t Lcn)
    {
        if (RunCount_ != 0 && Lcn == RunStart_ + RunCount_ && Fill_ + RunCount_ < Capacity_) {
            RunCount_++;
            return ERROR_SUCCESS;
        }
        DWORD Error = ReadRun();
        RunStart_ = Lcn;
        RunCount_ = 1;
        return Error;
    }

    // Reads the pending run and writes everything gathered.
    DWORD Finish()
    {
        DWORD Error = ReadRun();
        if (Error != ERROR_SUCCESS)
            return Error;
        return Flush();
    }

private:
    uint64_t NextLine(uint64_t Percent) const
    {
        return static_cast<uint64_t>(((static_cast<unsigned __int128>(Percent) + 1) * Total_ + 99) / 100);
    }

    // Reads the pending run into the buffer with one request; when that
    // fails, cluster by cluster, so that the log keeps every cluster before
    // the failing one and the failure is that cluster's.
    DWORD ReadRun()
    {
        uint32_t Count = RunCount_;
        RunCount_ = 0;
        if (Count == 0)
            return ERROR_SUCCESS;
        ProgressTo(RunStart_);
        DWORD Error = NtfsVolume_ReadClusters(Volume_, RunStart_, Count, Image(Fill_));
        if (Error == ERROR_SUCCESS) {
            for (uint32_t i = 0; i < Count; i++)
                StoreLe64(Entries_.Get() + static_cast<size_t>(Fill_ + i) * LogEntrySize, RunStart_ + i);
            Fill_ += Count;
            ProgressTo(RunStart_ + Count - 1);
        } else {
            for (uint32_t i = 0; i < Count; i++) {
                ProgressTo(RunStart_ + i);
                Error = NtfsVolume_ReadClusters(Volume_, RunStart_ + i, 1, Image(Fill_));
                if (Error != ERROR_SUCCESS) {
                    DWORD FlushError = Flush();
                    return FlushError != ERROR_SUCCESS ? FlushError : Error;
                }
                StoreLe64(Entries_.Get() + static_cast<size_t>(Fill_) * LogEntrySize, RunStart_ + i);
                Fill_++;
            }
        }
        return Fill_ == Capacity_ ? Flush() : ERROR_SUCCESS;
    }

    // Appends the gathered entries to ".idx", then their images to ".dat".
    DWORD Flush()
    {
        uint32_t Count = Fill_;
        Fill_ = 0;
        if (Count == 0)
            return ERROR_SUCCESS;
        DWORD Error = Append(Volume_->AccessedClusterIndex, Entries_.Get(), Count * LogEntrySize);
        if (Error != ERROR_SUCCESS)
            return Error;
        return Append(Volume_->AccessedClusterData, Images_.Get(), Count * Volume_->BytesPerCluster);
    }

    static DWORD Append(HANDLE File, const uint8_t* Data, DWORD Length)
    {
        DWORD Done = 0;
        if (!WriteFile(File, Data, Length, &Done, nullptr))
            return LastErrorOfFailedCall();
        return Done < Length ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
    }

    uint8_t* Image(uint32_t Index) { return Images_.Get() + static_cast<size_t>(Index) * Volume_->BytesPerCluster; }

    NtfsVolume* Volume_;
    uint64_t Total_;
    uint64_t NextPercentAt_ = 0;
    HeapBuffer Images_;
    HeapBuffer Entries_;
    uint32_t Capacity_ = 0;
    uint32_t Fill_ = 0;
    uint64_t RunStart_ = 0;
    uint32_t RunCount_ = 0;
};

} // namespace

// Writes the volume log: walks the bitmap in cluster order and appends every
// marked cluster's number to ".idx" and its contents, read again from the
// device, to ".dat". Recording is suspended meanwhile so that the dump's own
// reads are not marked. Blocks of the bitmap that were never marked are
// zeros and are not read.
DWORD NtfsVolume_DumpLog(NtfsVolume* Volume)
{
    DWORD Error = ERROR_SUCCESS;
    bool Suspended = false;
    do {
        if (!NtfsVolume_IsValid(Volume)) {
            Error = ERROR_INVALID_PARAMETER;
            break;
        }
        if ((Volume->Flags & VOLUME_FLAG_RECORDING) == 0) {
            Error = ERROR_INVALID_FUNCTION;
            break;
        }
        LogDumper Dumper(Volume);
        if (!Dumper.Allocate()) {
            Error = ERROR_OUTOFMEMORY;
            break;
        }
        if (Volume->AccessedClusterBitmap == INVALID_HANDLE_VALUE ||
            Volume->AccessedClusterData == INVALID_HANDLE_VALUE ||
            Volume->AccessedClusterIndex == INVALID_HANDLE_VALUE) {
            Error = ERROR_INVALID_FUNCTION;
            break;
        }
        Volume->Flags &= ~VOLUME_FLAG_RECORDING;
        Suspended = true;
        // The images are read again now, not taken from what the run saw.
        Volume->ReadAheadDisabled = true;

        uint64_t Total = Volume->LoggedClusters;
        const uint64_t BlockClusters = uint64_t{BitmapBlockBytes} * 8;
        BitmapBlocks Bitmap(Volume->AccessedClusterBitmap);
        uint64_t Lcn = 0;
        while (Lcn < Total) {
            if (Volume->Marks != nullptr && Lcn % BlockClusters == 0 &&
                !BitmapMarks_BlockTouched(Volume->Marks, Lcn / BlockClusters)) {
                Lcn = Total - Lcn < BlockClusters ? Total : Lcn + BlockClusters;
                continue;
            }
            uint8_t Byte = 0;
            Error = Bitmap.Byte(Lcn / 8, &Byte);
            if (Error != ERROR_SUCCESS) {
                DWORD Pending = Dumper.Finish();
                Dumper.ProgressTo(Lcn);
                Error = Pending != ERROR_SUCCESS ? Pending : Error;
                break;
            }
            uint64_t Next = Total - Lcn < 8 ? Total : Lcn + 8;
            for (; Lcn < Next && Error == ERROR_SUCCESS; Lcn++)
                if ((Byte & (1u << (Lcn % 8))) != 0)
                    Error = Dumper.Add(Lcn);
            if (Error != ERROR_SUCCESS)
                break;
        }
        if (Error != ERROR_SUCCESS)
            break;
        Error = Dumper.Finish();
        if (Error == ERROR_SUCCESS)
            Dumper.ProgressTo(Total - 1);
    } while (false);
    if (Suspended) {
        Volume->Flags |= VOLUME_FLAG_RECORDING;
        Volume->ReadAheadDisabled = false;
    }
    Console_Print("\n");
    return Error;
}

uint64_t NtfsReference_GetSegmentNumber(uint64_t FileReference)
{
    return FileReference & 0x0000FFFFFFFFFFFFull;
}

// Undoes the update sequence protection of a multi-sector record in place:
// the last word of every sector must hold the update sequence number and is
// replaced by the saved word from the array.
DWORD NtfsRecord_ApplyFixup(NtfsVolume* Volume, uint8_t* Buffer, uint32_t Length)
{
    if (!NtfsVolume_IsValid(Volume) || Buffer == nullptr || Length == 0)
        return ERROR_INVALID_PARAMETER;
    uint32_t SectorSize = Volume->BytesPerSector;
    if (SectorSize < 2 || Length % SectorSize != 0)
        return ERROR_INVALID_DATA;
    uint32_t Sectors = Length / SectorSize;
    LeReader Record(Buffer, Length);
    uint32_t ArrayCount = Record.U16(RecordUsaCountOffset);
    uint32_t ArrayOffset = Record.U16(RecordUsaOffsetOffset);
    if (ArrayCount != Sectors + 1)
        return ERROR_INVALID_DATA;
    if (!Record.Has(ArrayOffset, static_cast<size_t>(ArrayCount) * 2))
        return ERROR_INVALID_DATA;
    uint16_t SequenceNumber = Record.U16(ArrayOffset);
    for (uint32_t i = 0; i < Sectors; i++) {
        size_t SectorEnd = static_cast<size_t>(i + 1) * SectorSize - 2;
        if (Record.U16(SectorEnd) != SequenceNumber)
            return ERROR_INVALID_DATA;
        StoreLe16(Buffer + SectorEnd, Record.U16(ArrayOffset + 2 * (i + 1)));
    }
    return ERROR_SUCCESS;
}

// Reads file record Segment (the low 48 bits of FileReference) into the
// caller's 1024 bytes, fixup applied. Record 0 comes straight from MftLcn;
// every other record must be marked in the $MFT bitmap (else
// ERROR_FILE_NOT_FOUND) and is located through the $MFT data runs.
DWORD NtfsVolume_ReadFileRecord(NtfsVolume* Volume, uint64_t FileReference, uint8_t* Buffer)
{
    if (!NtfsVolume_IsValid(Volume) || Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    uint32_t BytesPerCluster = Volume->BytesPerCluster;
    uint32_t ClustersPerRecord;
    if (BytesPerCluster <= MFT_RECORD_SIZE) {
        if (BytesPerCluster == 0 || MFT_RECORD_SIZE % BytesPerCluster != 0)
            return ERROR_INVALID_DATA;
        ClustersPerRecord = MFT_RECORD_SIZE / BytesPerCluster;
    } else {
        if (BytesPerCluster % MFT_RECORD_SIZE != 0)
            return ERROR_INVALID_DATA;
        ClustersPerRecord = 1;
    }
    uint32_t ReadSize = BytesPerCluster * ClustersPerRecord;
    HeapBuffer ReadBuffer;
    if (!ReadBuffer.Allocate(ReadSize))
        return ERROR_OUTOFMEMORY;

    uint64_t Segment = NtfsReference_GetSegmentNumber(FileReference);
    size_t RecordOffset = 0;
    DWORD Error;
    if (Segment == 0) {
        Error = NtfsVolume_ReadClusters(Volume, Volume->MftLcn, ClustersPerRecord, ReadBuffer.Get());
        if (Error != ERROR_SUCCESS)
            return Error;
    } else {
        uint8_t BitmapByte = 0;
        uint32_t BytesRead = 0;
        Error = NtfsAttribute_Read(Volume->Mft_Bitmap$, Segment / 8, 1, &BitmapByte, &BytesRead);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (BytesRead == 0)
            return ERROR_INVALID_DATA;
        if ((BitmapByte & (1u << (Segment % 8))) == 0)
            return ERROR_FILE_NOT_FOUND;
        uint64_t ByteOffset = Segment * MFT_RECORD_SIZE;
        uint64_t Vcn = ByteOffset / BytesPerCluster;
        RecordOffset = static_cast<size_t>(ByteOffset % ReadSize);
        uint32_t Supplied = 0;
        Error = NtfsAttribute_ReadClusters(Volume->Mft_Data$, Vcn, ClustersPerRecord, ReadBuffer.Get(), &Supplied);
        if (Error != ERROR_SUCCESS)
            return Error;
        // A run table that does not map the whole record must not pass an
        // unfilled buffer off as a record.
        if (Supplied != ClustersPerRecord)
            return ERROR_INVALID_DATA;
    }
    memcpy(Buffer, ReadBuffer.Get() + RecordOffset, MFT_RECORD_SIZE);
    return NtfsRecord_ApplyFixup(Volume, Buffer, MFT_RECORD_SIZE);
}

void NtfsVolume_Print(NtfsVolume* Volume)
{
    Console_Print("Volume information:\n");
    Console_Print("=================================================================\n");
    Console_Print("    Version                  : %d.%d\n", Volume->MajorVersion, Volume->MinorVersion);
    Console_Print("    Bytes Per Sector         : 0x%.8x\n", Volume->BytesPerSector);
    Console_Print("    Sectors Per Cluster      : 0x%.8x\n", Volume->SectorsPerCluster);
    Console_Print("    Bytes Per Cluster        : 0x%.8x\n", Volume->BytesPerCluster);
    Console_Print("    Total Number Of Clusters : 0x%.16I64x\n", Volume->TotalClusters);
    Console_Print("    LCN for MFT              : 0x%.16I64x\n", Volume->MftLcn);
    const uint8_t* Serial = Volume->SerialNumber;
    Console_Print("    Serial Number            : %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x\n", Serial[0], Serial[1],
                  Serial[2], Serial[3], Serial[4], Serial[5], Serial[6], Serial[7]);
    Console_Print("\n");
}
