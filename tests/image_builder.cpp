// Synthetic NTFS volumes for tests; see image_builder.h.
#include "image_builder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace testimage {

namespace {

constexpr size_t Align8(size_t Value) { return (Value + 7) & ~static_cast<size_t>(7); }

void PutLe(Bytes& Buffer, size_t Offset, uint64_t Value, size_t Width) {
    if (Offset > Buffer.size() || Buffer.size() - Offset < Width) {
        throw std::out_of_range("testimage: field past the end of the buffer");
    }
    for (size_t i = 0; i < Width; ++i) {
        Buffer[Offset + i] = static_cast<uint8_t>(Value >> (8 * i));
    }
}

uint64_t GetLe(const Bytes& Buffer, size_t Offset, size_t Width) {
    if (Offset > Buffer.size() || Buffer.size() - Offset < Width) {
        throw std::out_of_range("testimage: field past the end of the buffer");
    }
    uint64_t Value = 0;
    for (size_t i = 0; i < Width; ++i) {
        Value |= static_cast<uint64_t>(Buffer[Offset + i]) << (8 * i);
    }
    return Value;
}

void PutName(Bytes& Buffer, size_t Offset, const std::u16string& Name) {
    for (size_t i = 0; i < Name.size(); ++i) {
        Put16(Buffer, Offset + 2 * i, static_cast<uint16_t>(Name[i]));
    }
}

// Fewest bytes that hold Value unsigned (at least one: a length field of
// zero bytes would make the header byte look like the terminator).
uint8_t UnsignedBytes(uint64_t Value) {
    uint8_t Count = 1;
    while (Count < 8 && (Value >> (8 * Count)) != 0) {
        ++Count;
    }
    return Count;
}

// Fewest bytes that hold Value as two's complement: 0x7F fits in one byte,
// 0x80 needs two (0x80 alone would read back as -128).
uint8_t SignedBytes(int64_t Value) {
    for (uint8_t Count = 1; Count < 8; ++Count) {
        const int64_t Limit = int64_t{1} << (8 * Count - 1);
        if (Value >= -Limit && Value < Limit) {
            return Count;
        }
    }
    return 8;
}

// Writes Width bytes of Value; past the eighth byte, Fill (the sign or zero
// extension).
void AppendField(Bytes& Out, uint64_t Value, uint8_t Width, uint8_t Fill) {
    for (uint8_t i = 0; i < Width; ++i) {
        Out.push_back(i < 8 ? static_cast<uint8_t>(Value >> (8 * i)) : Fill);
    }
}

} // namespace

void Put16(Bytes& Buffer, size_t Offset, uint16_t Value) { PutLe(Buffer, Offset, Value, 2); }
void Put32(Bytes& Buffer, size_t Offset, uint32_t Value) { PutLe(Buffer, Offset, Value, 4); }
void Put64(Bytes& Buffer, size_t Offset, uint64_t Value) { PutLe(Buffer, Offset, Value, 8); }
uint16_t Get16(const Bytes& Buffer, size_t Offset) { return static_cast<uint16_t>(GetLe(Buffer, Offset, 2)); }
uint32_t Get32(const Bytes& Buffer, size_t Offset) { return static_cast<uint32_t>(GetLe(Buffer, Offset, 4)); }
uint64_t Get64(const Bytes& Buffer, size_t Offset) { return GetLe(Buffer, Offset, 8); }

// ---------------------------------------------------------------------------
// Mapping pairs

Bytes EncodeMappingPairs(const std::vector<RunEntry>& Runs) {
    Bytes Out;
    int64_t PreviousLcn = 0; // deltas chain from real runs only; holes have no LCN
    for (const RunEntry& Run : Runs) {
        if (Run.LengthBytes > 15 || Run.OffsetBytes > 15) {
            throw std::invalid_argument("testimage: a mapping-pair field is at most 15 bytes");
        }
        const uint8_t LengthBytes = Run.LengthBytes ? Run.LengthBytes : UnsignedBytes(Run.Length);
        uint8_t OffsetBytes = 0;
        int64_t Delta = 0;
        if (!Run.Sparse) {
            // Two's complement wrap-around is the on-disk meaning of a delta.
            Delta = static_cast<int64_t>(static_cast<uint64_t>(Run.Lcn) - static_cast<uint64_t>(PreviousLcn));
            OffsetBytes = Run.OffsetBytes ? Run.OffsetBytes : SignedBytes(Delta);
            PreviousLcn = Run.Lcn;
        }
        Out.push_back(static_cast<uint8_t>(LengthBytes | (OffsetBytes << 4)));
        AppendField(Out, Run.Length, LengthBytes, 0x00);
        AppendField(Out, static_cast<uint64_t>(Delta), OffsetBytes, Delta < 0 ? 0xFF : 0x00);
    }
    Out.push_back(0x00);
    return Out;
}

uint64_t RunClusters(const std::vector<RunEntry>& Runs) {
    uint64_t Total = 0;
    for (const RunEntry& Run : Runs) {
        Total += Run.Length;
    }
    return Total;
}

