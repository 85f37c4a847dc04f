// Cluster I/O beneath the attribute layer: device reads through the read-ahead
// window, and the volume log (recording marks, replay lookup, the dump).
#include "clusters.h"

#include <cstring>

#include "../../platform/console.h"
#include "../../platform/device.h"
#include "../ntfstool.h"

namespace {

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

} // namespace

bool NtfsVolume_IsValid(const NtfsVolume* VolumeHandle)
{
    return VolumeHandle != nullptr && VolumeHandle->Tag == NTFS_VOLUME_TAG;
}

uint32_t NtfsVolume_GetBytesPerSector(NtfsVolume* Volume) { return Volume->BytesPerSector; }
uint32_t NtfsVolume_GetBytesPerCluster(NtfsVolume* Volume) { return Volume->BytesPerCluster; }
uint64_t NtfsVolume_GetMftLcn(NtfsVolume* Volume) { return Volume->MftLcn; }
uint64_t NtfsVolume_ClustersToBytes(NtfsVolume* Volume, uint64_t Clusters) { return Clusters * Volume->BytesPerCluster; }
uint64_t NtfsVolume_BytesToClusters(NtfsVolume* Volume, uint64_t Bytes) { return Bytes / Volume->BytesPerCluster; }

int NtfsVolume_CompareLcn(const void* Lcn1, const void* Lcn2)
{
    uint64_t First = *static_cast<const uint64_t*>(Lcn1);
    uint64_t Second = *static_cast<const uint64_t*>(Lcn2);
    return First > Second ? 1 : First < Second ? -1 : 0;
}

