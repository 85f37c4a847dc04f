// Whole runs of the built binary over $Secure and the MFT: the real images
// made by ntfs-3g, the messages main prints for each listing mode, and replay
// of a recorded run.
#include <algorithm>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "image_builder.h"
#include "index_builder.h"
#include "main.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Everything after the volume report.
std::string Commands(const RunResult& Run)
{
    size_t End = Run.Output.find("\n\n");
    return End == std::string::npos ? std::string() : Run.Output.substr(End + 2);
}

const std::string ListHeader = "SecurityId    Location             Length       Hash\n";
const std::string ScanHeader = "Fileid                 SecurityId\n";

// Every descriptor of the "security" image, read from its $SDS independently
// (id, position, length, hash).
const char* const SecurityRows[] = {
    "0x00000100    0x0000000000000000   0x0000007c   0xf80312f0\n",
    "0x00000101    0x0000000000000080   0x0000007c   0x00b32451\n",
    "0x00000102    0x0000000000000100   0x000000d4   0xab552485\n",
    "0x00000103    0x00000000000001e0   0x000000d4   0xa9452401\n",
    "0x00000104    0x00000000000002c0   0x000000e8   0xf6f47d95\n",
    "0x00000105    0x00000000000003b0   0x000000c0   0x907f6d95\n",
    "0x00000106    0x0000000000000470   0x000000cc   0x4da03b8f\n",
    "0x00000107    0x0000000000000540   0x000000cc   0x4d903b8f\n",
    "0x00000108    0x0000000000000610   0x000000cc   0x55e03487\n",
    "0x00000109    0x00000000000006e0   0x000000cc   0x4ff03487\n",
    "0x0000010a    0x00000000000007b0   0x000000cc   0x4da03b91\n",
    "0x0000010b    0x0000000000000880   0x000000cc   0x4d8d3b91\n",
    "0x0000010c    0x0000000000000950   0x000000cc   0x5e203487\n",
    "0x0000010d    0x0000000000000a20   0x000000f0   0x52d2cc3d\n",
};

const std::string Hyphens = std::string(64, '-') + "\n";
const std::string AdminsOwnerGroup = "    Owner : S-1-5-32-544\n    Group : S-1-5-32-544\n";

// The report of each descriptor that make_images.sh set on the "acls" image.
const std::map<std::string, std::string> AclReports = {
    {"/no_dacl.txt", "    Owner : S-1-5-21-1-2-3-1001\n    Group : S-1-5-32-544\n    DACL not present\n"},
    {"/null_dacl.txt", AdminsOwnerGroup + "    DACL  : Inherited, DACL is NULL (everyone has access)\n"},
    {"/null_dacl_protected.txt", AdminsOwnerGroup + "    DACL  : Not inherited, DACL is NULL (everyone has access)\n"},
    {"/inherited.txt",
     "    Owner : S-1-5-21-1-2-3-1001\n    Group : S-1-5-32-544\n    DACL  : Inherited, AceCount = 3\n"
     "      [0000]: Flags=10 (I), Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-5-32-544\n"
     "      [0001]: Flags=00    , Type = 01 (DENIED), Mask = 0x00000002, Sid = S-1-1-0\n"
     "      [0002]: Flags=13 (I), Type = 00 (ALLOW) , Mask = 0x001200a9, Sid = S-1-5-21-1-2-3-1001\n"},
    {"/object_ace.txt", AdminsOwnerGroup + "    DACL  : Inherited, AceCount = 2\n"
                                           "      [0000]: Flags=00    , Type = 05       [0001]: Flags=00    , "
                                           "Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-5-18\n"},
    {"/audit_ace.txt", AdminsOwnerGroup + "    DACL  : Inherited, AceCount = 2\n"
                                          "      [0000]: Flags=c0    , Type = 02       [0001]: Flags=00    , "
                                          "Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-5-18\n"},
    {"/empty_dacl.txt", AdminsOwnerGroup + "    DACL  : Not inherited, AceCount = 0\n"},
    {"/big_authority.txt", "    Owner : S-1-0xab0000000001-7-8\n    Group : S-1-4294967295-1\n"
                           "    DACL  : Inherited, AceCount = 1\n"
                           "      [0000]: Flags=00    , Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-0x000100000000\n"},
};

