// Synthetic NTFS volumes for tests.
//
// Lays out, in memory, a small NTFS volume exact enough for the readers to
// open: the boot sector, an MFT whose record 0 ($MFT) maps it, record 3
// ($Volume: $VOLUME_NAME, $VOLUME_INFORMATION 3.1), record 4 ($AttrDef),
// record 5 (the root directory, empty $I30 index), record 6 ($Bitmap), the
// first four records mirrored, and whatever records a test adds. Every
// structure can also be built piece by piece (mapping pairs, attribute
// records, file records) so a test can put any byte exactly where it wants,
// including in the wrong place.
//
// This is written from the on-disk format alone and uses nothing from src/:
// it is the independent reference the readers are checked against.
//
// All multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testimage {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t RecordSize = 1024;     // MFT file records are always 1 KiB
constexpr uint32_t SectorSize = 512;      // the update sequence stride
constexpr uint16_t RecordUsaOffset = 0x30;
constexpr uint16_t RecordFirstAttribute = 0x38; // after the 3-word update sequence array
constexpr uint16_t IndexBlockUsaOffset = 0x28;

// Attribute type codes.
constexpr uint32_t TypeStandardInformation = 0x10;
constexpr uint32_t TypeAttributeList = 0x20;
constexpr uint32_t TypeFileName = 0x30;
constexpr uint32_t TypeObjectId = 0x40;
constexpr uint32_t TypeSecurityDescriptor = 0x50;
constexpr uint32_t TypeVolumeName = 0x60;
constexpr uint32_t TypeVolumeInformation = 0x70;
constexpr uint32_t TypeData = 0x80;
constexpr uint32_t TypeIndexRoot = 0x90;
constexpr uint32_t TypeIndexAllocation = 0xA0;
constexpr uint32_t TypeBitmap = 0xB0;
constexpr uint32_t TypeReparsePoint = 0xC0;
constexpr uint32_t TypeEnd = 0xFFFFFFFF;

// Attribute record flags (offset 0x0C).
constexpr uint16_t AttrFlagCompressed = 0x0001;
constexpr uint16_t AttrFlagEncrypted = 0x4000;
constexpr uint16_t AttrFlagSparse = 0x8000;

// File record flags (offset 0x16).
constexpr uint16_t RecordFlagInUse = 0x0001;
constexpr uint16_t RecordFlagDirectory = 0x0002;

// File attribute words ($STANDARD_INFORMATION 0x20, $FILE_NAME 0x38).
constexpr uint32_t FileAttributeHidden = 0x00000002;
constexpr uint32_t FileAttributeSystem = 0x00000004;
constexpr uint32_t FileAttributeArchive = 0x00000020;
constexpr uint32_t FileAttributeSparse = 0x00000200;
constexpr uint32_t FileAttributeCompressed = 0x00000800;
constexpr uint32_t FileAttributeDirectory = 0x10000000; // has an $I30 index

// $FILE_NAME namespaces.
constexpr uint8_t NamespacePosix = 0;
constexpr uint8_t NamespaceWin32 = 1;
constexpr uint8_t NamespaceDos = 2;
constexpr uint8_t NamespaceWin32AndDos = 3;

// 2020-01-01 00:00:00 UTC as a FILETIME (100 ns ticks since 1601).
constexpr uint64_t DefaultTime = 132223104000000000ULL;

// Little-endian field access. Put* throws std::out_of_range past the end.
void Put16(Bytes& Buffer, size_t Offset, uint16_t Value);
void Put32(Bytes& Buffer, size_t Offset, uint32_t Value);
void Put64(Bytes& Buffer, size_t Offset, uint64_t Value);
uint16_t Get16(const Bytes& Buffer, size_t Offset);
uint32_t Get32(const Bytes& Buffer, size_t Offset);
uint64_t Get64(const Bytes& Buffer, size_t Offset);

// A file reference: 48-bit segment number, 16-bit sequence number on top.
constexpr uint64_t FileReference(uint64_t Segment, uint16_t Sequence) {
    return (Segment & 0x0000FFFFFFFFFFFFULL) | (static_cast<uint64_t>(Sequence) << 48);
}

// ---------------------------------------------------------------------------
// Mapping pairs

// One run of a run list. VCNs are implicit: runs follow one another from
// VCN 0. Lcn is absolute; it is ignored for a sparse run, and the delta of
// the next real run is taken from the last real run before the hole.
// LengthBytes/OffsetBytes force the field sizes (1..15; 0 = minimal). A
// forced field wider than the value is sign- (offset) or zero- (length)
// extended; a narrower one is truncated, which is how a test writes a run
// list that does not say what the run list structure says.
struct RunEntry {
    uint64_t Length = 0;
    int64_t Lcn = 0;
    bool Sparse = false;
    uint8_t LengthBytes = 0;
    uint8_t OffsetBytes = 0;
};

