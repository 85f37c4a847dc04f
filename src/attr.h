// Attribute handles, run lists, the attribute data reader with LZNT1, and the
// key comparisons of the indexes.
#pragma once

#include <cstdint>
#include <type_traits>

#include "../platform/win32.h"

struct NtfsFile;
struct NtfsVolume;

constexpr uint32_t NTFS_ATTRIBUTE_TAG = 0x41545452; // "ATTR"

// Attribute type codes the attribute layer itself relies on.
constexpr uint32_t ATTRIBUTE_STANDARD_INFORMATION = 0x10;
constexpr uint32_t ATTRIBUTE_ATTRIBUTE_LIST = 0x20;
constexpr uint32_t ATTRIBUTE_FILE_NAME = 0x30;
constexpr uint32_t ATTRIBUTE_VOLUME_INFORMATION = 0x70;
constexpr uint32_t ATTRIBUTE_DATA = 0x80;
constexpr uint32_t ATTRIBUTE_BITMAP = 0xB0;
constexpr uint32_t ATTRIBUTE_END_MARKER = 0xFFFFFFFF;

// Attribute record header (offsets from the record start).
constexpr size_t AttrTypeCodeOffset = 0x00;        // 4
constexpr size_t AttrRecordLengthOffset = 0x04;    // 4
constexpr size_t AttrNonResidentOffset = 0x08;     // 1: 0 resident, 1 non-resident
constexpr size_t AttrNameLengthOffset = 0x09;      // 1, UTF-16 code units
constexpr size_t AttrNameOffsetOffset = 0x0A;      // 2
constexpr size_t AttrFlagsOffset = 0x0C;           // 2
constexpr size_t AttrInstanceOffset = 0x0E;        // 2
constexpr size_t AttrHeaderLength = 0x10;
// Resident form.
constexpr size_t AttrValueLengthOffset = 0x10;     // 4
constexpr size_t AttrValueOffsetOffset = 0x14;     // 2
// Non-resident form.
constexpr size_t AttrLowestVcnOffset = 0x10;       // 8
constexpr size_t AttrHighestVcnOffset = 0x18;      // 8
constexpr size_t AttrMappingPairsOffset = 0x20;    // 2
constexpr size_t AttrCompressionUnitOffset = 0x22; // 1
constexpr size_t AttrAllocatedLengthOffset = 0x28; // 8
constexpr size_t AttrDataSizeOffset = 0x30;        // 8
constexpr size_t AttrValidDataLengthOffset = 0x38; // 8

// $FILE_NAME value, also the key of a directory index entry.
constexpr size_t FileNameParentOffset = 0x00;       // 8, file reference
constexpr size_t FileNameTimesOffset = 0x08;        // 4 x 8: creation, modification, change, access
constexpr size_t FileNameAllocatedOffset = 0x28;    // 8
constexpr size_t FileNameSizeOffset = 0x30;         // 8
constexpr size_t FileNameAttributesOffset = 0x38;   // 4
constexpr size_t FileNameEaSizeOffset = 0x3C;       // 2
constexpr size_t FileNameLengthOffset = 0x40;       // 1, UTF-16 code units
constexpr size_t FileNameNamespaceOffset = 0x41;    // 1
constexpr size_t FileNameNameOffset = 0x42;         // UTF-16LE
constexpr uint32_t FILE_NAME_DIRECTORY = 0x10000000; // the file has an $I30 index

// $STANDARD_INFORMATION: file attribute word; 0x800 marks a compressed file.
constexpr size_t StandardInformationFileAttributesOffset = 0x20;
constexpr uint32_t StandardInformationCompressed = 0x800;

constexpr uint32_t COMPRESSION_UNIT_CLUSTERS = 16;

// One run of a decoded mapping-pairs array. VCNs are implicit: the first run
// starts at VCN 0 and each run starts where the previous one ends.
constexpr uint32_t NTFS_RUN_SPARSE = 1;
struct NtfsRun {
    uint64_t Length; // clusters
    int64_t Lcn;     // absolute; for a sparse run, carried over from the previous run
    uint32_t Flags;  // NTFS_RUN_SPARSE
};

