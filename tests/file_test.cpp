// File handles over synthetic volumes: the record reader and its fixup, record
// header checks, attribute lists and the merging of fragmented attributes.
#include <cstring>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "image_builder.h"
#include "mounted_image.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using namespace testimage;

namespace {

using Mounted = MountedImage;

Bytes Info() { return StandardInformation(); }

Bytes Pattern(size_t Length, uint32_t Seed)
{
    Bytes Data(Length);
    for (size_t i = 0; i < Length; i++)
        Data[i] = static_cast<uint8_t>((i * 131 + Seed) ^ (i >> 9));
    return Data;
}

// A file (record 64) whose $DATA of 300 clusters is split in three pieces:
// VCNs 0-99 in the base record, 100-199 in record 65 and 200-299 in record 66.
// Order gives the order of the two extension entries in the attribute list.
struct SplitFile {
    SplitFile(bool ReverseOrder)
    {
        uint32_t Cluster = Builder.BytesPerCluster();
        Content = Pattern(300 * Cluster - 77, 5);
        uint64_t Lcn[3];
        for (int i = 0; i < 3; i++) {
            Lcn[i] = Builder.AllocateClusters(100);
            Bytes Part(Content.begin() + i * 100 * Cluster,
                       Content.begin() + std::min<size_t>(Content.size(), (i + 1) * 100 * Cluster));
            Builder.WriteClusters(Lcn[i], Part);
        }
        AttributeFields Pieces[3];
        for (int i = 0; i < 3; i++) {
            Pieces[i] = NonResidentAttribute(TypeData, {{100, static_cast<int64_t>(Lcn[i])}}, Cluster, Content.size(),
                                             {}, 0, static_cast<uint64_t>(i) * 100);
            Pieces[i].Instance = 0;
        }
        Pieces[0].Instance = 2;
        for (int i = 0; i < 2; i++)
            Builder.Record(65 + i).SetBaseReference(FileReference(64, 1)).Add(Pieces[i + 1]);

        Bytes List;
        auto Append = [&](const Bytes& Entry) { List.insert(List.end(), Entry.begin(), Entry.end()); };
        Append(AttributeListEntry(TypeStandardInformation, {}, 0, FileReference(64, 1), 0));
        Append(AttributeListEntry(TypeData, {}, 0, FileReference(64, 1), 2));
        Bytes Second = AttributeListEntry(TypeData, {}, 100, FileReference(65, 1), 0);
        Bytes Third = AttributeListEntry(TypeData, {}, 200, FileReference(66, 1), 0);
        Append(ReverseOrder ? Third : Second);
        Append(ReverseOrder ? Second : Third);
        ListValue = List;

        AttributeFields Information = ResidentAttribute(TypeStandardInformation, Info());
        Information.Instance = 0;
        AttributeFields ListAttribute = ResidentAttribute(TypeAttributeList, List);
        ListAttribute.Instance = 1;
        Builder.Record(64).Add(Information).Add(ListAttribute).Add(Pieces[0]);
    }
    VolumeBuilder Builder{4096, 1024, 80};
    Bytes Content;
    Bytes ListValue;
};

Bytes ReadAll(NtfsAttribute* Attribute, DWORD* Error)
{
    Bytes Data(static_cast<size_t>(NtfsAttribute_GetValueLength(Attribute)));
    uint32_t Got = 0;
    *Error = NtfsAttribute_Read(Attribute, 0, static_cast<uint32_t>(Data.size()), Data.data(), &Got);
    Data.resize(Got);
    return Data;
}

} // namespace

