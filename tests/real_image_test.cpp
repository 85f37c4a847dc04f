// The committed real NTFS images, read end to end: every MFT record, every
// stream the image script wrote (checked against the manifest's SHA-256),
// attributes spread over extension records, compressed and sparse data read
// at awkward offsets, and a volume log recorded from an image and replayed.
#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "manifest.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;

namespace {

// ---- Handles held for the length of a test ----

class ImageVolume {
public:
    // Device alone (Log empty), device while recording (both), or replay of a
    // log alone (Device empty).
    ImageVolume(const std::string& Device, const std::string& Log = "")
    {
        std::u16string DeviceName = Wide(Device);
        std::u16string LogName = Wide(Log);
        ConsoleCapture Quiet;
        Error = NtfsVolume_Open(Device.empty() ? nullptr : DeviceName.c_str(), Log.empty() ? nullptr : LogName.c_str(),
                                &Volume, 0);
    }
    ~ImageVolume()
    {
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
    }
    ImageVolume(const ImageVolume&) = delete;
    ImageVolume& operator=(const ImageVolume&) = delete;

    DWORD Error = ERROR_SUCCESS;
    NtfsVolume* Volume = nullptr;
};

class OpenedFile {
public:
    OpenedFile(NtfsVolume* Volume, uint64_t Record) { Error = NtfsFile_Open(Volume, Record, &File); }
    ~OpenedFile()
    {
        if (File != nullptr)
            NtfsFile_Close(File);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    DWORD Error = ERROR_SUCCESS;
    NtfsFile* File = nullptr;
};

// Reads [Offset, Offset + Length) in requests of Chunk bytes, stopping at the
// first short or empty answer. The bytes delivered are appended to *Out.
DWORD ReadRange(NtfsAttribute* Attribute, uint64_t Offset, uint64_t Length, uint32_t Chunk, std::vector<uint8_t>* Out)
{
    std::vector<uint8_t> Buffer(Chunk);
    uint64_t Done = 0;
    while (Done < Length) {
        uint32_t Ask = Length - Done < Chunk ? static_cast<uint32_t>(Length - Done) : Chunk;
        uint32_t Got = 0xFFFFFFFF;
        DWORD Error = NtfsAttribute_Read(Attribute, Offset + Done, Ask, Buffer.data(), &Got);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (Got > Ask)
            return ERROR_INVALID_DATA;
        Out->insert(Out->end(), Buffer.begin(), Buffer.begin() + Got);
        Done += Got;
        if (Got < Ask)
            break;
    }
    return ERROR_SUCCESS;
}

std::vector<uint8_t> ReadWhole(NtfsAttribute* Attribute, uint32_t Chunk)
{
    std::vector<uint8_t> Bytes;
    DWORD Error = ReadRange(Attribute, 0, NtfsAttribute_GetValueLength(Attribute), Chunk, &Bytes);
    EXPECT_EQ(Error, ERROR_SUCCESS);
    return Bytes;
}

uint64_t ClustersInRuns(const NtfsAttribute* Attribute)
{
    uint64_t Total = 0;
    for (uint32_t i = 0; i < Attribute->RunCount; i++)
        Total += Attribute->Runs[i].Length;
    return Total;
}

// Per 16-cluster compression unit: how many of its clusters lie on disk.
std::vector<uint32_t> StoredClustersPerUnit(const NtfsAttribute* Attribute)
{
    std::vector<uint32_t> Units;
    uint64_t Vcn = 0;
    for (uint32_t i = 0; i < Attribute->RunCount; i++) {
        for (uint64_t k = 0; k < Attribute->Runs[i].Length; k++, Vcn++) {
            size_t Unit = static_cast<size_t>(Vcn / COMPRESSION_UNIT_CLUSTERS);
            if (Units.size() <= Unit)
                Units.resize(Unit + 1, 0);
            if ((Attribute->Runs[i].Flags & NTFS_RUN_SPARSE) == 0)
                Units[Unit]++;
        }
    }
    return Units;
}

std::vector<NtfsAttribute*> HandlesOfType(NtfsFile* File, uint32_t Index, uint32_t TypeCode)
{
    std::vector<NtfsAttribute*> Found;
    for (uint32_t Slot = 0; Slot < NtfsFile_GetSlotCount(File, Index); Slot++) {
        NtfsAttribute* Attribute = NtfsFile_GetSlot(File, Index, Slot);
        if (Attribute != nullptr && Attribute->TypeCode == TypeCode)
            Found.push_back(Attribute);
    }
    return Found;
}

std::string Describe(const ManifestLine& Line)
{
    return "record " + std::to_string(Line.Record) + " " + Line.Path + (Line.Stream.empty() ? "" : ":" + Line.Stream);
}

// ---- Every MFT record ----

struct ImageCounts {
    const char* Name;
    uint64_t Records;      // $MFT data size / 1024
    uint32_t RecordsInUse; // bits set in the $MFT bitmap (every one of them also has the in-use flag)
};

// The counts come from parsing the images' $MFT and $MFT:$BITMAP outside this
// project. The Sleuth Kit's `ils -e` agrees on the base records; it leaves out
// the 28 extension records of the compressed image (79-102, 106, 108, 110, 445).
const ImageCounts AllImages[] = {
    {"sample", 79, 34},
    {"clusters512", 151, 25},
    {"compressed", 2410, 2365},
    {"security", 72, 27},
};

void PrintTo(const ImageCounts& Image, std::ostream* Out)
{
    *Out << Image.Name;
}

class RealImageRecords : public ::testing::TestWithParam<ImageCounts> {};

// A record either opens or, when the $MFT bitmap has it free, reports
// ERROR_FILE_NOT_FOUND. Every record that opens must be the one asked for:
// NTFS 3.1 records carry their own number, which catches a wrong mapping of
// the $MFT run list (the compressed image's $MFT has two runs, the second from
// record 2044 on; on clusters512 each record spans two 512-byte clusters).
TEST_P(RealImageRecords, EveryRecordOpensOrIsReportedFree)
{
    const ImageCounts& Image = GetParam();
    ImageVolume Opened(ImagePath(Image.Name));
    ASSERT_EQ(Opened.Error, ERROR_SUCCESS);
    uint64_t Records = Opened.Volume->Mft_Data$->FileSize / MFT_RECORD_SIZE;
    EXPECT_EQ(Records, Image.Records);

    uint32_t InUse = 0;
    std::vector<uint64_t> Failed;
    std::vector<uint64_t> Misplaced;
    std::set<uint64_t> Opens;
    for (uint64_t Record = 0; Record < Records; Record++) {
        OpenedFile File(Opened.Volume, Record);
        if (File.Error == ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(File.File, nullptr);
            continue;
        }
        if (File.Error != ERROR_SUCCESS) {
            if (Failed.size() < 5)
                ADD_FAILURE() << "record " << Record << ": error " << File.Error;
            Failed.push_back(Record);
            continue;
        }
        InUse++;
        Opens.insert(Record);
        const uint8_t* Header = File.File->Record;
        uint32_t OwnNumber = 0;
        memcpy(&OwnNumber, Header + RecordSegmentLowOffset, 4);
        bool InUseFlag = (Header[RecordFlagsOffset] & 1) != 0;
        if (memcmp(Header, "FILE", 4) != 0 || OwnNumber != Record || !InUseFlag)
            Misplaced.push_back(Record);
    }
    EXPECT_TRUE(Failed.empty()) << Failed.size() << " records failed with another error than ERROR_FILE_NOT_FOUND";
    EXPECT_TRUE(Misplaced.empty()) << "first record with the wrong contents: " << (Misplaced.empty() ? 0 : Misplaced[0]);
    EXPECT_EQ(InUse, Image.RecordsInUse);

    // mkntfs creates records 0-15 ($MFT to $Extend and four reserved ones in
    // use) and $Quota, $ObjId, $Reparse at 24-26; 16-23 stay free.
    for (uint64_t Record = 0; Record <= 15; Record++)
        EXPECT_TRUE(Opens.count(Record)) << "system record " << Record;
    for (uint64_t Record = 16; Record <= 23; Record++)
        EXPECT_FALSE(Opens.count(Record)) << "record " << Record << " is free on a fresh volume";
    for (uint64_t Record = 24; Record <= 26; Record++)
        EXPECT_TRUE(Opens.count(Record)) << "$Extend child " << Record;
    for (const ManifestLine& Line : LoadManifest(Image.Name))
        EXPECT_TRUE(Opens.count(Line.Record)) << Describe(Line);
}

INSTANTIATE_TEST_SUITE_P(RealImage, RealImageRecords, ::testing::ValuesIn(AllImages),
                         [](const ::testing::TestParamInfo<ImageCounts>& Info) { return std::string(Info.param.Name); });

// ---- System files whose contents can be checked without the manifests ----

class RealImageSystemFiles : public ::testing::TestWithParam<const char*> {};

// $Boot's $DATA starts at cluster 0: its first mapping pair has an offset of
// 0 that is a real LCN, not a hole. Read through the run list, it must equal
// the first 8 KiB of the image. $MFTMirr holds a copy of the first four $MFT
// records (4096 bytes, in the middle of the volume).
TEST_P(RealImageSystemFiles, BootAndMftMirrorReadBackFromTheirClusters)
{
    ImageVolume Opened(ImagePath(GetParam()));
    ASSERT_EQ(Opened.Error, ERROR_SUCCESS);

    std::vector<uint8_t> Image = ReadBytes(ImagePath(GetParam()));
    ASSERT_GE(Image.size(), 8192u);
    OpenedFile Boot(Opened.Volume, 7);
    ASSERT_EQ(Boot.Error, ERROR_SUCCESS);
    NtfsAttribute* BootData = NtfsFile_FindDataAttribute(Boot.File, ATTRIBUTE_DATA, nullptr);
    ASSERT_NE(BootData, nullptr);
    ASSERT_EQ(BootData->Resident, 0u);
    ASSERT_GT(BootData->RunCount, 0u);
    EXPECT_EQ(BootData->Runs[0].Lcn, 0);
    EXPECT_EQ(BootData->Runs[0].Flags & NTFS_RUN_SPARSE, 0u) << "cluster 0 taken for a hole";
    std::vector<uint8_t> BootBytes = ReadWhole(BootData, 1000);
    ASSERT_EQ(BootBytes.size(), 8192u);
    EXPECT_TRUE(std::equal(BootBytes.begin(), BootBytes.end(), Image.begin()));

    OpenedFile Mirror(Opened.Volume, 1);
    ASSERT_EQ(Mirror.Error, ERROR_SUCCESS);
    NtfsAttribute* MirrorData = NtfsFile_FindDataAttribute(Mirror.File, ATTRIBUTE_DATA, nullptr);
    ASSERT_NE(MirrorData, nullptr);
    std::vector<uint8_t> MirrorBytes = ReadWhole(MirrorData, 4096);
    ASSERT_EQ(MirrorBytes.size(), 4 * MFT_RECORD_SIZE);
    std::vector<uint8_t> MftBytes;
    ASSERT_EQ(ReadRange(Opened.Volume->Mft_Data$, 0, 4 * MFT_RECORD_SIZE, 333, &MftBytes), ERROR_SUCCESS);
    EXPECT_TRUE(MirrorBytes == MftBytes);
}

INSTANTIATE_TEST_SUITE_P(RealImage, RealImageSystemFiles,
                         ::testing::Values("sample", "clusters512", "compressed", "security"),
                         [](const ::testing::TestParamInfo<const char*>& Info) { return std::string(Info.param); });

// $Secure:$SDS stores the descriptors in 256 KiB blocks, each followed by a
// mirror copy of itself; the security image has one block of which 2832 bytes
// are used, so the stream ends with a copy of its own start.
TEST(RealImageSecure, DescriptorStreamEndsWithItsMirror)
{
    ImageVolume Opened(ImagePath("security"));
    ASSERT_EQ(Opened.Error, ERROR_SUCCESS);
    OpenedFile Secure(Opened.Volume, 9);
    ASSERT_EQ(Secure.Error, ERROR_SUCCESS);
    NtfsAttribute* Sds = NtfsFile_FindDataAttribute(Secure.File, ATTRIBUTE_DATA, u"$SDS");
    ASSERT_NE(Sds, nullptr);
    ASSERT_EQ(NtfsAttribute_GetValueLength(Sds), 264976u);
    EXPECT_EQ(NtfsFile_FindDataAttribute(Secure.File, ATTRIBUTE_DATA, u"$sds"), nullptr) << "names match exactly";
    std::vector<uint8_t> Bytes = ReadWhole(Sds, 12345);
    ASSERT_EQ(Bytes.size(), 264976u);
    constexpr size_t Block = 262144;
    EXPECT_TRUE(std::equal(Bytes.begin() + Block, Bytes.end(), Bytes.begin()));
    EXPECT_TRUE(std::any_of(Bytes.begin(), Bytes.begin() + 2832, [](uint8_t B) { return B != 0; }));
}

// ---- Every stream of the manifests ----

class RealImageStreams : public ::testing::TestWithParam<const char*> {};

// Each stream is found by name, has the manifest's size, and reads back with
// the manifest's SHA-256 whatever the request size: odd requests that straddle
// clusters and compression units, cluster-sized ones, and a pass that starts at
// an unaligned offset with requests longer than a compression unit.
TEST_P(RealImageStreams, EveryStreamReadsBackWithItsHash)
{
    std::vector<ManifestLine> Lines = LoadManifest(GetParam());
    ASSERT_FALSE(Lines.empty());
    ImageVolume Opened(ImagePath(GetParam()));
    ASSERT_EQ(Opened.Error, ERROR_SUCCESS);

    // Hard links repeat a record with the same data; read each stream once.
    std::set<std::pair<uint64_t, std::string>> Seen;
    for (const ManifestLine& Line : Lines) {
        if (!Seen.insert({Line.Record, Line.Stream}).second)
            continue;
        SCOPED_TRACE(Describe(Line));
        OpenedFile File(Opened.Volume, Line.Record);
        ASSERT_EQ(File.Error, ERROR_SUCCESS);
        std::u16string Name = Wide(Line.Stream);
        NtfsAttribute* Data =
            NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, Line.Stream.empty() ? nullptr : Name.c_str());
        ASSERT_NE(Data, nullptr);
        ASSERT_EQ(NtfsAttribute_GetValueLength(Data), Line.Size);

        std::vector<uint8_t> Odd = ReadWhole(Data, 12345);
        ASSERT_EQ(Odd.size(), Line.Size);
        EXPECT_EQ(Sha256Of(Odd), Line.Sha);
        if (Line.Size == 0)
            continue;

        std::vector<uint8_t> Aligned = ReadWhole(Data, 4096);
        EXPECT_TRUE(Aligned == Odd) << "4096-byte requests differ";

        uint64_t Start = Line.Size / 3 | 1;
        std::vector<uint8_t> Tail;
        ASSERT_EQ(ReadRange(Data, Start, Line.Size - Start, 65536 + 4097, &Tail), ERROR_SUCCESS);
        ASSERT_EQ(Tail.size(), Line.Size - Start);
        EXPECT_TRUE(std::equal(Tail.begin(), Tail.end(), Odd.begin() + static_cast<long>(Start)))
            << "reading from offset " << Start << " differs";
    }
}

INSTANTIATE_TEST_SUITE_P(RealImage, RealImageStreams,
                         ::testing::Values("sample", "clusters512", "compressed", "security"),
                         [](const ::testing::TestParamInfo<const char*>& Info) { return std::string(Info.param); });

// ---- Attributes spread over extension records (compressed image) ----

class RealImageAttributeList : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Volume_.Error, ERROR_SUCCESS);
        Volume = Volume_.Volume;
    }

    ImageVolume Volume_{ImagePath("compressed")};
    NtfsVolume* Volume = nullptr;
};

