#include "attr.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "../platform/console.h"
#include "file.h"
#include "ntfstool.h"
#include "volume.h"

// ---- Run lists ----

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

// ---- LZNT1 ----

// A compressed stream is a sequence of chunks, each decompressing to at most
// 4096 bytes. Chunk header (16 bits, little-endian): bits 0-11 chunk size
// minus 3 (the size counts the header), bits 12-14 signature 3, bit 15 set
// when the chunk is compressed. A compressed chunk is a series of groups: a
// flag byte, then for each of its bits from bit 0 a literal byte (clear) or a
// two-byte back-reference token (set).
namespace {
constexpr uint32_t Lznt1HeaderSize = 2;
constexpr uint16_t Lznt1SizeMask = 0x0FFF;
constexpr uint32_t Lznt1Signature = 3;
constexpr uint16_t Lznt1CompressedFlag = 0x8000;
constexpr uint32_t Lznt1MinDisplacementBits = 4;
constexpr uint32_t Lznt1MaxDisplacementBits = 12;
constexpr uint32_t Lznt1MinMatch = 3;
} // namespace

// Decodes the one chunk at the start of Input into Output. On success writes
// the chunk's size (header included) to *Consumed and the bytes produced to
// *Produced; on failure leaves both and writes nothing beyond OutputLength.
// Errors: ERROR_INVALID_PARAMETER (missing buffers, InputLength < 2, or a
// chunk longer than InputLength), ERROR_INVALID_DATA (bad signature, a cut-off
// token, a reference before the start of the chunk's output),
// ERROR_INSUFFICIENT_BUFFER (output does not fit in OutputLength).
DWORD Lznt1_DecompressChunk(const uint8_t* Input, uint32_t InputLength, uint8_t* Output, uint32_t OutputLength,
                            uint32_t* Consumed, uint32_t* Produced)
{
    if (Input == nullptr || Output == nullptr || Consumed == nullptr || Produced == nullptr ||
        InputLength < Lznt1HeaderSize)
        return ERROR_INVALID_PARAMETER;

    LeReader Reader(Input, InputLength);
    uint16_t Header = Reader.U16(0);
    if (((Header >> 12) & 7) != Lznt1Signature)
        return ERROR_INVALID_DATA;
    uint32_t ChunkSize = (Header & Lznt1SizeMask) + 3u;
    if (ChunkSize > InputLength)
        return ERROR_INVALID_PARAMETER;
    Reader = LeReader(Input, ChunkSize); // nothing past this chunk is read

    if ((Header & Lznt1CompressedFlag) == 0) {
        uint32_t DataSize = ChunkSize - Lznt1HeaderSize;
        if (OutputLength < DataSize)
            return ERROR_INSUFFICIENT_BUFFER;
        memcpy(Output, Reader.Bytes(Lznt1HeaderSize, DataSize), DataSize);
        *Consumed = ChunkSize;
        *Produced = DataSize;
        return ERROR_SUCCESS;
    }

    uint32_t In = Lznt1HeaderSize;
    uint32_t Out = 0;
    uint32_t Width = Lznt1MinDisplacementBits;
    while (In < ChunkSize) {
        // Bit 8 stands after the group's eight items, so that a count of
        // clear bits never runs past them.
        uint32_t Flags = Input[In++] | 0x100u; // In < ChunkSize <= InputLength
        for (;;) {
            // The literals up to the next token go in one copy. Trailing flag
            // bits after the last item of the chunk carry no meaning.
            uint32_t Literals = static_cast<uint32_t>(__builtin_ctz(Flags));
            uint32_t Take = Literals < ChunkSize - In ? Literals : ChunkSize - In;
            if (Take > OutputLength - Out)
                return ERROR_INSUFFICIENT_BUFFER;
            // Eight bytes at once when both sides have them: the extra bytes
            // are rewritten by what follows.
            if (ChunkSize - In >= 8 && OutputLength - Out >= 8)
                memcpy(Output + Out, Input + In, 8);
            else
                memcpy(Output + Out, Input + In, Take);
            In += Take;
            Out += Take;
            Flags >>= Literals;
            if (Flags == 1 || In >= ChunkSize)
                break;

            if (!Reader.Has(In, 2))
                return ERROR_INVALID_DATA;
            uint16_t Token = static_cast<uint16_t>(Input[In] | (Input[In + 1] << 8));
            In += 2;
            Flags >>= 1;

            // The displacement field widens as the chunk's output grows: it
            // takes just enough bits (at least 4) to reach the chunk's first
            // byte, and the length field gets the rest of the 16. Output only
            // grows, so the width is carried over from the previous token.
            while (Width <= Lznt1MaxDisplacementBits && (uint32_t{1} << Width) < Out)
                Width++;
            if (Width > Lznt1MaxDisplacementBits)
                return ERROR_INVALID_DATA;
            uint32_t LengthBits = 16 - Width;
            uint32_t Displacement = (static_cast<uint32_t>(Token) >> LengthBits) + 1;
            uint32_t Length = (Token & ((uint32_t{1} << LengthBits) - 1)) + Lznt1MinMatch;
            if (Displacement > Out)
                return ERROR_INVALID_DATA;

            // The source may overlap the bytes being written: a displacement
            // of d repeats the last d bytes. Blocks of 8 are safe when d is at
            // least 8, since each block's source is then complete.
            // With room to spare in the window, the last block may run past
            // the copy: those bytes are rewritten by what follows or lie
            // beyond what the chunk produces.
            uint32_t Room = OutputLength - Out;
            uint32_t Copy = Length < Room ? Length : Room;
            uint8_t* Target = Output + Out;
            const uint8_t* Source = Target - Displacement;
            uint32_t k = 0;
            if (Displacement >= 8) {
                if (Room - Copy >= 8)
                    for (; k < Copy; k += 8)
                        memcpy(Target + k, Source + k, 8);
                else
                    for (; k + 8 <= Copy; k += 8)
                        memcpy(Target + k, Source + k, 8);
            }
            for (; k < Copy; k++)
                Target[k] = Source[k];
            Out += Copy;
            if (Copy < Length)
                return ERROR_INSUFFICIENT_BUFFER;
            if (Flags == 1)
                break;
        }
    }

    *Consumed = In;
    *Produced = Out;
    return ERROR_SUCCESS;
}

// ---- Collation ----

namespace {

// $FILE_NAME value, as index keys of the directory indexes carry it.

// Null and INDEX_KEY_HIGHEST bound every key. Returns true with the ordering
// in *Result when either key is one of them.
bool CompareSentinels(const void* Key1, const void* Key2, int* Result)
{
    if (Key1 == nullptr) {
        *Result = Key2 == nullptr ? 0 : -1;
        return true;
    }
    if (Key1 == INDEX_KEY_HIGHEST) {
        *Result = Key2 == INDEX_KEY_HIGHEST ? 0 : 1;
        return true;
    }
    if (Key2 == nullptr) {
        *Result = 1;
        return true;
    }
    if (Key2 == INDEX_KEY_HIGHEST) {
        *Result = -1;
        return true;
    }
    return false;
}

uint8_t FileNameLength(const void* Key)
{
    return LeReader(Key, FileNameLengthOffset + 1).U8(FileNameLengthOffset);
}

} // namespace

// Orders two $FILE_NAME keys by name, code unit by code unit as unsigned
// 16-bit values (no case folding); a name that is a prefix of the other sorts
// first. Keys may be unaligned; each holds at least 0x42 + 2 * length bytes.
int NtfsIndex_CompareFileNames(const void* Key1, const void* Key2)
{
    int Result = 0;
    if (CompareSentinels(Key1, Key2, &Result))
        return Result;

    uint32_t Length1 = FileNameLength(Key1);
    uint32_t Length2 = FileNameLength(Key2);
    LeReader Name1(Key1, FileNameNameOffset + 2 * Length1);
    LeReader Name2(Key2, FileNameNameOffset + 2 * Length2);
    uint32_t Common = Length1 < Length2 ? Length1 : Length2;
    for (uint32_t k = 0; k < Common; k++) {
        uint16_t Unit1 = Name1.U16(FileNameNameOffset + 2 * k);
        uint16_t Unit2 = Name2.U16(FileNameNameOffset + 2 * k);
        if (Unit1 != Unit2)
            return Unit1 < Unit2 ? -1 : 1;
    }
    if (Length1 != Length2)
        return Length1 < Length2 ? -1 : 1;
    return 0;
}