TEST(RecordReader, WhereRecordsLieForEveryClusterSize)
{
    for (uint32_t BytesPerCluster : {512u, 1024u, 4096u, 65536u}) {
        VolumeOptions Options;
        Options.BytesPerCluster = BytesPerCluster;
        Options.TotalClusters = BytesPerCluster == 65536 ? 64 : 2048;
        Options.MftRecordCount = 80;
        Options.MftFragments = BytesPerCluster == 65536 ? 1 : 3;
        VolumeBuilder Builder(Options);
        Builder.Record(70).Add(ResidentAttribute(TypeStandardInformation, Info())).SetSequence(9).SetLsn(0x1234);
        Mounted Volume(Builder);
        ASSERT_EQ(Volume.Error, ERROR_SUCCESS) << BytesPerCluster;
        Bytes Record(1024);
        for (uint64_t Segment : {5u, 70u}) {
            ASSERT_EQ(NtfsVolume_ReadFileRecord(Volume.Volume, Segment | (7ull << 48), Record.data()), ERROR_SUCCESS);
            // Equal to the unprotected record, but for the array itself.
            Bytes Expected = Builder.Record(Segment).Build();
            std::copy(Record.begin() + RecordUsaOffset, Record.begin() + RecordUsaOffset + 6,
                      Expected.begin() + RecordUsaOffset);
            size_t Differs = 0;
            while (Differs < 1024 && Record[Differs] == Expected[Differs])
                Differs++;
            EXPECT_EQ(Differs, 1024u) << "segment " << Segment << " with clusters of " << BytesPerCluster;
        }
        EXPECT_EQ(NtfsVolume_ReadFileRecord(Volume.Volume, 71, Record.data()), ERROR_FILE_NOT_FOUND);
        // Past the bitmap's data: no byte to test.
        EXPECT_EQ(NtfsVolume_ReadFileRecord(Volume.Volume, 1ull << 32, Record.data()), ERROR_INVALID_DATA);
    }
}

TEST(RecordReader, RecordZeroNeedsNoMftAttributes)
{
    VolumeBuilder Builder(4096, 1024, 64);
    Mounted Volume(Builder);
    ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
    NtfsVolume Early = *Volume.Volume;
    Early.Mft_Data$ = nullptr;
    Early.Mft_Bitmap$ = nullptr;
    Bytes Record(1024);
    EXPECT_EQ(NtfsVolume_ReadFileRecord(&Early, 0, Record.data()), ERROR_SUCCESS);
    EXPECT_EQ(NtfsVolume_ReadFileRecord(&Early, 3, Record.data()), ERROR_INVALID_PARAMETER);
}

TEST(RecordReader, UpdateSequenceChecks)
{
    VolumeBuilder Builder(4096, 1024, 64);
    Mounted Volume(Builder);
    ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
    Bytes Good = Builder.Record(5).BuildProtected();
    auto Fixup = [&](Bytes Record) {
        DWORD Error = NtfsRecord_ApplyFixup(Volume.Volume, Record.data(), static_cast<uint32_t>(Record.size()));
        return std::make_pair(Error, Record);
    };
    EXPECT_EQ(Fixup(Good).first, ERROR_SUCCESS);
    Bytes Restored0 = Fixup(Good).second;
    Bytes Plain0 = Builder.Record(5).Build();
    for (size_t i = 0x100; i < 1024; i++)
        ASSERT_EQ(Restored0[i], Plain0[i]) << i;
    for (uint16_t Count : {2, 4, 0}) {
        Bytes Wrong = Good;
        Put16(Wrong, 6, Count);
        EXPECT_EQ(Fixup(Wrong).first, ERROR_INVALID_DATA) << Count;
    }
    // A torn second sector fails with the first sector already restored.
    Bytes Torn = Good;
    Torn[1022] ^= 0xFF;
    auto [Error, Restored] = Fixup(Torn);
    EXPECT_EQ(Error, ERROR_INVALID_DATA);
    Bytes Plain = Builder.Record(5).Build();
    EXPECT_EQ(Get16(Restored, 510), Get16(Plain, 510));
    // An array that would reach past the record.
    Bytes Outside = Good;
    Put16(Outside, 4, 1020);
    EXPECT_EQ(Fixup(Outside).first, ERROR_INVALID_DATA);
    EXPECT_EQ(NtfsRecord_ApplyFixup(Volume.Volume, Good.data(), 1000), ERROR_INVALID_DATA);
    EXPECT_EQ(NtfsRecord_ApplyFixup(Volume.Volume, Good.data(), 0), ERROR_INVALID_PARAMETER);
}

TEST(RecordReader, AnMftRunTableThatDoesNotMapTheRecord)
{
    VolumeOptions Options;
    Options.MftRecordCount = 64;
    VolumeBuilder Builder(Options);
    // The bitmap says record 40 is in use, but $MFT's run table stops short.
    Builder.Record(40).Add(ResidentAttribute(TypeStandardInformation, Info()));
    RecordBuilder& Mft = Builder.Record(0);
    for (Bytes& Attribute : Mft.Attributes()) {
        if (Get32(Attribute, 0) == TypeData && Attribute[8] == 1) {
            Put64(Attribute, 0x18, 7); // highest VCN: 8 clusters, 32 records
            Attribute[Get16(Attribute, 0x20)] = 0x11;
            Attribute[Get16(Attribute, 0x20) + 1] = 8;
        }
    }
    Mounted Volume(Builder);
    ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
    EXPECT_EQ(Volume.OpenError(40), ERROR_INVALID_DATA);
}