// In-memory form of one attribute record: a private copy of the record with
// its decoded header, name, resident value or non-resident sizes and run table.
struct NtfsAttribute {
    uint32_t Tag;
    NtfsFile* FileHandle;      // the file whose list holds this handle (not owned)
    uint64_t SegmentReference; // the MFT record the attribute record came from
    uint32_t Index;            // which attribute list of the file: 0 or 1
    uint32_t Slot;             // where that list holds it, so closing finds it at once
    uint8_t* Record;           // owned copy, RecordLength bytes
    uint32_t RecordLength;
    uint32_t TypeCode;
    char16_t* Name;            // owned, NUL-terminated; null when unnamed
    uint16_t Instance;
    uint32_t Resident;         // 1 resident, 0 non-resident
    uint64_t ValueLength;      // resident value length, or FileSize
    const uint8_t* Value;      // points into Record; null when empty or non-resident
    uint64_t LowestVcn;
    uint64_t HighestVcn;
    uint64_t AllocatedLength;
    uint64_t FileSize;
    uint64_t ValidDataLength;
    uint32_t RunCount;
    NtfsRun* Runs;             // owned, RunCount entries; null when RunCount is 0
    // Where the last VCN walk ended, so that sequential reads do not walk the
    // run table from its start every time.
    uint32_t HintRun;
    uint64_t HintRunStart;
    // The last decompressed compression unit of a compressed $DATA, and
    // scratch room for a unit as stored: owned, two units long, or null.
    uint8_t* UnitCache;
    uint64_t UnitCacheStart;
    bool UnitCacheValid;
    // The last cluster a partial read of a plain value fetched (small reads
    // such as one byte of the MFT bitmap per record): owned, or null.
    uint8_t* ClusterCache;
    uint64_t ClusterCacheVcn;
    bool ClusterCacheValid;
};

// Run lists.
constexpr uint32_t RUNLIST_INVALID_PAIR = 0xFFFFFFFF;
uint32_t NtfsRunList_DecodePair(const uint8_t* Pair, uint32_t Remaining, NtfsRun* Run);
DWORD NtfsRunList_Decode(const uint8_t* MappingPairs, uint32_t Available, uint32_t* RunCount, NtfsRun** Runs);

// Attribute handles.
uint32_t NtfsAttribute_RecordLength(const uint8_t* Buffer, uint32_t Available);
DWORD NtfsAttribute_Open(NtfsFile* FileHandle, uint64_t SegmentReference, const uint8_t* Buffer, uint32_t Available,
                         NtfsAttribute** AttributeHandle, uint32_t* RecordLength, uint32_t Index);
DWORD NtfsAttribute_Close(NtfsAttribute* AttributeHandle);
DWORD NtfsAttribute_CheckRunList(NtfsAttribute* AttributeHandle, uint64_t* ClusterCount);
bool NtfsAttribute_IsValid(const NtfsAttribute* AttributeHandle);

NtfsFile* NtfsAttribute_GetFileHandle(NtfsAttribute* AttributeHandle);
NtfsVolume* NtfsAttribute_GetVolume(NtfsAttribute* AttributeHandle);
uint32_t NtfsAttribute_GetTypeCode(NtfsAttribute* AttributeHandle);
const char16_t* NtfsAttribute_GetName(NtfsAttribute* AttributeHandle);
uint64_t NtfsAttribute_GetValueLength(NtfsAttribute* AttributeHandle);
BOOLEAN NtfsAttribute_IsResident(NtfsAttribute* AttributeHandle);
uint16_t NtfsAttribute_GetInstance(NtfsAttribute* AttributeHandle);
DWORD NtfsAttribute_GetResidentValue(NtfsAttribute* AttributeHandle, const uint8_t** Value, uint64_t* ValueLength);

// Attribute report.
void NtfsAttribute_Print(NtfsAttribute* AttributeHandle);
const char16_t* NtfsAttribute_TypeName(uint32_t TypeCode);
void NtfsAttribute_PrintStandardInformation(NtfsAttribute* AttributeHandle);
void NtfsAttribute_PrintFileName(NtfsAttribute* AttributeHandle);

// Attribute data reader.
DWORD NtfsAttribute_ReadClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                 uint32_t* ClustersSupplied);
DWORD NtfsAttribute_RangeHasSparseRun(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, BOOLEAN* HasSparse);
uint64_t RangeOverlap(uint64_t First1, uint64_t Last1, uint64_t First2, uint64_t Last2);
DWORD NtfsAttribute_Read(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, void* Buffer,
                         uint32_t* BytesRead);