uint64_t AllocatedRunClusters(const std::vector<RunEntry>& Runs) {
    uint64_t Total = 0;
    for (const RunEntry& Run : Runs) {
        Total += Run.Sparse ? 0 : Run.Length;
    }
    return Total;
}

// ---------------------------------------------------------------------------
// Update sequence

void ApplyProtection(uint8_t* Buffer, size_t Length, uint16_t UsaOffset, uint16_t Usn, size_t SectorBytes) {
    if (SectorBytes < 2 || Length == 0 || Length % SectorBytes != 0) {
        throw std::invalid_argument("testimage: protection needs whole sectors");
    }
    const size_t Sectors = Length / SectorBytes;
    if (UsaOffset % 2 != 0 || UsaOffset + 2 * (Sectors + 1) > Length) {
        throw std::invalid_argument("testimage: update sequence array does not fit");
    }
    uint8_t* Array = Buffer + UsaOffset;
    Array[0] = static_cast<uint8_t>(Usn);
    Array[1] = static_cast<uint8_t>(Usn >> 8);
    for (size_t i = 1; i <= Sectors; ++i) {
        uint8_t* End = Buffer + i * SectorBytes - 2;
        Array[2 * i] = End[0];
        Array[2 * i + 1] = End[1];
        End[0] = static_cast<uint8_t>(Usn);
        End[1] = static_cast<uint8_t>(Usn >> 8);
    }
}

// ---------------------------------------------------------------------------
// Attribute records

AttributeFields ResidentAttribute(uint32_t Type, Bytes Value, std::u16string Name) {
    AttributeFields Fields;
    Fields.Type = Type;
    Fields.Name = std::move(Name);
    Fields.Value = std::move(Value);
    // File names are indexed in their parent's $I30, and the record says so.
    Fields.ResidentFlags = Type == TypeFileName ? 1 : 0;
    return Fields;
}

AttributeFields NonResidentAttribute(uint32_t Type, const std::vector<RunEntry>& Runs, uint32_t BytesPerCluster,
                                   uint64_t DataSize, std::u16string Name, uint16_t Flags, uint64_t LowestVcn) {
    AttributeFields Fields;
    Fields.Type = Type;
    Fields.Name = std::move(Name);
    Fields.Flags = Flags;
    Fields.NonResident = true;
    Fields.LowestVcn = LowestVcn;
    // An empty attribute has highest VCN -1: it maps no cluster at all.
    Fields.HighestVcn = LowestVcn + RunClusters(Runs) - 1;
    Fields.AllocatedLength = RunClusters(Runs) * BytesPerCluster;
    Fields.DataSize = DataSize;
    Fields.ValidDataLength = DataSize;
    if (Flags & AttrFlagCompressed) {
        Fields.CompressionUnit = 4;
    }
    if (Flags & (AttrFlagCompressed | AttrFlagSparse)) {
        Fields.TotalAllocated = AllocatedRunClusters(Runs) * BytesPerCluster;
    }
    Fields.MappingPairs = EncodeMappingPairs(Runs);
    return Fields;
}

Bytes BuildAttributeRecord(const AttributeFields& Fields) {
    if (Fields.Name.size() > 255) {
        throw std::invalid_argument("testimage: attribute name longer than 255 units");
    }
    const size_t NameBytes = 2 * Fields.Name.size();
    size_t NameOffset;
    size_t DataOffset;
    size_t DataLength;
    if (Fields.NonResident) {
        NameOffset = Fields.TotalAllocated ? 0x48 : 0x40;
        DataLength = Fields.MappingPairs.size();
    } else {
        NameOffset = 0x18;
        DataLength = Fields.Value.size();
    }
    DataOffset = Align8(NameOffset + NameBytes);
    Bytes Record(Align8(DataOffset + DataLength), 0);

    Put32(Record, 0x00, Fields.Type);
    Put32(Record, 0x04, static_cast<uint32_t>(Record.size()));
    Record[0x08] = Fields.NonResident ? 1 : 0;
    Record[0x09] = static_cast<uint8_t>(Fields.Name.size());
    // Unnamed attributes still point the name offset at where a name would go.
    Put16(Record, 0x0A, static_cast<uint16_t>(NameOffset));
    Put16(Record, 0x0C, Fields.Flags);
    Put16(Record, 0x0E, Fields.Instance.value_or(0));
    if (Fields.NonResident) {
        Put64(Record, 0x10, Fields.LowestVcn);
        Put64(Record, 0x18, Fields.HighestVcn);
        Put16(Record, 0x20, static_cast<uint16_t>(DataOffset));
        Record[0x22] = Fields.CompressionUnit;
        Put64(Record, 0x28, Fields.AllocatedLength);
        Put64(Record, 0x30, Fields.DataSize);
        Put64(Record, 0x38, Fields.ValidDataLength);
        if (Fields.TotalAllocated) {
            Put64(Record, 0x40, *Fields.TotalAllocated);
        }
        std::copy(Fields.MappingPairs.begin(), Fields.MappingPairs.end(), Record.begin() + DataOffset);
    } else {
        Put32(Record, 0x10, static_cast<uint32_t>(Fields.Value.size()));
        Put16(Record, 0x14, static_cast<uint16_t>(DataOffset));
        Record[0x16] = Fields.ResidentFlags;
        std::copy(Fields.Value.begin(), Fields.Value.end(), Record.begin() + DataOffset);
    }
    PutName(Record, NameOffset, Fields.Name);
    return Record;
}