// The mapping-pairs array of Runs, ending with the 0x00 terminator. Each
// pair is a header byte (low nibble: size of the length field, high nibble:
// size of the LCN-delta field, 0 for a hole), the unsigned run length and
// the signed delta from the previous real run's LCN.
Bytes EncodeMappingPairs(const std::vector<RunEntry>& Runs);

// Total clusters the runs cover, and clusters actually allocated (not sparse).
uint64_t RunClusters(const std::vector<RunEntry>& Runs);
uint64_t AllocatedRunClusters(const std::vector<RunEntry>& Runs);

// ---------------------------------------------------------------------------
// Update sequence ("fixup") protection

// Protects a multi-sector structure (FILE record, INDX block) of Length bytes
// in place: the last 16-bit word of every SectorSize-byte sector is saved in
// the update sequence array at UsaOffset (entries 1..n; entry 0 is the Usn)
// and replaced by Usn. A reader that finds a sector end differing from entry
// 0 knows the sector was not written together with the others.
// Only the array and the sector ends are written; the header's USA offset
// and count fields (0x04, 0x06) are the caller's. Throws
// std::invalid_argument if Length is not a whole number of sectors or the
// array does not fit.
void ApplyProtection(uint8_t* Buffer, size_t Length, uint16_t UsaOffset, uint16_t Usn,
                     size_t SectorBytes = SectorSize);

// ---------------------------------------------------------------------------
// Attribute records

// Everything one attribute record says. Resident records use Value (and
// ResidentFlags at 0x16: 1 = indexed, as $FILE_NAME is). Non-resident
// records use the VCN range, the three sizes and MappingPairs (already
// encoded, so a test can hand over broken bytes). TotalAllocated, when set,
// widens the non-resident header to 0x48 bytes; compressed attributes carry
// it. Instance: unset = assigned by RecordBuilder::Add.
struct AttributeFields {
    uint32_t Type = TypeData;
    std::u16string Name;
    std::optional<uint16_t> Instance;
    uint16_t Flags = 0;
    bool NonResident = false;
    // Resident form.
    Bytes Value;
    uint8_t ResidentFlags = 0;
    // Non-resident form.
    uint64_t LowestVcn = 0;
    uint64_t HighestVcn = 0;
    uint64_t AllocatedLength = 0;
    uint64_t DataSize = 0;
    uint64_t ValidDataLength = 0;
    std::optional<uint64_t> TotalAllocated;
    uint8_t CompressionUnit = 0; // log2 clusters per unit; 4 for compressed
    Bytes MappingPairs;
};

// A resident attribute holding Value.
AttributeFields ResidentAttribute(uint32_t Type, Bytes Value, std::u16string Name = {});

// A non-resident attribute covering Runs from VCN LowestVcn: highest VCN,
// allocated length (all clusters of the runs), data size, valid data length
// (= DataSize) and the minimal mapping pairs. With Flags containing
// AttrFlagCompressed it also sets compression unit 4 and TotalAllocated (the
// non-sparse clusters); with AttrFlagSparse, TotalAllocated as well.
AttributeFields NonResidentAttribute(uint32_t Type, const std::vector<RunEntry>& Runs, uint32_t BytesPerCluster,
                                   uint64_t DataSize, std::u16string Name = {}, uint16_t Flags = 0,
                                   uint64_t LowestVcn = 0);

// The exact bytes of one attribute record (length 8-aligned). Resident: name
// at 0x18, value at the next 8-byte boundary. Non-resident: name at 0x40
// (0x48 with TotalAllocated), mapping pairs at the next 8-byte boundary.
// An unset Instance is written as 0.
Bytes BuildAttributeRecord(const AttributeFields& Fields);

// Common attribute values.
Bytes StandardInformation(uint32_t FileAttributes = 0, uint32_t SecurityId = 0, uint64_t Time = DefaultTime);
Bytes FileName(uint64_t ParentReference, const std::u16string& Name, bool IsDirectory = false,
               uint8_t Namespace = NamespaceWin32AndDos, uint64_t AllocatedSize = 0, uint64_t RealSize = 0,
               uint32_t FileAttributes = 0, uint64_t Time = DefaultTime);
