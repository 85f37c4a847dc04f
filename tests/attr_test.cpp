// Attribute handles, file handle slots and the attribute data reader.
#include <cstring>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "image_builder.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using namespace testimage;

namespace {

// A bare file record to register attribute handles in; closes what it holds.
class BareFile {
public:
    BareFile()
    {
        File = AllocateRecord<NtfsFile>();
        File->Tag = NTFS_FILE_TAG;
    }
    ~BareFile() { NtfsFile_Close(File); }
    NtfsFile* File;
};

struct Opened {
    DWORD Error;
    NtfsAttribute* Attribute;
    uint32_t Length;
};

Opened OpenRecord(NtfsFile* File, const Bytes& Record, uint32_t Available = 0, uint32_t Index = 0)
{
    Opened Result{0, reinterpret_cast<NtfsAttribute*>(1), 99};
    Result.Error = NtfsAttribute_Open(File, 0x40, Record.data(), Available != 0 ? Available : static_cast<uint32_t>(Record.size()),
                                      &Result.Attribute, &Result.Length, Index);
    return Result;
}

Bytes Resident(uint32_t Type, Bytes Value, std::u16string Name = {})
{
    return BuildAttributeRecord(ResidentAttribute(Type, std::move(Value), std::move(Name)));
}

Bytes Pattern(size_t Length, uint32_t Seed)
{
    Bytes Data(Length);
    uint32_t State = Seed;
    for (uint8_t& Byte : Data) {
        State = State * 1103515245u + 12345u;
        Byte = static_cast<uint8_t>(State >> 16);
    }
    return Data;
}

// A volume holding one file (record 64) whose $DATA the test lays out.
struct DataVolume {
    explicit DataVolume(uint32_t BytesPerCluster = 4096) : Builder(BytesPerCluster, 1024, 80) {}

    // Adds record 64 with a $STANDARD_INFORMATION and Data; opens the volume
    // and the file.
    void Open(const AttributeFields& Data, uint32_t FileAttributes = 0, bool WithInformation = true)
    {
        RecordBuilder& Record = Builder.Record(64);
        if (WithInformation)
            Record.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(FileAttributes)));
        Record.Add(Data);
        Image = Builder.Build();
        File = std::make_unique<TempImage>(Image);
        std::u16string Name = Wide(File->Path());
        ASSERT_EQ(NtfsVolume_Open(Name.c_str(), nullptr, &Volume, 0), ERROR_SUCCESS);
        ASSERT_EQ(NtfsFile_Open(Volume, 64, &Handle), ERROR_SUCCESS);
        Attribute = NtfsFile_FindAttribute(Handle, TypeData, nullptr, 0);
        ASSERT_NE(Attribute, nullptr);
    }
    ~DataVolume()
    {
        if (Handle != nullptr)
            NtfsFile_Close(Handle);
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
    }
    Bytes Read(uint64_t Offset, uint32_t Length, DWORD* Error)
    {
        Bytes Buffer(Length);
        uint32_t Got = 0xDEAD;
        *Error = NtfsAttribute_Read(Attribute, Offset, Length, Buffer.data(), &Got);
        Buffer.resize(*Error == ERROR_SUCCESS ? Got : 0);
        return Buffer;
    }
    Bytes Cluster(uint64_t Lcn) const
    {
        uint32_t Size = Builder.BytesPerCluster();
        return Bytes(Image.begin() + static_cast<long>(Lcn * Size), Image.begin() + static_cast<long>((Lcn + 1) * Size));
    }

    VolumeBuilder Builder;
    Bytes Image;
    std::unique_ptr<TempImage> File;
    NtfsVolume* Volume = nullptr;
    NtfsFile* Handle = nullptr;
    NtfsAttribute* Attribute = nullptr;
};

} // namespace