// Orders two keys of KeyLength bytes as sequences of unsigned 32-bit
// little-endian words, first word most significant. KeyLength must be a
// non-zero multiple of 4.
int NtfsIndex_CompareUlongs(const void* Key1, const void* Key2, uint32_t KeyLength)
{
    int Result = 0;
    if (CompareSentinels(Key1, Key2, &Result))
        return Result;
    NTFS_ASSERT(KeyLength != 0);
    NTFS_ASSERT((KeyLength % 4) == 0);

    LeReader Reader1(Key1, KeyLength);
    LeReader Reader2(Key2, KeyLength);
    for (uint32_t Offset = 0; Offset < KeyLength; Offset += 4) {
        uint32_t Word1 = Reader1.U32(Offset);
        uint32_t Word2 = Reader2.U32(Offset);
        if (Word1 != Word2)
            return Word1 < Word2 ? -1 : 1;
    }
    return 0;
}

// Orders two attributes by name: unnamed first, then code unit by code unit
// as unsigned 16-bit values with exact case; a prefix sorts first.
int NtfsAttribute_CompareNames(const NtfsAttribute* Attribute1, const NtfsAttribute* Attribute2)
{
    return CompareText(Attribute1->Name, Attribute2->Name);
}
// ---- Attribute handles ----

namespace {

// Frees what a handle owns, clears it and frees it.
void FreeAttribute(NtfsAttribute* Attribute)
{
    if (Attribute->Record != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Record);
    if (Attribute->Name != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Name);
    if (Attribute->Runs != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Runs);
    if (Attribute->UnitCache != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->UnitCache);
    if (Attribute->ClusterCache != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->ClusterCache);
    FreeRecord(Attribute, sizeof(NtfsAttribute));
}

// Fills the handle from its private record copy (name, resident value or
// non-resident sizes and run table).
DWORD DecodeAttribute(NtfsAttribute* Attribute)
{
    LeReader Record(Attribute->Record, Attribute->RecordLength);
    Attribute->TypeCode = Record.U32(AttrTypeCodeOffset);
    Attribute->Instance = Record.U16(AttrInstanceOffset);

    uint32_t NameLength = Record.U8(AttrNameLengthOffset);
    if (NameLength != 0) {
        uint32_t NameOffset = Record.U16(AttrNameOffsetOffset);
        if (!Record.Has(NameOffset, static_cast<size_t>(NameLength) * 2))
            return ERROR_INVALID_DATA;
        Attribute->Name = static_cast<char16_t*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (static_cast<size_t>(NameLength) + 1) * sizeof(char16_t)));
        if (Attribute->Name == nullptr)
            return ERROR_OUTOFMEMORY;
        for (uint32_t i = 0; i < NameLength; i++)
            Attribute->Name[i] = static_cast<char16_t>(Record.U16(NameOffset + 2 * i));
    }

    uint8_t NonResident = Record.U8(AttrNonResidentOffset);
    if (NonResident == 0) {
        Attribute->Resident = 1;
        uint32_t ValueLength = Record.U32(AttrValueLengthOffset);
        uint32_t ValueOffset = Record.U16(AttrValueOffsetOffset);
        if (Record.Failed)
            return ERROR_INVALID_DATA;
        if (ValueLength != 0) {
            if (!Record.Has(ValueOffset, ValueLength))
                return ERROR_INVALID_DATA;
            Attribute->Value = Attribute->Record + ValueOffset;
            Attribute->ValueLength = ValueLength;
        }
        return ERROR_SUCCESS;
    }
    if (NonResident != 1)
        return ERROR_INVALID_DATA;
    Attribute->Resident = 0;
    uint32_t MappingPairsOffset = Record.U16(AttrMappingPairsOffset);
    Attribute->LowestVcn = Record.U64(AttrLowestVcnOffset);
    Attribute->HighestVcn = Record.U64(AttrHighestVcnOffset);
    Attribute->AllocatedLength = Record.U64(AttrAllocatedLengthOffset);
    Attribute->FileSize = Record.U64(AttrDataSizeOffset);
    Attribute->ValidDataLength = Record.U64(AttrValidDataLengthOffset);
    Attribute->ValueLength = Attribute->FileSize;
    if (Record.Failed || MappingPairsOffset >= Attribute->RecordLength)
        return ERROR_INVALID_DATA;
    DWORD Error = NtfsRunList_Decode(Attribute->Record + MappingPairsOffset, Attribute->RecordLength - MappingPairsOffset,
                                     &Attribute->RunCount, &Attribute->Runs);
    if (Error != ERROR_SUCCESS)
        return Error;
    return NtfsAttribute_CheckRunList(Attribute, nullptr);
}

// The unnamed $STANDARD_INFORMATION of the handle's base record decides
// whether non-resident data is stored compressed.
DWORD GetFileCompressed(NtfsAttribute* Attribute, bool* Compressed)
{
    NtfsAttribute* Information =
        NtfsFile_FindAttribute(Attribute->FileHandle, ATTRIBUTE_STANDARD_INFORMATION, nullptr, 0);
    if (Information == nullptr || !Information->Resident)
        return ERROR_INVALID_DATA;
    LeReader Value(Information->Value, Information->Value != nullptr ? Information->ValueLength : 0);
    uint32_t FileAttributes = Value.U32(StandardInformationFileAttributesOffset);
    if (Value.Failed)
        return ERROR_INVALID_DATA;
    *Compressed = (FileAttributes & StandardInformationCompressed) != 0;
    return ERROR_SUCCESS;
}

uint64_t SaturatingAdd(uint64_t First, uint64_t Second)
{
    return Second > ~0ull - First ? ~0ull : First + Second;
}

// The run to start a walk for Vcn from: the remembered one when it does not
// lie beyond Vcn, else the first.
void WalkStart(const NtfsAttribute* Attribute, uint64_t Vcn, uint32_t* Run, uint64_t* RunStart)
{
    if (Attribute->HintRun < Attribute->RunCount && Attribute->HintRunStart <= Vcn) {
        *Run = Attribute->HintRun;
        *RunStart = Attribute->HintRunStart;
    } else {
        *Run = 0;
        *RunStart = 0;
    }
}

// Number of clusters of [Vcn, Vcn + Count) that the run table maps to disk
// (not sparse, not past the last run).
uint64_t StoredClusters(const NtfsAttribute* Attribute, uint64_t Vcn, uint64_t Count)
{
    uint64_t Stored = 0;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(Attribute, Vcn, &First, &RunStart);
    uint64_t Last = SaturatingAdd(Vcn, Count) - 1;
    for (uint32_t i = First; i < Attribute->RunCount && Count != 0; i++) {
        const NtfsRun& Run = Attribute->Runs[i];
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (Run.Length != 0 && (Run.Flags & NTFS_RUN_SPARSE) == 0)
            Stored += RangeOverlap(RunStart, RunEnd - 1, Vcn, Last);
        if (RunEnd > Last)
            break;
        RunStart = RunEnd;
    }
    return Stored;
}

} // namespace

bool NtfsAttribute_IsValid(const NtfsAttribute* AttributeHandle)
{
    return AttributeHandle != nullptr && AttributeHandle->Tag == NTFS_ATTRIBUTE_TAG;
}

// Length of the attribute record at Buffer: 4 for the end marker, 0 when the
// record is cut off, shorter than its header or longer than what is available.
uint32_t NtfsAttribute_RecordLength(const uint8_t* Buffer, uint32_t Available)
{
    NTFS_ASSERT(Buffer != NULL);
    LeReader Record(Buffer, Available);
    if (!Record.Has(0, 4))
        return 0;
    if (Record.U32(AttrTypeCodeOffset) == ATTRIBUTE_END_MARKER)
        return 4;
    if (!Record.Has(AttrRecordLengthOffset, 4))
        return 0;
    uint32_t Length = Record.U32(AttrRecordLengthOffset);
    if (Length > Available || Length < AttrHeaderLength)
        return 0;
    return Length;
}