TEST(FileOpen, RecordHeaderBounds)
{
    VolumeBuilder Builder(4096, 1024, 80);
    Builder.Record(64).Add(ResidentAttribute(TypeStandardInformation, Info())).SetBytesInUse(1024);
    Builder.Record(65).Add(ResidentAttribute(TypeStandardInformation, Info())).SetBytesInUse(1025);
    Builder.Record(66).Add(ResidentAttribute(TypeStandardInformation, Info())).SetFirstAttributeOffset(0x400);
    Builder.Record(67).Add(ResidentAttribute(TypeStandardInformation, Info())).SetBytesInUse(0x38);
    Bytes Attribute = BuildAttributeRecord(ResidentAttribute(TypeStandardInformation, Info()));
    Put32(Attribute, 4, 0x300);
    Builder.Record(68).AddRaw(Attribute);
    Builder.Record(69).Add(ResidentAttribute(TypeStandardInformation, Info()));
    Mounted Volume(Builder);
    ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
    EXPECT_EQ(Volume.OpenError(64), ERROR_SUCCESS) << "a full record is accepted";
    EXPECT_EQ(Volume.OpenError(65), ERROR_INVALID_DATA);
    EXPECT_EQ(Volume.OpenError(66), ERROR_INVALID_DATA);
    EXPECT_EQ(Volume.OpenError(67), ERROR_INVALID_DATA);
    EXPECT_EQ(Volume.OpenError(68), ERROR_INVALID_DATA);
    EXPECT_EQ(Volume.OpenError(69), ERROR_SUCCESS);
    EXPECT_EQ(Volume.OpenError(70), ERROR_FILE_NOT_FOUND);

    NtfsFile* File = nullptr;
    ASSERT_EQ(NtfsFile_Open(Volume.Volume, 69, &File), ERROR_SUCCESS);
    EXPECT_EQ(File->AttributeCount[1], 0u);
    EXPECT_EQ(File->AttributeList[1], nullptr);
    NtfsFile_Close(File);
}

TEST(FileOpen, FragmentedDataMergesFromThreeRecords)
{
    for (bool Reverse : {false, true}) {
        SplitFile Split(Reverse);
        Mounted Volume(Split.Builder);
        ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
        NtfsFile* File = nullptr;
        ASSERT_EQ(NtfsFile_Open(Volume.Volume, 64, &File), ERROR_SUCCESS);
        NtfsAttribute* First = NtfsFile_FindAttribute(File, TypeData, nullptr, 0);
        NtfsAttribute* Merged = NtfsFile_FindAttribute(File, TypeData, nullptr, 1);
        ASSERT_NE(First, nullptr);
        ASSERT_NE(Merged, nullptr);
        EXPECT_EQ(First->HighestVcn, 99u);
        EXPECT_EQ(Merged->HighestVcn, 299u);
        EXPECT_EQ(Merged->RunCount, 3u);
        EXPECT_EQ(File->AttributeCount[0], 3u);
        EXPECT_EQ(File->AttributeCount[1], 2u) << "the later pieces are gone";
        EXPECT_NE(NtfsFile_FindAttribute(File, TypeStandardInformation, nullptr, 1),
                  NtfsFile_FindAttribute(File, TypeStandardInformation, nullptr, 0))
            << "base-record attributes are in both lists as distinct handles";

        // The first piece alone cannot be read past its own runs; the data
        // lookup gives the merged handle.
        DWORD Error = 0;
        ReadAll(First, &Error);
        EXPECT_EQ(Error, ERROR_INVALID_DATA);
        EXPECT_EQ(NtfsFile_FindDataAttribute(File, TypeData, nullptr), Merged);
        EXPECT_EQ(ReadAll(Merged, &Error), Split.Content);
        EXPECT_EQ(Error, ERROR_SUCCESS);
        EXPECT_EQ(NtfsFile_FindDataAttribute(File, TypeStandardInformation, nullptr),
                  NtfsFile_FindAttribute(File, TypeStandardInformation, nullptr, 0));
        NtfsFile_Close(File);
    }
}