// /fragmented.bin (103): 800 single-cluster runs do not fit in one record, so
// $DATA is stored in three pieces (VCN 0-214 in the base record, 215-511 in
// record 108, 512-799 in record 110), tied together by the $ATTRIBUTE_LIST.
// List 0 shows the base record as stored; list 1 must hold the single $DATA
// made of all three pieces, and that is the handle to read.
TEST_F(RealImageAttributeList, DataSplitOverThreeRecordsIsMergedIntoOneHandle)
{
    OpenedFile File(Volume, 103);
    ASSERT_EQ(File.Error, ERROR_SUCCESS);

    std::vector<NtfsAttribute*> BaseData = HandlesOfType(File.File, 0, ATTRIBUTE_DATA);
    ASSERT_EQ(BaseData.size(), 1u);
    NtfsAttribute* First = BaseData[0];
    EXPECT_EQ(First->Resident, 0u);
    EXPECT_EQ(First->LowestVcn, 0u);
    EXPECT_EQ(First->HighestVcn, 214u);
    EXPECT_EQ(ClustersInRuns(First), 215u);
    EXPECT_EQ(First->FileSize, 3276800u); // the first piece carries the size of the whole value

    std::vector<NtfsAttribute*> Merged = HandlesOfType(File.File, 1, ATTRIBUTE_DATA);
    ASSERT_EQ(Merged.size(), 1u) << "the pieces from records 108 and 110 must be folded into the first";
    NtfsAttribute* Whole = Merged[0];
    EXPECT_EQ(Whole->LowestVcn, 0u);
    EXPECT_EQ(Whole->HighestVcn, 799u);
    EXPECT_EQ(Whole->RunCount, 800u);
    EXPECT_EQ(ClustersInRuns(Whole), 800u);
    EXPECT_EQ(Whole->FileSize, 3276800u);
    // Runs keep their absolute LCNs across the join: every cluster is a
    // separate run, so no two runs of the merged table may start at one LCN.
    std::set<int64_t> Lcns;
    for (uint32_t i = 0; i < Whole->RunCount; i++)
        Lcns.insert(Whole->Runs[i].Lcn);
    EXPECT_EQ(Lcns.size(), 800u);

    EXPECT_EQ(NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr), Whole);

    // Block i of the file reads "cluster i" repeatedly; the first clusters of
    // the second and third pieces must come from their own runs.
    for (uint64_t Block : {214u, 215u, 511u, 512u, 799u}) {
        std::vector<uint8_t> Bytes;
        ASSERT_EQ(ReadRange(Whole, Block * 4096, 4096, 4096, &Bytes), ERROR_SUCCESS);
        std::string Expected = "cluster " + std::to_string(Block) + "\n";
        ASSERT_GE(Bytes.size(), Expected.size());
        EXPECT_EQ(std::string(Bytes.begin(), Bytes.begin() + static_cast<long>(Expected.size())), Expected)
            << "block " << Block;
    }

    // The name moved out of the base record.
    std::vector<NtfsAttribute*> Names = HandlesOfType(File.File, 1, ATTRIBUTE_FILE_NAME);
    ASSERT_EQ(Names.size(), 1u);
    EXPECT_EQ(NtfsReference_GetSegmentNumber(Names[0]->SegmentReference), 106u);
    EXPECT_TRUE(HandlesOfType(File.File, 0, ATTRIBUTE_FILE_NAME).empty());
}