// Builds a handle from the attribute record at Buffer and registers it in list
// Index of FileHandle. The end marker gives success with no handle and length
// 4. On failure the lists are unchanged and the outputs are null and 0.
DWORD NtfsAttribute_Open(NtfsFile* FileHandle, uint64_t SegmentReference, const uint8_t* Buffer, uint32_t Available,
                         NtfsAttribute** AttributeHandle, uint32_t* RecordLength, uint32_t Index)
{
    if (FileHandle == nullptr || AttributeHandle == nullptr || RecordLength == nullptr || Buffer == nullptr || Index > 1)
        return ERROR_INVALID_PARAMETER;
    *AttributeHandle = nullptr;
    *RecordLength = 0;
    uint32_t Length = NtfsAttribute_RecordLength(Buffer, Available);
    if (Length == 4) {
        *RecordLength = 4;
        return ERROR_SUCCESS;
    }
    if (Length == 0)
        return ERROR_INVALID_DATA;

    NtfsAttribute* TmpAttributeHandle = AllocateRecord<NtfsAttribute>();
    if (TmpAttributeHandle == nullptr)
        return ERROR_OUTOFMEMORY;
    TmpAttributeHandle->Tag = NTFS_ATTRIBUTE_TAG;
    TmpAttributeHandle->Record = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, Length));
    if (TmpAttributeHandle->Record == nullptr) {
        FreeAttribute(TmpAttributeHandle);
        return ERROR_OUTOFMEMORY;
    }
    memcpy(TmpAttributeHandle->Record, Buffer, Length);
    TmpAttributeHandle->FileHandle = FileHandle;
    TmpAttributeHandle->SegmentReference = SegmentReference;
    TmpAttributeHandle->Index = Index;
    TmpAttributeHandle->RecordLength = Length;

    DWORD Error = DecodeAttribute(TmpAttributeHandle);
    if (Error == ERROR_SUCCESS)
        Error = NtfsFile_AddAttribute(FileHandle, TmpAttributeHandle, Index);
    if (Error != ERROR_SUCCESS) {
        FreeAttribute(TmpAttributeHandle);
        return Error;
    }
    *AttributeHandle = TmpAttributeHandle;
    *RecordLength = Length;
    return ERROR_SUCCESS;
}

DWORD NtfsAttribute_Close(NtfsAttribute* AttributeHandle)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    NtfsAttribute* TmpAttributeHandle = AttributeHandle;
    NTFS_ASSERT(ERROR_SUCCESS == NtfsFile_DelAttribute(TmpAttributeHandle->FileHandle, TmpAttributeHandle, TmpAttributeHandle->Index));
    FreeAttribute(TmpAttributeHandle);
    return ERROR_SUCCESS;
}

// The run lengths must add up to the VCN range the record claims.
DWORD NtfsAttribute_CheckRunList(NtfsAttribute* AttributeHandle, uint64_t* ClusterCount)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    if (AttributeHandle->Resident)
        return ERROR_INVALID_FUNCTION;
    uint64_t Total = 0;
    for (uint32_t i = 0; i < AttributeHandle->RunCount; i++)
        Total += AttributeHandle->Runs[i].Length;
    uint64_t Expected = AttributeHandle->HighestVcn - AttributeHandle->LowestVcn + 1;
    if (Total != Expected)
        return ERROR_INVALID_DATA;
    if (ClusterCount != nullptr)
        *ClusterCount = Expected;
    return ERROR_SUCCESS;
}

NtfsFile* NtfsAttribute_GetFileHandle(NtfsAttribute* AttributeHandle) { return AttributeHandle->FileHandle; }
NtfsVolume* NtfsAttribute_GetVolume(NtfsAttribute* AttributeHandle) { return AttributeHandle->FileHandle->VolumeHandle; }
uint32_t NtfsAttribute_GetTypeCode(NtfsAttribute* AttributeHandle) { return AttributeHandle->TypeCode; }
const char16_t* NtfsAttribute_GetName(NtfsAttribute* AttributeHandle) { return AttributeHandle->Name; }
uint64_t NtfsAttribute_GetValueLength(NtfsAttribute* AttributeHandle) { return AttributeHandle->ValueLength; }
BOOLEAN NtfsAttribute_IsResident(NtfsAttribute* AttributeHandle) { return AttributeHandle->Resident != 0 ? 1 : 0; }
uint16_t NtfsAttribute_GetInstance(NtfsAttribute* AttributeHandle) { return AttributeHandle->Instance; }