// Two $DATA streams (unnamed and "s") in one-cluster pieces spread over
// extension records, their entries interleaved and listed last piece first
// (the order that makes a slot-by-slot search slowest), near the largest
// list a file may have; and a stray duplicate of piece 5 listed after the
// real one, which must stay a handle of its own.
TEST(FileOpen, ThousandsOfPiecesMergeInVcnOrder)
{
    constexpr uint32_t Pieces = 4000; // per stream
    constexpr uint32_t PerRecord = 12;
    constexpr uint32_t Records = (2 * Pieces + 1 + PerRecord - 1) / PerRecord;
    VolumeOptions Options;
    Options.BytesPerCluster = 512;
    Options.TotalClusters = 20000;
    Options.MftRecordCount = 66 + Records;
    VolumeBuilder Builder(Options);
    const std::u16string Names[2] = {u"", u"s"};
    Bytes Content[2];
    uint64_t DataLcn[2];
    for (int Stream = 0; Stream < 2; Stream++) {
        Content[Stream] = Pattern(Pieces * 512 - 100, 9 + Stream);
        DataLcn[Stream] = Builder.AllocateClusters(Pieces);
        Builder.WriteClusters(DataLcn[Stream], Content[Stream]);
    }
    uint64_t StrayLcn = Builder.AllocateClusters(1);
    Builder.WriteClusters(StrayLcn, Bytes(512, 0xEE));

    std::vector<Bytes> Entries;
    uint32_t Number = 0;
    auto AddPiece = [&](int Stream, uint64_t Vcn, uint64_t Lcn) {
        uint64_t Segment = 65 + Number / PerRecord;
        AttributeFields Piece = NonResidentAttribute(TypeData, {{1, static_cast<int64_t>(Lcn)}}, 512,
                                                     Content[Stream].size(), Names[Stream], 0, Vcn);
        Piece.Instance = static_cast<uint16_t>(Number++ % PerRecord);
        Builder.Record(Segment).SetBaseReference(FileReference(64, 1)).Add(Piece);
        Entries.push_back(AttributeListEntry(TypeData, Names[Stream], Vcn, FileReference(Segment, 1), *Piece.Instance));
    };
    for (uint32_t Vcn = Pieces; Vcn-- > 0;)
        for (int Stream = 0; Stream < 2; Stream++)
            AddPiece(Stream, Vcn, DataLcn[Stream] + Vcn);
    AddPiece(0, 5, StrayLcn);
    Bytes List;
    for (const Bytes& Entry : Entries)
        List.insert(List.end(), Entry.begin(), Entry.end());
    Builder.Record(64)
        .Add(ResidentAttribute(TypeStandardInformation, Info()))
        .Add(Builder.StoreNonResident(List, TypeAttributeList));

    Mounted Volume(Builder);
    ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
    NtfsFile* File = Volume.Open(64);
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(File->AttributeCount[1], 3u) << "two merged streams and the stray duplicate";
    for (int Stream = 0; Stream < 2; Stream++) {
        SCOPED_TRACE(Stream);
        NtfsAttribute* Merged = NtfsFile_FindAttribute(File, TypeData, Stream == 0 ? nullptr : u"s", 1);
        ASSERT_NE(Merged, nullptr);
        EXPECT_EQ(Merged->LowestVcn, 0u);
        EXPECT_EQ(Merged->HighestVcn, Pieces - 1);
        ASSERT_EQ(Merged->RunCount, Pieces);
        for (uint32_t Vcn = 0; Vcn < Pieces; Vcn++)
            ASSERT_EQ(Merged->Runs[Vcn].Lcn, static_cast<int64_t>(DataLcn[Stream] + Vcn)) << Vcn;
        DWORD Error = 0;
        EXPECT_EQ(ReadAll(Merged, &Error), Content[Stream]);
        EXPECT_EQ(Error, ERROR_SUCCESS);
    }
}