// /links/target.txt (78) has 71 hard links. Their $FILE_NAMEs fill records 80
// to 102, and the $ATTRIBUTE_LIST that names them (2368 bytes) is itself
// non-resident, so opening the file reads a list from clusters first.
TEST_F(RealImageAttributeList, SeventyOneNamesInExtensionRecordsAreAllListed)
{
    OpenedFile File(Volume, 78);
    ASSERT_EQ(File.Error, ERROR_SUCCESS);

    NtfsAttribute* List = NtfsFile_FindAttribute(File.File, ATTRIBUTE_ATTRIBUTE_LIST, nullptr, 0);
    ASSERT_NE(List, nullptr);
    EXPECT_EQ(List->Resident, 0u);
    EXPECT_EQ(NtfsAttribute_GetValueLength(List), 2368u);

    std::vector<NtfsAttribute*> Names = HandlesOfType(File.File, 1, ATTRIBUTE_FILE_NAME);
    EXPECT_EQ(Names.size(), 71u);
    std::set<std::u16string> Distinct;
    std::set<uint64_t> Records;
    for (NtfsAttribute* Name : Names) {
        ASSERT_EQ(Name->Resident, 1u);
        ASSERT_GE(Name->ValueLength, 0x42u);
        uint8_t Length = Name->Value[0x40];
        ASSERT_GE(Name->ValueLength, 0x42u + 2u * Length);
        std::u16string Text;
        for (uint32_t i = 0; i < Length; i++)
            Text += static_cast<char16_t>(Name->Value[0x42 + 2 * i] | Name->Value[0x43 + 2 * i] << 8);
        Distinct.insert(Text);
        Records.insert(NtfsReference_GetSegmentNumber(Name->SegmentReference));
    }
    EXPECT_EQ(Distinct.size(), 71u) << "every link has its own name";
    EXPECT_TRUE(Distinct.count(u"target.txt"));
    // Two names stayed in the base record; the others fill records 80-102,
    // three to a record.
    std::set<uint64_t> Expected = {78};
    for (uint64_t Record = 80; Record <= 102; Record++)
        Expected.insert(Record);
    EXPECT_TRUE(Records == Expected) << "names came from " << Records.size() << " records";
}

