// Run lists: decoding an attribute's mapping-pairs array into a table of runs.
#include "attribute.h"

#include "../ntfstool.h"

// A mapping pair: header byte (low nibble L = size of the length field, high
// nibble O = size of the offset field), then L bytes of run length and O bytes
// of signed LCN delta, both little-endian. A header byte of 0 ends the array.
namespace {
constexpr size_t MappingPairHeaderOffset = 0x00; // 1
constexpr size_t MappingPairLengthOffset = 0x01; // L bytes, then the O-byte delta
constexpr uint32_t MappingPairMaxFieldSize = 8;
} // namespace

// Decodes the pair at Pair, of which Remaining bytes may be read. Returns 1 for
// the terminator (Run untouched), the pair's size (L + O + 1) after filling
// Run, or RUNLIST_INVALID_PAIR. Run->Lcn receives the raw delta, not an LCN;
// Run->Flags is NTFS_RUN_SPARSE when that delta is 0.
uint32_t NtfsRunList_DecodePair(const uint8_t* Pair, uint32_t Remaining, NtfsRun* Run)
{
    if (Pair == nullptr || Run == nullptr || Remaining == 0)
        return RUNLIST_INVALID_PAIR;
    LeReader Reader(Pair, Remaining);
    uint8_t Header = Reader.U8(MappingPairHeaderOffset);
    if (Header == 0)
        return 1;

    uint32_t LengthSize = Header & 0x0F;
    uint32_t OffsetSize = Header >> 4;
    if (LengthSize == 0 || LengthSize > MappingPairMaxFieldSize || OffsetSize > MappingPairMaxFieldSize)
        return RUNLIST_INVALID_PAIR;
    uint32_t PairSize = 1 + LengthSize + OffsetSize; // at most 17: no overflow
    if (PairSize > Remaining)
        return RUNLIST_INVALID_PAIR;

    uint64_t Length = Reader.Uint(MappingPairLengthOffset, LengthSize);
    int64_t Delta = 0;
    if (OffsetSize > 0)
        Delta = Reader.Signed(MappingPairLengthOffset + LengthSize, OffsetSize);
    if (Reader.Failed)
        return RUNLIST_INVALID_PAIR;

    Run->Length = Length;
    Run->Lcn = Delta;
    Run->Flags = Delta == 0 ? NTFS_RUN_SPARSE : 0;
    return PairSize;
}

// Decodes the mapping-pairs array in the first Available bytes of
// MappingPairs into a table of absolute runs allocated from the process heap
// (the caller frees it with HeapFree). An empty array gives *RunCount 0 and
// *Runs nullptr. Errors: ERROR_INVALID_PARAMETER, ERROR_INVALID_DATA (a bad
// pair, or no terminator within Available), ERROR_OUTOFMEMORY. Both outputs
// are written on every path; on failure they are 0 and nullptr.
DWORD NtfsRunList_Decode(const uint8_t* MappingPairs, uint32_t Available, uint32_t* RunCount, NtfsRun** Runs)
{
    if (RunCount != nullptr)
        *RunCount = 0;
    if (Runs != nullptr)
        *Runs = nullptr;
    if (MappingPairs == nullptr || RunCount == nullptr || Runs == nullptr)
        return ERROR_INVALID_PARAMETER;

    // Pass 1: count the pairs and check that the array is terminated.
    uint32_t TmpRunCount = 0;
    uint32_t Position = 0;
    uint32_t ReadLength = 0;
    NtfsRun Scratch{};
    for (;;) {
        ReadLength = NtfsRunList_DecodePair(MappingPairs + Position, Available - Position, &Scratch);
        if (ReadLength == RUNLIST_INVALID_PAIR || ReadLength < 2)
            break;
        TmpRunCount++;
        Position += ReadLength; // the pair lay inside Available: no overflow
    }
    if (ReadLength != 1)
        return ERROR_INVALID_DATA;
    if (TmpRunCount == 0)
        return ERROR_SUCCESS;

    HeapBuffer Table;
    if (!Table.Allocate(static_cast<size_t>(TmpRunCount) * sizeof(NtfsRun)))
        return ERROR_OUTOFMEMORY;
    NtfsRun* TmpRuns = reinterpret_cast<NtfsRun*>(Table.Get());

    // Pass 2: the same walk, keeping the raw deltas.
    uint32_t i = 0;
    Position = 0;
    for (;;) {
        ReadLength = NtfsRunList_DecodePair(MappingPairs + Position, Available - Position, &Scratch);
        if (ReadLength == RUNLIST_INVALID_PAIR || ReadLength < 2 || i == TmpRunCount)
            break;
        TmpRuns[i++] = Scratch;
        Position += ReadLength;
    }
    NTFS_ASSERT(ReadLength == 1);
    NTFS_ASSERT(i == TmpRunCount);

    // A zero delta normally marks a sparse run, but the first pair's delta is
    // relative to LCN 0, so a present zero offset there is a real run at
    // cluster 0 ($Boot's $DATA is exactly that). Only an absent offset field
    // makes the first run sparse.
    if ((MappingPairs[MappingPairHeaderOffset] >> 4) != 0)
        TmpRuns[0].Flags &= ~NTFS_RUN_SPARSE;

    // Deltas chain from one run's LCN to the next. A sparse run adds 0, so it
    // carries the running LCN and the next delta stays relative to the last
    // real run. Unsigned arithmetic: hostile deltas wrap instead of overflowing.
    for (i = 1; i < TmpRunCount; i++) {
        uint64_t Lcn = static_cast<uint64_t>(TmpRuns[i - 1].Lcn) + static_cast<uint64_t>(TmpRuns[i].Lcn);
        TmpRuns[i].Lcn = static_cast<int64_t>(Lcn);
    }

    *RunCount = TmpRunCount;
    *Runs = reinterpret_cast<NtfsRun*>(Table.Detach());
    return ERROR_SUCCESS;
}
