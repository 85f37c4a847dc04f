// The MFT scan and the $Secure listings over synthetic volumes, through the
// command entry points with their output captured.
#include <functional>

#include <gtest/gtest.h>

#include "image_builder.h"
#include "index_builder.h"
#include "main.h"
#include "mounted_image.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using namespace testimage;

namespace {

class Mounted : public MountedImage {
public:
    explicit Mounted(const VolumeBuilder& Builder) : MountedImage(Builder) { EXPECT_EQ(Error, ERROR_SUCCESS); }
    ~Mounted() { ResetOptions(); }
    // Output and result of one command.
    std::string Run(const std::function<DWORD()>& Command, DWORD* Result)
    {
        ConsoleCapture Capture;
        *Result = Command();
        return Capture.Text();
    }
    std::string Scan(uint64_t First, uint64_t Last, uint32_t Min, uint32_t Max, DWORD* Result)
    {
        ProgramOptions.ScanMftFirst = First;
        ProgramOptions.ScanMftLast = Last;
        return Run([&] { return ScanMft(Volume, Min, Max); }, Result);
    }
    std::string List(uint64_t Start, uint64_t End, uint32_t Mode, DWORD* Result)
    {
        return Run([&] { return ListSecurityIds(Volume, Start, End, Mode); }, Result);
    }
};

RecordBuilder& FileWithId(VolumeBuilder& Builder, uint64_t Segment, uint32_t SecurityId)
{
    return Builder.Record(Segment).Add(ResidentAttribute(TypeStandardInformation, StandardInformation(0, SecurityId)));
}

const std::string ScanHeader = "Total 0x40 recors in $MFT\nFileid                 SecurityId\n";
const std::string ListHeader = "SecurityId    Location             Length       Hash\n";

} // namespace

TEST(MftScan, RecordsOfEveryKindAndTheRanges)
{
    VolumeBuilder Builder; // 64 records; 0 and 3 to 6 carry security id 0
    FileWithId(Builder, 16, 0x100);
    FileWithId(Builder, 17, 0x100);
    Builder.SetInUse(17, false);
    FileWithId(Builder, 18, 0x100).SetFirstAttributeOffset(0x400).SetBytesInUse(0x400);
    FileWithId(Builder, 19, 0x100).SetBytesInUse(RecordFirstAttribute);
    FileWithId(Builder, 20, 0x100).SetBytesInUse(0x401);
    Bytes Outside = BuildAttributeRecord(ResidentAttribute(TypeStandardInformation, StandardInformation(0, 0x100)));
    Put16(Outside, 0x14, static_cast<uint16_t>(Outside.size() - 0x47)); // value's last byte past the record
    Builder.Record(21).AddRaw(Outside);
    Bytes Old = StandardInformation(0, 0x100);
    Old.resize(48);
    Builder.Record(22).Add(ResidentAttribute(TypeStandardInformation, Old));
    Builder.SetRawRecord(23, Bytes(RecordSize, 0));
    Builder.SetInUse(23, true);
    Builder.Record(24).Add(ResidentAttribute(TypeData, Bytes(8, 1))).Add(
        ResidentAttribute(TypeStandardInformation, StandardInformation(0, 0x100)));
    Builder.Record(25).Add(ResidentAttribute(TypeData, Bytes(8, 1)));
    Bytes Short = BuildAttributeRecord(ResidentAttribute(TypeData, {}));
    Put32(Short, 4, 8); // an attribute length below 16 ends the walk
    Builder.Record(26).AddRaw(Short).Add(ResidentAttribute(TypeStandardInformation, StandardInformation(0, 0x100)));
    Bytes Empty = BuildAttributeRecord(ResidentAttribute(TypeStandardInformation, {}));
    Put16(Empty, 0x14, 0);
    Builder.Record(27).AddRaw(Empty);
    Bytes Header = BuildAttributeRecord(ResidentAttribute(TypeStandardInformation, {}));
    Header.resize(16);
    Put32(Header, 4, 16); // value fields outside the attribute record
    Builder.Record(28).AddRaw(Header);
    Mounted Volume(Builder);

    DWORD Result = 1;
    EXPECT_EQ(Volume.Scan(0, ~0ull, 0x100, 0x100, &Result),
              ScanHeader + "0x0000000000000010     0x00000100\n"
                           "Error: MFT data corruption, file id is 0x12\n"
                           "Error: MFT data corruption, file id is 0x13\n"
                           "Error: MFT data corruption, file id is 0x14\n"
                           "Error: $STANDARD_INFORMATION is corrupted, file id is 0x15\n"
                           "Error: Unable to read MFT record, file id is 0x17\n"
                           "0x0000000000000018     0x00000100\n"
                           "Error: $STANDARD_INFORMATION is corrupted, file id is 0x1b\n"
                           "Error: $STANDARD_INFORMATION is corrupted, file id is 0x1c\n");
    EXPECT_EQ(ProgramOptions.ScanMftLast, 0x3Fu);
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)); // record 0x3f is not in use

    // Without -seid the range is 0 to 0: the system records.
    EXPECT_EQ(Volume.Scan(0, 0x10, 0, 0, &Result),
              ScanHeader + "0x0000000000000000     0x00000000\n0x0000000000000003     0x00000000\n"
                           "0x0000000000000004     0x00000000\n0x0000000000000005     0x00000000\n"
                           "0x0000000000000006     0x00000000\n");
    EXPECT_EQ(Result, ERROR_SUCCESS);
    EXPECT_EQ(ProgramOptions.ScanMftLast, 0x10u);
    EXPECT_EQ(Volume.Scan(0x3F, 0x12345, 0, ~0u, &Result), ScanHeader);
    EXPECT_EQ(ProgramOptions.ScanMftLast, 0x3Fu);
    EXPECT_EQ(Volume.Scan(0x11, 0x10, 0, ~0u, &Result), ScanHeader);
    EXPECT_EQ(Result, ERROR_SUCCESS);
}