TEST(AttributeRecords, LengthRules)
{
    Bytes End = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(NtfsAttribute_RecordLength(End.data(), 4), 4u);
    EXPECT_EQ(NtfsAttribute_RecordLength(End.data(), 3), 0u);
    Bytes Record = Resident(TypeData, {1, 2, 3});
    uint32_t Length = static_cast<uint32_t>(Record.size());
    EXPECT_EQ(NtfsAttribute_RecordLength(Record.data(), Length), Length);
    EXPECT_EQ(NtfsAttribute_RecordLength(Record.data(), Length - 1), 0u) << "longer than what is available";
    Put32(Record, 4, 15);
    EXPECT_EQ(NtfsAttribute_RecordLength(Record.data(), Length), 0u);
    Put32(Record, 4, 16);
    EXPECT_EQ(NtfsAttribute_RecordLength(Record.data(), Length), 16u);

    BareFile File;
    Opened Marker = OpenRecord(File.File, End);
    EXPECT_EQ(Marker.Error, ERROR_SUCCESS);
    EXPECT_EQ(Marker.Attribute, nullptr);
    EXPECT_EQ(Marker.Length, 4u);
    // A 16-byte resident record has no room for its value fields.
    Opened Stub = OpenRecord(File.File, Record);
    EXPECT_EQ(Stub.Error, ERROR_INVALID_DATA);
    EXPECT_EQ(Stub.Attribute, nullptr);
    EXPECT_EQ(Stub.Length, 0u);
    EXPECT_EQ(File.File->AttributeCount[0], 0u);
}

TEST(AttributeRecords, ResidentValuesAndNames)
{
    BareFile File;
    Opened Named = OpenRecord(File.File, Resident(TypeData, {0xAA, 0xBB}, u"$SDS"));
    ASSERT_EQ(Named.Error, ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(Named.Attribute->Name), u"$SDS");
    EXPECT_EQ(Named.Attribute->ValueLength, 2u);
    EXPECT_EQ(Named.Attribute->Value[1], 0xBB);
    EXPECT_EQ(Named.Attribute->Index, 0u);
    EXPECT_EQ(Named.Attribute->SegmentReference, 0x40u);
    const uint8_t* Value = nullptr;
    uint64_t ValueLength = 0;
    EXPECT_EQ(NtfsAttribute_GetResidentValue(Named.Attribute, &Value, &ValueLength), ERROR_SUCCESS);
    EXPECT_EQ(ValueLength, 2u);

    Opened Unnamed = OpenRecord(File.File, Resident(TypeData, {}));
    ASSERT_EQ(Unnamed.Error, ERROR_SUCCESS);
    EXPECT_EQ(Unnamed.Attribute->Name, nullptr) << "unnamed is none, not empty";
    EXPECT_EQ(Unnamed.Attribute->Value, nullptr);

    // An empty value ignores its offset; a value reaching past the record
    // does not open.
    Bytes Empty = Resident(TypeData, {});
    Put16(Empty, 0x14, 0xFFFF);
    EXPECT_EQ(OpenRecord(File.File, Empty).Error, ERROR_SUCCESS);
    Bytes Overrun = Resident(TypeData, {1, 2, 3, 4});
    Put32(Overrun, 0x10, static_cast<uint32_t>(Overrun.size() - Get16(Overrun, 0x14) + 1));
    EXPECT_EQ(OpenRecord(File.File, Overrun).Error, ERROR_INVALID_DATA);
    Bytes NameOverrun = Resident(TypeData, {1}, u"ab");
    NameOverrun[0x09] = 0x7F;
    EXPECT_EQ(OpenRecord(File.File, NameOverrun).Error, ERROR_INVALID_DATA);

    EXPECT_EQ(File.File->AttributeCount[0], 3u) << "failed opens leave the list as it was";
    EXPECT_EQ(OpenRecord(File.File, Empty, 0, 2).Error, ERROR_INVALID_PARAMETER);
}