// /bigdir (105): its $INDEX_ROOT lives in extension record 445 and its
// $SECURITY_DESCRIPTOR was pushed out to clusters. Both must be reachable, and
// a non-resident attribute other than $DATA must read as it lies.
TEST_F(RealImageAttributeList, DirectoryAttributesOutsideTheBaseRecordAreReachable)
{
    OpenedFile File(Volume, 105);
    ASSERT_EQ(File.Error, ERROR_SUCCESS);

    std::u16string I30 = u"$I30";
    EXPECT_EQ(NtfsFile_FindAttribute(File.File, 0x90, I30.c_str(), 0), nullptr);
    NtfsAttribute* Root = NtfsFile_FindAttribute(File.File, 0x90, I30.c_str(), 1);
    ASSERT_NE(Root, nullptr);
    EXPECT_EQ(NtfsReference_GetSegmentNumber(Root->SegmentReference), 445u);
    EXPECT_EQ(NtfsFile_FindDataAttribute(File.File, 0x90, I30.c_str()), Root);

    NtfsAttribute* Security = NtfsFile_FindDataAttribute(File.File, 0x50, nullptr);
    ASSERT_NE(Security, nullptr);
    EXPECT_EQ(Security->Resident, 0u);
    ASSERT_EQ(NtfsAttribute_GetValueLength(Security), 80u);
    std::vector<uint8_t> Descriptor = ReadWhole(Security, 4096);
    ASSERT_EQ(Descriptor.size(), 80u);
    // A self-relative security descriptor: revision 1, control has SE_SELF_RELATIVE.
    EXPECT_EQ(Descriptor[0], 1);
    EXPECT_NE(Descriptor[3] & 0x80, 0);

    NtfsAttribute* Allocation = NtfsFile_FindDataAttribute(File.File, 0xA0, I30.c_str());
    ASSERT_NE(Allocation, nullptr);
    EXPECT_EQ(NtfsAttribute_GetValueLength(Allocation), 608u * 1024u);
    std::vector<uint8_t> FirstBlock;
    ASSERT_EQ(ReadRange(Allocation, 0, 4096, 4096, &FirstBlock), ERROR_SUCCESS);
    ASSERT_EQ(FirstBlock.size(), 4096u);
    EXPECT_EQ(std::string(FirstBlock.begin(), FirstBlock.begin() + 4), "INDX");
}