// $Secure (record 9) with root-only "$SII" and "$SDH" indexes over a "$SDS"
// of 0x60 bytes: ids 0x100, 0x101 (an entry of 19 bytes, shorter than its own
// header) and 0x105 (the entry of 0x100 again, but 0x1000 bytes long, so its
// read is cut short by the end of the stream).
class SecureListing : public ::testing::Test {
protected:
    static Bytes Data(uint32_t Hash, uint32_t Id, uint64_t Offset, uint32_t Length)
    {
        Bytes Value(20, 0);
        Put32(Value, 0, Hash);
        Put32(Value, 4, Id);
        Put64(Value, 8, Offset);
        Put32(Value, 16, Length);
        return Value;
    }
    // LostSds: the stream's one run lies beyond the volume, so no read of it succeeds.
    void Build(const std::vector<Bytes>& SiiEntries, bool LostSds = false)
    {
        Bytes Sds(0x60, 0);
        // self-relative, no DACL, owner and group S-1-5-32-544
        Bytes Descriptor = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        Bytes Admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
        Descriptor.insert(Descriptor.end(), Admins.begin(), Admins.end());
        Descriptor.insert(Descriptor.end(), Admins.begin(), Admins.end());
        std::copy(Descriptor.begin(), Descriptor.end(), Sds.begin() + 20);
        using testindex::UlongEntry;
        testindex::Geometry Shape;
        RecordBuilder& Secure = Builder.Record(9);
        Secure.Add(ResidentAttribute(TypeStandardInformation, StandardInformation(0, 0x101)));
        Secure.Add(LostSds ? NonResidentAttribute(TypeData, {{1, 5000}}, Builder.BytesPerCluster(), Sds.size(), u"$SDS")
                           : Builder.StoreNonResident(Sds, TypeData, u"$SDS"));
        Secure.Add(ResidentAttribute(TypeIndexRoot, testindex::RootValue(SiiEntries, Shape, 0), u"$SII"));
        Bytes Sdh = testindex::RootValue({UlongEntry({0x50, 0x101}, Data(0x50, 0x101, 0x50, 19)),
                                          UlongEntry({0x50, 0x105}, Data(0x50, 0x105, 0, 0x1000)),
                                          UlongEntry({0x70, 0x100}, Data(0x70, 0x100, 0, 20 + 52)),
                                          testindex::EndEntry()},
                                         Shape, 0);
        Secure.Add(ResidentAttribute(TypeIndexRoot, Sdh, u"$SDH"));
    }
    std::vector<Bytes> SiiEntries()
    {
        using testindex::UlongEntry;
        return {UlongEntry({0x100}, Data(0x70, 0x100, 0, 20 + 52)), UlongEntry({0x101}, Data(0x50, 0x101, 0x50, 19)),
                UlongEntry({0x105}, Data(0x50, 0x105, 0, 0x1000)), testindex::EndEntry()};
    }
    VolumeBuilder Builder;
    const std::string Row100 = "0x00000100    0x0000000000000000   0x00000048   0x00000070\n";
    const std::string Row101 = "0x00000101    0x0000000000000050   0x00000013   0x00000050\n";
    const std::string Row105 = "0x00000105    0x0000000000000000   0x00001000   0x00000050\n";
};