Bytes StandardInformation(uint32_t FileAttributes, uint32_t SecurityId, uint64_t Time) {
    Bytes Value(0x48, 0);
    Put64(Value, 0x00, Time); // creation
    Put64(Value, 0x08, Time); // modification
    Put64(Value, 0x10, Time); // MFT record change
    Put64(Value, 0x18, Time); // access
    Put32(Value, 0x20, FileAttributes);
    Put32(Value, 0x34, SecurityId);
    return Value;
}

Bytes FileName(uint64_t ParentReference, const std::u16string& Name, bool IsDirectory, uint8_t Namespace,
               uint64_t AllocatedSize, uint64_t RealSize, uint32_t FileAttributes, uint64_t Time) {
    if (Name.size() > 255) {
        throw std::invalid_argument("testimage: file name longer than 255 units");
    }
    Bytes Value(0x42 + 2 * Name.size(), 0);
    Put64(Value, 0x00, ParentReference);
    Put64(Value, 0x08, Time);
    Put64(Value, 0x10, Time);
    Put64(Value, 0x18, Time);
    Put64(Value, 0x20, Time);
    Put64(Value, 0x28, AllocatedSize);
    Put64(Value, 0x30, RealSize);
    Put32(Value, 0x38, FileAttributes | (IsDirectory ? FileAttributeDirectory : 0));
    Value[0x40] = static_cast<uint8_t>(Name.size());
    Value[0x41] = Namespace;
    PutName(Value, 0x42, Name);
    return Value;
}

Bytes VolumeInformation(uint8_t Major, uint8_t Minor, uint16_t Flags) {
    Bytes Value(12, 0);
    Value[0x08] = Major;
    Value[0x09] = Minor;
    Put16(Value, 0x0A, Flags);
    return Value;
}

Bytes VolumeName(const std::u16string& Label) {
    Bytes Value(2 * Label.size(), 0);
    PutName(Value, 0, Label);
    return Value;
}

Bytes AttributeListEntry(uint32_t Type, const std::u16string& Name, uint64_t LowestVcn, uint64_t FileReference,
                         uint16_t Instance) {
    if (Name.size() > 255) {
        throw std::invalid_argument("testimage: attribute name longer than 255 units");
    }
    Bytes Entry(Align8(0x1A + 2 * Name.size()), 0);
    Put32(Entry, 0x00, Type);
    Put16(Entry, 0x04, static_cast<uint16_t>(Entry.size()));
    Entry[0x06] = static_cast<uint8_t>(Name.size());
    Entry[0x07] = 0x1A;
    Put64(Entry, 0x08, LowestVcn);
    Put64(Entry, 0x10, FileReference);
    Put16(Entry, 0x18, Instance);
    PutName(Entry, 0x1A, Name);
    return Entry;
}

Bytes EmptyFileNameIndexRoot(uint32_t BytesPerIndexBlock, uint32_t BytesPerCluster) {
    Bytes Value(0x30, 0);
    Put32(Value, 0x00, TypeFileName); // the indexed attribute
    Put32(Value, 0x04, 1);            // collation: file names
    Put32(Value, 0x08, BytesPerIndexBlock);
    // Unlike the boot sector, the index root counts blocks smaller than a
    // cluster in 512-byte units.
    Value[0x0C] = static_cast<uint8_t>(BytesPerIndexBlock >= BytesPerCluster ? BytesPerIndexBlock / BytesPerCluster
                                                                             : BytesPerIndexBlock / SectorSize);
    // Node header at 0x10; its offsets count from the node header itself.
    Put32(Value, 0x10, 0x10); // first entry
    Put32(Value, 0x14, 0x20); // end of the last entry
    Put32(Value, 0x18, 0x20); // allocated
    Value[0x1C] = 0;          // a leaf: no $INDEX_ALLOCATION below
    // The end entry: no file, no key, flag 2 = last entry.
    Put16(Value, 0x28, 0x10);
    Put16(Value, 0x2A, 0);
    Put16(Value, 0x2C, 0x02);
    return Value;
}