DWORD NtfsAttribute_GetResidentValue(NtfsAttribute* AttributeHandle, const uint8_t** Value, uint64_t* ValueLength)
{
    if (!AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    *Value = AttributeHandle->Value;
    *ValueLength = AttributeHandle->ValueLength;
    return ERROR_SUCCESS;
}

// ---- Attribute report ----

namespace {

// $STANDARD_INFORMATION value.
constexpr size_t InformationOwnerIdOffset = 0x30;
constexpr size_t InformationFullLength = 72; // NTFS 3.0 and later; 48 before


const char* const TimeLabels[4] = {
    "    CreationTime        : %s\n",
    "    LastModificationTime: %s\n",
    "    LastChangeTime      : %s\n",
    "    LastAccessTime      : %s\n",
};

// The resident value of a handle as a bounded view; empty for non-resident
// handles, whose values the reports do not decode.
LeReader ResidentView(const NtfsAttribute* Attribute)
{
    if (!Attribute->Resident || Attribute->Value == nullptr)
        return LeReader();
    return LeReader(Attribute->Value, static_cast<size_t>(Attribute->ValueLength));
}

// Prints the four time stamps that start at Offset, each only when it lies
// inside the value.
void PrintTimes(LeReader* Value, size_t Offset)
{
    for (size_t i = 0; i < 4; i++) {
        if (!Value->Has(Offset + 8 * i, 8))
            continue;
        char16_t Text[FILE_TIME_TEXT_LENGTH];
        FormatFileTime(Value->U64(Offset + 8 * i), Text, FILE_TIME_TEXT_LENGTH);
        Console_Print(TimeLabels[i], Text);
    }
}

void PrintWord(LeReader* Value, size_t Offset, const char* Format)
{
    if (Value->Has(Offset, 4))
        Console_Print(Format, Value->U32(Offset));
}

void PrintQuad(LeReader* Value, size_t Offset, const char* Format)
{
    if (Value->Has(Offset, 8))
        Console_Print(Format, Value->U64(Offset));
}

} // namespace

const char16_t* NtfsAttribute_TypeName(uint32_t TypeCode)
{
    switch (TypeCode) {
    case 0x10: return u"$STANDARD_INFORMATION";
    case 0x20: return u"$ATTRIBUTE_LIST";
    case 0x30: return u"$FILE_NAME";
    case 0x40: return u"$OBJECT_ID";
    case 0x50: return u"$SECURITY_DESCRIPTOR";
    case 0x60: return u"$VOLUME_NAME";
    case 0x70: return u"$VOLUME_INFORMATION";
    case 0x80: return u"$DATA";
    case 0x90: return u"$INDEX_ROOT";
    case 0xA0: return u"$INDEX_ALLOCATION";
    case 0xB0: return u"$BITMAP";
    case 0xC0: return u"$REPARSE_POINT";
    case 0xD0: return u"$EA_INFORMATION";
    case 0xE0: return u"$EA";
    default: return u"$???";
    }
}

// Decoded $STANDARD_INFORMATION lines. Values written before NTFS 3.0 are 48
// bytes long and end before the owner id; every line is printed only when its
// field lies inside the value.
void NtfsAttribute_PrintStandardInformation(NtfsAttribute* AttributeHandle)
{
    LeReader Value = ResidentView(AttributeHandle);
    PrintTimes(&Value, 0x00);
    PrintWord(&Value, 0x20, "    FileAttributes      : 0x%.8x\n");
    PrintWord(&Value, 0x24, "    MaximumVersions     : 0x%.8x\n");
    PrintWord(&Value, 0x28, "    VersionNumber       : 0x%.8x\n");
    PrintWord(&Value, 0x2C, "    ClassId             : 0x%.8x\n");
    if (Value.Size < InformationFullLength)
        return;
    PrintWord(&Value, InformationOwnerIdOffset, "    OwnerId             : 0x%.8x\n");
    PrintWord(&Value, 0x34, "    SecurityId          : 0x%.8x\n");
    PrintQuad(&Value, 0x38, "    QuotaCharged        : 0x%.16I64x\n");
    PrintQuad(&Value, 0x40, "    Usn                 : 0x%.16I64x\n");
}

// Decoded $FILE_NAME lines, each only when its field lies inside the value.
void NtfsAttribute_PrintFileName(NtfsAttribute* AttributeHandle)
{
    LeReader Value = ResidentView(AttributeHandle);
    PrintQuad(&Value, FileNameParentOffset, "    ParentDirectory     : 0x%.16I64x\n");
    if (Value.Has(FileNameNamespaceOffset, 1))
        Console_Print("    Flags               : 0x%.2x\n", Value.U8(FileNameNamespaceOffset));
    if (Value.Has(FileNameLengthOffset, 1)) {
        uint32_t Length = Value.U8(FileNameLengthOffset);
        if (Value.Has(FileNameNameOffset, static_cast<size_t>(Length) * 2)) {
            Console_Print("    Filename            : ");
            HeapBuffer Units;
            if (Length > 0 && Units.Allocate(static_cast<size_t>(Length) * sizeof(char16_t))) {
                char16_t* Text = reinterpret_cast<char16_t*>(Units.Get());
                for (uint32_t i = 0; i < Length; i++)
                    Text[i] = static_cast<char16_t>(Value.U16(FileNameNameOffset + 2 * i));
                PrintCountedName(Text, Length);
            }
            Console_Print("\n");
        }
    }
    PrintTimes(&Value, FileNameTimesOffset);
    PrintQuad(&Value, FileNameAllocatedOffset, "    AllocatedLength     : 0x%.16I64x\n");
    PrintQuad(&Value, FileNameSizeOffset, "    FileSize            : 0x%.16I64x\n");
    PrintWord(&Value, FileNameAttributesOffset, "    FileAttributes      : 0x%.8x\n");
    if (Value.Has(FileNameEaSizeOffset, 2))
        Console_Print("    PackedEaSize        : 0x%.8x\n", static_cast<uint32_t>(Value.U16(FileNameEaSizeOffset)));
}

// One "Attribute information" report: the header fields, then the resident
// value as a hex dump or the run table, then the decoded value of
// $STANDARD_INFORMATION and $FILE_NAME.
void NtfsAttribute_Print(NtfsAttribute* AttributeHandle)
{
    Console_Print("Attribute information:\n");
    Console_Print("=================================================================\n");
    Console_Print("    TypeCode        : 0x%.8x (%s)\n", AttributeHandle->TypeCode,
                  NtfsAttribute_TypeName(AttributeHandle->TypeCode));
    Console_Print("    Instance        : 0x%.4hx\n", AttributeHandle->Instance);
    Console_Print("    Name            : ");
    if (AttributeHandle->Name != nullptr) {
        // Counted, as on disk: a NUL unit inside the name still shows.
        LeReader Record(AttributeHandle->Record, AttributeHandle->RecordLength);
        PrintCountedName(AttributeHandle->Name, Record.U8(AttrNameLengthOffset));
    }
    Console_Print("\n");
    Console_Print("    Resident        : %s\n", AttributeHandle->Resident ? u"Yes" : u"No");
    if (AttributeHandle->Resident) {
        uint32_t Length = static_cast<uint32_t>(AttributeHandle->ValueLength);
        Console_Print("    Length          : 0x%.8x\n", Length);
        if (Length != 0)
            HexDump(0, AttributeHandle->Value, Length);
    } else {
        Console_Print("    Lowest VCN      : 0x%.16I64x\n", AttributeHandle->LowestVcn);
        Console_Print("    Highest VCN     : 0x%.16I64x\n", AttributeHandle->HighestVcn);
        Console_Print("    Allocated Length: 0x%.16I64x\n", AttributeHandle->AllocatedLength);
        Console_Print("    File Size       : 0x%.16I64x\n", AttributeHandle->FileSize);
        Console_Print("    ValidData Length: 0x%.16I64x\n", AttributeHandle->ValidDataLength);
        Console_Print("    Run Count       : 0x%.8x\n", AttributeHandle->RunCount);
        for (uint32_t i = 0; i < AttributeHandle->RunCount; i++) {
            const NtfsRun& Run = AttributeHandle->Runs[i];
            if ((Run.Flags & NTFS_RUN_SPARSE) != 0)
                Console_Print("        0x%.8x:  0x%.16I64x Clusters (sparse)\n", i, Run.Length);
            else
                Console_Print("        0x%.8x:  0x%.16I64x Clusters start @ 0x%.16I64x\n", i, Run.Length, Run.Lcn);
        }
    }
    if (AttributeHandle->TypeCode == ATTRIBUTE_STANDARD_INFORMATION) {
        Console_Print("-----------------------------------------------\n");
        NtfsAttribute_PrintStandardInformation(AttributeHandle);
    } else if (AttributeHandle->TypeCode == ATTRIBUTE_FILE_NAME) {
        Console_Print("-----------------------------------------------\n");
        NtfsAttribute_PrintFileName(AttributeHandle);
    }
    Console_Print("\n");
}

// ---- Attribute data reader ----

// Maps [Vcn, Vcn + Count) through the run table and reads it: sparse runs as
// zeros, stored runs with one volume read per run. A range past the last run
// ends early with success; *ClustersSupplied says how far it got and is
// written on every path.
DWORD NtfsAttribute_ReadClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                 uint32_t* ClustersSupplied)
{
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = 0;
    if (!NtfsAttribute_IsValid(AttributeHandle) || AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    if (Count == 0)
        return ERROR_SUCCESS;
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    NtfsVolume* Volume = NtfsAttribute_GetVolume(AttributeHandle);
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(Volume);
    uint8_t* Output = static_cast<uint8_t*>(Buffer);
    uint32_t Remaining = Count;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(AttributeHandle, Vcn, &First, &RunStart);
    DWORD Error = ERROR_SUCCESS;
    for (uint32_t i = First; i < AttributeHandle->RunCount && Remaining != 0; i++) {
        const NtfsRun& Run = AttributeHandle->Runs[i];
        if (RunStart > Vcn)
            break;
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (RunEnd <= Vcn) {
            RunStart = RunEnd;
            continue;
        }
        AttributeHandle->HintRun = i;
        AttributeHandle->HintRunStart = RunStart;
        uint32_t Take = RunEnd - Vcn < Remaining ? static_cast<uint32_t>(RunEnd - Vcn) : Remaining;
        size_t Bytes = static_cast<size_t>(Take) * BytesPerCluster;
        if ((Run.Flags & NTFS_RUN_SPARSE) != 0) {
            memset(Output, 0, Bytes);
        } else {
            uint64_t Lcn = static_cast<uint64_t>(Run.Lcn) + (Vcn - RunStart);
            Error = NtfsVolume_ReadClusters(Volume, Lcn, Take, Output);
            if (Error != ERROR_SUCCESS)
                break;
        }
        Output += Bytes;
        Vcn += Take;
        Remaining -= Take;
        RunStart = RunEnd;
    }
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = Count - Remaining;
    return Error;
}

DWORD NtfsAttribute_RangeHasSparseRun(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, BOOLEAN* HasSparse)
{
    if (HasSparse == nullptr || !NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    *HasSparse = 0;
    if (Count == 0)
        return ERROR_SUCCESS;
    uint64_t Last = SaturatingAdd(Vcn, Count) - 1;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(AttributeHandle, Vcn, &First, &RunStart);
    for (uint32_t i = First; i < AttributeHandle->RunCount; i++) {
        const NtfsRun& Run = AttributeHandle->Runs[i];
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (Run.Length != 0 && (Run.Flags & NTFS_RUN_SPARSE) != 0 && RangeOverlap(RunStart, RunEnd - 1, Vcn, Last) != 0) {
            *HasSparse = 1;
            return ERROR_SUCCESS;
        }
        if (RunEnd > Last)
            break;
        RunStart = RunEnd;
    }
    return ERROR_SUCCESS;
}

uint64_t RangeOverlap(uint64_t First1, uint64_t Last1, uint64_t First2, uint64_t Last2)
{
    uint64_t Low = First1 > First2 ? First1 : First2;
    uint64_t High = Last1 < Last2 ? Last1 : Last2;
    return High < Low ? 0 : High - Low + 1;
}

// The most bytes of whole clusters that one request of the value reader asks
// the volume for, so that a long read never becomes one 4 GiB request.
constexpr uint32_t MaximumBytesPerRead = 1u << 20;

// Reads Length bytes of the value from Offset, cut at the end of the value.
// Non-resident values are read one cluster per request, through the
// decompressor when the file is compressed. *BytesRead is written on success.
DWORD NtfsAttribute_Read(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, void* Buffer,
                         uint32_t* BytesRead)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    if (Length == 0) {
        if (BytesRead != nullptr)
            *BytesRead = 0;
        return ERROR_SUCCESS;
    }
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    bool Compressed = false;
    DWORD Error = GetFileCompressed(AttributeHandle, &Compressed);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint8_t* Output = static_cast<uint8_t*>(Buffer);

    if (AttributeHandle->Resident) {
        uint32_t Count = 0;
        if (Offset < AttributeHandle->ValueLength) {
            uint64_t Left = AttributeHandle->ValueLength - Offset;
            Count = Left < Length ? static_cast<uint32_t>(Left) : Length;
            memcpy(Output, AttributeHandle->Value + Offset, Count);
        }
        if (BytesRead != nullptr)
            *BytesRead = Count;
        return ERROR_SUCCESS;
    }

    if (Offset >= AttributeHandle->FileSize) {
        if (BytesRead != nullptr)
            *BytesRead = 0;
        return ERROR_SUCCESS;
    }
    // Only $DATA is stored compressed; other attributes of a compressed file
    // (an attribute list, an index) are read as they lie.
    bool ReadCompressed = Compressed && AttributeHandle->TypeCode == ATTRIBUTE_DATA;
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(NtfsAttribute_GetVolume(AttributeHandle));
    if (AttributeHandle->ClusterCache == nullptr) {
        AttributeHandle->ClusterCache = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, BytesPerCluster));
        if (AttributeHandle->ClusterCache == nullptr)
            return ERROR_OUTOFMEMORY;
        AttributeHandle->ClusterCacheValid = false;
    }
    uint8_t* Cluster = AttributeHandle->ClusterCache;
    uint64_t Left = AttributeHandle->FileSize - Offset;
    uint32_t Total = Left < Length ? static_cast<uint32_t>(Left) : Length;
    uint64_t Vcn = Offset / BytesPerCluster;
    uint32_t Skip = static_cast<uint32_t>(Offset % BytesPerCluster);
    uint32_t Delivered = 0;
    while (Delivered < Total) {
        uint32_t Due = Total - Delivered;
        // Whole clusters go straight to the caller; a partial first or last
        // cluster passes through the cluster buffer.
        uint32_t Whole = Skip == 0 ? Due / BytesPerCluster : 0;
        if (Whole > MaximumBytesPerRead / BytesPerCluster)
            Whole = MaximumBytesPerRead / BytesPerCluster;
        uint8_t* Target = Whole != 0 ? Output + Delivered : Cluster;
        uint32_t Count = Whole != 0 ? Whole : 1;
        bool Cached = Whole == 0 && AttributeHandle->ClusterCacheValid && AttributeHandle->ClusterCacheVcn == Vcn;
        if (!Cached) {
            if (Whole == 0)
                AttributeHandle->ClusterCacheValid = false;
            uint32_t Supplied = 0;
            if (ReadCompressed)
                Error = NtfsAttribute_ReadCompressedClusters(AttributeHandle, Vcn, Count, Target, &Supplied);
            else
                Error = NtfsAttribute_ReadClusters(AttributeHandle, Vcn, Count, Target, &Supplied);
            if (Error != ERROR_SUCCESS)
                return Error;
            // A cluster the run table does not map has no data to deliver.
            if (Supplied != Count)
                return ERROR_INVALID_DATA;
            if (Whole == 0) {
                AttributeHandle->ClusterCacheVcn = Vcn;
                AttributeHandle->ClusterCacheValid = true;
            }
        }
        if (Whole != 0) {
            Delivered += Whole * BytesPerCluster;
        } else {
            uint32_t Chunk = BytesPerCluster - Skip < Due ? BytesPerCluster - Skip : Due;
            memcpy(Output + Delivered, Cluster + Skip, Chunk);
            Delivered += Chunk;
            Skip = 0;
        }
        Vcn += Count;
    }
    if (BytesRead != nullptr)
        *BytesRead = Total;
    return ERROR_SUCCESS;
}