Bytes VolumeInformation(uint8_t Major = 3, uint8_t Minor = 1, uint16_t Flags = 0);
// $VOLUME_NAME: the label in UTF-16LE, no terminator; empty when unlabelled.
Bytes VolumeName(const std::u16string& Label);
// One $ATTRIBUTE_LIST entry (length 8-aligned, name at 0x1A).
Bytes AttributeListEntry(uint32_t Type, const std::u16string& Name, uint64_t LowestVcn, uint64_t FileReference,
                         uint16_t Instance);
// An $INDEX_ROOT value for a file-name index ($I30) with no entries: the
// index root header, a node header and the lone end entry.
Bytes EmptyFileNameIndexRoot(uint32_t BytesPerIndexBlock, uint32_t BytesPerCluster);

// The $AttrDef table: one 0xA0-byte entry per attribute type (label,
// type code, flags, minimum and maximum size), then a zeroed entry.
Bytes AttributeDefinitions();

// The signed "clusters per record / index block" boot-sector byte: the
// cluster count when the structure is at least a cluster, else -log2(bytes).
uint8_t ClustersPerStructureByte(uint32_t StructureBytes, uint32_t BytesPerCluster);

// ---------------------------------------------------------------------------
// File records

// One 1024-byte MFT file record. Attributes are written in the order added
// (real records keep them sorted by type code; a test may not). Header
// fields default to a plain in-use base record.
class RecordBuilder {
public:
    explicit RecordBuilder(uint64_t Segment = 0);

    // Adds an attribute record; an unset Instance gets the next free number.
    RecordBuilder& Add(AttributeFields Fields);
    // Adds bytes verbatim as one attribute record.
    RecordBuilder& AddRaw(Bytes Record);
    // Drops every attribute.
    RecordBuilder& Clear();

    RecordBuilder& SetSequence(uint16_t Sequence);
    RecordBuilder& SetLinkCount(uint16_t Count);
    RecordBuilder& SetFlags(uint16_t Flags);
    RecordBuilder& SetLsn(uint64_t Lsn);
    RecordBuilder& SetBaseReference(uint64_t Reference); // makes this an extension record
    RecordBuilder& SetUsn(uint16_t Usn);                 // used by BuildProtected
    // Overrides of computed header fields, for malformed records.
    RecordBuilder& SetFirstAttributeOffset(uint16_t Offset);
    RecordBuilder& SetBytesInUse(uint32_t BytesInUse);
    RecordBuilder& SetNextInstance(uint16_t Instance);
    RecordBuilder& SetSegmentNumberField(uint64_t Segment); // the 0x2A/0x2C fields only
    // Bytes written over the assembled record before protection.
    RecordBuilder& Patch(size_t Offset, const Bytes& Data);

    uint64_t Segment() const { return Segment_; }
    uint16_t Sequence() const { return Sequence_; }
    uint16_t Usn() const { return Usn_; }
    uint64_t Reference() const { return FileReference(Segment_, Sequence_); }
    // The attribute records as they will be laid out (mutable, for tweaks).
    std::vector<Bytes>& Attributes() { return Attributes_; }

    // The record without fixup (sector ends hold the true data), for
    // inspection. The USA offset/count header fields are already set.
    // Throws std::length_error when the attributes do not fit.
    Bytes Build() const;
    // Build() with the update sequence applied using Usn().
    Bytes BuildProtected() const;

private:
    uint64_t Segment_;
    uint16_t Sequence_ = 1;
    uint16_t LinkCount_ = 1;
    uint16_t Flags_ = RecordFlagInUse;
    uint64_t Lsn_ = 0;
    uint64_t BaseReference_ = 0;
    uint16_t Usn_ = 1;
    uint16_t AutoInstance_ = 0;
    std::optional<uint16_t> FirstAttributeOffset_;
    std::optional<uint32_t> BytesInUse_;
    std::optional<uint16_t> NextInstance_;
    std::optional<uint64_t> SegmentField_;
    std::vector<Bytes> Attributes_;
    std::vector<std::pair<size_t, Bytes>> Patches_;
};

// ---------------------------------------------------------------------------
// Volumes

struct VolumeOptions {
    uint32_t BytesPerCluster = 4096; // 512 .. 65536, a power of two
    uint64_t TotalClusters = 1024;
    uint32_t MftRecordCount = 64;
    // Where the MFT starts; 0 = the first cluster at or after 16 KiB.
    uint64_t MftLcn = 0;
    // Splits $MFT's $DATA into this many runs, one free cluster apart.
    uint32_t MftFragments = 1;
    // Exact $MFT $DATA runs (not sparse, in VCN order); overrides the two
    // options above. Must cover MftRecordCount records.
    std::vector<RunEntry> MftRuns;
    // $MFT's $BITMAP as a non-resident attribute in its own cluster(s).
    bool NonResidentMftBitmap = false;
    uint64_t SerialNumber = 0x1C0FFEE5DEADBEEFULL;
    std::u16string Label; // $Volume's $VOLUME_NAME
};