// ---- Compressed and sparse data at awkward offsets ----

class RealImageCompressed : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Volume_.Error, ERROR_SUCCESS);
        Volume = Volume_.Volume;
        for (const ManifestLine& Line : LoadManifest("compressed"))
            if (Line.Stream.empty() && Line.Record >= 65 && Line.Record <= 75)
                Hashes[Line.Record] = Line.Sha;
    }

    ImageVolume Volume_{ImagePath("compressed")};
    NtfsVolume* Volume = nullptr;
    std::map<uint64_t, std::string> Hashes;
};

// Every read, wherever it starts and ends, must return exactly the bytes a
// single whole-file read returns: reads that start inside a unit (so the unit
// is decoded only to be partly delivered), that cross from a raw unit to a
// compressed one, from a compressed unit to a hole, cross the file's end, or
// start at or beyond it.
TEST_F(RealImageCompressed, ReadsAtAnyOffsetMatchTheWholeValue)
{
    constexpr uint64_t Unit = 65536;
    for (uint64_t Record : {65u, 66u, 67u, 69u, 70u, 71u, 72u, 74u, 75u}) {
        SCOPED_TRACE("record " + std::to_string(Record));
        OpenedFile File(Volume, Record);
        ASSERT_EQ(File.Error, ERROR_SUCCESS);
        NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
        ASSERT_NE(Data, nullptr);
        uint64_t Size = NtfsAttribute_GetValueLength(Data);

        std::vector<uint8_t> Whole(Size + 100);
        uint32_t Got = 0;
        ASSERT_EQ(NtfsAttribute_Read(Data, 0, static_cast<uint32_t>(Size + 100), Whole.data(), &Got), ERROR_SUCCESS);
        ASSERT_EQ(Got, Size) << "a read past the end is cut at the value length";
        Whole.resize(Size);
        ASSERT_EQ(Sha256Of(Whole), Hashes[Record]);

        std::vector<std::pair<uint64_t, uint32_t>> Probes = {
            {1, 10},           {4095, 2},          {4095, 4098},       {4096 * 3 + 17, 4096 * 5},
            {Unit - 1, 1},     {Unit - 1, 2},      {Unit - 5000, 10000}, {Unit + 4095, 3},
            {Unit * 2 - 3, 6}, {Unit * 2 - 1, Unit + 2}, {Unit * 3 - 4097, 8194}, {Unit * 4 + 1, 100000},
            {Size - 1, 1},     {Size - 10, 100},   {Size - 4097, 9000}, {Size / 2, static_cast<uint32_t>(Size)},
        };
        for (auto [Offset, Length] : Probes) {
            if (Offset >= Size)
                continue;
            std::vector<uint8_t> Buffer(Length, 0xCC);
            uint32_t Read = 0xFFFFFFFF;
            ASSERT_EQ(NtfsAttribute_Read(Data, Offset, Length, Buffer.data(), &Read), ERROR_SUCCESS)
                << "offset " << Offset << " length " << Length;
            uint64_t Expected = std::min<uint64_t>(Length, Size - Offset);
            ASSERT_EQ(Read, Expected) << "offset " << Offset << " length " << Length;
            EXPECT_TRUE(std::equal(Buffer.begin(), Buffer.begin() + Read, Whole.begin() + static_cast<long>(Offset)))
                << "offset " << Offset << " length " << Length;
            EXPECT_TRUE(std::all_of(Buffer.begin() + Read, Buffer.end(), [](uint8_t B) { return B == 0xCC; }))
                << "bytes written past the delivered count, offset " << Offset;
        }

        for (uint64_t Offset : {Size, Size + 1, Size + Unit}) {
            uint8_t Byte = 0xCC;
            uint32_t Read = 0xFFFFFFFF;
            EXPECT_EQ(NtfsAttribute_Read(Data, Offset, 1, &Byte, &Read), ERROR_SUCCESS) << "offset " << Offset;
            EXPECT_EQ(Read, 0u) << "offset " << Offset;
            EXPECT_EQ(Byte, 0xCC);
        }
    }
}