namespace {

constexpr uint32_t Lznt1ChunkSize = 4096;

// Decodes one compression unit's stored bytes into Output (a whole unit
// window) and zero-fills it up to Limit. Each chunk stands for the next 4096
// bytes of the unit; a chunk that decodes to less is padded with zeros. A zero
// header ends the stored data: the rest of the unit is zeros.
DWORD DecodeUnit(const uint8_t* Stored, uint32_t UnitSize, uint8_t* Output, uint32_t Limit)
{
    uint32_t Consumed = 0;
    uint32_t Produced = 0;
    while (Produced < Limit) {
        LeReader Header(Stored + Consumed, UnitSize - Consumed);
        if (!Header.Has(0, 2) || Header.U16(0) == 0) {
            memset(Output + Produced, 0, UnitSize - Produced);
            Produced = UnitSize;
            break;
        }
        uint32_t ChunkConsumed = 0;
        uint32_t ChunkProduced = 0;
        DWORD Error = Lznt1_DecompressChunk(Stored + Consumed, UnitSize - Consumed, Output + Produced,
                                            UnitSize - Produced, &ChunkConsumed, &ChunkProduced);
        if (Error != ERROR_SUCCESS)
            return Error;
        Consumed += ChunkConsumed;
        Produced += ChunkProduced;
        uint32_t ChunkEnd = (Produced + Lznt1ChunkSize - 1) / Lznt1ChunkSize * Lznt1ChunkSize;
        if (ChunkProduced < Lznt1ChunkSize && ChunkEnd > Produced && ChunkEnd <= UnitSize) {
            memset(Output + Produced, 0, ChunkEnd - Produced);
            Produced = ChunkEnd;
        }
        if (Consumed >= UnitSize)
            break;
    }
    if (Produced < Limit)
        return ERROR_INVALID_DATA;
    if (Produced < UnitSize)
        memset(Output + Produced, 0, UnitSize - Produced);
    return ERROR_SUCCESS;
}

} // namespace

