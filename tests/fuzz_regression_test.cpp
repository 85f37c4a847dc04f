// Every input the fuzzers ever found a fault with, replayed through its
// target, and each target run once on a plain input so that none rots.
#include <dirent.h>

#include <gtest/gtest.h>

#include "fuzz/targets.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct Target {
    const char* Name;
    void (*Run)(const uint8_t*, size_t);
};

const Target Targets[] = {
    {"record", fuzz::Record}, {"runlist", fuzz::RunList}, {"lznt1", fuzz::Lznt1},
    {"index", fuzz::Index}, {"securitydescriptor", fuzz::SecurityDescriptor}, {"wholerun", fuzz::WholeRunEveryCommand}, {"replay", fuzz::Replay},
};

std::vector<std::string> FilesIn(const std::string& Folder)
{
    std::vector<std::string> Files;
    DIR* Directory = opendir(Folder.c_str());
    if (Directory == nullptr)
        return Files;
    while (dirent* Entry = readdir(Directory))
        if (Entry->d_name[0] != '.')
            Files.push_back(Folder + "/" + Entry->d_name);
    closedir(Directory);
    std::sort(Files.begin(), Files.end());
    return Files;
}

} // namespace

TEST(FuzzRegressions, KeptInputsRunClean)
{
    for (const Target& Item : Targets) {
        for (const std::string& Path : FilesIn(std::string(KORVEX_SOURCE_DIR) + "/tests/fuzz/regressions/" + Item.Name)) {
            SCOPED_TRACE(Path);
            std::vector<uint8_t> Input = ReadBytes(Path);
            Item.Run(Input.data(), Input.size());
        }
    }
}

TEST(FuzzRegressions, TargetsRunOnPlainInputs)
{
    std::vector<uint8_t> Record = ReadBytes(ImagePath("sample"));
    ASSERT_GT(Record.size(), 80u * 1024);
    // Records 73 to 75 of the sample image (the MFT starts at cluster 4).
    fuzz::Record(Record.data() + 16 * 1024 + 73 * 1024, 3 * 1024);
    const uint8_t Pairs[] = {0x21, 0x18, 0x34, 0x01, 0x01, 0x20, 0x00};
    fuzz::RunList(Pairs, sizeof(Pairs));
    std::vector<uint8_t> Chunk = {0x05, 0xB0, 0x00, 'x', 0x01, 0x00, 0x00};
    fuzz::Lznt1(Chunk.data(), Chunk.size());
    const uint8_t Root[] = {0x00, 0x04, 0x30, 0, 0, 0, 1, 0, 0, 0, 0, 0x10, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,
                            0x20, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 2, 0};
    fuzz::Index(Root, sizeof(Root));
    fuzz::SecurityDescriptor(nullptr, 0);
    fuzz::WholeRunEveryCommand(nullptr, 0);
    const uint8_t Patch[] = {0x01, 0x00, 0x00, 0x00, 0x02, 0xFF, 0xFF};
    fuzz::WholeRunEveryCommand(Patch, sizeof(Patch));
    fuzz::Replay(Patch, sizeof(Patch));
}
