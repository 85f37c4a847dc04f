// Attribute handles, run lists, the attribute data reader with LZNT1, the key
// comparisons of the indexes, and the attribute report.
#pragma once

#include <cstdint>
#include <type_traits>

#include "../../platform/win32.h"

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
DWORD NtfsAttribute_ReadAndDrop(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, uint32_t* BytesRead);
void NtfsAttribute_LogAhead(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length);
DWORD NtfsAttribute_ReadToFile(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, HANDLE File,
                               uint32_t* BytesRead, bool* WriteFailed);
bool NtfsAttribute_CopiesToFile(NtfsAttribute* AttributeHandle);
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