// Reads Count clusters of a compressed $DATA from Vcn, uncompressed. A
// 16-cluster unit that touches a sparse run holds LZNT1 chunks; one with no
// sparse run holds its data as is; one that is all sparse is a hole. The last
// decompressed unit stays with the handle, so a sequential read decompresses
// every unit once.
DWORD NtfsAttribute_ReadCompressedClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                           uint32_t* ClustersSupplied)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    bool Compressed = false;
    DWORD Error = GetFileCompressed(AttributeHandle, &Compressed);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!Compressed || AttributeHandle->TypeCode != ATTRIBUTE_DATA || AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(NtfsAttribute_GetVolume(AttributeHandle));
    uint32_t UnitSize = COMPRESSION_UNIT_CLUSTERS * BytesPerCluster;
    if (AttributeHandle->UnitCache == nullptr) {
        AttributeHandle->UnitCache = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, 2 * static_cast<size_t>(UnitSize)));
        if (AttributeHandle->UnitCache == nullptr)
            return ERROR_OUTOFMEMORY;
        AttributeHandle->UnitCacheValid = false;
    }
    uint8_t* DecodedUnit = AttributeHandle->UnitCache;
    uint8_t* StoredUnit = AttributeHandle->UnitCache + UnitSize;

    uint64_t FileSize = AttributeHandle->FileSize;
    uint64_t FileClusters = FileSize / BytesPerCluster + (FileSize % BytesPerCluster != 0 ? 1 : 0);
    if (Vcn >= FileClusters)
        Count = 0;
    else if (Count > FileClusters - Vcn)
        Count = static_cast<uint32_t>(FileClusters - Vcn);

    uint8_t* Output = static_cast<uint8_t*>(Buffer);
    uint32_t Done = 0;
    while (Done < Count) {
        uint64_t Current = Vcn + Done;
        uint32_t OffsetInUnit = static_cast<uint32_t>(Current % COMPRESSION_UNIT_CLUSTERS);
        uint64_t UnitStart = Current - OffsetInUnit;
        uint64_t UnitBytes = FileSize - UnitStart * BytesPerCluster;
        uint32_t Limit = UnitBytes < UnitSize ? static_cast<uint32_t>(UnitBytes) : UnitSize;
        bool Cached = AttributeHandle->UnitCacheValid && AttributeHandle->UnitCacheStart == UnitStart;
        BOOLEAN HasSparse = 0;
        if (!Cached) {
            Error = NtfsAttribute_RangeHasSparseRun(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS, &HasSparse);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        uint32_t Take;
        if (Cached || HasSparse) {
            if (!Cached) {
                AttributeHandle->UnitCacheValid = false;
                if (StoredClusters(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS) == 0) {
                    memset(DecodedUnit, 0, UnitSize);
                } else {
                    uint32_t Supplied = 0;
                    Error = NtfsAttribute_ReadClusters(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS, StoredUnit,
                                                       &Supplied);
                    if (Error != ERROR_SUCCESS)
                        return Error;
                    if (Supplied != COMPRESSION_UNIT_CLUSTERS)
                        return ERROR_INVALID_DATA;
                    Error = DecodeUnit(StoredUnit, UnitSize, DecodedUnit, Limit);
                    if (Error != ERROR_SUCCESS)
                        return Error;
                }
                AttributeHandle->UnitCacheStart = UnitStart;
                AttributeHandle->UnitCacheValid = true;
            }
            uint32_t Available = (Limit + BytesPerCluster - 1) / BytesPerCluster;
            Take = Available > OffsetInUnit ? Available - OffsetInUnit : 0;
            if (Take > Count - Done)
                Take = Count - Done;
            if (Take == 0)
                return ERROR_INVALID_DATA;
            memcpy(Output + static_cast<size_t>(Done) * BytesPerCluster,
                   DecodedUnit + static_cast<size_t>(OffsetInUnit) * BytesPerCluster,
                   static_cast<size_t>(Take) * BytesPerCluster);
        } else {
            Take = COMPRESSION_UNIT_CLUSTERS - OffsetInUnit;
            if (Take > Count - Done)
                Take = Count - Done;
            uint32_t Supplied = 0;
            Error = NtfsAttribute_ReadClusters(AttributeHandle, Current, Take,
                                               Output + static_cast<size_t>(Done) * BytesPerCluster, &Supplied);
            if (Error != ERROR_SUCCESS)
                return Error;
            if (Supplied < Take)
                return ERROR_INVALID_DATA;
        }
        Done += Take;
    }
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = Done;
    return ERROR_SUCCESS;
}

// ---- Indexes ----

namespace {

constexpr uint32_t IndexMaximumBlockSize = 2u << 20;

} // namespace

namespace {

constexpr uint32_t FileNameMaximumLength = 255;

const struct {
    const char16_t* Name;
    uint32_t Kind;
} IndexNames[] = {
    {u"$I30", NtfsIndexKind_FileName},
    {u"$SDH", NtfsIndexKind_SecurityHash},
    {u"$SII", NtfsIndexKind_SecurityId},
};

uint32_t BlockBytes(const NtfsIndex* Index)
{
    return LeReader(Index->RootHeader, IndexRootHeaderLength).U32(IndexRootBytesPerBlockOffset);
}

// A node and its data in one zero-filled heap block; null when out of memory.
NtfsIndexNode* AllocateNode(uint32_t DataLength)
{
    auto* Node = static_cast<NtfsIndexNode*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(NtfsIndexNode) + static_cast<size_t>(DataLength)));
    if (Node != nullptr)
        Node->DataLength = DataLength;
    return Node;
}

void FreeNode(NtfsIndexNode* Node)
{
    HeapFree(GetProcessHeap(), 0, Node);
}

// Frees a node that has not (yet) been linked into a path.
using NodeHolder = RecordHolder<NtfsIndexNode, FreeNode>;

void AppendNode(NtfsIndex* Index, NtfsIndexNode* Node)
{
    Node->Next = nullptr;
    Node->Prev = Index->Last;
    if (Index->Last != nullptr)
        Index->Last->Next = Node;
    else
        Index->First = Node;
    Index->Last = Node;
    Index->Depth++;
}

// Removes and frees the deepest node.
void PopNode(NtfsIndex* Index)
{
    NtfsIndexNode* Node = Index->Last;
    Index->Last = Node->Prev;
    if (Index->Last != nullptr)
        Index->Last->Next = nullptr;
    else
        Index->First = nullptr;
    Index->Depth--;
    FreeNode(Node);
}

void FreePath(NtfsIndex* Index)
{
    while (Index->Last != nullptr)
        PopNode(Index);
}

// The full test of an entry that a level is about to stand on. Beyond lying
// inside its node, an entry must be at least a header long (a length of 0
// would never move on, and a shorter one would make the next entry start
// inside this one); with a subnode it must hold the 8-byte VCN after its
// header; and a keyed entry must hold its whole key before that VCN, so that
// the comparisons and the callers read only the entry's own bytes.
bool CheckEntry(const NtfsIndex* Index, NtfsIndexNode* Node, size_t Offset)
{
    const uint8_t* Data = NtfsIndexNode_Data(Node);
    if (!NtfsIndex_IsEntryInside(Data, Node->DataLength, Offset))
        return false;
    LeReader Entry(Data + Offset, Node->DataLength - Offset);
    uint32_t Length = Entry.U16(IndexEntryLengthOffset);
    uint16_t Flags = Entry.U16(IndexEntryFlagsOffset);
    uint32_t Tail = (Flags & INDEX_ENTRY_NODE) != 0 ? IndexEntrySubnodeLength : 0;
    if (Length < IndexEntryHeaderLength + Tail)
        return false;
    if ((Flags & INDEX_ENTRY_END) != 0)
        return true;
    uint32_t KeyRoom = Length - IndexEntryHeaderLength - Tail;
    uint32_t KeyBytes;
    switch (Index->Kind) {
    case NtfsIndexKind_FileName:
        if (KeyRoom < FileNameNameOffset)
            return false;
        KeyBytes = FileNameNameOffset + 2 * Entry.U8(IndexEntryKeyOffset + FileNameLengthOffset);
        break;
    case NtfsIndexKind_SecurityHash:
        KeyBytes = 8;
        break;
    default:
        KeyBytes = 4;
        break;
    }
    return KeyBytes <= KeyRoom;
}

// Places the cursor of a node of Length bytes on its first entry, through the
// index header at HeaderOffset. The whole first entry is checked here, not
// only its header: it may be delivered before anything steps over it.
bool StartNode(const NtfsIndex* Index, NtfsIndexNode* Node, uint32_t Length, uint32_t HeaderOffset)
{
    LeReader Header(NtfsIndexNode_Data(Node), Length);
    if (!Header.Has(HeaderOffset, IndexHeaderLength))
        return false;
    Node->IndexHeader = HeaderOffset;
    uint64_t FirstEntry = HeaderOffset + uint64_t{Header.U32(HeaderOffset)};
    if (FirstEntry > Length || !CheckEntry(Index, Node, static_cast<size_t>(FirstEntry)))
        return false;
    Node->CurrentEntry = static_cast<uint32_t>(FirstEntry);
    return true;
}

// A private copy of the whole path (and of the record's other fields), for
// a seek that may have to give up.
DWORD CopyPosition(const NtfsIndex* Index, NtfsIndex* Copy)
{
    *Copy = *Index;
    Copy->First = nullptr;
    Copy->Last = nullptr;
    Copy->Depth = 0;
    for (NtfsIndexNode* Node = Index->First; Node != nullptr; Node = Node->Next) {
        NtfsIndexNode* Duplicate = AllocateNode(Node->DataLength);
        if (Duplicate == nullptr) {
            FreePath(Copy);
            return ERROR_OUTOFMEMORY;
        }
        memcpy(Duplicate, Node, sizeof(NtfsIndexNode) + static_cast<size_t>(Node->DataLength));
        AppendNode(Copy, Duplicate);
    }
    return ERROR_SUCCESS;
}