// The units of these files come in the three stored forms; a unit in each
// form must decode to the bytes its file was written with.
TEST_F(RealImageCompressed, UnitsStoredRawCompressedOrAsHolesDecode)
{
    struct UnitCase {
        uint64_t Record;
        uint32_t Unit;
        uint32_t StoredClusters; // 16 raw, 1-15 compressed, 0 hole
        bool AllZero;
    };
    // random_150000.bin: unit 0 raw. zeros_mixed.bin: unit 1 written as zeros
    // and stored as nothing but a hole. holes.bin: unit 0 never written.
    // mixed_units.bin: unit 0 raw and unit 1 compressed, in one run that
    // crosses the unit boundary; unit 2 mixes stored and compressed chunks.
    const UnitCase Cases[] = {
        {69, 0, 16, false}, {70, 1, 0, true},   {71, 0, 0, true},   {71, 1, 1, false},
        {72, 0, 16, false}, {72, 1, 2, false},  {72, 2, 6, false},  {69, 2, 5, false},
    };
    for (const UnitCase& Case : Cases) {
        SCOPED_TRACE("record " + std::to_string(Case.Record) + " unit " + std::to_string(Case.Unit));
        OpenedFile File(Volume, Case.Record);
        ASSERT_EQ(File.Error, ERROR_SUCCESS);
        NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
        ASSERT_NE(Data, nullptr);
        std::vector<uint32_t> Stored = StoredClustersPerUnit(Data);
        ASSERT_GT(Stored.size(), Case.Unit);
        ASSERT_EQ(Stored[Case.Unit], Case.StoredClusters) << "the image no longer has this unit in this form";

        std::vector<uint8_t> Whole = ReadWhole(Data, 65536);
        ASSERT_EQ(Sha256Of(Whole), Hashes[Case.Record]);
        uint64_t Start = static_cast<uint64_t>(Case.Unit) * 65536;
        uint64_t End = std::min<uint64_t>(Start + 65536, Whole.size());
        // Reading just this unit, starting one byte in, gives the same bytes.
        std::vector<uint8_t> Part;
        ASSERT_EQ(ReadRange(Data, Start + 1, End - Start - 1, 777, &Part), ERROR_SUCCESS);
        EXPECT_TRUE(std::equal(Part.begin(), Part.end(), Whole.begin() + static_cast<long>(Start + 1)));
        bool Zero = std::all_of(Whole.begin() + static_cast<long>(Start), Whole.begin() + static_cast<long>(End),
                                [](uint8_t B) { return B == 0; });
        EXPECT_EQ(Zero, Case.AllZero);
    }

    // The run that mixed_units.bin's raw unit 0 and compressed unit 1 share.
    OpenedFile Mixed(Volume, 72);
    ASSERT_EQ(Mixed.Error, ERROR_SUCCESS);
    NtfsAttribute* Data = NtfsFile_FindDataAttribute(Mixed.File, ATTRIBUTE_DATA, nullptr);
    ASSERT_NE(Data, nullptr);
    ASSERT_GT(Data->RunCount, 0u);
    EXPECT_EQ(Data->Runs[0].Length, 18u);
}