Bytes AttributeDefinitions() {
    struct Definition {
        const char16_t* Name;
        uint32_t Type;
        uint32_t Flags; // 0x02 indexable, 0x40 always resident, 0x80 may be non-resident
        uint64_t MinimumSize;
        uint64_t MaximumSize;
    };
    static const Definition Definitions[] = {
        {u"$STANDARD_INFORMATION", TypeStandardInformation, 0x40, 0x30, 0x48},
        {u"$ATTRIBUTE_LIST", TypeAttributeList, 0x80, 0, ~0ULL},
        {u"$FILE_NAME", TypeFileName, 0x42, 0x44, 0x242},
        {u"$OBJECT_ID", TypeObjectId, 0x40, 0, 0x100},
        {u"$SECURITY_DESCRIPTOR", TypeSecurityDescriptor, 0x80, 0, ~0ULL},
        {u"$VOLUME_NAME", TypeVolumeName, 0x40, 2, 0x100},
        {u"$VOLUME_INFORMATION", TypeVolumeInformation, 0x40, 0x0C, 0x0C},
        {u"$DATA", TypeData, 0, 0, ~0ULL},
        {u"$INDEX_ROOT", TypeIndexRoot, 0x40, 0, ~0ULL},
        {u"$INDEX_ALLOCATION", TypeIndexAllocation, 0x80, 0, ~0ULL},
        {u"$BITMAP", TypeBitmap, 0x80, 0, ~0ULL},
        {u"$REPARSE_POINT", TypeReparsePoint, 0x80, 0, 0x4000},
        {u"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
        {u"$EA", 0xE0, 0, 0, 0x10000},
        {u"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 0x10000},
    };
    constexpr size_t EntrySize = 0xA0;
    // A zeroed entry ends the table.
    Bytes Table((std::size(Definitions) + 1) * EntrySize, 0);
    size_t Offset = 0;
    for (const Definition& Entry : Definitions) {
        PutName(Table, Offset, Entry.Name); // 0x00: label, 64 UTF-16 units, zero padded
        Put32(Table, Offset + 0x80, Entry.Type);
        Put32(Table, Offset + 0x8C, Entry.Flags);
        Put64(Table, Offset + 0x90, Entry.MinimumSize);
        Put64(Table, Offset + 0x98, Entry.MaximumSize);
        Offset += EntrySize;
    }
    return Table;
}

uint8_t ClustersPerStructureByte(uint32_t StructureBytes, uint32_t BytesPerCluster) {
    if (StructureBytes >= BytesPerCluster) {
        return static_cast<uint8_t>(StructureBytes / BytesPerCluster);
    }
    int Shift = 0;
    while ((uint32_t{1} << Shift) < StructureBytes) {
        ++Shift;
    }
    return static_cast<uint8_t>(-Shift);
}

// ---------------------------------------------------------------------------
// File records

RecordBuilder::RecordBuilder(uint64_t Segment) : Segment_(Segment) {}

RecordBuilder& RecordBuilder::Add(AttributeFields Fields) {
    if (!Fields.Instance) {
        Fields.Instance = AutoInstance_;
    }
    AutoInstance_ = std::max<uint16_t>(AutoInstance_, static_cast<uint16_t>(*Fields.Instance + 1));
    Attributes_.push_back(BuildAttributeRecord(Fields));
    return *this;
}

RecordBuilder& RecordBuilder::AddRaw(Bytes Record) {
    if (Record.size() >= 0x10) {
        AutoInstance_ = std::max<uint16_t>(AutoInstance_, static_cast<uint16_t>(Get16(Record, 0x0E) + 1));
    }
    Attributes_.push_back(std::move(Record));
    return *this;
}

RecordBuilder& RecordBuilder::Clear() {
    Attributes_.clear();
    AutoInstance_ = 0;
    return *this;
}

RecordBuilder& RecordBuilder::SetSequence(uint16_t Sequence) { Sequence_ = Sequence; return *this; }
RecordBuilder& RecordBuilder::SetLinkCount(uint16_t Count) { LinkCount_ = Count; return *this; }
RecordBuilder& RecordBuilder::SetFlags(uint16_t Flags) { Flags_ = Flags; return *this; }
RecordBuilder& RecordBuilder::SetLsn(uint64_t Lsn) { Lsn_ = Lsn; return *this; }
RecordBuilder& RecordBuilder::SetBaseReference(uint64_t Reference) { BaseReference_ = Reference; return *this; }
RecordBuilder& RecordBuilder::SetUsn(uint16_t Usn) { Usn_ = Usn; return *this; }
RecordBuilder& RecordBuilder::SetFirstAttributeOffset(uint16_t Offset) { FirstAttributeOffset_ = Offset; return *this; }
RecordBuilder& RecordBuilder::SetBytesInUse(uint32_t BytesInUse) { BytesInUse_ = BytesInUse; return *this; }
RecordBuilder& RecordBuilder::SetNextInstance(uint16_t Instance) { NextInstance_ = Instance; return *this; }
RecordBuilder& RecordBuilder::SetSegmentNumberField(uint64_t Segment) { SegmentField_ = Segment; return *this; }

RecordBuilder& RecordBuilder::Patch(size_t Offset, const Bytes& Data) {
    Patches_.emplace_back(Offset, Data);
    return *this;
}

Bytes RecordBuilder::Build() const {
    Bytes Record(RecordSize, 0);
    std::memcpy(Record.data(), "FILE", 4);
    Put16(Record, 0x04, RecordUsaOffset);
    Put16(Record, 0x06, RecordSize / SectorSize + 1);
    Put64(Record, 0x08, Lsn_);
    Put16(Record, 0x10, Sequence_);
    Put16(Record, 0x12, LinkCount_);
    Put16(Record, 0x14, FirstAttributeOffset_.value_or(RecordFirstAttribute));
    Put16(Record, 0x16, Flags_);
    Put32(Record, 0x1C, RecordSize);
    Put64(Record, 0x20, BaseReference_);
    const uint64_t SegmentField = SegmentField_.value_or(Segment_);
    Put16(Record, 0x2A, static_cast<uint16_t>(SegmentField >> 32));
    Put32(Record, 0x2C, static_cast<uint32_t>(SegmentField));

    // Attributes always go at 0x38; an overridden first-attribute offset
    // only changes what the header claims.
    size_t Position = RecordFirstAttribute;
    for (const Bytes& Attribute : Attributes_) {
        if (Position + Attribute.size() + 8 > RecordSize) {
            throw std::length_error("testimage: attributes do not fit in the file record");
        }
        std::copy(Attribute.begin(), Attribute.end(), Record.begin() + Position);
        Position += Attribute.size();
    }
    if (Position + 8 > RecordSize) {
        throw std::length_error("testimage: attributes do not fit in the file record");
    }
    Put32(Record, Position, TypeEnd);
    // Bytes in use runs past the end marker's type code to the next 8-byte
    // boundary, as the record length rounding leaves it.
    Put32(Record, 0x18, BytesInUse_.value_or(static_cast<uint32_t>(Align8(Position + 8))));
    Put16(Record, 0x28, NextInstance_.value_or(AutoInstance_));

    for (const auto& [Offset, Data] : Patches_) {
        if (Offset > Record.size() || Record.size() - Offset < Data.size()) {
            throw std::out_of_range("testimage: patch past the end of the record");
        }
        std::copy(Data.begin(), Data.end(), Record.begin() + Offset);
    }
    return Record;
}

Bytes RecordBuilder::BuildProtected() const {
    Bytes Record = Build();
    ApplyProtection(Record.data(), Record.size(), RecordUsaOffset, Usn_);
    return Record;
}

// ---------------------------------------------------------------------------
// Volumes

namespace {

constexpr uint64_t BootRegionBytes = 8192; // $Boot: the boot sector and its loader
constexpr uint64_t DefaultMftStartBytes = 16384;
constexpr uint32_t IndexBlockBytes = 4096;
constexpr uint32_t MirroredRecords = 4; // $MFTMirr keeps records 0..3

uint64_t CeilDiv(uint64_t Value, uint64_t Divisor) { return (Value + Divisor - 1) / Divisor; }

} // namespace

VolumeBuilder::VolumeBuilder(uint32_t BytesPerCluster, uint64_t TotalClusters, uint32_t MftRecordCount)
    : VolumeBuilder([&] {
          VolumeOptions Options;
          Options.BytesPerCluster = BytesPerCluster;
          Options.TotalClusters = TotalClusters;
          Options.MftRecordCount = MftRecordCount;
          return Options;
      }()) {}

VolumeBuilder::VolumeBuilder(const VolumeOptions& Options) : Options_(Options) {
    const uint32_t Bpc = Options_.BytesPerCluster;
    if (Bpc < SectorSize || Bpc > 65536 || (Bpc & (Bpc - 1)) != 0) {
        throw std::invalid_argument("testimage: cluster size must be a power of two from 512 to 65536");
    }
    if (Options_.MftRecordCount < 16) {
        throw std::invalid_argument("testimage: the MFT needs at least the 16 system records");
    }
    Data_.assign(Options_.TotalClusters * Bpc, 0);
    ClusterUsed_.assign(Options_.TotalClusters, false);
    RecordInUse_.assign(Options_.MftRecordCount, false);

    MarkClusters(0, CeilDiv(BootRegionBytes, Bpc));

    // $MFT's data: explicit runs, or one area split into fragments.
    const uint64_t MftClusters = CeilDiv(uint64_t{Options_.MftRecordCount} * RecordSize, Bpc);
    if (!Options_.MftRuns.empty()) {
        MftRuns_ = Options_.MftRuns;
        if (RunClusters(MftRuns_) < MftClusters) {
            throw std::invalid_argument("testimage: MftRuns do not cover the MFT");
        }
    } else {
        const uint32_t Fragments = std::max<uint32_t>(Options_.MftFragments, 1);
        if (Fragments > MftClusters) {
            throw std::invalid_argument("testimage: more MFT fragments than MFT clusters");
        }
        uint64_t Lcn = Options_.MftLcn ? Options_.MftLcn : CeilDiv(DefaultMftStartBytes, Bpc);
        for (uint32_t i = 0; i < Fragments; ++i) {
            const uint64_t Length = i + 1 < Fragments ? MftClusters / Fragments
                                                      : MftClusters - (Fragments - 1) * (MftClusters / Fragments);
            MftRuns_.push_back({Length, static_cast<int64_t>(Lcn)});
            Lcn += Length + 1; // one free cluster between fragments
        }
    }
    for (const RunEntry& Run : MftRuns_) {
        if (Run.Sparse) {
            throw std::invalid_argument("testimage: the MFT cannot have holes");
        }
        MarkClusters(static_cast<uint64_t>(Run.Lcn), Run.Length);
    }

    MirrorLcn_ = AllocateClusters(CeilDiv(uint64_t{MirroredRecords} * RecordSize, Bpc));

    // Bitmaps are kept a multiple of 8 bytes long.
    MftBitmapBytes_ = Align8(CeilDiv(Options_.MftRecordCount, 8));
    ClusterBitmapBytes_ = Align8(CeilDiv(Options_.TotalClusters, 8));
    if (Options_.NonResidentMftBitmap) {
        MftBitmapLcn_ = AllocateClusters(CeilDiv(MftBitmapBytes_, Bpc));
    }
    ClusterBitmapLcn_ = AllocateClusters(CeilDiv(ClusterBitmapBytes_, Bpc));

    Boot_.assign(SectorSize, 0);
    Boot_[0] = 0xEB; // jmp short over the parameter block
    Boot_[1] = 0x52;
    Boot_[2] = 0x90;
    std::memcpy(&Boot_[0x03], "NTFS    ", 8);
    Put16(Boot_, 0x0B, SectorSize);
    Boot_[0x0D] = static_cast<uint8_t>(Bpc / SectorSize);
    Boot_[0x15] = 0xF8;        // media descriptor: fixed disk
    Put16(Boot_, 0x18, 0x3F);  // sectors per track
    Put16(Boot_, 0x1A, 0xFF);  // heads
    Boot_[0x24] = 0x80;        // BIOS drive number
    Boot_[0x26] = 0x80;        // extended boot signature
    Put64(Boot_, 0x28, Options_.TotalClusters * (Bpc / SectorSize));
    Put64(Boot_, 0x30, static_cast<uint64_t>(MftRuns_.front().Lcn));
    Put64(Boot_, 0x38, MirrorLcn_);
    Boot_[0x40] = ClustersPerStructureByte(RecordSize, Bpc);
    Boot_[0x44] = ClustersPerStructureByte(IndexBlockBytes, Bpc);
    Put64(Boot_, 0x48, Options_.SerialNumber);
    Boot_[0x1FE] = 0x55;
    Boot_[0x1FF] = 0xAA;

    const uint64_t Root = FileReference(5, 5);
    const uint32_t Hidden = FileAttributeHidden | FileAttributeSystem;
    const uint64_t MftBytes = uint64_t{Options_.MftRecordCount} * RecordSize;

    RecordBuilder& Mft = Record(0);
    Mft.SetSequence(1);
    Mft.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(Hidden)));
    Mft.Add(ResidentAttribute(TypeFileName, FileName(Root, u"$MFT", false, NamespaceWin32AndDos,
                                                     RunClusters(MftRuns_) * Bpc, MftBytes, Hidden)));
    Mft.Add(NonResidentAttribute(TypeData, MftRuns_, Bpc, MftBytes));
    if (MftBitmapLcn_) {
        Mft.Add(NonResidentAttribute(TypeBitmap, {{CeilDiv(MftBitmapBytes_, Bpc), static_cast<int64_t>(*MftBitmapLcn_)}},
                                     Bpc, MftBitmapBytes_));
    } else {
        // The value is filled in by Build() from the in-use bits.
        Mft.Add(ResidentAttribute(TypeBitmap, Bytes(MftBitmapBytes_, 0)));
    }

    RecordBuilder& Volume = Record(3);
    Volume.SetSequence(3);
    Volume.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(Hidden)));
    Volume.Add(ResidentAttribute(TypeFileName, FileName(Root, u"$Volume", false, NamespaceWin32AndDos, 0, 0, Hidden)));
    Volume.Add(ResidentAttribute(TypeVolumeName, VolumeName(Options_.Label)));
    Volume.Add(ResidentAttribute(TypeVolumeInformation, VolumeInformation(3, 1)));

    // $AttrDef: the attribute type table, which some tools read to name types.
    const Bytes Definitions = AttributeDefinitions();
    RecordBuilder& AttrDef = Record(4);
    AttrDef.SetSequence(4);
    AttrDef.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(Hidden)));
    const AttributeFields DefinitionsData = StoreNonResident(Definitions);
    AttrDef.Add(ResidentAttribute(TypeFileName, FileName(Root, u"$AttrDef", false, NamespaceWin32AndDos,
                                                         DefinitionsData.AllocatedLength, Definitions.size(), Hidden)));
    AttrDef.Add(DefinitionsData);

    RecordBuilder& RootDirectory = Record(5);
    RootDirectory.SetSequence(5).SetFlags(RecordFlagInUse | RecordFlagDirectory);
    RootDirectory.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(Hidden)));
    RootDirectory.Add(ResidentAttribute(TypeFileName, FileName(Root, u".", true, NamespaceWin32AndDos, 0, 0, Hidden)));
    RootDirectory.Add(ResidentAttribute(TypeIndexRoot, EmptyFileNameIndexRoot(IndexBlockBytes, Bpc), u"$I30"));

    // $Bitmap: one bit per cluster, set when the cluster is allocated.
    RecordBuilder& Bitmap = Record(6);
    Bitmap.SetSequence(6);
    Bitmap.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(Hidden)));
    Bitmap.Add(ResidentAttribute(TypeFileName, FileName(Root, u"$Bitmap", false, NamespaceWin32AndDos,
                                                        CeilDiv(ClusterBitmapBytes_, Bpc) * Bpc, ClusterBitmapBytes_,
                                                        Hidden)));
    Bitmap.Add(NonResidentAttribute(TypeData, {{CeilDiv(ClusterBitmapBytes_, Bpc), static_cast<int64_t>(ClusterBitmapLcn_)}},
                                    Bpc, ClusterBitmapBytes_));
}