TEST(AttributeRecords, NonResidentHeadersAndRunTables)
{
    BareFile File;
    AttributeFields Fields = NonResidentAttribute(TypeData, {{3, 100}, {5, 200}}, 4096, 8 * 4096);
    Opened Good = OpenRecord(File.File, BuildAttributeRecord(Fields));
    ASSERT_EQ(Good.Error, ERROR_SUCCESS);
    EXPECT_EQ(Good.Attribute->Resident, 0u);
    EXPECT_EQ(Good.Attribute->RunCount, 2u);
    EXPECT_EQ(Good.Attribute->HighestVcn, 7u);
    EXPECT_EQ(Good.Attribute->ValueLength, 8u * 4096);
    uint64_t Clusters = 0;
    EXPECT_EQ(NtfsAttribute_CheckRunList(Good.Attribute, &Clusters), ERROR_SUCCESS);
    EXPECT_EQ(Clusters, 8u);

    AttributeFields Short = Fields;
    Short.HighestVcn = 8;
    EXPECT_EQ(OpenRecord(File.File, BuildAttributeRecord(Short)).Error, ERROR_INVALID_DATA);
    Short.HighestVcn = 6;
    EXPECT_EQ(OpenRecord(File.File, BuildAttributeRecord(Short)).Error, ERROR_INVALID_DATA);

    // Only the terminator, VCNs 0 to all-ones: an empty attribute.
    AttributeFields Empty = NonResidentAttribute(TypeData, {}, 4096, 0);
    Empty.HighestVcn = ~0ull;
    Opened None = OpenRecord(File.File, BuildAttributeRecord(Empty));
    ASSERT_EQ(None.Error, ERROR_SUCCESS);
    EXPECT_EQ(None.Attribute->RunCount, 0u);
    EXPECT_EQ(None.Attribute->Runs, nullptr);

    Bytes Flag = BuildAttributeRecord(Fields);
    Flag[0x08] = 2;
    EXPECT_EQ(OpenRecord(File.File, Flag).Error, ERROR_INVALID_DATA);
    Bytes Pairs = BuildAttributeRecord(Fields);
    Put16(Pairs, 0x20, static_cast<uint16_t>(Pairs.size()));
    EXPECT_EQ(OpenRecord(File.File, Pairs).Error, ERROR_INVALID_DATA);
    Bytes Cut = BuildAttributeRecord(Fields);
    Put32(Cut, 4, 0x30);
    EXPECT_EQ(OpenRecord(File.File, Cut, 0x30).Error, ERROR_INVALID_DATA) << "header cut before its sizes";
    Bytes Broken = BuildAttributeRecord(Fields);
    Broken[Get16(Broken, 0x20)] = 0x09;
    EXPECT_EQ(OpenRecord(File.File, Broken).Error, ERROR_INVALID_DATA);

    EXPECT_EQ(NtfsAttribute_CheckRunList(NtfsFile_FindAttribute(File.File, TypeData, nullptr, 0), nullptr),
              ERROR_SUCCESS);
    Opened ResidentOne = OpenRecord(File.File, Resident(TypeData, {1}, u"r"));
    EXPECT_EQ(NtfsAttribute_CheckRunList(ResidentOne.Attribute, nullptr), ERROR_INVALID_FUNCTION);
}