std::vector<uint8_t> FromHex(const std::string& Hex)
{
    std::vector<uint8_t> Bytes;
    for (size_t i = 0; i + 1 < Hex.size(); i += 2)
        Bytes.push_back(static_cast<uint8_t>(std::stoul(Hex.substr(i, 2), nullptr, 16)));
    return Bytes;
}

// The verbose listing cut into the block of each security id: its row and
// its report.
std::map<uint32_t, std::string> BlocksById(const std::string& Listing)
{
    std::map<uint32_t, std::string> Blocks;
    std::istringstream Lines(Listing);
    std::string Line;
    uint32_t Id = 0;
    while (std::getline(Lines, Line))
        if (Line.rfind("0x", 0) == 0)
            Blocks[Id = static_cast<uint32_t>(std::stoul(Line.substr(2, 8), nullptr, 16))] = Line + "\n";
        else
            Blocks[Id] += Line + "\n";
    return Blocks;
}

} // namespace

TEST(EndToEndSecurity, ListingsOfTheSecurityImage)
{
    std::string Image = ImagePath("security");
    std::string All = ListHeader;
    for (const char* Row : SecurityRows)
        All += Row;
    // -seid stops quietly at the end of "$SII" (2) and at a key past the end (0).
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-seid", "0", "ffffffff"})), All);
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-seid", "0x102", "103"})),
              ListHeader + SecurityRows[2] + SecurityRows[3]);
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-seid", "200", "300"})), ListHeader);
    // -sehash reports every result but 0, the end of "$SDH" included.
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-sehash", "4da03b8f", "ffffffff4da03b8f"})),
              ListHeader + SecurityRows[6]);
    // "$SDH" orders by hash, then by id: the hash is the row's last column.
    std::vector<std::string> Sorted(std::begin(SecurityRows), std::end(SecurityRows));
    std::sort(Sorted.begin(), Sorted.end(),
              [](const std::string& a, const std::string& b) { return a.substr(48) + a < b.substr(48) + b; });
    std::string ByHash = ListHeader;
    for (const std::string& Row : Sorted)
        ByHash += Row;
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-sehash", "0", "ffffffffffffffff"})),
              ByHash + "Search security id failed, error is 0x2\n");

    // With -scanmft, -seid gives the id range and lists nothing itself. The
    // ids are those The Sleuth Kit reads; records 3 and 5 have the 48-byte
    // $STANDARD_INFORMATION and no id.
    std::string Scan = "Total 0x48 recors in $MFT\n" + ScanHeader;
    for (auto [Record, Id] : std::vector<std::pair<int, int>>{{64, 259}, {65, 260}, {66, 261}, {67, 263}, {68, 265},
                                                            {69, 267}, {70, 269}, {71, 261}})
        Scan += Console_Format("0x%.16I64x     0x%.8x\n", uint64_t(Record), Id);
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-seid", "102", "ffff", "-scanmft", "0", "ffffffffffffffff"})), Scan);
    EXPECT_EQ(Commands(RunKorvex({"-vol", Image, "-scanmft", "0", "5"})),
              "Total 0x48 recors in $MFT\n" + ScanHeader + "0x0000000000000000     0x00000000\n");
}