RecordBuilder& VolumeBuilder::Record(uint64_t Segment) {
    if (Segment >= Options_.MftRecordCount) {
        throw std::out_of_range("testimage: record past the end of the MFT");
    }
    auto Found = Records_.find(Segment);
    if (Found == Records_.end()) {
        Found = Records_.emplace(Segment, RecordBuilder(Segment)).first;
        RecordInUse_[Segment] = true;
    }
    return Found->second;
}

bool VolumeBuilder::HasRecord(uint64_t Segment) const { return Records_.count(Segment) != 0; }

void VolumeBuilder::RemoveRecord(uint64_t Segment) { Records_.erase(Segment); }

void VolumeBuilder::SetRawRecord(uint64_t Segment, Bytes Record) {
    if (Segment >= Options_.MftRecordCount || Record.size() != RecordSize) {
        throw std::out_of_range("testimage: raw record must be 1024 bytes inside the MFT");
    }
    RawRecords_[Segment] = std::move(Record);
}

void VolumeBuilder::SetInUse(uint64_t Segment, bool InUse) { RecordInUse_.at(Segment) = InUse; }

bool VolumeBuilder::IsInUse(uint64_t Segment) const { return RecordInUse_.at(Segment); }

void VolumeBuilder::MarkClusters(uint64_t Lcn, uint64_t Count) {
    if (Lcn > Options_.TotalClusters || Options_.TotalClusters - Lcn < Count) {
        throw std::out_of_range("testimage: clusters past the end of the volume");
    }
    for (uint64_t i = 0; i < Count; ++i) {
        if (ClusterUsed_[Lcn + i]) {
            throw std::invalid_argument("testimage: cluster allocated twice");
        }
        ClusterUsed_[Lcn + i] = true;
    }
}