TEST(FileSlots, GrowthReuseAndLookup)
{
    BareFile File;
    std::vector<NtfsAttribute*> Handles;
    for (int i = 0; i < 31; i++) {
        Opened Result = OpenRecord(File.File, Resident(TypeData, {static_cast<uint8_t>(i)}, u"s" + std::u16string(1, char16_t(u'a' + i))));
        ASSERT_EQ(Result.Error, ERROR_SUCCESS);
        Handles.push_back(Result.Attribute);
    }
    EXPECT_EQ(File.File->AttributeSlots[0], 60u);
    EXPECT_EQ(File.File->AttributeCount[0], 31u);
    EXPECT_EQ(File.File->AttributeSlots[1], 0u);
    EXPECT_EQ(File.File->AttributeList[1], nullptr);

    EXPECT_EQ(NtfsAttribute_Close(Handles[4]), ERROR_SUCCESS);
    EXPECT_EQ(NtfsFile_GetSlot(File.File, 0, 4), nullptr);
    Opened Reuse = OpenRecord(File.File, Resident(TypeData, {}, u"again"));
    EXPECT_EQ(NtfsFile_GetSlot(File.File, 0, 4), Reuse.Attribute);
    EXPECT_EQ(File.File->AttributeCount[0], 31u);

    // Names match exactly: none finds only unnamed, a name only that name.
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, nullptr, 0), nullptr);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, u"", 0), nullptr);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, u"sb", 0), Handles[1]);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, u"SB", 0), nullptr);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, u"s", 0), nullptr);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, u"sb", 2), nullptr);
    Opened Unnamed = OpenRecord(File.File, Resident(TypeData, {}), 0, 1);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, nullptr, 1), Unnamed.Attribute);
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, TypeData, nullptr, 0), nullptr);

    // A handle that is not in the list cannot be removed from it.
    EXPECT_EQ(NtfsFile_DelAttribute(File.File, Unnamed.Attribute, 0), ERROR_INVALID_PARAMETER);

    BOOLEAN IsRoot = 7;
    File.File->FileReference = 0x0005000000000005;
    EXPECT_EQ(NtfsFile_IsRootDirectory(File.File, &IsRoot), ERROR_SUCCESS);
    EXPECT_EQ(IsRoot, 1);
    File.File->FileReference = 0x0000000100000005;
    EXPECT_EQ(NtfsFile_IsRootDirectory(File.File, &IsRoot), ERROR_SUCCESS);
    EXPECT_EQ(IsRoot, 0);
}