// Random pieces of two types and two names with colliding and empty VCN
// ranges (an empty piece ends one before it starts, so one at VCN 0 ends at
// 2^64 - 1), in random list order, merged by the file open and by a plain
// model of the rule: each handle starting at VCN 0, in slot order, takes the
// first other open handle of its type and name that starts one past its end,
// until there is none.
TEST(FileOpen, MergeAgreesWithSlotBySlotModel)
{
    struct Piece {
        uint32_t Type;
        std::u16string Name;
        uint64_t Low;
        uint64_t High;
        std::vector<int64_t> Lcns;
        bool Open = true;
    };
    uint32_t Seed = 12345;
    auto Random = [&Seed](uint32_t Bound) {
        Seed = Seed * 1103515245u + 12345u;
        return (Seed >> 16) % Bound;
    };
    for (int Case = 0; Case < 60; Case++) {
        SCOPED_TRACE(Case);
        std::vector<Piece> Pieces(8 + Random(16));
        for (size_t i = 0; i < Pieces.size(); i++) {
            Piece& Item = Pieces[i];
            Item.Type = Random(4) == 0 ? TypeBitmap : TypeData;
            Item.Name.assign(Random(3) == 0 ? 1 : 0, u's');
            Item.Low = Random(5);
            uint64_t Length = Random(3);
            Item.High = Item.Low + Length - 1;
            if (Length != 0)
                Item.Lcns.push_back(static_cast<int64_t>(100 + 4 * i));
        }

        VolumeOptions Options;
        Options.BytesPerCluster = 512;
        Options.TotalClusters = 400;
        Options.MftRecordCount = 72;
        VolumeBuilder Builder(Options);
        Bytes List;
        for (size_t i = 0; i < Pieces.size(); i++) {
            const Piece& Item = Pieces[i];
            std::vector<RunEntry> Runs;
            if (!Item.Lcns.empty())
                Runs.push_back({Item.High - Item.Low + 1, Item.Lcns[0]});
            AttributeFields Fields = NonResidentAttribute(Item.Type, Runs, 512, 2048, Item.Name, 0, Item.Low);
            uint64_t Segment = 65 + i / 4;
            Fields.Instance = static_cast<uint16_t>(i % 4);
            Builder.Record(Segment).SetBaseReference(FileReference(64, 1)).Add(Fields);
            Bytes Entry = AttributeListEntry(Item.Type, Item.Name, Item.Low, FileReference(Segment, 1), *Fields.Instance);
            List.insert(List.end(), Entry.begin(), Entry.end());
        }
        Builder.Record(64)
            .Add(ResidentAttribute(TypeStandardInformation, Info()))
            .Add(ResidentAttribute(TypeAttributeList, List));

        for (Piece& Item : Pieces) {
            if (!Item.Open || Item.Low != 0)
                continue;
            while (true) {
                Piece* Next = nullptr;
                for (Piece& Other : Pieces)
                    if (&Other != &Item && Other.Open && Other.Type == Item.Type && Other.Name == Item.Name &&
                        Other.Low == Item.High + 1) {
                        Next = &Other;
                        break;
                    }
                if (Next == nullptr)
                    break;
                Item.Lcns.insert(Item.Lcns.end(), Next->Lcns.begin(), Next->Lcns.end());
                Item.High = Next->High;
                Next->Open = false;
            }
        }

        Mounted Volume(Builder);
        ASSERT_EQ(Volume.Error, ERROR_SUCCESS);
        NtfsFile* File = Volume.Open(64);
        ASSERT_NE(File, nullptr);
        std::vector<const Piece*> Expected;
        for (const Piece& Item : Pieces)
            if (Item.Open)
                Expected.push_back(&Item);
        std::vector<NtfsAttribute*> Got;
        for (uint32_t Slot = 0; Slot < File->AttributeSlots[1]; Slot++)
            if (File->AttributeList[1][Slot] != nullptr)
                Got.push_back(File->AttributeList[1][Slot]);
        ASSERT_EQ(Got.size(), Expected.size());
        for (size_t i = 0; i < Got.size(); i++) {
            EXPECT_EQ(Got[i]->TypeCode, Expected[i]->Type) << i;
            EXPECT_EQ(Got[i]->Name == nullptr ? u"" : std::u16string(Got[i]->Name), Expected[i]->Name) << i;
            EXPECT_EQ(Got[i]->LowestVcn, Expected[i]->Low) << i;
            EXPECT_EQ(Got[i]->HighestVcn, Expected[i]->High) << i;
            std::vector<int64_t> Lcns;
            for (uint32_t Run = 0; Run < Got[i]->RunCount; Run++)
                Lcns.push_back(Got[i]->Runs[Run].Lcn);
            EXPECT_EQ(Lcns, Expected[i]->Lcns) << i;
        }
    }
}