uint64_t VolumeBuilder::AllocateClusters(uint64_t Count) {
    uint64_t Run = 0;
    for (uint64_t Lcn = 0; Lcn < Options_.TotalClusters && Count != 0; ++Lcn) {
        Run = ClusterUsed_[Lcn] ? 0 : Run + 1;
        if (Run == Count) {
            const uint64_t First = Lcn + 1 - Count;
            MarkClusters(First, Count);
            return First;
        }
    }
    if (Count == 0) {
        return 0;
    }
    throw std::runtime_error("testimage: volume full");
}

void VolumeBuilder::WriteClusters(uint64_t Lcn, const Bytes& Data) {
    const uint64_t Offset = Lcn * Options_.BytesPerCluster;
    if (Lcn >= Options_.TotalClusters || Data_.size() - Offset < Data.size()) {
        throw std::out_of_range("testimage: write past the end of the volume");
    }
    std::copy(Data.begin(), Data.end(), Data_.begin() + static_cast<ptrdiff_t>(Offset));
}

AttributeFields VolumeBuilder::StoreNonResident(const Bytes& Data, uint32_t Type, std::u16string Name) {
    const uint64_t Clusters = CeilDiv(Data.size(), Options_.BytesPerCluster);
    std::vector<RunEntry> Runs;
    if (Clusters != 0) {
        const uint64_t Lcn = AllocateClusters(Clusters);
        WriteClusters(Lcn, Data);
        Runs.push_back({Clusters, static_cast<int64_t>(Lcn)});
    }
    return NonResidentAttribute(Type, Runs, Options_.BytesPerCluster, Data.size(), std::move(Name));
}