// Puts the saved position back in place of the index's path; Saved is left
// empty.
void RestorePosition(NtfsIndex* Index, NtfsIndex* Saved)
{
    FreePath(Index);
    *Index = *Saved;
    Saved->First = nullptr;
    Saved->Last = nullptr;
    Saved->Depth = 0;
}

} // namespace

uint8_t* NtfsIndexNode_Data(NtfsIndexNode* Node)
{
    return reinterpret_cast<uint8_t*>(Node + 1);
}

bool NtfsIndex_IsEntryInside(const uint8_t* Node, uint32_t Length, size_t Offset)
{
    LeReader Data(Node, Length);
    if (Node == nullptr || !Data.Has(Offset, IndexEntryHeaderLength))
        return false;
    return Data.Has(Offset, Data.U16(Offset + IndexEntryLengthOffset));
}

DWORD NtfsIndex_Open(NtfsFile* File, const char16_t* IndexName, NtfsIndex* Index)
{
    if (!NtfsFile_IsValid(File) || IndexName == nullptr || Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto* Known = std::find_if(std::begin(IndexNames), std::end(IndexNames),
                                     [IndexName](const auto& Entry) { return SameText(Entry.Name, IndexName); });
    if (Known == std::end(IndexNames))
        return ERROR_INVALID_PARAMETER;
    memset(Index, 0, sizeof(NtfsIndex));
    Index->Kind = Known->Kind;

    // The data lookup: an attribute spread over several records is read
    // through its merged handle.
    NtfsAttribute* Root = NtfsFile_FindDataAttribute(File, ATTRIBUTE_INDEX_ROOT, IndexName);
    NtfsAttribute* Bitmap = NtfsFile_FindDataAttribute(File, ATTRIBUTE_BITMAP, IndexName);
    NtfsAttribute* Allocation = NtfsFile_FindDataAttribute(File, ATTRIBUTE_INDEX_ALLOCATION, IndexName);
    if (Root == nullptr)
        return ERROR_FILE_NOT_FOUND;
    // Both absent: a small index that lives wholly in its root.
    if ((Allocation == nullptr) != (Bitmap == nullptr))
        return ERROR_INVALID_DATA;
    // The root is always resident (which also keeps its copy small); index
    // blocks are always stored in clusters.
    if (!Root->Resident || (Allocation != nullptr && Allocation->Resident))
        return ERROR_INVALID_DATA;
    uint64_t RootLength = Root->ValueLength;
    if (RootLength < IndexRootHeaderLength || RootLength > UINT32_MAX)
        return ERROR_INVALID_DATA;

    NodeHolder Node(AllocateNode(static_cast<uint32_t>(RootLength)));
    if (Node.Get() == nullptr)
        return ERROR_OUTOFMEMORY;
    uint8_t* Data = NtfsIndexNode_Data(Node.Get());
    uint32_t BytesRead = 0;
    DWORD Error = NtfsAttribute_Read(Root, 0, static_cast<uint32_t>(RootLength), Data, &BytesRead);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (BytesRead != RootLength)
        return ERROR_INVALID_DATA;
    if (!StartNode(Index, Node.Get(), BytesRead, IndexRootIndexHeaderOffset))
        return ERROR_INVALID_DATA;
    LeReader Value(Data, BytesRead);

    // The block size, and the VCN unit it is counted in: a block of at least
    // a cluster is addressed in clusters, a smaller one in 512-byte units, so
    // the unit is the block size over the units per block.
    memcpy(Index->RootHeader, Data, IndexRootHeaderLength);
    uint32_t BlockSize = Value.U32(IndexRootBytesPerBlockOffset);
    uint32_t UnitsPerBlock = Value.U8(IndexRootUnitsPerBlockOffset);
    if (BlockSize == 0 || UnitsPerBlock == 0 || BlockSize % UnitsPerBlock != 0)
        return ERROR_INVALID_DATA;
    // Blocks are whole sectors under the update sequence protection, and no
    // larger than the largest cluster: a hostile size must not make every
    // listing allocate gigabytes.
    if (BlockSize % 512 != 0 || BlockSize > IndexMaximumBlockSize)
        return ERROR_INVALID_DATA;
    NtfsVolume* Volume = NtfsFile_GetVolume(File);
    uint32_t ClusterSize = NtfsVolume_GetBytesPerCluster(Volume);
    if (ClusterSize >= BlockSize && ClusterSize % BlockSize != 0)
        return ERROR_INVALID_DATA;

    // In a tree every block is entered once per walk, and the blocks lie in
    // the allocation stream, which lies on the volume: more descents than
    // that mean subnode pointers shared between branches, whose walk could
    // otherwise take exponential time at a bounded depth.
    if (Allocation != nullptr) {
        uint64_t StreamBytes = std::max(Allocation->FileSize, Allocation->AllocatedLength);
        uint64_t VolumeBytes = 0;
        if (__builtin_mul_overflow(Volume->TotalClusters, uint64_t{ClusterSize}, &VolumeBytes))
            VolumeBytes = UINT64_MAX;
        Index->BlocksLeft = std::min(StreamBytes, VolumeBytes) / BlockSize + 1;
    }
    Index->RootAttribute = Root;
    Index->AllocationAttribute = Allocation;
    Index->BitmapAttribute = Bitmap;
    AppendNode(Index, Node.Detach());
    return ERROR_SUCCESS;
}

DWORD NtfsIndex_Release(NtfsIndex* Index)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    FreePath(Index);
    return ERROR_SUCCESS;
}

uint32_t NtfsIndex_GetEntryBufferSize(const NtfsIndex* Index)
{
    if (Index == nullptr || Index->RootAttribute == nullptr)
        return 0;
    // The open checked that the root value fits 32 bits.
    uint32_t Size = static_cast<uint32_t>(Index->RootAttribute->ValueLength);
    if (Index->AllocationAttribute != nullptr)
        Size = std::max(Size, BlockBytes(Index));
    return Size;
}

// Reads Output straight from the clusters when the block spans whole
// clusters; a block smaller than a cluster is cut out of a copy of its
// cluster. Output receives BytesPerIndexBlock bytes; after a failure its
// contents are undefined.
DWORD NtfsIndex_ReadBlock(const uint8_t* RootHeader, NtfsAttribute* Allocation, uint64_t Vcn, uint8_t* Output)
{
    if (RootHeader == nullptr || !NtfsAttribute_IsValid(Allocation) || Output == nullptr)
        return ERROR_INVALID_PARAMETER;
    LeReader Header(RootHeader, IndexRootHeaderLength);
    uint32_t BlockSize = Header.U32(IndexRootBytesPerBlockOffset);
    uint32_t UnitsPerBlock = Header.U8(IndexRootUnitsPerBlockOffset);
    if (BlockSize == 0 || UnitsPerBlock == 0 || BlockSize % UnitsPerBlock != 0)
        return ERROR_INVALID_DATA;
    uint64_t Position = 0;
    if (__builtin_mul_overflow(Vcn, uint64_t{BlockSize / UnitsPerBlock}, &Position))
        return ERROR_INVALID_DATA;
    NtfsVolume* Volume = NtfsAttribute_GetVolume(Allocation);
    uint32_t ClusterSize = NtfsVolume_GetBytesPerCluster(Volume);
    uint32_t Supplied = 0;

    if (ClusterSize < BlockSize) {
        // A block must start on a cluster: reading from Position / C would
        // otherwise silently take the bytes before it.
        if (BlockSize % ClusterSize != 0 || Position % ClusterSize != 0)
            return ERROR_INVALID_DATA;
        uint32_t Count = BlockSize / ClusterSize;
        DWORD Error = NtfsAttribute_ReadClusters(Allocation, Position / ClusterSize, Count, Output, &Supplied);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (Supplied != Count)
            return ERROR_READ_FAULT;
        return NtfsRecord_ApplyFixup(Volume, Output, BlockSize);
    }

    uint32_t Within = static_cast<uint32_t>(Position % ClusterSize);
    if (BlockSize > ClusterSize - Within)
        return ERROR_INVALID_DATA; // the block would cross into the next cluster
    HeapBuffer Cluster;
    if (!Cluster.Allocate(ClusterSize))
        return ERROR_OUTOFMEMORY;
    DWORD Error = NtfsAttribute_ReadClusters(Allocation, Position / ClusterSize, 1, Cluster.Get(), &Supplied);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (Supplied != 1)
        return ERROR_READ_FAULT;
    Error = NtfsRecord_ApplyFixup(Volume, Cluster.Get() + Within, BlockSize);
    if (Error != ERROR_SUCCESS)
        return Error;
    memcpy(Output, Cluster.Get() + Within, BlockSize);
    return ERROR_SUCCESS;
}

