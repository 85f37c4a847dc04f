// Whole runs of the built binary: banner, help, volume report, and the volume
// log recorded from a real image and replayed without it.
#include <algorithm>
#include <cstring>
#include <regex>

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "main.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::string Golden(const std::string& Name)
{
    std::vector<uint8_t> Bytes = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/golden/" + Name);
    return std::string(Bytes.begin(), Bytes.end());
}

uint64_t Le64(const std::vector<uint8_t>& Bytes, size_t Offset)
{
    uint64_t Value = 0;
    for (int i = 7; i >= 0; i--)
        Value = (Value << 8) | Bytes[Offset + static_cast<size_t>(i)];
    return Value;
}

std::string BitmapLines()
{
    return "Initializing bitmap file...\rInitializing bitmap file... done              \n";
}

std::string DumpLines(uint64_t TotalClusters)
{
    std::string Lines = "Dumping data to log...\n";
    uint64_t Last = 0;
    for (uint64_t Cluster = 0; Cluster < TotalClusters; Cluster++) {
        uint64_t Percent = Cluster * 100 / TotalClusters;
        if (Percent > Last) {
            Lines += "\r" + std::to_string(Percent) + " percent is done    ";
            Last = Percent;
        }
    }
    return Lines + "\nDone\n";
}

} // namespace

TEST(EndToEnd, BannerHintAndHelp)
{
    RunResult Bare = RunKorvex({});
    EXPECT_EQ(Bare.Status, 0);
    std::regex Banner(R"(korvex version 1\.00\.0003 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}\)\n)");
    std::string FirstLine = Bare.Output.substr(0, Bare.Output.find('\n') + 1);
    EXPECT_TRUE(std::regex_match(FirstLine, Banner)) << FirstLine;
    EXPECT_EQ(WithoutBanner(Bare.Output), "for more information, type korvex -?\n");

    // Help wins over everything else and opens nothing.
    RunResult Help = RunKorvex({"-vol", "/nonexistent", "-help"});
    EXPECT_EQ(Help.Status, 255);
    EXPECT_EQ(WithoutBanner(Help.Output), Golden("help.txt"));
    EXPECT_EQ(RunKorvex({"-?"}).Output, Help.Output);
}

TEST(EndToEnd, OpenFailuresAreReportedWithTheirCodes)
{
    TempDir Dir;
    RunResult Neither = RunKorvex({"-fid", "5", "-vol"});
    EXPECT_EQ(Neither.Status, 0);
    EXPECT_EQ(WithoutBanner(Neither.Output),
              "Either -vol or -rlog must be specified\nUnable to open the volume (null), error is 87\n");

    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Dir / "missing"}).Output),
              "Unable to open the volume " + (Dir / "missing") + ", error is 2\n");

    WriteBytes(Dir / "zeros", std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Dir / "zeros"}).Output),
              "Unable to open the volume " + (Dir / "zeros") + ", error is 1005\n");
    WriteBytes(Dir / "short", std::vector<uint8_t>(100, 0));
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Dir / "short"}).Output),
              "Unable to open the volume " + (Dir / "short") + ", error is 30\n");
    EXPECT_EQ(WithoutBanner(RunKorvex({"-rlog", Dir / "nolog"}).Output),
              "Unable to open the volume (null), error is 2\n");
}

// A volume log is handed to others and replayed without the disk, so replay
// takes only regular files and refuses anything else before reading it (a
// FIFO would block the open), and an ".idx" that its ".dat" cannot match is
// refused without loading it.
TEST(EndToEnd, ReplayRefusesFilesThatCannotBeALog)
{
    TempDir Dir;
    std::string Good = Dir / "good";
    RunKorvex({"-vol", ImagePath("sample"), "-rlog", Good});
    const struct {
        const char* Kind;
        int (*Make)(const char* Path);
        const char* Error;
    } Kinds[] = {
        {"fifo", [](const char* Path) { return mkfifo(Path, 0600); }, "13"},
        {"device", [](const char* Path) { return symlink("/dev/null", Path); }, "13"},
        // Opening a folder as a file fails as it does on Windows.
        {"folder", [](const char* Path) { return mkdir(Path, 0700); }, "5"},
    };
    for (const auto& Kind : Kinds) {
        for (std::string Hostile : {".idx", ".dat"}) {
            std::string Regular = Hostile == ".idx" ? ".dat" : ".idx";
            std::string Base = Dir / (Kind.Kind + Hostile);
            WriteBytes(Base + Regular, ReadBytes(Good + Regular));
            ASSERT_EQ(Kind.Make((Base + Hostile).c_str()), 0) << Kind.Kind;
            RunResult Replay = RunKorvex({"-rlog", Base, "-fid", "5", "-dir"}, "", 1);
            EXPECT_EQ(WithoutBanner(Replay.Output),
                      std::string("Unable to open the volume (null), error is ") + Kind.Error + "\n")
                << Kind.Kind << " as " << Hostile;
        }
    }

    // 600 MiB of zeros (sparse: no disk used) beside a 20 KiB ".dat" would
    // imply clusters of 0 bytes.
    std::string Big = Dir / "big";
    WriteBytes(Big + ".dat", std::vector<uint8_t>(20480, 0));
    WriteBytes(Big + ".idx", {});
    ASSERT_EQ(truncate((Big + ".idx").c_str(), off_t{600} << 20), 0);
    RunResult Replay = RunKorvex({"-rlog", Big, "-fid", "5", "-dir"}, "", 1);
    EXPECT_EQ(WithoutBanner(Replay.Output), "Unable to open the volume (null), error is 13\n");
    // A forked child's peak includes this process's pages from before its exec,
    // so the bound is 20 MB or this process's own peak, whichever is larger.
    // The sanitizer's shadow memory alone is larger than the bound.
    struct rusage Self {};
    getrusage(RUSAGE_SELF, &Self);
    if (!KORVEX_SANITIZED) {
        EXPECT_LE(Replay.PeakMemoryKb, std::max(20L * 1024, Self.ru_maxrss));
    }
}

