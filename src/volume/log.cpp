// The volume log of a recording run: ".idx" holds the numbers of the clusters
// the run read, in order, and ".dat" their images, in the same order. The dump
// writes both at the end of the run; a long read that keeps nothing can have
// them written ahead of it.
#include "log.h"

#include <algorithm>
#include <bit>
#include <new>

#include "../../platform/console.h"
#include "../../platform/device.h"
#include "../ntfstool.h"

namespace {

// Reads the scratch bitmap a block at a time for the dump's walk over every
// cluster: one one-byte read per cluster would cost a system call per
// cluster, minutes on a volume of terabytes. The answers, and the error of a
// bitmap shorter than the walk, are those of BitmapFile_TestBit.
// With Marks, the block they hold in memory is read there: the file lacks
// its latest marks until they are flushed.
class BitmapBlocks {
public:
    BitmapBlocks(HANDLE File, const BitmapMarks* Marks) : File_(File), Marks_(Marks) {}

    // Byte Index of the bitmap, cluster Index * 8 in bit 0.
    DWORD Byte(uint64_t Index, uint8_t* Value)
    {
        if (Marks_ != nullptr && Marks_->Loaded && Index / BitmapBlockBytes == Marks_->BlockIndex) {
            *Value = Marks_->Block[Index % BitmapBlockBytes];
            return ERROR_SUCCESS;
        }
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
    const BitmapMarks* Marks_;
    uint8_t Block_[65536];
    uint64_t Start_ = 0;
    uint64_t Valid_ = 0;
};

// The most bytes of cluster images the dump copies with one request.
constexpr uint32_t DumpRunBytes = 1u << 22;
// The most bytes of copies whose entries wait to be written: their copies
// land first, and a write of part of a megabyte costs the file system more
// than a whole one, so the waits are long.
constexpr uint32_t DumpWaitBytes = 1u << 25;

// The dump's output: each run of logged clusters goes from the device to the
// end of ".dat" in one copy, which the system makes without bringing the
// images into this process where it can, and then its entries to ".idx" in
// one write. Progress lines, when shown, are printed as the clusters are
// reached, so a failure shows the lines up to its cluster, as a walk one
// cluster at a time would.
class LogDumper {
public:
    LogDumper(NtfsVolume* Volume, bool ShowProgress)
        : Volume_(Volume), Total_(Volume->LoggedClusters), MaxRun_(DumpRunBytes / Volume->BytesPerCluster),
          MaxWaiting_(DumpWaitBytes / Volume->BytesPerCluster), ShowProgress_(ShowProgress)
    {
        NextPercentAt_ = NextLine(0);
    }

    // Room for the entries of the runs on their way and one more run.
    bool Allocate() { return Entries_.Allocate(static_cast<size_t>(MaxWaiting_ + MaxRun_) * LogEntrySize); }

    // Prints the progress lines of every cluster up to Lcn.
    void ProgressTo(uint64_t Lcn)
    {
        if (!ShowProgress_)
            return;
        while (NextPercentAt_ <= Lcn && NextPercentAt_ < Total_) {
            uint64_t Percent = static_cast<uint64_t>(static_cast<unsigned __int128>(NextPercentAt_) * 100 / Total_);
            Console_Print("\r%d percent is done    ", static_cast<int>(Percent));
            NextPercentAt_ = NextLine(Percent);
        }
    }