// one_byte.txt: the file is marked compressed but its single byte is a
// resident value, which is read as it lies.
TEST_F(RealImageCompressed, ResidentValueOfACompressedFileIsReadAsIs)
{
    OpenedFile File(Volume, 68);
    ASSERT_EQ(File.Error, ERROR_SUCCESS);
    NtfsAttribute* Information = NtfsFile_FindAttribute(File.File, ATTRIBUTE_STANDARD_INFORMATION, nullptr, 0);
    ASSERT_NE(Information, nullptr);
    ASSERT_GE(Information->ValueLength, StandardInformationFileAttributesOffset + 4);
    uint32_t FileAttributes = 0;
    memcpy(&FileAttributes, Information->Value + StandardInformationFileAttributesOffset, 4);
    ASSERT_NE(FileAttributes & StandardInformationCompressed, 0u) << "the file is no longer marked compressed";

    NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
    ASSERT_NE(Data, nullptr);
    ASSERT_EQ(Data->Resident, 1u);
    std::vector<uint8_t> Expected = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/images/compressed.content/68.bin");
    ASSERT_EQ(Expected.size(), 1u);

    uint8_t Buffer[16];
    memset(Buffer, 0xCC, sizeof(Buffer));
    uint32_t Read = 0;
    ASSERT_EQ(NtfsAttribute_Read(Data, 0, sizeof(Buffer), Buffer, &Read), ERROR_SUCCESS);
    EXPECT_EQ(Read, 1u);
    EXPECT_EQ(Buffer[0], Expected[0]);
    EXPECT_EQ(Buffer[1], 0xCC);
    Read = 0xFFFFFFFF;
    ASSERT_EQ(NtfsAttribute_Read(Data, 1, sizeof(Buffer), Buffer, &Read), ERROR_SUCCESS);
    EXPECT_EQ(Read, 0u);
}