TEST(FileOpen, DamagedAttributeLists)
{
    {
        // An entry naming an instance its record does not hold.
        SplitFile Split(false);
        RecordBuilder& Extension = Split.Builder.Record(66);
        Extension.Attributes()[0][0x0E] = 9;
        Mounted Volume(Split.Builder);
        EXPECT_EQ(Volume.OpenError(64), ERROR_FILE_NOT_FOUND);
    }
    {
        // An entry shorter than its fixed part would never advance.
        SplitFile Split(false);
        Bytes List = Split.ListValue;
        Put16(List, 4, 0);
        RecordBuilder& Base = Split.Builder.Record(64);
        Base.Attributes()[1] = BuildAttributeRecord(ResidentAttribute(TypeAttributeList, List));
        Base.Attributes()[1][0x0E] = 1;
        Mounted Volume(Split.Builder);
        EXPECT_EQ(Volume.OpenError(64), ERROR_INVALID_DATA);
    }
    {
        // A trailing part too short for an entry ends the walk.
        SplitFile Split(false);
        Bytes List = Split.ListValue;
        List.resize(List.size() + 5, 0);
        RecordBuilder& Base = Split.Builder.Record(64);
        Base.Attributes()[1] = BuildAttributeRecord(ResidentAttribute(TypeAttributeList, List));
        Base.Attributes()[1][0x0E] = 1;
        Mounted Volume(Split.Builder);
        EXPECT_EQ(Volume.OpenError(64), ERROR_SUCCESS);
    }
    {
        // A list that claims more than any volume could need is not read.
        VolumeBuilder Builder(4096, 1024, 80);
        AttributeFields Huge = NonResidentAttribute(TypeAttributeList, {{1, 200}}, 4096, (256u << 10) + 1);
        Builder.Record(64).Add(ResidentAttribute(TypeStandardInformation, Info())).Add(Huge);
        Mounted Volume(Builder);
        EXPECT_EQ(Volume.OpenError(64), ERROR_INVALID_DATA);
    }
    {
        // An extension record that is not in use.
        SplitFile Split(false);
        Split.Builder.SetInUse(65, false);
        Mounted Volume(Split.Builder);
        EXPECT_EQ(Volume.OpenError(64), ERROR_FILE_NOT_FOUND);
    }
}

TEST(SystemFiles, VolumeOpenNeedsMftAttributesAndVersion)
{
    auto OpenError = [](VolumeBuilder& Builder) {
        Mounted Volume(Builder);
        EXPECT_EQ(Volume.Error == ERROR_SUCCESS, Volume.Volume != nullptr);
        return Volume.Error;
    };
    {
        VolumeBuilder Builder(4096, 1024, 64);
        for (Bytes& Attribute : Builder.Record(3).Attributes())
            if (Get32(Attribute, 0) == TypeVolumeInformation)
                Put32(Attribute, 0, TypeVolumeName);
        EXPECT_EQ(OpenError(Builder), ERROR_INVALID_DATA);
    }
    {
        VolumeBuilder Builder(4096, 1024, 64);
        for (Bytes& Attribute : Builder.Record(3).Attributes())
            if (Get32(Attribute, 0) == TypeVolumeInformation)
                Put32(Attribute, 0x10, 9); // a value of 9 bytes has no minor version
        EXPECT_EQ(OpenError(Builder), ERROR_INVALID_DATA);
    }
    {
        VolumeBuilder Builder(4096, 1024, 64);
        for (Bytes& Attribute : Builder.Record(0).Attributes())
            if (Get32(Attribute, 0) == TypeBitmap)
                Put32(Attribute, 0, 0xB8);
        EXPECT_EQ(OpenError(Builder), ERROR_INVALID_DATA);
    }
    {
        VolumeBuilder Builder(4096, 1024, 64);
        Builder.SetInUse(3, false);
        EXPECT_EQ(OpenError(Builder), ERROR_FILE_NOT_FOUND);
    }
    {
        VolumeOptions Options;
        Options.NonResidentMftBitmap = true;
        VolumeBuilder Builder(Options);
        EXPECT_EQ(OpenError(Builder), ERROR_SUCCESS);
    }
    {
        // $MFT's own attribute list would need records that can only be
        // located once $MFT is open.
        VolumeBuilder Builder(4096, 1024, 64);
        Builder.Record(15).SetBaseReference(0).Add(ResidentAttribute(TypeData, {1}, u"x"));
        Builder.Record(0).Add(ResidentAttribute(TypeAttributeList, AttributeListEntry(TypeData, u"x", 0, 15, 0)));
        EXPECT_EQ(OpenError(Builder), ERROR_INVALID_PARAMETER);
    }
}