namespace {

// The position of Lcn in the replayed cluster table: binary search.
bool FindLoggedCluster(const NtfsVolume* Volume, uint64_t Lcn, uint32_t* Index)
{
    uint32_t Low = 0;
    uint32_t High = Volume->ClusterTableCount;
    while (Low < High) {
        uint32_t Middle = Low + (High - Low) / 2;
        int Order = NtfsVolume_CompareLcn(&Volume->ClusterTable[Middle], &Lcn);
        if (Order == 0) {
            *Index = Middle;
            return true;
        }
        if (Order < 0)
            Low = Middle + 1;
        else
            High = Middle;
    }
    return false;
}

} // namespace

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

    uint32_t Index = 0;
    if (!FindLoggedCluster(TmpVolumeHandle, Lcn, &Index))
        return ERROR_READ_FAULT;
    uint64_t Offset = static_cast<uint64_t>(Index) * TmpVolumeHandle->BytesPerCluster;
    DWORD Error = SetFilePosition(TmpVolumeHandle->AccessedClusterData, Offset);
    if (Error != ERROR_SUCCESS)
        return Error;
    DWORD Done = 0;
    if (!ReadFile(TmpVolumeHandle->AccessedClusterData, Buffer, TmpVolumeHandle->BytesPerCluster, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done < TmpVolumeHandle->BytesPerCluster)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

namespace {

// One positioned read of Count clusters from the device; without a Buffer
// the clusters are read and dropped.
DWORD ReadDevice(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    DWORD Bytes = Count * Volume->BytesPerCluster;
    DWORD Done = 0;
    uint64_t Offset = NtfsVolume_ClustersToBytes(Volume, Lcn);
    BOOL Read = Buffer != nullptr
                    ? Device_ReadAt(Volume->NtVolumeHandle, Offset, Buffer, Bytes, Volume->DeviceSectorSize, &Done)
                    : Device_ReadAndDrop(Volume->NtVolumeHandle, Offset, Bytes, Volume->DeviceSectorSize, &Done);
    if (!Read)
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
    if (WindowClusters < 2 || Count >= WindowClusters)
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
    if (Buffer != nullptr)
        memcpy(Buffer, Volume->ReadAhead + (Lcn - Volume->ReadAheadLcn) * Volume->BytesPerCluster,
               static_cast<size_t>(Count) * Volume->BytesPerCluster);
    return true;
}

// A range of clusters one request may ask for: on the volume, the volume's
// last cluster included, and of fewer than 4 GiB.
DWORD CheckClusterRange(const NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    if (!NtfsVolume_IsValid(Volume))
        return ERROR_INVALID_PARAMETER;
    if (Lcn >= Volume->TotalClusters || Count > Volume->TotalClusters - Lcn)
        return ERROR_INVALID_PARAMETER;
    if (static_cast<uint64_t>(Count) * Volume->BytesPerCluster > 0xFFFFFFFFull)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Marks clusters just read from the device in the scratch bitmap while the
// run records.
DWORD MarkRead(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    if (Volume->Marks != nullptr && (Volume->Flags & VOLUME_FLAG_RECORDING) != 0)
        return BitmapMarks_Set(Volume->Marks, Lcn, Count);
    return ERROR_SUCCESS;
}

// NtfsVolume_ReadClusters, and with a null Buffer NtfsVolume_ReadAndDropClusters.
DWORD ReadOrDropClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, uint8_t* Buffer)
{
    DWORD Checked = CheckClusterRange(Volume, Lcn, Count);
    if (Checked != ERROR_SUCCESS || Count == 0)
        return Checked;

    if (Volume->NtVolumeHandle == INVALID_HANDLE_VALUE) {
        // The log holds a cluster per entry; a dropped one still has to be
        // found and read, through a cluster of scratch.
        HeapBuffer Scratch;
        if (Buffer == nullptr && !Scratch.Allocate(Volume->BytesPerCluster))
            return ERROR_OUTOFMEMORY;
        for (uint32_t i = 0; i < Count; i++) {
            uint8_t* Destination = Buffer != nullptr ? Buffer + static_cast<size_t>(i) * Volume->BytesPerCluster
                                                     : Scratch.Get();
            DWORD Error = NtfsVolume_ReadLoggedCluster(Volume, Lcn + i, Destination);
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

    return MarkRead(Volume, Lcn, Count);
}

} // namespace

// Reads Count clusters from Lcn: from the device (marking each in the bitmap
// file while recording) or, in replay, from the volume log cluster by cluster.
// The range must lie on the volume, the volume's last cluster included.
DWORD NtfsVolume_ReadClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    return ReadOrDropClusters(Volume, Lcn, Count, static_cast<uint8_t*>(Buffer));
}

// Appends Count clusters from Lcn to the end of File, read as
// NtfsVolume_ReadClusters reads them (and recorded alike), but copied by the
// system where it can, without passing through this process: from the device,
// or in replay from ".dat", where clusters of consecutive numbers lie side by
// side. The bytes may wait on their way until NtfsVolume_FinishCopies.
// *WriteFailed tells a failure of File from one of the reading.
DWORD NtfsVolume_CopyClustersToFile(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, HANDLE File, bool* WriteFailed)
{
    *WriteFailed = false;
    DWORD Checked = CheckClusterRange(Volume, Lcn, Count);
    if (Checked != ERROR_SUCCESS || Count == 0)
        return Checked;

    HANDLE Source = Volume->NtVolumeHandle;
    uint64_t Offset = NtfsVolume_ClustersToBytes(Volume, Lcn);
    DWORD SectorSize = Volume->DeviceSectorSize;
    uint32_t Present = Count;
    if (Source == INVALID_HANDLE_VALUE) {
        uint32_t Index = 0;
        if (!FindLoggedCluster(Volume, Lcn, &Index))
            return ERROR_READ_FAULT;
        Present = 1;
        while (Present < Count && Index + Present < Volume->ClusterTableCount &&
               Volume->ClusterTable[Index + Present] == Lcn + Present)
            Present++;
        Source = Volume->AccessedClusterData;
        Offset = NtfsVolume_ClustersToBytes(Volume, Index);
        SectorSize = 1;
    }
    DWORD Length = Present * Volume->BytesPerCluster;
    DWORD Done = 0;
    CopyFailure Side = CopyFailure::None;
    if (!Device_CopyToFile(Source, Offset, Length, SectorSize, Volume->BytesPerCluster, File, true, &Done, &Side)) {
        *WriteFailed = Side == CopyFailure::Write;
        return LastErrorOfFailedCall();
    }
    if (Done < Length || Present < Count)
        return ERROR_READ_FAULT;
    return MarkRead(Volume, Lcn, Count);
}

// Writes what NtfsVolume_CopyClustersToFile left on its way to File.
DWORD NtfsVolume_FinishCopies(HANDLE File)
{
    return Device_FinishCopies(File) ? ERROR_SUCCESS : LastErrorOfFailedCall();
}

// Reads Count clusters from Lcn as NtfsVolume_ReadClusters does (and records
// them alike) without delivering them: for a reader that only checks that
// they can be read.
DWORD NtfsVolume_ReadAndDropClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    return ReadOrDropClusters(Volume, Lcn, Count, nullptr);
}

namespace {

// The most bytes of cluster images the dump copies with one request.
constexpr uint32_t DumpRunBytes = 1u << 22;
// The most bytes of copies whose entries wait to be written: their copies
// land first, and a write of part of a megabyte costs the file system more
// than a whole one, so the waits are long.
constexpr uint32_t DumpWaitBytes = 1u << 25;

// The dump's output: each run of marked clusters goes from the device to the
// end of ".dat" in one copy, which the system makes without bringing the
// images into this process where it can, and then its entries to ".idx" in
// one write. Progress lines are printed as the clusters are
// reached, so a failure shows the lines up to its cluster, as a walk one
// cluster at a time would.
class LogDumper {
public:
    explicit LogDumper(NtfsVolume* Volume)
        : Volume_(Volume), Total_(Volume->LoggedClusters), MaxRun_(DumpRunBytes / Volume->BytesPerCluster),
          MaxWaiting_(DumpWaitBytes / Volume->BytesPerCluster)
    {
        NextPercentAt_ = NextLine(0);
    }

    // Room for the entries of the runs on their way and one more run.
    bool Allocate() { return Entries_.Allocate(static_cast<size_t>(MaxWaiting_ + MaxRun_) * LogEntrySize); }

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
        if (RunCount_ != 0 && Lcn == RunStart_ + RunCount_ && RunCount_ < MaxRun_) {
            RunCount_++;
            return ERROR_SUCCESS;
        }
        DWORD Error = CopyRun();
        RunStart_ = Lcn;
        RunCount_ = 1;
        return Error;
    }

    // Copies the pending run and writes out everything on its way.
    DWORD Finish()
    {
        DWORD Error = CopyRun();
        return Error != ERROR_SUCCESS ? Error : Flush();
    }

private:
    uint64_t NextLine(uint64_t Percent) const
    {
        return static_cast<uint64_t>(((static_cast<unsigned __int128>(Percent) + 1) * Total_ + 99) / 100);
    }

    // Copies the pending run to ".dat" and keeps its entries until its bytes
    // are written: the copies of short runs wait to be written together, and
    // ".idx" must never name a cluster ".dat" lacks. The copy keeps only whole
    // clusters: when a read fails or comes back short, the copies before it
    // are written out, and the log ends with the clusters before the failing
    // one and their entries; the failure is that cluster's.
    DWORD CopyRun()
    {
        uint32_t Count = RunCount_;
        RunCount_ = 0;
        if (Count == 0)
            return ERROR_SUCCESS;
        ProgressTo(RunStart_);
        uint32_t Bytes = Count * Volume_->BytesPerCluster;
        DWORD Done = 0;
        DWORD Error = ERROR_SUCCESS;
        if (!Device_CopyToFile(Volume_->NtVolumeHandle, NtfsVolume_ClustersToBytes(Volume_, RunStart_), Bytes,
                               Volume_->DeviceSectorSize, Volume_->BytesPerCluster, Volume_->AccessedClusterData, true,
                               &Done, nullptr))
            Error = LastErrorOfFailedCall();
        else if (Done < Bytes)
            Error = ERROR_READ_FAULT;
        uint32_t Copied = Done / Volume_->BytesPerCluster;
        for (uint32_t i = 0; i < Copied; i++)
            StoreLe64(Entries_.Get() + static_cast<size_t>(Waiting_ + i) * LogEntrySize, RunStart_ + i);
        Waiting_ += Copied;
        ProgressTo(Error == ERROR_SUCCESS ? RunStart_ + Count - 1 : RunStart_ + Copied);
        if (Error != ERROR_SUCCESS)
            return KeepLanded(Error);
        return Waiting_ >= MaxWaiting_ ? Flush() : ERROR_SUCCESS;
    }

    // Writes the copies on their way, then their entries.
    DWORD Flush()
    {
        if (!Device_FinishCopies(Volume_->AccessedClusterData))
            return KeepLanded(LastErrorOfFailedCall());
        return WriteEntries();
    }

    // After a failed copy or write, the waiting clusters that reached ".dat"
    // whole are the first ones: they get their entries, and a cluster cut
    // short is taken back, so that the log stays whole. Returns Error.
    DWORD KeepLanded(DWORD Error)
    {
        LARGE_INTEGER Size{};
        if (!GetFileSizeEx(Volume_->AccessedClusterData, &Size) || Size.QuadPart < 0)
            return Error;
        uint64_t Clusters = static_cast<uint64_t>(Size.QuadPart) / Volume_->BytesPerCluster;
        uint64_t Landed = Clusters > Logged_ ? Clusters - Logged_ : 0;
        if (Landed > Waiting_)
            Landed = Waiting_;
        Waiting_ = static_cast<uint32_t>(Landed);
        uint64_t End = (Logged_ + Landed) * Volume_->BytesPerCluster;
        if (static_cast<uint64_t>(Size.QuadPart) != End &&
            (SetFilePosition(Volume_->AccessedClusterData, End) != ERROR_SUCCESS ||
             !SetEndOfFile(Volume_->AccessedClusterData)))
            return Error;
        WriteEntries();
        return Error;
    }

    DWORD WriteEntries()
    {
        DWORD Length = Waiting_ * LogEntrySize;
        Logged_ += Waiting_;
        Waiting_ = 0;
        DWORD Written = 0;
        if (!WriteFile(Volume_->AccessedClusterIndex, Entries_.Get(), Length, &Written, nullptr))
            return LastErrorOfFailedCall();
        if (Written < Length)
            return ERROR_WRITE_FAULT;
        return ERROR_SUCCESS;
    }

    NtfsVolume* Volume_;
    uint64_t Total_;
    uint32_t MaxRun_;
    uint32_t MaxWaiting_;
    uint64_t NextPercentAt_ = 0;
    HeapBuffer Entries_;
    uint64_t RunStart_ = 0;
    uint32_t RunCount_ = 0;
    uint32_t Waiting_ = 0; // entries of copies on their way
    uint64_t Logged_ = 0;  // entries written
};

} // namespace

// Writes the volume log: walks the bitmap in cluster order and appends every
// marked cluster's number to ".idx" and its contents, copied again from the
// device, to ".dat". The copies bypass the cluster read, so they are not
// marked themselves. Blocks of the bitmap that were never marked are zeros
// and are not read.
DWORD NtfsVolume_DumpLog(NtfsVolume* Volume)
{
    DWORD Error = ERROR_SUCCESS;
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

        if (Volume->Marks != nullptr && (Error = BitmapMarks_Flush(Volume->Marks)) != ERROR_SUCCESS)
            break;
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
            if (Byte == 0) {
                Lcn = Next;
                continue;
            }
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
    Console_Print("\n");
    return Error;
}