DWORD NtfsAttribute_ReadCompressedClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                           uint32_t* ClustersSupplied);
DWORD Lznt1_DecompressChunk(const uint8_t* Input, uint32_t InputLength, uint8_t* Output, uint32_t OutputLength,
                            uint32_t* Consumed, uint32_t* Produced);

// Collation. Key positions: null stands below every key, INDEX_KEY_HIGHEST
// above every key; neither is dereferenced.
inline const void* const INDEX_KEY_HIGHEST = reinterpret_cast<const void*>(~static_cast<uintptr_t>(0));
int NtfsIndex_CompareFileNames(const void* Key1, const void* Key2);
int NtfsIndex_CompareUlongs(const void* Key1, const void* Key2, uint32_t KeyLength);
int NtfsAttribute_CompareNames(const NtfsAttribute* Attribute1, const NtfsAttribute* Attribute2);

// ---- Indexes ----
//
// A read-only cursor over one B+ tree index of a file: "$I30" (a directory),
// or "$SDH" and "$SII" of the security file. The root node is the resident
// value of $INDEX_ROOT; every deeper node is an index block of
// $INDEX_ALLOCATION, reached only through the subnode VCNs of the entries.

constexpr uint32_t ATTRIBUTE_INDEX_ROOT = 0x90;
constexpr uint32_t ATTRIBUTE_INDEX_ALLOCATION = 0xA0;

enum NtfsIndexKind : uint32_t {
    NtfsIndexKind_FileName = 0,     // "$I30": key = a $FILE_NAME value
    NtfsIndexKind_SecurityHash = 1, // "$SDH": key = hash, security id (8 bytes)
    NtfsIndexKind_SecurityId = 2,   // "$SII": key = security id (4 bytes)
};

// Index root value: the 16-byte root header, then an index header.
constexpr size_t IndexRootBytesPerBlockOffset = 0x08;  // 4
constexpr size_t IndexRootUnitsPerBlockOffset = 0x0C;  // 1: VCN units per block
constexpr size_t IndexRootHeaderLength = 0x10;
constexpr size_t IndexRootIndexHeaderOffset = 0x10;
// Index block: multi-sector header (update sequence at 0x04/0x06), its own
// VCN at 0x10, then an index header.
constexpr size_t IndexBlockIndexHeaderOffset = 0x18;
// Index header: offsets count from the header itself.
constexpr size_t IndexHeaderEntriesOffset = 0x00;      // 4
constexpr size_t IndexHeaderLength = 0x10;
// Index entry: a 16-byte header, the key, and with INDEX_ENTRY_NODE the
// subnode VCN in the entry's last 8 bytes.
constexpr size_t IndexEntryFileReferenceOffset = 0x00; // 8, "$I30"
constexpr size_t IndexEntryDataOffsetOffset = 0x00;    // 2, "$SDH"/"$SII": data from the entry start
constexpr size_t IndexEntryDataLengthOffset = 0x02;    // 2, "$SDH"/"$SII"
constexpr size_t IndexEntryLengthOffset = 0x08;        // 2
constexpr size_t IndexEntryKeyLengthOffset = 0x0A;     // 2, not used
constexpr size_t IndexEntryFlagsOffset = 0x0C;         // 2
constexpr size_t IndexEntryKeyOffset = 0x10;
constexpr size_t IndexEntryHeaderLength = 0x10;
constexpr size_t IndexEntrySubnodeLength = 8;
constexpr uint16_t INDEX_ENTRY_NODE = 0x0001; // the entry has a subnode
constexpr uint16_t INDEX_ENTRY_END = 0x0002;  // closes its node; no key

// Walks deeper than this are refused: a subnode pointer that leads back into
// the path would otherwise descend until memory runs out.
constexpr uint32_t INDEX_MAXIMUM_DEPTH = 64;

// One level of the path: the fields, followed in the same heap block by
// DataLength bytes of node data (the root value, or an index block after its
// fixup). IndexHeader and CurrentEntry are byte offsets into that data.
struct NtfsIndexNode {
    NtfsIndexNode* Next;   // the next deeper level, or null
    NtfsIndexNode* Prev;   // the parent level, or null for the first node
    uint32_t DataLength;
    uint32_t IndexHeader;
    uint32_t CurrentEntry; // the entry this level stands on; always checked
    uint8_t Descended;     // 1 while the subnode of CurrentEntry is entered or done
    uint8_t Found;         // bit 0: a seek settled in this node
};
uint8_t* NtfsIndexNode_Data(NtfsIndexNode* Node);

