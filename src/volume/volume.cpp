// The volume handle: open from a device, a recording run or a volume log, the
// boot sector's geometry, the system files, close, and the volume report.
#include "../volume.h"

#include <algorithm>
#include <cstring>

#include "../../platform/console.h"
#include "../../platform/device.h"
#include "../attr/attribute.h"
#include "../file.h"
#include "../ntfstool.h"
#include "log.h"

namespace {

constexpr uint8_t NtfsOemId[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};

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
    LogAhead_Free(TmpVolumeHandle->Ahead);
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

NtfsFile* NtfsVolume_GetVolumeFile(NtfsVolume* Volume) { return Volume->Volume$; }

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