DWORD NtfsIndex_Descend(NtfsIndex* Index)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (Index->AllocationAttribute == nullptr || Index->BitmapAttribute == nullptr || Index->Last == nullptr)
        return ERROR_INVALID_DATA;
    NtfsIndexNode* Parent = Index->Last;
    LeReader Entry(NtfsIndexNode_Data(Parent) + Parent->CurrentEntry, Parent->DataLength - Parent->CurrentEntry);
    if ((Entry.U16(IndexEntryFlagsOffset) & INDEX_ENTRY_NODE) == 0)
        return ERROR_INVALID_PARAMETER;
    if (Index->Depth >= INDEX_MAXIMUM_DEPTH || Index->BlocksLeft == 0)
        return ERROR_INVALID_DATA;
    // CheckEntry made room for the VCN in the entry's last 8 bytes.
    uint64_t Vcn = Entry.U64(Entry.U16(IndexEntryLengthOffset) - IndexEntrySubnodeLength);
    if (Entry.Failed)
        return ERROR_INVALID_DATA;

    uint32_t BlockSize = BlockBytes(Index);
    NodeHolder Node(AllocateNode(BlockSize));
    if (Node.Get() == nullptr)
        return ERROR_OUTOFMEMORY;
    uint8_t* Data = NtfsIndexNode_Data(Node.Get());
    DWORD Error = NtfsIndex_ReadBlock(Index->RootHeader, Index->AllocationAttribute, Vcn, Data);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!StartNode(Index, Node.Get(), BlockSize, IndexBlockIndexHeaderOffset))
        return ERROR_INVALID_DATA;

    Index->BlocksLeft--;
    AppendNode(Index, Node.Detach());
    Parent->Descended = 1;
    return ERROR_SUCCESS;
}

// An in-order walk: a subnode's entries come before the entry that points to
// it, so entries arrive in ascending key order; end entries carry no key and
// are never delivered.
DWORD NtfsIndex_Next(NtfsIndex* Index, void* Buffer, uint32_t* Size)
{
    if (Index == nullptr || Buffer == nullptr || Size == nullptr)
        return ERROR_INVALID_PARAMETER;
    for (;;) {
        NtfsIndexNode* Node = Index->Last;
        if (Node == nullptr)
            return ERROR_FILE_NOT_FOUND;
        const uint8_t* Entry = NtfsIndexNode_Data(Node) + Node->CurrentEntry;
        LeReader Header(Entry, IndexEntryHeaderLength); // CheckEntry: the header is inside
        uint16_t Flags = Header.U16(IndexEntryFlagsOffset);
        if ((Flags & INDEX_ENTRY_NODE) != 0 && Node->Descended == 0) {
            DWORD Error = NtfsIndex_Descend(Index);
            if (Error != ERROR_SUCCESS)
                return Error;
            continue;
        }
        if ((Flags & INDEX_ENTRY_END) != 0) {
            // The parent stands on the entry whose subnode this was.
            PopNode(Index);
            continue;
        }
        uint32_t Length = Header.U16(IndexEntryLengthOffset);
        size_t NextEntry = static_cast<size_t>(Node->CurrentEntry) + Length;
        if (!CheckEntry(Index, Node, NextEntry))
            return ERROR_INVALID_DATA;
        Node->CurrentEntry = static_cast<uint32_t>(NextEntry);
        Node->Descended = 0;
        memcpy(Buffer, Entry, std::min(*Size, Length));
        *Size = Length;
        return ERROR_SUCCESS;
    }
}

DWORD NtfsIndex_Seek(NtfsIndex* Index, const void* Key, uint32_t KeyLength)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (Index->Kind > NtfsIndexKind_SecurityId)
        return ERROR_INVALID_FUNCTION;

    // The search key: a name is laid out as a $FILE_NAME value, since that
    // is what the comparison of file-name keys reads.
    HeapBuffer NameKey;
    const void* SearchKey = Key;
    if (Key != nullptr) {
        if (Index->Kind == NtfsIndexKind_FileName) {
            const char16_t* Name = static_cast<const char16_t*>(Key);
            size_t Length = 0;
            while (Name[Length] != 0 && Length <= FileNameMaximumLength)
                Length++;
            if (Length > FileNameMaximumLength)
                return ERROR_INVALID_PARAMETER;
            if (!NameKey.Allocate(FileNameNameOffset + 2 * Length))
                return ERROR_OUTOFMEMORY;
            uint8_t* Bytes = NameKey.Get();
            Bytes[FileNameLengthOffset] = static_cast<uint8_t>(Length);
            for (size_t i = 0; i < Length; i++)
                StoreLe16(Bytes + FileNameNameOffset + 2 * i, Name[i]);
            SearchKey = Bytes;
        } else {
            uint32_t Needed = Index->Kind == NtfsIndexKind_SecurityHash ? 8 : 4;
            if (KeyLength != Needed)
                return ERROR_INVALID_PARAMETER;
        }
    }

    // The position before the seek, freed on every way out.
    IndexHolder Saved;
    DWORD Error = CopyPosition(Index, &Saved.Index);
    if (Error != ERROR_SUCCESS)
        return Error;
    for (NtfsIndexNode* Node = Index->First; Node != nullptr; Node = Node->Next)
        Node->Found = 0;

    bool Candidate = false;
    while (Index->Last != nullptr) {
        NtfsIndexNode* Node = Index->Last;
        if ((Node->Found & 1) != 0)
            break;
        const uint8_t* Entry = NtfsIndexNode_Data(Node) + Node->CurrentEntry;
        LeReader Header(Entry, IndexEntryHeaderLength);
        uint16_t Flags = Header.U16(IndexEntryFlagsOffset);
        if ((Flags & INDEX_ENTRY_END) != 0) {
            if (Node->Descended != 0 || (Flags & INDEX_ENTRY_NODE) == 0) {
                PopNode(Index);
                continue;
            }
            Error = NtfsIndex_Descend(Index);
            if (Error != ERROR_SUCCESS)
                return Error;
            continue;
        }

        // CheckEntry: the key lies inside the entry.
        const uint8_t* EntryKey = Entry + IndexEntryKeyOffset;
        bool AtOrAbove = SearchKey == nullptr ||
                         (Index->Kind == NtfsIndexKind_FileName ? NtfsIndex_CompareFileNames(EntryKey, SearchKey)
                                                                : NtfsIndex_CompareUlongs(EntryKey, SearchKey, KeyLength)) >= 0;
        if (!AtOrAbove) {
            size_t NextEntry = static_cast<size_t>(Node->CurrentEntry) + Header.U16(IndexEntryLengthOffset);
            if (!CheckEntry(Index, Node, NextEntry))
                return ERROR_INVALID_DATA;
            Node->CurrentEntry = static_cast<uint32_t>(NextEntry);
            Node->Descended = 0;
            continue;
        }
        // A candidate; smaller keys still at or above the search key may lie
        // in its subnode.
        Candidate = true;
        Node->Found |= 1;
        if ((Flags & INDEX_ENTRY_NODE) == 0)
            break;
        Error = NtfsIndex_Descend(Index);
        if (Error != ERROR_SUCCESS)
            return Error;
    }
    if (!Candidate) {
        RestorePosition(Index, &Saved.Index);
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}