// The cursor. Its storage belongs to the caller; it owns the nodes of its
// path and borrows the attribute handles of the file, which must stay open
// until NtfsIndex_Release. A zero-filled record is a valid empty cursor.
struct NtfsIndex {
    NtfsAttribute* RootAttribute;
    NtfsAttribute* AllocationAttribute; // null for an index that lives in its root
    NtfsAttribute* BitmapAttribute;     // present exactly when AllocationAttribute is
    uint32_t Kind;                      // NtfsIndexKind
    uint8_t RootHeader[IndexRootHeaderLength];
    NtfsIndexNode* First;   // the root node, or null when the path is empty
    NtfsIndexNode* Last;    // the deepest node
    uint32_t Depth;         // nodes in the path
    uint64_t BlocksLeft;    // descents still allowed: a tree enters each block once
};
static_assert(std::is_trivially_copyable_v<NtfsIndex>);

// Opens the index named IndexName ("$I30", "$SDH" or "$SII", exact case) of
// File into *Index, standing before its first entry. *Index is overwritten
// (release a cursor before opening it again); on failure it holds no nodes. Errors: ERROR_INVALID_PARAMETER (missing argument, other name),
// ERROR_FILE_NOT_FOUND (no $INDEX_ROOT of that name), ERROR_INVALID_DATA,
// ERROR_OUTOFMEMORY, and the errors of NtfsAttribute_Read.
DWORD NtfsIndex_Open(NtfsFile* File, const char16_t* IndexName, NtfsIndex* Index);
// Frees every node of the path; the index is then empty. Safe on a
// zero-filled record. ERROR_INVALID_PARAMETER for no index.
DWORD NtfsIndex_Release(NtfsIndex* Index);
// A cursor released on every way out of its scope.
class IndexHolder {
public:
    IndexHolder() = default;
    IndexHolder(const IndexHolder&) = delete;
    IndexHolder& operator=(const IndexHolder&) = delete;
    ~IndexHolder() { NtfsIndex_Release(&Index); }
    NtfsIndex Index{};
};
// Copies the next entry in key order (header, key and data) into Buffer: the
// first *Size bytes of it when the entry is longer. *Size receives the
// entry's full length. ERROR_FILE_NOT_FOUND when no entry is left.
DWORD NtfsIndex_Next(NtfsIndex* Index, void* Buffer, uint32_t* Size);
// Places the cursor so that the next NtfsIndex_Next delivers the first entry
// whose key is at or above Key (the first entry when Key is null). "$I30":
// Key is a zero-terminated name of at most 255 units (KeyLength is not used);
// "$SDH": 8 key bytes; "$SII": 4. Call it straight after NtfsIndex_Open.
// ERROR_FILE_NOT_FOUND when every key is below Key: the cursor is then as it
// was before the call. ERROR_INVALID_PARAMETER (no index, wrong key length,
// name too long), ERROR_INVALID_FUNCTION (a Kind outside the three), and the
// errors of the walk, after which the cursor may only be released.
// Names compare by UTF-16 code unit, while directories keep their entries in
// the order of the names upper-cased through $UpCase: an "$I30" seek is exact
// only where the two orders agree (names of one case, digits).
DWORD NtfsIndex_Seek(NtfsIndex* Index, const void* Key, uint32_t KeyLength);
// The size of a buffer that holds any entry of the index whole: the larger
// of the root value and, when there is an allocation, one index block.
uint32_t NtfsIndex_GetEntryBufferSize(const NtfsIndex* Index);

// Reads the index block at Vcn of Allocation into Output (BytesPerIndexBlock
// bytes, as RootHeader gives them) and undoes its update-sequence protection.
DWORD NtfsIndex_ReadBlock(const uint8_t* RootHeader, NtfsAttribute* Allocation, uint64_t Vcn, uint8_t* Output);
// Enters the subnode of the deepest node's current entry.
DWORD NtfsIndex_Descend(NtfsIndex* Index);
// True when the entry at Offset lies wholly inside the Length bytes at Node:
// its header, and its length as the header gives it.
bool NtfsIndex_IsEntryInside(const uint8_t* Node, uint32_t Length, size_t Offset);