// Every descriptor the image script set through system.ntfs_acl is listed,
// under the id that its file's record names, with the report written out
// above; and the bytes listed are those the script set.
TEST(EndToEndSecurity, DescriptorsSetThroughNtfsAcl)
{
    std::string Image = ImagePath("acls");
    std::map<uint32_t, std::string> Blocks =
        BlocksById(Commands(RunKorvex({"-vol", Image, "-seid", "0", "ffffffff", "-v"})).substr(ListHeader.size()));
    std::vector<uint32_t> Ids;
    for (const auto& Entry : Blocks)
        Ids.push_back(Entry.first);
    EXPECT_EQ(Ids, (std::vector<uint32_t>{0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109, 0x10A}));

    std::map<uint64_t, uint32_t> IdOfRecord;
    std::istringstream Scan(Commands(RunKorvex({"-vol", Image, "-seid", "0", "ffffffff", "-scanmft", "40", "ff"})));
    std::string Line;
    while (std::getline(Scan, Line))
        if (Line.rfind("0x", 0) == 0)
            IdOfRecord[std::stoull(Line.substr(2, 16), nullptr, 16)] = static_cast<uint32_t>(std::stoul(Line.substr(25), nullptr, 16));

    std::vector<uint8_t> File = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/images/acls.descriptors");
    std::istringstream Table(std::string(File.begin(), File.end()));
    size_t Checked = 0;
    while (std::getline(Table, Line)) {
        std::istringstream Fields(Line);
        std::string Record, Path, Hex;
        std::getline(Fields, Record, '\t');
        std::getline(Fields, Path, '\t');
        std::getline(Fields, Hex);
        ASSERT_EQ(AclReports.count(Path), 1u) << Path;
        uint32_t Id = IdOfRecord.at(std::stoull(Record));
        std::string Block = Blocks.at(Id);
        std::string Report = Block.substr(Block.find('\n') + 1);
        EXPECT_EQ(Report, Hyphens + AclReports.at(Path) + "\n") << Path;
        std::vector<uint8_t> Bytes = FromHex(Hex);
        ConsoleCapture Capture;
        PrintSecurityDescriptor(Bytes.data(), static_cast<uint32_t>(Bytes.size()));
        EXPECT_EQ(Capture.Text(), Report) << Path;
        Checked++;
    }
    EXPECT_EQ(Checked, AclReports.size());
}

// A recorded run of every listing replays to the same output without the
// volume.
TEST(EndToEndSecurity, ListingsAndScanReplayFromTheVolumeLog)
{
    TempDir Dir;
    const std::vector<std::vector<std::string>> Runs = {
        {"-seid", "0", "ffffffff", "-v", "-sehash", "0", "ffffffffffffffff"},
        {"-seid", "0", "ffffffff", "-scanmft", "0", "ffffffffffffffff"},
    };
    for (size_t i = 0; i < Runs.size(); i++) {
        std::string Base = Dir / ("run" + std::to_string(i));
        std::vector<std::string> Live = {"-vol", ImagePath("acls")};
        std::vector<std::string> Recording = {"-vol", ImagePath("acls"), "-rlog", Base};
        std::vector<std::string> Replay = {"-rlog", Base};
        for (auto* Arguments : {&Live, &Recording, &Replay})
            Arguments->insert(Arguments->end(), Runs[i].begin(), Runs[i].end());
        std::string Expected = Commands(RunKorvex(Live));
        ASSERT_GT(Expected.size(), 200u);
        EXPECT_EQ(Commands(RunKorvex(Recording)).substr(0, Expected.size()), Expected);
        EXPECT_EQ(Commands(RunKorvex(Replay)), Expected);
    }
}

// The results main reports: a damaged "$SII" for -seid, a missing "$SDH" for
// -sehash, and no "$SDS" at all, which lists nothing and says nothing.
TEST(EndToEndSecurity, ResultMessagesOfMain)
{
    using namespace testimage;
    VolumeBuilder Builder;
    Bytes Root = testindex::RootValue({testindex::EndEntry()}, testindex::Geometry{}, 0);
    Put32(Root, 0x10, 0x1000); // first entry far outside the root
    RecordBuilder& Secure = Builder.Record(9);
    Secure.Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));
    Secure.Add(ResidentAttribute(TypeData, Bytes(16, 0), u"$SDS"));
    Secure.Add(ResidentAttribute(TypeIndexRoot, Root, u"$SII"));
    TempImage Damaged(Builder);
    EXPECT_EQ(Commands(RunKorvex({"-vol", Damaged.Path(), "-seid", "0", "ffffffff", "-sehash", "0", "1"})),
              ListHeader + "Search security id failed, error is 0xd\n" + ListHeader +
                  "Search security id failed, error is 0x2\n");

    Builder.Record(9).Clear().Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));
    TempImage NoSds(Builder);
    EXPECT_EQ(Commands(RunKorvex({"-vol", NoSds.Path(), "-seid", "0", "ffffffff"})), "");
    EXPECT_EQ(Commands(RunKorvex({"-vol", NoSds.Path(), "-sehash", "0", "1"})),
              "Search security id failed, error is 0x2\n");
}