TEST(EndToEnd, VolumeReportOfTheSampleImage)
{
    RunResult Run = RunKorvex({"-vol", ImagePath("sample")});
    EXPECT_EQ(Run.Status, 0);
    EXPECT_EQ(WithoutBanner(Run.Output), Golden("sample.volume.txt"));
    RunResult Locked = RunKorvex({"-vol", ImagePath("sample"), "-lockvol"});
    EXPECT_EQ(Locked.Output, Run.Output);
}

TEST(EndToEnd, RecordedLogReplaysToTheSameReport)
{
    TempDir Dir;
    std::string Base = Dir / "log";
    std::string Image = ImagePath("sample");
    RunResult Live = RunKorvex({"-vol", Image});
    RunResult Recording = RunKorvex({"-vol", Image, "-rlog", Base});
    std::string Report = WithoutBanner(Live.Output);
    std::vector<uint8_t> ImageBytes = ReadBytes(Image);
    uint64_t BytesPerCluster = 4096;
    uint64_t TotalClusters = Le64(ImageBytes, 0x28) / ImageBytes[0x0D];
    EXPECT_EQ(WithoutBanner(Recording.Output), BitmapLines() + Report + DumpLines(TotalClusters));
    EXPECT_FALSE(Exists(Base + ".bmp"));

    // The index is strictly ascending from cluster 0, and the data file holds
    // exactly those clusters of the image.
    std::vector<uint8_t> Index = ReadBytes(Base + ".idx");
    std::vector<uint8_t> Data = ReadBytes(Base + ".dat");
    ASSERT_GE(Index.size(), 16u);
    ASSERT_EQ(Index.size() % 8, 0u);
    ASSERT_EQ(Data.size(), Index.size() / 8 * BytesPerCluster);
    EXPECT_EQ(Le64(Index, 0), 0u);
    for (size_t Entry = 0; Entry < Index.size() / 8; Entry++) {
        uint64_t Lcn = Le64(Index, Entry * 8);
        if (Entry > 0) {
            EXPECT_GT(Lcn, Le64(Index, (Entry - 1) * 8));
        }
        ASSERT_LE((Lcn + 1) * BytesPerCluster, ImageBytes.size());
        EXPECT_TRUE(std::equal(Data.begin() + static_cast<long>(Entry * BytesPerCluster),
                               Data.begin() + static_cast<long>((Entry + 1) * BytesPerCluster),
                               ImageBytes.begin() + static_cast<long>(Lcn * BytesPerCluster)))
            << "cluster " << Lcn;
    }

    RunResult Replay = RunKorvex({"-rlog", Base});
    EXPECT_EQ(WithoutBanner(Replay.Output), Report);

    // A log is never overwritten.
    RunResult Again = RunKorvex({"-vol", Image, "-rlog", Base});
    EXPECT_EQ(WithoutBanner(Again.Output), "Unable to open the volume " + Image + ", error is 80\n");
    EXPECT_FALSE(Exists(Base + ".bmp"));
    EXPECT_EQ(ReadBytes(Base + ".idx"), Index);
}

TEST(EndToEnd, ReplayOfAClusterThatWasNotRecorded)
{
    TempDir Dir;
    std::string Base = Dir / "log";
    RunKorvex({"-vol", ImagePath("sample"), "-rlog", Base});
    // The root directory's record was not needed by the volume open.
    RunResult Replay = RunKorvex({"-rlog", Base, "-fid", "5"});
    std::string Output = WithoutBanner(Replay.Output);
    EXPECT_NE(Output.find("Unable to open the file for fid 0x5, error is 30\n"), std::string::npos) << Output;

    // A recording run whose file cannot be opened stops before the dump and
    // leaves empty log files, which replay refuses.
    std::string Failed = Dir / "failed";
    RunResult Recording = RunKorvex({"-vol", ImagePath("sample"), "-rlog", Failed, "-fid", "ffffff"});
    EXPECT_EQ(Recording.Output.find("Dumping"), std::string::npos);
    EXPECT_TRUE(ReadBytes(Failed + ".idx").empty());
    EXPECT_TRUE(ReadBytes(Failed + ".dat").empty());
    EXPECT_EQ(WithoutBanner(RunKorvex({"-rlog", Failed}).Output), "Unable to open the volume (null), error is 13\n");
}