uint64_t VolumeBuilder::MftByteOffset(uint64_t Offset) const {
    const uint32_t Bpc = Options_.BytesPerCluster;
    uint64_t Vcn = Offset / Bpc;
    for (const RunEntry& Run : MftRuns_) {
        if (Vcn < Run.Length) {
            return (static_cast<uint64_t>(Run.Lcn) + Vcn) * Bpc + Offset % Bpc;
        }
        Vcn -= Run.Length;
    }
    throw std::out_of_range("testimage: offset past the end of the MFT");
}

void VolumeBuilder::WriteMft(Bytes& Image, uint64_t Offset, const uint8_t* Data, size_t Length) const {
    // Cluster by cluster: with small clusters a record may straddle two runs.
    const uint32_t Bpc = Options_.BytesPerCluster;
    while (Length != 0) {
        const size_t Chunk = std::min<size_t>(Length, Bpc - Offset % Bpc);
        const uint64_t Target = MftByteOffset(Offset);
        if (Target + Chunk > Image.size()) {
            throw std::out_of_range("testimage: MFT past the end of the volume");
        }
        std::memcpy(Image.data() + Target, Data, Chunk);
        Offset += Chunk;
        Data += Chunk;
        Length -= Chunk;
    }
}

Bytes VolumeBuilder::MftBitmapBytes() const {
    Bytes Bits(MftBitmapBytes_, 0);
    for (size_t i = 0; i < RecordInUse_.size(); ++i) {
        if (RecordInUse_[i]) {
            Bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    return Bits;
}

Bytes VolumeBuilder::ClusterBitmapBytes() const {
    Bytes Bits(ClusterBitmapBytes_, 0);
    for (size_t i = 0; i < ClusterUsed_.size(); ++i) {
        if (ClusterUsed_[i]) {
            Bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    return Bits;
}

Bytes VolumeBuilder::Build() const {
    const uint32_t Bpc = Options_.BytesPerCluster;
    Bytes Image = Data_;
    std::copy(Boot_.begin(), Boot_.end(), Image.begin());

    const Bytes MftBits = MftBitmapBytes();
    if (MftBitmapLcn_) {
        std::copy(MftBits.begin(), MftBits.end(), Image.begin() + static_cast<ptrdiff_t>(*MftBitmapLcn_ * Bpc));
    }
    const Bytes ClusterBits = ClusterBitmapBytes();
    std::copy(ClusterBits.begin(), ClusterBits.end(), Image.begin() + static_cast<ptrdiff_t>(ClusterBitmapLcn_ * Bpc));

    for (uint64_t Segment = 0; Segment < Options_.MftRecordCount; ++Segment) {
        Bytes Contents;
        if (auto Raw = RawRecords_.find(Segment); Raw != RawRecords_.end()) {
            Contents = Raw->second;
        } else if (auto Found = Records_.find(Segment); Found != Records_.end()) {
            RecordBuilder Builder = Found->second;
            if (Segment == 0 && !MftBitmapLcn_) {
                // The resident $BITMAP of $MFT (unnamed) gets the in-use bits.
                for (Bytes& Attribute : Builder.Attributes()) {
                    if (Attribute.size() >= 0x18 && Get32(Attribute, 0x00) == TypeBitmap && Attribute[0x08] == 0 &&
                        Attribute[0x09] == 0) {
                        const size_t ValueLength = Get32(Attribute, 0x10);
                        const size_t ValueOffset = Get16(Attribute, 0x14);
                        const size_t Count = std::min({ValueLength, MftBits.size(),
                                                       Attribute.size() - std::min(Attribute.size(), ValueOffset)});
                        std::copy_n(MftBits.begin(), Count, Attribute.begin() + static_cast<ptrdiff_t>(ValueOffset));
                    }
                }
            }
            Contents = Builder.BuildProtected();
        } else {
            continue;
        }
        WriteMft(Image, Segment * RecordSize, Contents.data(), Contents.size());
    }

    // $MFTMirr: the first records as they stand in the MFT.
    Bytes Mirror(uint64_t{MirroredRecords} * RecordSize);
    for (uint32_t i = 0; i < Mirror.size(); ++i) {
        Mirror[i] = Image[MftByteOffset(i)];
    }
    std::copy(Mirror.begin(), Mirror.end(), Image.begin() + static_cast<ptrdiff_t>(MirrorLcn_ * Bpc));
    return Image;
}

std::string VolumeBuilder::WriteToTempFile() const { return WriteTempFile(Build()); }

std::string WriteTempFile(const Bytes& Image) {
    std::string Path = (std::filesystem::temp_directory_path() / "korvex-image-XXXXXX").string();
    const int Fd = mkstemp(Path.data());
    if (Fd < 0) {
        throw std::system_error(errno, std::generic_category(), "testimage: mkstemp");
    }
    size_t Written = 0;
    while (Written < Image.size()) {
        const ssize_t Count = write(Fd, Image.data() + Written, Image.size() - Written);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            const int Error = errno;
            close(Fd);
            std::remove(Path.c_str());
            throw std::system_error(Error, std::generic_category(), "testimage: write");
        }
        Written += static_cast<size_t>(Count);
    }
    close(Fd);
    return Path;
}

TempImage::TempImage(const Bytes& Image) : Path_(WriteTempFile(Image)) {}

TempImage::~TempImage() { std::remove(Path_.c_str()); }

} // namespace testimage
