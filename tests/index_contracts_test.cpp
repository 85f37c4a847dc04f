// What no command line reaches: file-name collation and seeks by name (no
// command seeks in "$I30"), the word comparison's key length, and memory
// running out anywhere.
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "main.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;

namespace {

// A $FILE_NAME-shaped key, one byte into its buffer: every access misaligned.
struct NameKey {
    explicit NameKey(const std::u16string& Name) : Bytes(1 + 0x42 + 2 * Name.size(), 0xCC)
    {
        Bytes[1 + 0x40] = static_cast<uint8_t>(Name.size());
        for (size_t i = 0; i < Name.size(); i++)
            StoreLe16(&Bytes[1 + 0x42 + 2 * i], static_cast<uint16_t>(Name[i]));
    }
    const void* Get() const { return Bytes.data() + 1; }
    std::vector<uint8_t> Bytes;
};

TEST(IndexContracts, FileNamesCompareAsUnsignedCodeUnits)
{
    const struct { std::u16string A, B; int Expected; } Cases[] = {{u"abc", u"abd", -1}, {u"ab", u"abc", -1}, {u"ABC", u"abc", -1}, {u"abc", u"abc", 0},
                 {u"Z", u"a", -1},     {u"", u"a", -1},     {u"\xFFFF", u"\x7FFF", 1}, {u"a\xD83D\xDE00", u"a\xFF5A", -1}};
    for (const auto& Case : Cases) {
        EXPECT_EQ(NtfsIndex_CompareFileNames(NameKey(Case.A).Get(), NameKey(Case.B).Get()), Case.Expected);
        EXPECT_EQ(NtfsIndex_CompareFileNames(NameKey(Case.B).Get(), NameKey(Case.A).Get()), -Case.Expected);
    }
    NameKey X(u"x"); // no key sorts below every key, the all-ones position above; neither is read
    EXPECT_EQ(NtfsIndex_CompareFileNames(nullptr, X.Get()), -1);
    EXPECT_EQ(NtfsIndex_CompareFileNames(INDEX_KEY_HIGHEST, X.Get()), 1);
    EXPECT_EQ(NtfsIndex_CompareUlongs(X.Get(), nullptr, 6), 1); // settled before the length is checked
}

TEST(IndexContractsDeathTest, UlongKeyLengthMustBeWholeWords)
{
    uint32_t A[2] = {1, 2}, B[2] = {1, 3};
    auto CompareSixBytes = [&] { // the assertion prints to standard output
        fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        NtfsIndex_CompareUlongs(A, B, 6);
    };
    EXPECT_DEATH(CompareSixBytes(), "Assertion failed: \\(KeyLength % 4\\) == 0, file attr.cpp, line");
}

// Seeks by name in the "$I30" of /many (3,000 names, a tree of more than two
// levels): the cursor then delivers the first entry not below the key, whether
// the key is a name, falls between two, precedes all or follows all; a key
// longer than a name can be is refused (87).
TEST(IndexContracts, SeekByNameStartsAtTheFirstEntryNotBelowTheKey)
{
    std::vector<uint8_t> Image = ReadBytes(ImagePath("dirs"));
    Platform_AddMemoryFile(u"memory:dirs", Image.data(), Image.size());
    NtfsVolume* Volume = nullptr;
    NtfsFile* File = nullptr;
    ASSERT_EQ(NtfsVolume_Open(u"memory:dirs", nullptr, &Volume, 0), ERROR_SUCCESS);
    ASSERT_EQ(NtfsFile_Open(Volume, 0x40, &File), ERROR_SUCCESS);
    auto NamesFrom = [&](const std::u16string* Key, size_t Most, DWORD* Error) {
        IndexHolder Cursor;
        std::vector<std::u16string> Names;
        *Error = NtfsIndex_Open(File, u"$I30", &Cursor.Index);
        if (*Error == ERROR_SUCCESS && Key != nullptr)
            *Error = NtfsIndex_Seek(&Cursor.Index, Key->c_str(), 0);
        std::vector<uint8_t> Entry(NtfsIndex_GetEntryBufferSize(&Cursor.Index) + 0x52);
        for (uint32_t Size = 0; *Error == ERROR_SUCCESS && Names.size() < Most;) {
            Size = static_cast<uint32_t>(Entry.size());
            if ((*Error = NtfsIndex_Next(&Cursor.Index, Entry.data(), &Size)) == ERROR_SUCCESS)
                Names.emplace_back(reinterpret_cast<const char16_t*>(&Entry[0x52]), Entry[0x50]);
        }
        return Names;
    };
    DWORD Error = 0;
    std::vector<std::u16string> All = NamesFrom(nullptr, SIZE_MAX, &Error);
    ASSERT_EQ(All.size(), 3000u);
    for (size_t i = 0; i < All.size(); i += 131) {
        std::u16string After = All[i] + u'\x01';
        EXPECT_EQ(NamesFrom(&All[i], 2, &Error), std::vector<std::u16string>(&All[i], &All[i + 2])) << i;
        EXPECT_EQ(NamesFrom(&After, 1, &Error), std::vector<std::u16string>(1, All[i + 1])) << i;
    }
    std::u16string First = u"", Last = u"\xFFFF", Longest(255, u'a'), TooLong(256, u'a');
    EXPECT_EQ(NamesFrom(&First, 1, &Error), std::vector<std::u16string>(1, All[0]));
    EXPECT_EQ(NamesFrom(&Longest, 1, &Error), std::vector<std::u16string>(1, All[0]));
    EXPECT_TRUE(NamesFrom(&Last, 1, &Error).empty() && Error == ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(NamesFrom(&TooLong, 1, &Error).empty() && Error == ERROR_INVALID_PARAMETER);
    NtfsFile_Close(File);
    NtfsVolume_Close(Volume);
    Platform_RemoveMemoryFile(u"memory:dirs");
}

std::string RunInProcess(const std::vector<std::string>& Arguments)
{
    std::vector<std::u16string> Words = {u"korvex"};
    for (const std::string& Argument : Arguments)
        Words.push_back(Wide(Argument));
    std::vector<char16_t*> Pointers;
    for (std::u16string& Word : Words)
        Pointers.push_back(Word.data());
    ConsoleCapture Capture;
    ResetOptions();
    KorvexMain(static_cast<int>(Pointers.size()), Pointers.data());
    ResetOptions();
    return Capture.Text();
}

// Each allocation fails in turn: a listing that differs from the intact one reports the failure
// (a directory's unopened index says nothing), other lines are intact ones, or cut short.
TEST(IndexContracts, EveryAllocationOfAListingMayFail)
{
    const struct { const char* Image; std::vector<std::string> Arguments; const char* Seen; } Cases[] = {
        {"compressed", {"-fid", "68", "-dir"}, "Error occured during listing files, error is 14"},
        {"security", {"-sehash", "0", "ffffffffffffffff"}, "Search security id failed, error is 0xe"},
        {"security", {"-seid", "100", "101", "-v"}, "    Owner : ???? (8)"},
        {"security", {"-seid", "100", "101", "-v"}, "ConvertSidToStringSid() failed with error 8"},
    };
    const std::regex Failure("error is (14|0xe)|\\(8\\)|error 8");
    for (const auto& Case : Cases) {
        std::vector<uint8_t> Image = ReadBytes(ImagePath(Case.Image));
        Platform_AddMemoryFile(u"memory:image", Image.data(), Image.size());
        std::vector<std::string> Arguments = {"-vol", "memory:image"};
        Arguments.insert(Arguments.end(), Case.Arguments.begin(), Case.Arguments.end());
        std::string Intact = RunInProcess(Arguments);
        bool Seen = false, Hit = true; // Hit: the armed allocation came within the run
        for (uint32_t Skip = 0; Hit; Skip++) {
            FaultGuard Guard;
            Fault_Arm(FaultPoint::Alloc, Skip, FaultKind::Fail, 0);
            std::string Output = RunInProcess(Arguments);
            bool Reported = std::regex_search(Output, Failure) || Output.find("files in") == std::string::npos;
            EXPECT_TRUE(Output == Intact || Reported) << Skip << ":\n" << Output; // no silent short listing
            std::istringstream Lines(Output);
            for (uint32_t i = 0; i <= Skip && Hit; i++) {
                void* Probe = HeapAlloc(GetProcessHeap(), 0, 1);
                Hit = Probe != nullptr;
                HeapFree(GetProcessHeap(), 0, Probe);
            }
            for (std::string Line; std::getline(Lines, Line);) {
                Seen = Seen || Line.find(Case.Seen) != std::string::npos;
                EXPECT_TRUE(Intact.find(Line) != std::string::npos || std::regex_search(Line, Failure))
                    << Case.Arguments[0] << " " << Skip << ": " << Line;
            }
        }
        EXPECT_TRUE(Seen) << Case.Seen;
        Platform_RemoveMemoryFile(u"memory:image");
    }
}

} // namespace