TEST_F(SecureListing, KeyRangesByIdAndByHash)
{
    Build(SiiEntries());
    Mounted Volume(Builder);
    struct {
        uint64_t Start, End;
        uint32_t Mode;
        std::string Rows;
        DWORD Result;
    } Cases[] = {
        {0x100, 0x100, 0, Row100, ERROR_SUCCESS},                 // the end key included, the next above it
        {0, 0xFFFFFFFF, 0, Row100 + Row101 + Row105, ERROR_FILE_NOT_FOUND},
        {0x106, 0xFFFFFFFF, 0, "", ERROR_FILE_NOT_FOUND},          // start above every id
        {0x102, 0x101, 0, "", ERROR_SUCCESS},                      // end below start
        {0x50, 0xFFFFFFFF00000050ull, 1, Row101 + Row105, ERROR_SUCCESS}, // one hash, every id
        {0x0000010100000050ull, 0x0000010100000050ull, 1, Row101, ERROR_SUCCESS},
        {0, ~0ull, 1, Row101 + Row105 + Row100, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& Case : Cases) {
        DWORD Result = 1;
        EXPECT_EQ(Volume.List(Case.Start, Case.End, Case.Mode, &Result), ListHeader + Case.Rows) << Case.Start;
        EXPECT_EQ(Result, Case.Result) << Case.Start;
    }
    DWORD Result = 0;
    EXPECT_EQ(Volume.List(0, 1, 2, &Result), "");
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Verbose rows: an entry shorter than its header shows as invalid; one cut
// short by the end of "$SDS" shows the descriptor bytes that are there.
TEST_F(SecureListing, VerboseReportsAndDamagedEntries)
{
    Build(SiiEntries());
    Mounted Volume(Builder);
    ProgramOptions.Verbose = true;
    const std::string Invalid = std::string(64, '-') + "\n    The security descriptor is invalid\n\n";
    const std::string Report =
        std::string(64, '-') + "\n    Owner : S-1-5-32-544\n    Group : S-1-5-32-544\n    DACL not present\n\n";
    DWORD Result = 1;
    EXPECT_EQ(Volume.List(0, 0xFFFFFFFF, 0, &Result), ListHeader + Row100 + Report + Row101 + Invalid + Row105 + Report);
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A descriptor that cannot be read is reported and the listing goes on.
TEST_F(SecureListing, UnreadableDescriptorsAreReportedAndSkipped)
{
    Build(SiiEntries(), true);
    Mounted Volume(Builder);
    ProgramOptions.Verbose = true;
    DWORD Result = 1;
    std::string Output = Volume.List(0x100, 0x101, 0, &Result);
    std::string Line = "Unable to read data from $SECURE::$SDS ($DATA) attribute, error is ";
    ASSERT_EQ(Output.substr(0, ListHeader.size() + Row100.size() + Line.size()), ListHeader + Row100 + Line);
    size_t Second = Output.find(Row101 + Line);
    ASSERT_NE(Second, std::string::npos) << Output;
    EXPECT_EQ(Output.find('-'), std::string::npos);
    EXPECT_EQ(Result, ERROR_SUCCESS);
}

TEST_F(SecureListing, DamagedIndexEntriesStopTheListing)
{
    std::vector<Bytes> Entries = SiiEntries();
    Put16(Entries[2], 0, 0x30); // data part of 0x105 outside its entry
    Build(Entries);
    Mounted Volume(Builder);
    DWORD Result = 0;
    EXPECT_EQ(Volume.List(0, 0xFFFFFFFF, 0, &Result),
              ListHeader + Row100 + Row101 + "Error occured during listing files, error is 13\n");
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST(ScanMftBounds, ADamagedDataSizeDoesNotWalkRecordsThatCannotExist)
{
    VolumeBuilder Builder(4096, 1024, 64);
    FileWithId(Builder, 40, 0);
    // $MFT's data size claims 2^40 records; its runs map 64.
    for (Bytes& Attribute : Builder.Record(0).Attributes())
        if (Get32(Attribute, 0) == TypeData && Attribute[8] == 1)
            Put64(Attribute, 0x30, 1ull << 50);
    Mounted Volume(Builder);
    DWORD Result = 0;
    std::string Output = Volume.Scan(0, 0xFFFFFFFFFFFFFFFF, 0, 0, &Result);
    EXPECT_EQ(Output.rfind("Total 0x10000000000 recors in $MFT\n", 0), 0u) << Output.substr(0, 200);
    EXPECT_NE(Output.find("0x0000000000000028     0x00000000\n"), std::string::npos);
    EXPECT_LT(Output.size(), 4096u);
}
