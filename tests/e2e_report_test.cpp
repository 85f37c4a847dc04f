// Whole runs of the file commands on the real images: reports compared with
// committed expected output, every stream read back and saved, every full
// name, and a recorded run replayed.
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "manifest.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::string Golden(const std::string& Name)
{
    std::vector<uint8_t> Bytes = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/golden/" + Name);
    return std::string(Bytes.begin(), Bytes.end());
}

std::string Hex(uint64_t Value)
{
    char Text[32];
    snprintf(Text, sizeof(Text), "%llx", static_cast<unsigned long long>(Value));
    return Text;
}

std::string VolumeReport(const std::string& Image)
{
    return WithoutBanner(RunKorvex({"-vol", ImagePath(Image)}).Output);
}

// The lines of a directory tree of thousands of files are sampled.
bool Sampled(const ManifestLine& Line, size_t Index)
{
    bool Crowd = Line.Path.rfind("/bigdir/", 0) == 0 || Line.Path.rfind("/dir300/", 0) == 0;
    return !Crowd || Index % 40 == 0;
}

} // namespace

class EndToEndStreams : public testing::TestWithParam<std::string> {};

TEST_P(EndToEndStreams, EveryStreamSavesAndEveryNameResolves)
{
    const std::string Image = GetParam();
    std::vector<ManifestLine> Lines = LoadManifest(Image);
    ASSERT_FALSE(Lines.empty());
    std::map<uint64_t, std::set<std::string>> Paths;
    for (const ManifestLine& Line : Lines) {
        std::string Path = Line.Path;
        std::replace(Path.begin(), Path.end(), '/', '\\');
        Paths[Line.Record].insert(Path);
    }
    std::string Report = VolumeReport(Image);
    TempDir Dir;
    for (size_t i = 0; i < Lines.size(); i++) {
        const ManifestLine& Line = Lines[i];
        if (!Sampled(Line, i))
            continue;
        std::string Save = Dir / ("stream" + std::to_string(i));
        RunResult Run = RunKorvex({"-vol", ImagePath(Image), "-fid", Hex(Line.Record), "-fullname", "-attribute", "80",
                                   Line.Stream, "-read", "0", Hex(Line.Size), "-save", Save});
        std::string Output = WithoutBanner(Run.Output);
        ASSERT_EQ(Output.rfind(Report, 0), 0u) << Line.Path;
        Output = Output.substr(Report.size());
        std::string Name = Output.substr(0, Output.find('\n'));
        EXPECT_EQ(Name.rfind("Full filename: ", 0), 0u) << Output;
        EXPECT_EQ(Paths[Line.Record].count(Name.substr(std::min<size_t>(Name.size(), 15))), 1u) << Name;
        std::string Located = "Attribute (TypeCode = 0x80, Name = \"" + Line.Stream + "\") located\n";
        if (Line.Size == 0) {
            EXPECT_EQ(Output.substr(Name.size() + 1), Located) << Line.Path;
            EXPECT_FALSE(Exists(Save));
            continue;
        }
        EXPECT_EQ(Output.substr(Name.size() + 1), Located + "Total 0x" + Hex(Line.Size) + " bytes read\n") << Line.Path;
        EXPECT_EQ(Sha256Of(ReadBytes(Save)), Line.Sha) << Line.Path << ":" << Line.Stream;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, EndToEndStreams, testing::Values("sample", "clusters512", "compressed", "security"));

TEST(EndToEndReports, PrintFileOfChosenFiles)
{
    struct Case {
        const char* Image;
        const char* Fid;
        const char* Golden;
    };
    const Case Cases[] = {
        {"sample", "49", "sample.49.printfile.txt"},          // one data run, security descriptor
        {"sample", "4e", "sample.4e.printfile.txt"},          // named streams
        {"sample", "5", "sample.5.printfile.txt"},            // the root directory
        {"clusters512", "44", "clusters512.44.printfile.txt"}, // 32 runs of 512-byte clusters
        {"compressed", "46", "compressed.46.printfile.txt"},  // compressed with holes
        {"compressed", "67", "compressed.67.printfile.txt"},  // data in three pieces
    };
    for (const Case& Item : Cases) {
        std::string Output = WithoutBanner(RunKorvex({"-vol", ImagePath(Item.Image), "-fid", Item.Fid, "-printfile"}).Output);
        EXPECT_EQ(Output, VolumeReport(Item.Image) + Golden(Item.Golden)) << Item.Golden;
    }
}

TEST(EndToEndReports, RecordedCommandsReplayIdentically)
{
    TempDir Dir;
    std::vector<std::string> Commands = {"-fid", "67", "-printfile", "-fullname", "-attribute", "80", "", "-read",
                                         "d5000", "3000", "-dump"};
    std::vector<std::string> Live = {"-vol", ImagePath("compressed")};
    Live.insert(Live.end(), Commands.begin(), Commands.end());
    std::vector<std::string> Recording = Live;
    Recording.insert(Recording.end(), {"-rlog", Dir / "log"});
    std::vector<std::string> Replay = {"-rlog", Dir / "log"};
    Replay.insert(Replay.end(), Commands.begin(), Commands.end());

    std::string Expected = WithoutBanner(RunKorvex(Live).Output);
    std::string Recorded = WithoutBanner(RunKorvex(Recording).Output);
    EXPECT_NE(Recorded.find(Expected.substr(0, 200)), std::string::npos);
    EXPECT_NE(Recorded.find("Done\n"), std::string::npos);
    EXPECT_EQ(WithoutBanner(RunKorvex(Replay).Output), Expected);
    EXPECT_NE(Expected.find("Full filename: \\fragmented.bin\n"), std::string::npos) << Expected.substr(0, 400);
    EXPECT_NE(Expected.find("Total 0x3000 bytes read\n"), std::string::npos);
}

TEST(EndToEndReports, AnAttributeOnlyInAnExtensionRecordIsFound)
{
    // Record 0x67's $FILE_NAME lives in extension record 0x6a: list 1 only.
    std::string Output = WithoutBanner(
        RunKorvex({"-vol", ImagePath("compressed"), "-fid", "67", "-attribute", "30", "", "-read", "40", "2", "-dump"})
            .Output);
    EXPECT_EQ(Output, VolumeReport("compressed") +
                          "Attribute (TypeCode = 0x30, Name = \"\") located\n"
                          "00000000  0e 00" + std::string(14 * 3, ' ') + "  ..\n"
                          "Total 0x2 bytes read\n");
}