TEST(EndToEnd, FileOpensReplayLikeTheRecordingRun)
{
    TempDir Dir;
    for (const char* Fid : {"0", "5", "49", "0x0001000000000049"}) {
        std::string Base = Dir / (std::string("fid") + Fid);
        RunResult Live = RunKorvex({"-vol", ImagePath("sample"), "-fid", Fid});
        RunResult Recording = RunKorvex({"-vol", ImagePath("sample"), "-rlog", Base, "-fid", Fid});
        RunResult Replay = RunKorvex({"-rlog", Base, "-fid", Fid});
        EXPECT_EQ(WithoutBanner(Live.Output), Golden("sample.volume.txt"));
        EXPECT_EQ(WithoutBanner(Replay.Output), WithoutBanner(Live.Output)) << Fid;
        EXPECT_NE(Recording.Output.find("Done\n"), std::string::npos);
    }
    RunResult Unused = RunKorvex({"-vol", ImagePath("sample"), "-fid", "4f"});
    EXPECT_EQ(WithoutBanner(Unused.Output), Golden("sample.volume.txt") + "Unable to open the file for fid 0x4f, error is 2\n");
}

TEST(EndToEnd, InProcessRunOnAMemoryImageMatchesTheBinary)
{
    std::vector<uint8_t> Image = ReadBytes(ImagePath("sample"));
    Platform_AddMemoryFile(u"memory:sample", Image.data(), Image.size());
    std::vector<std::u16string> Words = {u"korvex", u"-vol", u"memory:sample", u"-fid", u"4e", u"-printfile", u"-fullname"};
    std::vector<char16_t*> Arguments;
    for (std::u16string& Word : Words)
        Arguments.push_back(Word.data());
    std::string Output;
    {
        ConsoleCapture Capture;
        ResetOptions();
        EXPECT_EQ(KorvexMain(static_cast<int>(Arguments.size()), Arguments.data()), 0);
        ResetOptions();
        Output = Capture.Text();
    }
    Platform_RemoveMemoryFile(u"memory:sample");
    RunResult Binary = RunKorvex({"-vol", ImagePath("sample"), "-fid", "4e", "-printfile", "-fullname"});
    EXPECT_EQ(WithoutBanner(Output), WithoutBanner(Binary.Output));
}

// A read-only loop device over the sample image, when the machine allows one.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& Image)
    {
        std::string Command = "losetup -f --show -r '" + Image + "' 2>/dev/null";
        FILE* Pipe = popen(Command.c_str(), "r");
        if (Pipe == nullptr)
            return;
        char Line[256] = {};
        if (fgets(Line, sizeof(Line), Pipe) != nullptr)
            Path = std::string(Line, strcspn(Line, "\n"));
        pclose(Pipe);
    }
    ~LoopDevice()
    {
        if (!Path.empty() && system(("losetup -d " + Path).c_str()) != 0)
            perror("losetup");
    }
    std::string Path;
};

TEST(EndToEnd, BlockDevicesOpenSharedOrExclusive)
{
    LoopDevice Device(ImagePath("sample"));
    if (Device.Path.empty())
        GTEST_SKIP() << "no loop device here";
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Device.Path}).Output), Golden("sample.volume.txt"));
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Device.Path, "-lockvol"}).Output), Golden("sample.volume.txt"));

    std::u16string Name = Wide(Device.Path);
    HANDLE File = CreateFileW(Name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    LARGE_INTEGER Size{};
    EXPECT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, static_cast<LONGLONG>(ReadBytes(ImagePath("sample")).size()));
    // While another opener holds the device exclusively, -lockvol is refused
    // and a shared open still works.
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Device.Path, "-lockvol"}).Output),
              "Unable to open the volume " + Device.Path + ", error is 32\n");
    CloseHandle(File);
}

TEST(EndToEnd, AnyLinuxPathOpens)
{
    TempDir Dir;
    std::string Name = Dir / "im\xff" "age \xc3\xa9.img";
    WriteBytes(Name, ReadBytes(ImagePath("sample")));
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Name}).Output), Golden("sample.volume.txt"));
    // In messages a byte that is not UTF-8 shows as U+FFFD.
    std::string Missing = Dir / "no\xff";
    EXPECT_EQ(WithoutBanner(RunKorvex({"-vol", Missing}).Output),
              "Unable to open the volume " + Dir.Path() + "/no\xef\xbf\xbd, error is 2\n");
}