// ---- Volume log: record from the image, replay without it ----

// A recording keeps every cluster the run read; its replay must give the same
// bytes for the same reads and refuse, with ERROR_READ_FAULT, clusters the
// recording never touched.
TEST(RealImageVolumeLog, ReplayGivesTheRecordedBytesAndRefusesTheRest)
{
    TempDir Dir;
    std::string Base = Dir / "compressed";
    std::string Sha72;
    std::string Sha103;
    for (const ManifestLine& Line : LoadManifest("compressed")) {
        if (Line.Record == 72)
            Sha72 = Line.Sha;
        if (Line.Record == 103)
            Sha103 = Line.Sha;
    }

    {
        ImageVolume Recording(ImagePath("compressed"), Base);
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        for (uint64_t Record : {72u, 103u}) {
            OpenedFile File(Recording.Volume, Record);
            ASSERT_EQ(File.Error, ERROR_SUCCESS);
            NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
            ASSERT_NE(Data, nullptr);
            EXPECT_EQ(Sha256Of(ReadWhole(Data, 12345)), Record == 72 ? Sha72 : Sha103);
        }
        ConsoleCapture Quiet;
        ASSERT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_SUCCESS);
    }

    ImageVolume Replay("", Base);
    ASSERT_EQ(Replay.Error, ERROR_SUCCESS);
    EXPECT_EQ(Replay.Volume->NtVolumeHandle, INVALID_HANDLE_VALUE);
    for (uint64_t Record : {72u, 103u}) {
        SCOPED_TRACE("record " + std::to_string(Record));
        OpenedFile File(Replay.Volume, Record);
        ASSERT_EQ(File.Error, ERROR_SUCCESS);
        NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
        ASSERT_NE(Data, nullptr);
        // Different request sizes than the recording used: the log holds clusters, not reads.
        EXPECT_EQ(Sha256Of(ReadWhole(Data, 4096 * 3 + 5)), Record == 72 ? Sha72 : Sha103);
    }

    // Record 74 shares the MFT cluster of record 72 (records 72-75), so it
    // opens, but its data clusters were never read.
    {
        OpenedFile File(Replay.Volume, 74);
        ASSERT_EQ(File.Error, ERROR_SUCCESS);
        NtfsAttribute* Data = NtfsFile_FindDataAttribute(File.File, ATTRIBUTE_DATA, nullptr);
        ASSERT_NE(Data, nullptr);
        uint8_t Byte = 0;
        uint32_t Read = 0;
        EXPECT_EQ(NtfsAttribute_Read(Data, 0, 1, &Byte, &Read), ERROR_READ_FAULT);
    }
    // Record 2000's MFT cluster was never read.
    OpenedFile Untouched(Replay.Volume, 2000);
    EXPECT_EQ(Untouched.Error, ERROR_READ_FAULT);
    EXPECT_EQ(Untouched.File, nullptr);
}

} // namespace