TEST(Handles, TagsAreCheckedAcrossHandleTypes)
{
    NtfsVolume Volume{};
    NtfsFile File{};
    NtfsAttribute Attribute{};
    Volume.Tag = NTFS_FILE_TAG;
    File.Tag = NTFS_ATTRIBUTE_TAG;
    Attribute.Tag = NTFS_VOLUME_TAG;
    uint8_t Buffer[1024];
    uint32_t Count = 0;
    BOOLEAN Flag = 0;
    EXPECT_EQ(NtfsVolume_Close(&Volume), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(&Volume, 0, 1, Buffer), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadFileRecord(&Volume, 0, Buffer), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsRecord_ApplyFixup(&Volume, Buffer, 1024), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsFile_Close(&File), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsFile_IsRootDirectory(&File, &Flag), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_Close(&Attribute), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_Read(&Attribute, 0, 1, Buffer, &Count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_ReadClusters(&Attribute, 0, 1, Buffer, &Count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_MergeAll(&Attribute), ERROR_INVALID_PARAMETER);
}

TEST(DataReader, VcnWalkAcrossRunsAndHoles)
{
    DataVolume Data;
    AttributeFields Fields = NonResidentAttribute(TypeData, {{3, 100}, {5, 200}, {4, 0, true}, {2, 300}}, 4096, 14 * 4096 - 100);
    Data.Open(Fields);
    NtfsAttribute* Attribute = Data.Attribute;
    Bytes Buffer(8 * 4096, 0xEE);
    uint32_t Supplied = 0;
    ASSERT_EQ(NtfsAttribute_ReadClusters(Attribute, 2, 4, Buffer.data(), &Supplied), ERROR_SUCCESS);
    EXPECT_EQ(Supplied, 4u);
    EXPECT_EQ(Bytes(Buffer.begin(), Buffer.begin() + 4096), Data.Cluster(102));
    EXPECT_EQ(Bytes(Buffer.begin() + 4096, Buffer.begin() + 8192), Data.Cluster(200));
    EXPECT_EQ(Bytes(Buffer.begin() + 12288, Buffer.begin() + 16384), Data.Cluster(202));

    // The hole reads as zeros; the range past the last run is not supplied.
    std::fill(Buffer.begin(), Buffer.end(), 0xEE);
    ASSERT_EQ(NtfsAttribute_ReadClusters(Attribute, 7, 8, Buffer.data(), &Supplied), ERROR_SUCCESS);
    EXPECT_EQ(Supplied, 7u);
    EXPECT_EQ(Bytes(Buffer.begin() + 4096, Buffer.begin() + 5 * 4096), Bytes(4 * 4096, 0));
    EXPECT_EQ(Bytes(Buffer.begin() + 6 * 4096, Buffer.begin() + 7 * 4096), Data.Cluster(301));
    EXPECT_EQ(Buffer[7 * 4096], 0xEE);
    EXPECT_EQ(NtfsAttribute_ReadClusters(Attribute, 5, 0, nullptr, &Supplied), ERROR_SUCCESS);
    EXPECT_EQ(Supplied, 0u);

    BOOLEAN Sparse = 0;
    EXPECT_EQ(NtfsAttribute_RangeHasSparseRun(Attribute, 0, 8, &Sparse), ERROR_SUCCESS);
    EXPECT_EQ(Sparse, 0);
    EXPECT_EQ(NtfsAttribute_RangeHasSparseRun(Attribute, 7, 2, &Sparse), ERROR_SUCCESS);
    EXPECT_EQ(Sparse, 1);
    EXPECT_EQ(RangeOverlap(0, 9, 5, 20), 5u);
    EXPECT_EQ(RangeOverlap(0, 4, 5, 20), 0u);
}

TEST(DataReader, ByteRangesAreCutAtTheValueEnd)
{
    DataVolume Data;
    uint64_t FileSize = 3 * 4096 + 100;
    Data.Open(NonResidentAttribute(TypeData, {{4, 120}}, 4096, FileSize));
    Bytes Stored;
    for (uint64_t Lcn = 120; Lcn < 124; Lcn++) {
        Bytes Cluster = Data.Cluster(Lcn);
        Stored.insert(Stored.end(), Cluster.begin(), Cluster.end());
    }
    DWORD Error = 0;
    EXPECT_EQ(Data.Read(1000, 5000, &Error), Bytes(Stored.begin() + 1000, Stored.begin() + 6000));
    EXPECT_EQ(Data.Read(FileSize - 10, 100, &Error), Bytes(Stored.begin() + static_cast<long>(FileSize) - 10, Stored.begin() + static_cast<long>(FileSize)));
    EXPECT_EQ(Error, ERROR_SUCCESS);
    EXPECT_TRUE(Data.Read(FileSize, 100, &Error).empty());
    EXPECT_EQ(Error, ERROR_SUCCESS);
    EXPECT_TRUE(Data.Read(~0ull, 0, &Error).empty());
    EXPECT_EQ(Error, ERROR_SUCCESS);
}

TEST(DataReader, UnmappedClustersAreNeverDeliveredAsData)
{
    DataVolume Data;
    // The record claims more bytes than its run table maps.
    AttributeFields Fields = NonResidentAttribute(TypeData, {{2, 120}}, 4096, 2 * 4096);
    Fields.DataSize = 5 * 4096;
    Data.Open(Fields);
    DWORD Error = 0;
    EXPECT_EQ(Data.Read(0, 100, &Error).size(), 100u);
    Data.Read(2 * 4096, 100, &Error);
    EXPECT_EQ(Error, ERROR_INVALID_DATA);
}

TEST(DataReader, ResidentValuesAndTheStandardInformationRule)
{
    {
        DataVolume Data;
        Bytes Value = Pattern(0x48, 3);
        Data.Open(ResidentAttribute(TypeData, Value));
        DWORD Error = 0;
        EXPECT_EQ(Data.Read(0x40, 0x100, &Error), Bytes(Value.begin() + 0x40, Value.end()));
        EXPECT_TRUE(Data.Read(0x48, 0x100, &Error).empty());
        EXPECT_EQ(Error, ERROR_SUCCESS);
    }
    {
        // Without $STANDARD_INFORMATION nothing of the file can be read.
        DataVolume Data;
        Data.Open(ResidentAttribute(TypeData, {1, 2, 3}), 0, false);
        DWORD Error = 0;
        Data.Read(0, 3, &Error);
        EXPECT_EQ(Error, ERROR_INVALID_DATA);
    }
}

TEST(DataReader, CompressedUnits)
{
    // Unit 0: one stored LZNT1 chunk of 4096 bytes then a zero header, in 2
    // clusters, the rest of the unit sparse. Unit 1: all sparse (a hole).
    // Unit 2: 16 clusters of plain data. Unit 3: the last, a compressed
    // chunk whose output runs past the end of the file.
    DataVolume Data;
    Bytes First = Pattern(4096, 7);
    Bytes Unit0(2 * 4096, 0);
    Put16(Unit0, 0, 0x3FFF);
    std::copy(First.begin(), First.end(), Unit0.begin() + 2);
    uint64_t Lcn0 = Data.Builder.AllocateClusters(2);
    Data.Builder.WriteClusters(Lcn0, Unit0);
    uint64_t Lcn2 = Data.Builder.AllocateClusters(16);
    Bytes Plain = Pattern(16 * 4096, 9);
    Data.Builder.WriteClusters(Lcn2, Plain);
    // A compressed chunk: 'x' then a back-reference copying it 4095 times.
    Bytes Unit3(4096, 0);
    uint16_t Token = static_cast<uint16_t>(((1 - 1) << 12) | (4095 - 3));
    Bytes Chunk = {0x00, 0x00, 0x02, 'x', static_cast<uint8_t>(Token), static_cast<uint8_t>(Token >> 8)};
    Put16(Chunk, 0, static_cast<uint16_t>(0xB000 | (Chunk.size() - 3)));
    std::copy(Chunk.begin(), Chunk.end(), Unit3.begin());
    uint64_t Lcn3 = Data.Builder.AllocateClusters(1);
    Data.Builder.WriteClusters(Lcn3, Unit3);
    uint64_t FileSize = 48 * 4096 + 1000;
    Data.Open(NonResidentAttribute(TypeData,
                                   {{2, static_cast<int64_t>(Lcn0)}, {30, 0, true}, {16, static_cast<int64_t>(Lcn2)},
                                    {1, static_cast<int64_t>(Lcn3)}, {15, 0, true}},
                                   4096, FileSize, {}, AttrFlagCompressed),
              FileAttributeCompressed);
    DWORD Error = 0;
    Bytes All = Data.Read(0, static_cast<uint32_t>(FileSize), &Error);
    ASSERT_EQ(Error, ERROR_SUCCESS);
    ASSERT_EQ(All.size(), FileSize);
    EXPECT_EQ(Bytes(All.begin(), All.begin() + 4096), First);
    EXPECT_EQ(Bytes(All.begin() + 4096, All.begin() + 32 * 4096), Bytes(31 * 4096, 0));
    EXPECT_EQ(Bytes(All.begin() + 32 * 4096, All.begin() + 48 * 4096), Plain);
    EXPECT_EQ(Bytes(All.begin() + 48 * 4096, All.end()), Bytes(1000, 'x'));
    // Reads that start inside units agree with the whole read.
    EXPECT_EQ(Data.Read(4000, 300, &Error), Bytes(All.begin() + 4000, All.begin() + 4300));
    EXPECT_EQ(Data.Read(48 * 4096 - 5, 10, &Error), Bytes(All.begin() + 48 * 4096 - 5, All.begin() + 48 * 4096 + 5));

    // Non-$DATA attributes of a compressed file are refused by the
    // compressed reader itself.
    Bytes Cluster(4096);
    uint32_t Supplied = 0;
    NtfsAttribute Other = *Data.Attribute;
    Other.TypeCode = TypeBitmap;
    EXPECT_EQ(NtfsAttribute_ReadCompressedClusters(&Other, 0, 1, Cluster.data(), &Supplied), ERROR_INVALID_PARAMETER);
}

TEST(DataReader, DamagedCompressedUnits)
{
    DataVolume Data;
    Bytes Unit(4096, 0);
    Put16(Unit, 0, 0x2FFF); // signature 2
    uint64_t Lcn = Data.Builder.AllocateClusters(1);
    Data.Builder.WriteClusters(Lcn, Unit);
    Data.Open(NonResidentAttribute(TypeData, {{1, static_cast<int64_t>(Lcn)}, {15, 0, true}}, 4096, 8000, {},
                                   AttrFlagCompressed),
              FileAttributeCompressed);
    DWORD Error = 0;
    Data.Read(0, 10, &Error);
    EXPECT_EQ(Error, ERROR_INVALID_DATA);
}