class VolumeBuilder {
public:
    VolumeBuilder(uint32_t BytesPerCluster = 4096, uint64_t TotalClusters = 1024, uint32_t MftRecordCount = 64);
    explicit VolumeBuilder(const VolumeOptions& Options);

    // The record for Segment, created empty (in use, sequence 1) on first
    // use and marked in use in the MFT bitmap. Records 0, 3, 4, 5 and 6 exist
    // from the start; a test may rewrite them. Throws std::out_of_range past
    // the MFT.
    RecordBuilder& Record(uint64_t Segment);
    bool HasRecord(uint64_t Segment) const;
    // Forgets a record: its slot is written as zeros (or raw bytes if set).
    void RemoveRecord(uint64_t Segment);
    // Writes exactly these 1024 bytes (no fixup added) for Segment; wins
    // over Record(Segment).
    void SetRawRecord(uint64_t Segment, Bytes Record);
    // The MFT bitmap bit of Segment only; record headers are untouched.
    void SetInUse(uint64_t Segment, bool InUse);
    bool IsInUse(uint64_t Segment) const;

    // First-fit allocation of Count free contiguous clusters (marked used
    // in $Bitmap); returns the first LCN. Throws std::runtime_error when full.
    uint64_t AllocateClusters(uint64_t Count);
    // Copies Data to the image at Lcn (it may span several clusters). Does
    // not mark clusters used.
    void WriteClusters(uint64_t Lcn, const Bytes& Data);
    // Allocates clusters for Data, writes it and returns a matching
    // non-resident attribute (one run; empty data gives no run).
    AttributeFields StoreNonResident(const Bytes& Data, uint32_t Type = TypeData, std::u16string Name = {});

    // The raw boot sector (512 bytes), to inspect or corrupt before Build().
    Bytes& Boot() { return Boot_; }

    uint32_t BytesPerCluster() const { return Options_.BytesPerCluster; }
    uint64_t TotalClusters() const { return Options_.TotalClusters; }
    uint32_t MftRecordCount() const { return Options_.MftRecordCount; }
    uint64_t MftLcn() const { return MftRuns_.front().Lcn; }
    const std::vector<RunEntry>& MftRuns() const { return MftRuns_; }
    uint64_t MftMirrorLcn() const { return MirrorLcn_; }
    // Byte offset in the image of byte Offset of the MFT's data.
    uint64_t MftByteOffset(uint64_t Offset) const;
    // Byte offset in the image of the first byte of record Segment.
    uint64_t RecordOffset(uint64_t Segment) const { return MftByteOffset(Segment * RecordSize); }

    // The whole image (TotalClusters x BytesPerCluster bytes): boot sector,
    // records protected at their MFT positions, the first four also in the
    // mirror, the MFT bitmap and the cluster bitmap as they stand now.
    Bytes Build() const;
    // Writes Build() to a new unique file in the temp directory; returns
    // its path. The caller removes it (or use TempImage).
    std::string WriteToTempFile() const;

private:
    void WriteMft(Bytes& Image, uint64_t Offset, const uint8_t* Data, size_t Length) const;
    void MarkClusters(uint64_t Lcn, uint64_t Count);
    Bytes MftBitmapBytes() const;
    Bytes ClusterBitmapBytes() const;

    VolumeOptions Options_;
    Bytes Boot_;
    Bytes Data_; // cluster contents written through WriteClusters
    std::vector<bool> ClusterUsed_;
    std::vector<bool> RecordInUse_;
    std::vector<RunEntry> MftRuns_;
    uint64_t MirrorLcn_ = 0;
    std::optional<uint64_t> MftBitmapLcn_;
    uint64_t ClusterBitmapLcn_ = 0;
    uint64_t MftBitmapBytes_ = 0;
    uint64_t ClusterBitmapBytes_ = 0;
    std::map<uint64_t, RecordBuilder> Records_;
    std::map<uint64_t, Bytes> RawRecords_;
};

// A file holding an image, removed when this goes out of scope.
class TempImage {
public:
    explicit TempImage(const Bytes& Image);
    explicit TempImage(const VolumeBuilder& Volume) : TempImage(Volume.Build()) {}
    ~TempImage();
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;
    const std::string& Path() const { return Path_; }

private:
    std::string Path_;
};

// Writes Image to a new unique file in the temp directory; returns its path.
std::string WriteTempFile(const Bytes& Image);

} // namespace testimage