    // Adds clusters Lcn to Lcn + Count - 1: they extend the pending run or
    // start new ones.
    DWORD Add(uint64_t Lcn, uint64_t Count = 1)
    {
        while (Count != 0) {
            if (RunCount_ != 0 && Lcn == RunStart_ + RunCount_ && RunCount_ < MaxRun_) {
                uint32_t Take = Count < MaxRun_ - RunCount_ ? static_cast<uint32_t>(Count) : MaxRun_ - RunCount_;
                RunCount_ += Take;
                Lcn += Take;
                Count -= Take;
                continue;
            }
            DWORD Error = CopyRun();
            RunStart_ = Lcn++;
            RunCount_ = 1;
            Count--;
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        return ERROR_SUCCESS;
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
    bool ShowProgress_;
    uint64_t NextPercentAt_ = 0;
    HeapBuffer Entries_;
    uint64_t RunStart_ = 0;
    uint32_t RunCount_ = 0;
    uint32_t Waiting_ = 0; // entries of copies on their way
    uint64_t Logged_ = 0;  // entries written
};

// Walks the bitmap bytes that hold clusters From to To - 1 and calls
// Visit(First, Next, Byte) for each, First to Next - 1 being the clusters of
// Byte in the range; Visit's error ends the walk. Blocks of the bitmap that
// were never marked are zeros and are not read. A byte that cannot be read
// ends the walk with its error and *Unread set to its first cluster.
template <typename Visitor>
DWORD WalkMarks(const NtfsVolume* Volume, BitmapBlocks& Bitmap, uint64_t From, uint64_t To, uint64_t* Unread,
                Visitor Visit)
{
    const uint64_t BlockClusters = uint64_t{BitmapBlockBytes} * 8;
    uint64_t Lcn = From;
    while (Lcn < To) {
        if (Volume->Marks != nullptr && !BitmapMarks_BlockTouched(Volume->Marks, Lcn / BlockClusters)) {
            uint64_t BlockEnd = (Lcn / BlockClusters + 1) * BlockClusters;
            Lcn = To < BlockEnd ? To : BlockEnd;
            continue;
        }
        uint8_t Byte = 0;
        DWORD Error = Bitmap.Byte(Lcn / 8, &Byte);
        if (Error != ERROR_SUCCESS) {
            *Unread = Lcn;
            return Error;
        }
        uint64_t ByteEnd = (Lcn / 8 + 1) * 8;
        uint64_t Next = To < ByteEnd ? To : ByteEnd;
        if ((Error = Visit(Lcn, Next, Byte)) != ERROR_SUCCESS)
            return Error;
        Lcn = Next;
    }
    return ERROR_SUCCESS;
}

// Counts in *Marked the marked clusters from From to To - 1.
DWORD CountMarks(const NtfsVolume* Volume, BitmapBlocks& Bitmap, uint64_t From, uint64_t To, uint64_t* Marked)
{
    uint64_t Unread = 0;
    return WalkMarks(Volume, Bitmap, From, To, &Unread, [Marked](uint64_t First, uint64_t Next, uint8_t Byte) {
        unsigned Bits = ((1u << (Next - First)) - 1) << (First % 8);
        *Marked += static_cast<unsigned>(std::popcount(static_cast<unsigned>(Byte & Bits)));
        return DWORD{ERROR_SUCCESS};
    });
}

// Adds every marked cluster from From to To - 1 to the log, in order. A
// bitmap that cannot be read ends the log there: the runs before that
// cluster are copied and written, and the progress is shown up to it.
DWORD AddMarkedClusters(NtfsVolume* Volume, BitmapBlocks& Bitmap, LogDumper& Dumper, uint64_t From, uint64_t To)
{
    uint64_t Unread = UINT64_MAX;
    DWORD Error = WalkMarks(Volume, Bitmap, From, To, &Unread, [&Dumper](uint64_t First, uint64_t Next, uint8_t Byte) {
        for (uint64_t Lcn = First; Lcn < Next; Lcn++) {
            if ((Byte & (1u << (Lcn % 8))) == 0)
                continue;
            if (DWORD Added = Dumper.Add(Lcn); Added != ERROR_SUCCESS)
                return Added;
        }
        return DWORD{ERROR_SUCCESS};
    });
    if (Unread == UINT64_MAX)
        return Error;
    DWORD Pending = Dumper.Finish();
    Dumper.ProgressTo(Unread);
    return Pending != ERROR_SUCCESS ? Pending : Error;
}

// Writes the log of every marked cluster and every cluster of Planned (in
// order, apart), in cluster order, reading the marks in the file or, with
// Marks, where they are held. *Unmarked counts the clusters of Planned that
// were not marked.
DWORD WriteLog(NtfsVolume* Volume, LogDumper& Dumper, const BitmapMarks* Marks,
               const std::vector<ClusterRun>& Planned, uint64_t* Unmarked)
{
    BitmapBlocks Bitmap(Volume->AccessedClusterBitmap, Marks);
    uint64_t Lcn = 0;
    for (const ClusterRun& Run : Planned) {
        uint64_t Marked = 0;
        DWORD Error = AddMarkedClusters(Volume, Bitmap, Dumper, Lcn, Run.Lcn);
        if (Error == ERROR_SUCCESS)
            Error = CountMarks(Volume, Bitmap, Run.Lcn, Run.Lcn + Run.Count, &Marked);
        if (Error == ERROR_SUCCESS)
            Error = Dumper.Add(Run.Lcn, Run.Count);
        if (Error != ERROR_SUCCESS)
            return Error;
        *Unmarked += Run.Count - Marked;
        Lcn = Run.Lcn + Run.Count;
    }
    DWORD Error = AddMarkedClusters(Volume, Bitmap, Dumper, Lcn, Volume->LoggedClusters);
    return Error != ERROR_SUCCESS ? Error : Dumper.Finish();
}

// Whether Runs (in order, apart) hold clusters Lcn to Lcn + Count - 1.
bool RunsHold(const std::vector<ClusterRun>& Runs, uint64_t Lcn, uint64_t Count)
{
    auto After = std::upper_bound(Runs.begin(), Runs.end(), Lcn,
                                  [](uint64_t First, const ClusterRun& Run) { return First < Run.Lcn; });
    if (After == Runs.begin())
        return false;
    const ClusterRun& Run = *(After - 1);
    return Lcn - Run.Lcn < Run.Count && Count <= Run.Count - (Lcn - Run.Lcn);
}

// The log written ahead is the whole log: every mark set since it was written
// was one of the read's, and all of the read's are set.
bool LoggedAhead(const NtfsVolume* Volume)
{
    const LogAhead* Ahead = Volume->Ahead;
    return Ahead != nullptr && Ahead->Whole && Volume->Marks != nullptr &&
           Volume->Marks->Count - Ahead->MarksBefore == Ahead->Unmarked;
}

// Empties ".dat" and ".idx" for a log written again from its start.
DWORD EmptyLog(NtfsVolume* Volume)
{
    for (HANDLE File : {Volume->AccessedClusterData, Volume->AccessedClusterIndex}) {
        DWORD Error = SetFilePosition(File, 0);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (!SetEndOfFile(File))
            return LastErrorOfFailedCall();
    }
    return ERROR_SUCCESS;
}

} // namespace

// Writes the volume log: walks the bitmap in cluster order and appends every
// marked cluster's number to ".idx" and its contents, copied again from the
// device, to ".dat". The copies bypass the cluster read, so they are not
// marked themselves. A log written ahead that is still whole is kept: only
// its progress lines remain to be shown.
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
        LogDumper Dumper(Volume, true);
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
        if (!LoggedAhead(Volume)) {
            if (Volume->Ahead != nullptr && (Error = EmptyLog(Volume)) != ERROR_SUCCESS)
                break;
            uint64_t Unmarked = 0;
            if ((Error = WriteLog(Volume, Dumper, nullptr, {}, &Unmarked)) != ERROR_SUCCESS)
                break;
        }
        Dumper.ProgressTo(Volume->LoggedClusters - 1);
    } while (false);
    Console_Print("\n");
    return Error;
}

bool NtfsVolume_CanLogAhead(const NtfsVolume* Volume)
{
    return NtfsVolume_IsValid(Volume) && (Volume->Flags & VOLUME_FLAG_RECORDING) != 0 && Volume->Marks != nullptr &&
           Volume->Ahead == nullptr && Volume->NtVolumeHandle != INVALID_HANDLE_VALUE &&
           Volume->AccessedClusterBitmap != INVALID_HANDLE_VALUE &&
           Volume->AccessedClusterData != INVALID_HANDLE_VALUE && Volume->AccessedClusterIndex != INVALID_HANDLE_VALUE;
}

// Writes the log ahead of a read that keeps nothing of Runs, the clusters it
// will read (in any order, overlapping or not). A run writes its log ahead
// once, and only when the read is at least as long as everything marked
// before it, so that the log written ahead costs at most the read's own copy
// again when the dump has to write the log anew. Nothing here fails the run:
// after any failure the dump writes the log, and the read reads the device.
void NtfsVolume_LogAhead(NtfsVolume* Volume, std::vector<ClusterRun>* Runs)
{
    if (!NtfsVolume_CanLogAhead(Volume))
        return;
    std::sort(Runs->begin(), Runs->end(), [](const ClusterRun& First, const ClusterRun& Second) {
        return First.Lcn < Second.Lcn;
    });
    size_t Kept = 0;
    uint64_t Clusters = 0;
    for (const ClusterRun& Run : *Runs) {
        if (Run.Count == 0)
            continue;
        if (Run.Lcn >= Volume->LoggedClusters || Run.Count > Volume->LoggedClusters - Run.Lcn)
            return; // a read the device cannot serve fails as it comes
        ClusterRun* Last = Kept != 0 ? &(*Runs)[Kept - 1] : nullptr;
        if (Last != nullptr && Run.Lcn <= Last->Lcn + Last->Count) {
            uint64_t End = Run.Lcn + Run.Count;
            if (End > Last->Lcn + Last->Count) {
                Clusters += End - (Last->Lcn + Last->Count);
                Last->Count = End - Last->Lcn;
            }
        } else {
            (*Runs)[Kept++] = Run;
            Clusters += Run.Count;
        }
    }
    Runs->resize(Kept);
    if (Clusters == 0 || Clusters < Volume->Marks->Count)
        return;
    LogDumper Dumper(Volume, false);
    LogAhead* Ahead = Dumper.Allocate() ? new (std::nothrow) LogAhead : nullptr;
    if (Ahead == nullptr)
        return;
    Volume->Ahead = Ahead;
    Ahead->Runs.swap(*Runs);
    Ahead->MarksBefore = Volume->Marks->Count;
    // The marks are read where they are, not flushed: a failed write of them
    // belongs to the read or the dump that makes it, and is reported there.
    Ahead->Whole = WriteLog(Volume, Dumper, Volume->Marks, Ahead->Runs, &Ahead->Unmarked) == ERROR_SUCCESS;
}

bool LogAhead_Holds(const NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    const LogAhead* Ahead = Volume->Ahead;
    return Ahead != nullptr && Ahead->Whole && RunsHold(Ahead->Runs, Lcn, Count);
}

void LogAhead_NoteMarks(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, DWORD Error, bool SetBits)
{
    LogAhead* Ahead = Volume->Ahead;
    if (Ahead != nullptr && (Error != ERROR_SUCCESS || (SetBits && !RunsHold(Ahead->Runs, Lcn, Count))))
        Ahead->Whole = false;
}

void LogAhead_Free(LogAhead* Ahead)
{
    delete Ahead;
}
