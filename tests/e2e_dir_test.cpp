// "-dir" on the real images: whole outputs for small directories, and for
// the large ones (two to four levels of index blocks, blocks larger than,
// equal to and smaller than a cluster) every (file reference, name) pair the
// image script created, in index order; recording and replay; the cursor's
// depth on those trees.
#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;

namespace {

constexpr const char* Heading = "files in this directory:\n"
                                "FileReference            Filename\n"
                                "----------------------------------------------------------------\n";

std::string Golden(const std::string& Name)
{
    std::vector<uint8_t> Bytes = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/golden/" + Name);
    return std::string(Bytes.begin(), Bytes.end());
}

// The listing part of a run's output: from the heading on.
std::string ListingOf(const std::string& Output)
{
    size_t Start = Output.find("files in this directory:\n");
    return Start == std::string::npos ? std::string() : Output.substr(Start);
}

struct Line {
    uint64_t Reference;
    bool Directory;
    std::string Name;
    bool operator==(const Line&) const = default;
};

// Parses the entry lines of a complete listing.
std::vector<Line> Lines(const std::string& Listing)
{
    std::vector<Line> Result;
    EXPECT_EQ(Listing.substr(0, strlen(Heading)), Heading);
    static const std::regex Pattern("0x([0-9a-f]{16}) (<DIR> |      )(.*)");
    size_t Position = strlen(Heading);
    while (Position < Listing.size()) {
        size_t End = Listing.find('\n', Position);
        std::string Text = Listing.substr(Position, End - Position);
        std::smatch Match;
        EXPECT_TRUE(std::regex_match(Text, Match, Pattern)) << Text;
        if (!Match.empty())
            Result.push_back({std::stoull(Match[1], nullptr, 16), Match[2] == "<DIR> ", Match[3]});
        Position = End + 1;
    }
    return Result;
}

// (record, name) of every file the image script created directly in Dir.
std::multiset<std::pair<uint64_t, std::string>> ManifestEntries(const std::string& Image, const std::string& Dir)
{
    std::vector<uint8_t> Bytes = ReadBytes(std::string(KORVEX_SOURCE_DIR) + "/tests/images/" + Image + ".manifest");
    std::string Text(Bytes.begin(), Bytes.end());
    std::set<std::string> Seen;
    std::multiset<std::pair<uint64_t, std::string>> Result;
    size_t Position = 0;
    while (Position < Text.size()) {
        size_t End = Text.find('\n', Position);
        std::string Row = Text.substr(Position, End - Position);
        Position = End + 1;
        size_t Tab1 = Row.find('\t');
        size_t Tab2 = Row.find('\t', Tab1 + 1);
        std::string Path = Row.substr(Tab1 + 1, Tab2 - Tab1 - 1);
        // One line per stream: count each path once.
        if (Path.rfind(Dir + "/", 0) != 0 || !Seen.insert(Path).second)
            continue;
        Result.insert({std::stoull(Row.substr(0, Tab1)), Path.substr(Dir.size() + 1)});
    }
    return Result;
}

std::u16string Utf16(const std::string& Text) { return Wide(Text); }

// Every pair of the script, each name once (the script writes POSIX names
// only), in ordinal order: the names of these directories are lower case
// letters and digits, for which the index's upper-cased order is ordinal.
void ExpectScriptDirectory(const std::string& Image, const std::string& Fid, const std::string& Dir,
                           size_t Expected)
{
    RunResult Run = RunKorvex({"-vol", ImagePath(Image), "-fid", Fid, "-dir"});
    std::vector<Line> Listed = Lines(ListingOf(Run.Output));
    ASSERT_EQ(Listed.size(), Expected) << Dir;
    std::multiset<std::pair<uint64_t, std::string>> Pairs;
    for (const Line& Entry : Listed) {
        Pairs.insert({Entry.Reference & 0x0000FFFFFFFFFFFFull, Entry.Name});
        EXPECT_FALSE(Entry.Directory) << Entry.Name;
    }
    EXPECT_EQ(Pairs, ManifestEntries(Image, Dir));
    for (size_t i = 1; i < Listed.size(); i++)
        EXPECT_LT(Utf16(Listed[i - 1].Name), Utf16(Listed[i].Name)) << i;
}

TEST(DirectoryListing, SmallDirectoriesWholeOutput)
{
    // The root of sample: one index block, equal to the cluster.
    RunResult Root = RunKorvex({"-vol", ImagePath("sample"), "-fid", "5", "-dir"});
    EXPECT_EQ(WithoutBanner(Root.Output), Golden("sample.volume.txt") + Golden("sample.5.dir.txt"));
    EXPECT_EQ(Root.Status, 0);

    RunResult Nested = RunKorvex({"-vol", ImagePath("sample"), "-fid", "41", "-dir"});
    EXPECT_EQ(ListingOf(Nested.Output), std::string(Heading) + "0x0001000000000046       deep.txt\n"
                                                               "0x0001000000000042 <DIR> deeper\n");
    RunResult Empty = RunKorvex({"-vol", ImagePath("sample"), "-fid", "43", "-dir"});
    EXPECT_EQ(ListingOf(Empty.Output), Heading);

    // The root of clusters512: a 4096-byte block over eight 512-byte clusters.
    RunResult Small = RunKorvex({"-vol", ImagePath("clusters512"), "-fid", "5", "-dir"});
    std::string Listing = ListingOf(Small.Output);
    EXPECT_NE(Listing.find("0x0005000000000005 <DIR> .\n"
                           "0x0001000000000040 <DIR> dir\n"
                           "0x0001000000000044       fragmented.bin\n"
                           "0x0001000000000041       hello.txt\n"
                           "0x0002000000000045       tail.txt\n"),
              std::string::npos)
        << Listing;
    EXPECT_EQ(Lines(Listing).size(), 16u);
}

// Every namespace is listed: a Win32 name and its DOS alias give two lines
// for one record, and each hard link its own line. Non-ASCII, astral-plane
// and private-use names in index order, with blocks smaller than a cluster.
TEST(DirectoryListing, NamesOfEveryKind)
{
    RunResult Run = RunKorvex({"-vol", ImagePath("dirs"), "-fid", "41", "-dir"});
    EXPECT_EQ(ListingOf(Run.Output), Golden("dirs.41.dir.txt"));
    std::multiset<std::pair<uint64_t, std::string>> Expected = ManifestEntries("dirs", "/names");
    Expected.insert({66, "sub"});
    Expected.insert({3082, "LONGFI~1.TXT"});
    std::multiset<std::pair<uint64_t, std::string>> Listed;
    for (const Line& Entry : Lines(ListingOf(Run.Output)))
        Listed.insert({Entry.Reference & 0x0000FFFFFFFFFFFFull, Entry.Name});
    EXPECT_EQ(Listed, Expected);
}

TEST(DirectoryListing, LargeDirectories)
{
    ExpectScriptDirectory("dirs", "40", "/many", 3000);          // blocks below the cluster size
    ExpectScriptDirectory("compressed", "69", "/bigdir", 2000);  // $INDEX_ROOT in an extension record
    ExpectScriptDirectory("compressed", "68", "/dir300", 300);
}

TEST(DirectoryListing, HardLinks)
{
    RunResult Run = RunKorvex({"-vol", ImagePath("compressed"), "-fid", "4d", "-dir"});
    std::vector<Line> Listed = Lines(ListingOf(Run.Output));
    ASSERT_EQ(Listed.size(), 71u);
    std::multiset<std::pair<uint64_t, std::string>> Pairs;
    for (const Line& Entry : Listed)
        Pairs.insert({Entry.Reference & 0x0000FFFFFFFFFFFFull, Entry.Name});
    EXPECT_EQ(Pairs, ManifestEntries("compressed", "/links"));
    EXPECT_EQ(Pairs.count({78, "target.txt"}), 1u);
}

TEST(DirectoryListing, DirectoryTest)
{
    // $FILE_NAME moved to an extension record: still found, not a directory.
    RunResult File = RunKorvex({"-vol", ImagePath("compressed"), "-fid", "67", "-dir"});
    EXPECT_EQ(WithoutBanner(File.Output).substr(WithoutBanner(File.Output).find("\n\n") + 2),
              "This file is not a directory\n");
}

// A recorded listing replays from the log alone, for blocks above, equal to
// and below the cluster size.
TEST(DirectoryListing, RecordingAndReplay)
{
    TempDir Dir;
    struct {
        const char* Image;
        const char* Fid;
    } Cases[] = {{"clusters512", "5"}, {"compressed", "69"}, {"dirs", "40"}};
    for (const auto& Case : Cases) {
        std::string Base = Dir / (std::string(Case.Image) + Case.Fid);
        RunResult Live = RunKorvex({"-vol", ImagePath(Case.Image), "-fid", Case.Fid, "-dir"});
        RunResult Recording = RunKorvex({"-vol", ImagePath(Case.Image), "-rlog", Base, "-fid", Case.Fid, "-dir"});
        RunResult Replay = RunKorvex({"-rlog", Base, "-fid", Case.Fid, "-dir"});
        std::string Listing = ListingOf(Live.Output);
        EXPECT_FALSE(Lines(Listing).empty());
        EXPECT_NE(Recording.Output.find(Listing), std::string::npos) << Case.Image;
        EXPECT_EQ(WithoutBanner(Replay.Output), WithoutBanner(Live.Output)) << Case.Image;
    }
}

// The trees are as deep as the images promise, and the walk holds one node
// per level.
TEST(DirectoryListing, CursorDepth)
{
    struct {
        const char* Image;
        uint64_t Segment;
        uint32_t Levels;
    } Cases[] = {{"sample", 5, 2}, {"compressed", 104, 3}, {"compressed", 105, 4}, {"dirs", 64, 4}};
    for (const auto& Case : Cases) {
        std::u16string Name = Wide(ImagePath(Case.Image));
        NtfsVolume* Volume = nullptr;
        ASSERT_EQ(NtfsVolume_Open(Name.c_str(), nullptr, &Volume, 0), ERROR_SUCCESS);
        NtfsFile* File = nullptr;
        ASSERT_EQ(NtfsFile_Open(Volume, Case.Segment, &File), ERROR_SUCCESS);
        NtfsIndex Index{};
        ASSERT_EQ(NtfsIndex_Open(File, u"$I30", &Index), ERROR_SUCCESS);
        uint32_t Deepest = 0;
        DWORD Error;
        std::vector<uint8_t> Buffer(NtfsIndex_GetEntryBufferSize(&Index));
        do {
            uint32_t Size = static_cast<uint32_t>(Buffer.size());
            Error = NtfsIndex_Next(&Index, Buffer.data(), &Size);
            Deepest = std::max(Deepest, Index.Depth);
        } while (Error == ERROR_SUCCESS);
        EXPECT_EQ(Error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(Deepest, Case.Levels) << Case.Image << " " << Case.Segment;
        NtfsIndex_Release(&Index);
        NtfsFile_Close(File);
        NtfsVolume_Close(Volume);
    }
}

} // namespace
