// What whole runs cannot show: platform faults in in-process runs on a memory
// image, files and memory files, errno codes, text, console and time contracts.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "device.h"
#include "main.h"
#include "ntfstool.h"
#include "posix/errors.h"
#include "security.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Runs korvex in-process on "memory:sample" or "memory:compressed" (words
// split at spaces, "" empty, %TMP% the folder, %IMAGE% the sample image's
// file); returns the output without the banner.
std::string RunInProcess(const std::string& Line, const std::string& Folder, bool Quiet = true)
{
    static std::vector<uint8_t> Sample = ReadBytes(ImagePath("sample")), Compressed = ReadBytes(ImagePath("compressed"));
    Platform_AddMemoryFile(u"memory:sample", Sample.data(), Sample.size());
    Platform_AddMemoryFile(u"memory:compressed", Compressed.data(), Compressed.size());
    std::vector<std::u16string> Words = {u"korvex"};
    std::istringstream In(Line);
    for (std::string Word; In >> Word;)
        Words.push_back(Wide(Word == "\"\"" ? "" : Word == "%IMAGE%" ? ImagePath("sample")
                                                   : std::regex_replace(Word, std::regex("%TMP%"), Folder)));
    std::vector<char16_t*> Arguments;
    for (std::u16string& Word : Words)
        Arguments.push_back(Word.data());
    ConsoleCapture Capture;
    if (!Quiet)
        Console_SetCapture(nullptr); // a death test's message must reach stderr
    ResetOptions();
    KorvexMain(static_cast<int>(Arguments.size()), Arguments.data());
    ResetOptions();
    return WithoutBanner(Capture.Text());
}

// A command line (after a clean Setup run in the same folder, if any), the
// point spoiled and how, and the code a spoiled run reports.
// With Repeat, every call from the spoiled one on fails.
struct FaultSweep { const char* Setup; const char* Line; FaultPoint Point; FaultKind Kind; DWORD Shown; bool Repeat = false; };

const char* const ReadBig = "-vol memory:sample -fid 49 -attribute 80 \"\" -read 0 19000";
const char* const Record = "-vol memory:sample -rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000";
const char* const Replay = "-rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000";
// From the image's file, the dump's copy is the kernel's, not the buffer's.
const char* const RecordFile = "-vol %IMAGE% -rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000";
// A read that keeps its bytes leaves the whole log to the dump.
const char* const RecordSave = "-vol memory:sample -rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000 -save %TMP%/out";
const char* const RecordFileSave = "-vol %IMAGE% -rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000 -save %TMP%/out";
const char* const Compressed = "-vol memory:compressed -fid 48 -attribute 80 \"\" -read 0 2c000 -save %TMP%/out";
const char* const Save = "-vol memory:sample -fid 49 -attribute 80 \"\" -read 0 19000 -save %TMP%/out";
// From files, the save and its replay are the kernel's copies.
const char* const SaveFile = "-vol %IMAGE% -fid 49 -attribute 80 \"\" -read 0 19000 -save %TMP%/out";
const char* const ReplaySave = "-rlog %TMP%/log -fid 49 -attribute 80 \"\" -read 0 19000 -save %TMP%/out";

using P = FaultPoint;
constexpr FaultKind Fail = FaultKind::Fail, Short = FaultKind::Short;
const FaultSweep Sweeps[] = {
    {nullptr, ReadBig, P::Alloc, Fail, ERROR_OUTOFMEMORY},
    {nullptr, ReadBig, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, ReadBig, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, ReadBig, P::Seek, Fail, ERROR_NEGATIVE_SEEK},
    {nullptr, "-vol memory:sample -fid 4e -attribute 80 author -read 0 24", P::Alloc, Fail, ERROR_OUTOFMEMORY},
    {nullptr, Compressed, P::Alloc, Fail, ERROR_OUTOFMEMORY},
    {nullptr, Compressed, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, Record, P::Alloc, Fail, ERROR_OUTOFMEMORY},
    {nullptr, Record, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, Record, P::Read, Fail, ERROR_IO_DEVICE, true},
    {nullptr, Record, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, Record, P::Write, Fail, ERROR_DISK_FULL},
    {nullptr, Record, P::Write, Short, ERROR_WRITE_FAULT},
    {nullptr, Record, P::Seek, Fail, ERROR_NEGATIVE_SEEK},
    {nullptr, Record, P::SetEnd, Fail, ERROR_ACCESS_DENIED},
    {nullptr, RecordFile, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, RecordFile, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, RecordFile, P::Write, Fail, ERROR_DISK_FULL},
    {nullptr, RecordFile, P::Write, Short, ERROR_WRITE_FAULT},
    {nullptr, RecordSave, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, RecordSave, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, RecordSave, P::Write, Fail, ERROR_DISK_FULL},
    {nullptr, RecordFileSave, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, RecordFileSave, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, RecordFileSave, P::Write, Short, ERROR_WRITE_FAULT},
    {Record, Replay, P::Alloc, Fail, ERROR_OUTOFMEMORY},
    {Record, Replay, P::Read, Fail, ERROR_IO_DEVICE},
    {Record, Replay, P::Read, Short, ERROR_READ_FAULT},
    {Record, Replay, P::FileSize, Fail, ERROR_ACCESS_DENIED},
    {nullptr, Save, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, Save, P::Write, Fail, ERROR_DISK_FULL},
    {nullptr, Save, P::Write, Short, ERROR_WRITE_FAULT},
    {nullptr, SaveFile, P::Read, Fail, ERROR_IO_DEVICE},
    {nullptr, SaveFile, P::Read, Short, ERROR_READ_FAULT},
    {nullptr, SaveFile, P::Write, Fail, ERROR_DISK_FULL},
    {nullptr, SaveFile, P::Write, Short, ERROR_WRITE_FAULT},
    {nullptr, SaveFile, P::Seek, Fail, ERROR_NEGATIVE_SEEK, true},
    {Record, ReplaySave, P::Read, Fail, ERROR_IO_DEVICE},
    {Record, ReplaySave, P::Write, Short, ERROR_WRITE_FAULT},
};

bool StartsWith(const std::vector<uint8_t>& Bytes, const std::vector<uint8_t>& Start)
{
    return Start.size() <= Bytes.size() && std::equal(Start.begin(), Start.end(), Bytes.begin());
}

// Spoils the 1st, 2nd, ... call of the point until the run no longer reaches
// it: every spoiled run must say so, with the code where a code is printed,
// and keep in the files it writes what it delivered before the failure: a log
// whose dump failed on a read ends with whole clusters and their entries. A
// fault absorbed by a retry (a failed read-ahead) changes nothing, the files
// included.
TEST(PlatformFaults, EveryFailedCallOfAWholeRunIsReported)
{
    for (const FaultSweep& Sweep : Sweeps) {
        TempDir Dir;
        if (Sweep.Setup != nullptr)
            RunInProcess(Sweep.Setup, Dir.Path());
        const std::vector<std::string> Written = {"log.idx", "log.dat", "out"};
        auto Run = [&](bool Spoil, uint32_t Skip) {
            for (const std::string& Name : Written)
                if (Sweep.Setup == nullptr || Name == "out")
                    remove((Dir / Name).c_str());
            if (Spoil)
                Fault_Arm(Sweep.Point, Skip, Sweep.Kind, Sweep.Shown, Sweep.Repeat);
            std::string Output = RunInProcess(Sweep.Line, Dir.Path());
            Fault_DisarmAll();
            return Output;
        };
        auto Files = [&] {
            std::vector<std::vector<uint8_t>> Bytes;
            for (const std::string& Name : Written)
                Bytes.push_back(ReadBytes(Dir / Name));
            return Bytes;
        };
        std::string Clean = Run(false, 0);
        const std::vector<std::vector<uint8_t>> CleanFiles = Files();
        const std::vector<uint8_t>& CleanIndex = CleanFiles[0], &CleanData = CleanFiles[1];
        std::smatch Total;
        uint64_t Clusters = std::regex_search(Clean, Total, std::regex("Total Number Of Clusters : 0x([0-9a-f]+)"))
                                ? std::stoull(Total[1].str(), nullptr, 16) : 1;
        uint32_t Skip = 0, Spoiled = 0;
        // An absorbed fault leaves the output clean: ten in a row end it (a
        // log written ahead of a read absorbs one per run it copies).
        for (uint32_t CleanInARow = 0; Skip < 300 && CleanInARow < 10; Skip++) {
            std::string Output = Run(true, Skip);
            CleanInARow = Output == Clean ? CleanInARow + 1 : 0;
            Spoiled += Output != Clean;
            std::vector<std::vector<uint8_t>> Bytes = Files();
            for (size_t i = 0; i < Bytes.size(); i++)
                EXPECT_TRUE(Output == Clean ? Bytes[i] == CleanFiles[i] : StartsWith(CleanFiles[i], Bytes[i]))
                    << Sweep.Line << ", call " << Skip << ": " << Written[i];
            bool Reported = Output == Clean ||
                            Output.find(", error is " + std::to_string(Sweep.Shown) + "\n") != std::string::npos ||
                            Output.find("Unable to read data from the file at offset") != std::string::npos ||
                            (Sweep.Shown == ERROR_OUTOFMEMORY && Output.find("Not enough memory\n") != std::string::npos);
            EXPECT_TRUE(Reported) << Sweep.Line << ", call " << Skip << " spoiled:\n" << Output;
            bool ReadFailedDump = Sweep.Point == P::Read && Output.find("Unable to dump the rlog") != std::string::npos;
            if (!ReadFailedDump || CleanIndex.empty())
                continue;
            EXPECT_EQ(Bytes[1].size() * CleanIndex.size(), Bytes[0].size() * CleanData.size()) << Sweep.Line << ", call " << Skip;
            // The progress count stops at the cluster whose read failed: the first one the log lacks.
            size_t Last = Output.rfind(" percent is done");
            uint64_t Shown = Last == std::string::npos ? 0 : std::stoull(Output.substr(Output.rfind('\r', Last) + 1));
            EXPECT_EQ(Shown, LeReader(CleanIndex.data(), CleanIndex.size()).U64(Bytes[0].size()) * 100 / Clusters)
                << Sweep.Line << ", call " << Skip;
        }
        EXPECT_TRUE(Spoiled > 0 && Skip < 300) << Sweep.Line << ": the point is never or always reached";
    }
}

// A read that keeps nothing has the whole log written ahead of it, and the
// dump keeps that log without reading the device again: failing every read
// from the first call after which the read is still whole never fails the
// dump. Reads of one run, of hundreds (fragmented.bin, over three records,
// from inside its first cluster), across sparse runs, and of the $MFT, whose
// records the run had read before.
TEST(PlatformFaults, ALogWrittenAheadIsKept)
{
    const std::pair<const char*, const char*> Reads[] = {
        {Record, "Total 0x19000 bytes read\n"},
        {RecordFile, "Total 0x19000 bytes read\n"},
        {"-vol memory:compressed -rlog %TMP%/log -fid 67 -attribute 80 \"\" -read 10 31ff00", "Total 0x31ff00 bytes"},
        {"-vol memory:compressed -rlog %TMP%/log -fid 4b -attribute 80 \"\" -read 7ff 100000", "Total 0xff801 bytes"},
        {"-vol memory:sample -rlog %TMP%/log -fid 0 -attribute 80 \"\" -read 0 100000", "Total 0x13c00 bytes"},
        {"-vol memory:compressed -rlog %TMP%/log -fid 0 -attribute 80 \"\" -read 400 100000", "Total 0x100000 bytes"},
    };
    for (const auto& Read : Reads) {
        const char* Line = Read.first;
        const char* Whole = Read.second;
        auto FailingFrom = [Line](uint32_t Skip) {
            TempDir Dir;
            Fault_Arm(P::Read, Skip, Fail, ERROR_IO_DEVICE, true);
            std::string Output = RunInProcess(Line, Dir.Path());
            Fault_DisarmAll();
            return Output;
        };
        // The read is whole once the first failing call comes after it.
        uint32_t Low = 0, High = 1u << 16;
        while (Low < High) {
            uint32_t Middle = Low + (High - Low) / 2;
            if (FailingFrom(Middle).find(Whole) != std::string::npos)
                High = Middle;
            else
                Low = Middle + 1;
        }
        std::string Output = FailingFrom(Low);
        EXPECT_TRUE(Output.find(Whole) != std::string::npos && Output.ends_with("\nDone\n"))
            << Line << ", call " << Low << ":\n" << Output;
    }
}

// A file size limit stops the kernel's copy part-way through a cluster, as a
// full disk would: the log keeps the two whole clusters with their entries,
// and the next recording is whole.
TEST(PlatformFaults, ACopyStoppedByTheFileSizeLimit)
{
    TempDir Clean, Dir;
    signal(SIGXFSZ, SIG_IGN);
    rlimit Limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Limit), 0);
    rlimit Lower = {10000, Limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Lower), 0);
    std::string Output = RunInProcess(RecordFile, Dir.Path());
    setrlimit(RLIMIT_FSIZE, &Limit);
    RunInProcess(RecordFile, Clean.Path());
    EXPECT_NE(Output.find("Unable to dump the rlog, error is 112\n"), std::string::npos) << Output;
    std::vector<uint8_t> Index = ReadBytes(Dir / "log.idx"), Data = ReadBytes(Dir / "log.dat");
    EXPECT_TRUE(Index.size() == 16 && StartsWith(ReadBytes(Clean / "log.idx"), Index));
    EXPECT_TRUE(Data.size() == 8192 && StartsWith(ReadBytes(Clean / "log.dat"), Data));

    // A deferred copy whose bytes the limit cuts while a later copy writes
    // them out: the later copy fails, and the file holds only what was
    // written, the start of the first copy.
    HANDLE Source = CreateFileW(Wide(ImagePath("sample")).c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE Target = CreateFileW(Wide(Dir / "cut").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    Lower.rlim_cur = 6000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Lower), 0);
    DWORD Done = 0;
    EXPECT_TRUE(Device_CopyToFile(Source, 0, 8192, 1, 4096, Target, true, &Done, nullptr) && Done == 8192);
    EXPECT_FALSE(Device_CopyToFile(Source, 8192, 4096, 1, 4096, Target, false, &Done, nullptr));
    setrlimit(RLIMIT_FSIZE, &Limit);
    CloseHandle(Source);
    CloseHandle(Target);
    std::vector<uint8_t> Cut = ReadBytes(Dir / "cut");
    EXPECT_TRUE(Cut.size() <= 6000 && StartsWith(ReadBytes(ImagePath("sample")), Cut)) << Cut.size();
}

// A saved block whose copy failed is cut back before it goes again through
// memory; when the save file refuses the cut, that is the failure reported,
// and the file still begins as the clean one.
TEST(PlatformFaults, ASaveFileThatCannotBeCutBack)
{
    TempDir Clean, Dir;
    RunInProcess(SaveFile, Clean.Path());
    bool Reached = false;
    for (uint32_t Skip = 0; Skip < 40 && !Reached; Skip++) {
        remove((Dir / "out").c_str());
        Fault_Arm(P::Read, Skip, Fail, ERROR_IO_DEVICE);
        Fault_Arm(P::SetEnd, 0, Fail, ERROR_ACCESS_DENIED, true);
        std::string Output = RunInProcess(SaveFile, Dir.Path());
        Fault_DisarmAll();
        Reached = Output.find("Unable to write to file " + Dir / "out" + ", error is 5\n") != std::string::npos;
        EXPECT_TRUE(StartsWith(ReadBytes(Clean / "out"), ReadBytes(Dir / "out"))) << Skip;
    }
    EXPECT_TRUE(Reached);
}

// Copies allocate the save file and the log's data ahead in whole megabytes;
// what lies past the end is given back when the file closes.
TEST(PlatformFiles, BlocksAllocatedAheadAreGivenBack)
{
    TempDir Dir;
    RunInProcess(SaveFile, Dir.Path());
    RunInProcess(RecordFile, Dir.Path());
    for (const std::string Name : {"out", "log.dat"}) {
        struct stat Status {};
        ASSERT_EQ(stat((Dir / Name).c_str(), &Status), 0) << Name;
        EXPECT_LE(static_cast<uint64_t>(Status.st_blocks) * 512, static_cast<uint64_t>(Status.st_size) + 4096) << Name;
    }
}

TEST(PlatformFaultsDeathTest, AFailedCloseIsAnInternalFault)
{
    EXPECT_DEATH((dup2(2, 1), Fault_Arm(FaultPoint::Close, 0, FaultKind::Fail, ERROR_IO_DEVICE),
                  RunInProcess("-vol memory:sample", "", false)),
                 "Assertion failed: CloseHandle\\(TmpVolumeHandle->NtVolumeHandle\\), file volume.cpp, line [0-9]+");
}

TEST(PlatformErrors, ErrnoValuesMapToWin32Codes)
{
    const std::pair<int, DWORD> Table[] = {{ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5}, {ENOMEM, 14}, {EBUSY, 32},
        {EEXIST, 80}, {EINVAL, 87}, {ENOSPC, 112}, {EIO, 1117}, {EMFILE, 4}, {EROFS, 19}, {ENAMETOOLONG, 206}};
    for (const auto& [Errno, Code] : Table)
        EXPECT_EQ(Win32ErrorFromErrno(Errno), Code) << "errno " << Errno;
}

HANDLE Open(const std::string& Path, DWORD Access, DWORD Share, DWORD Disposition, DWORD Flags = 0)
{
    std::u16string Name = Wide(Path);
    return CreateFileW(Name.c_str(), Access, Share, nullptr, Disposition, Flags, nullptr);
}

// Each row opens Path after the handles of the earlier rows (all kept open).
TEST(PlatformFiles, DispositionsSharingAndMemoryFiles)
{
    TempDir Dir;
    std::vector<uint8_t> Bytes(10000, 0xAB);
    Platform_AddMemoryFile(u"memory:bytes", Bytes.data(), Bytes.size());
    struct Row { std::string Path; DWORD Access, Share, Disposition, Error; } Rows[] = { // Error 0: opens
        {Dir.Path(), GENERIC_READ, 7, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {Dir / "file", GENERIC_READ | GENERIC_WRITE, 3, CREATE_NEW, 0},
        {Dir / "file", GENERIC_WRITE, 0, CREATE_NEW, ERROR_FILE_EXISTS},
        {Dir / "file", GENERIC_READ, 7, OPEN_EXISTING, 0},
        {Dir / "file", GENERIC_READ, 0, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
        {"memory:bytes", GENERIC_READ, 7, OPEN_EXISTING, 0},
        {"memory:bytes", GENERIC_WRITE, 7, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"memory:bytes", GENERIC_READ, 7, CREATE_NEW, ERROR_FILE_EXISTS},
    };
    std::vector<HANDLE> Open_;
    for (const Row& Item : Rows) {
        HANDLE File = Open(Item.Path, Item.Access, Item.Share, Item.Disposition);
        EXPECT_EQ(File == INVALID_HANDLE_VALUE ? GetLastError() : 0, Item.Error) << Item.Path;
        if (File != INVALID_HANDLE_VALUE)
            Open_.push_back(File);
    }
    ASSERT_EQ(Open_.size(), 3u);
    // Reads stop at the end; 64-bit positions travel as two halves, and a low
    // half of 0xFFFFFFFF is a position, told apart by a zero last error.
    uint8_t Buffer[100];
    DWORD Done = 0;
    LARGE_INTEGER Size{};
    EXPECT_TRUE(WriteFile(Open_[0], Bytes.data(), static_cast<DWORD>(Bytes.size()), &Done, nullptr));
    for (HANDLE File : {Open_[0], Open_[2]}) {
        EXPECT_TRUE(GetFileSizeEx(File, &Size) && Size.QuadPart == 10000);
        EXPECT_EQ(SetFilePointer(File, 9950, nullptr, FILE_BEGIN), 9950u);
        EXPECT_TRUE(ReadFile(File, Buffer, sizeof(Buffer), &Done, nullptr) && Done == 50);
        LONG High = 1;
        EXPECT_EQ(SetFilePointer(File, -1, &High, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_TRUE(GetLastError() == ERROR_SUCCESS && High == 1);
        High = -1;
        EXPECT_TRUE(SetFilePointer(File, 0, &High, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
                    GetLastError() == ERROR_NEGATIVE_SEEK);
    }
    EXPECT_TRUE(!WriteFile(Open_[2], Buffer, 1, &Done, nullptr) && GetLastError() == ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetFilePointer(Open_[0], 40, nullptr, FILE_BEGIN) == 40 && SetEndOfFile(Open_[0]) &&
                GetFileSizeEx(Open_[0], &Size) && Size.QuadPart == 40);
    for (HANDLE File : Open_)
        EXPECT_TRUE(CloseHandle(File));
    EXPECT_TRUE(!CloseHandle(INVALID_HANDLE_VALUE) && GetLastError() == ERROR_INVALID_HANDLE);
    Platform_RemoveMemoryFile(u"memory:bytes");
    EXPECT_EQ(Open("memory:bytes", GENERIC_READ, 7, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    // What a volume log may not be: a pipe or a character device.
    ASSERT_EQ(mkfifo((Dir / "fifo").c_str(), 0600), 0);
    for (auto [Path, Type] : {std::pair{Dir / "fifo", FILE_TYPE_PIPE}, {"/dev/null", FILE_TYPE_CHAR}, {Dir / "file", FILE_TYPE_DISK}}) {
        HANDLE File = Open(Path, GENERIC_READ, 7, OPEN_EXISTING);
        EXPECT_EQ(GetFileType(File), static_cast<DWORD>(Type)) << Path;
        CloseHandle(File);
    }
}

// Where the kernel will not splice (here into a file opened for appending),
// the copy goes through the buffer, to the same bytes; a length of no whole
// units is refused.
TEST(PlatformFiles, ACopyTheKernelRefusesGoesThroughTheBuffer)
{
    TempDir Dir;
    HANDLE Source = Open(ImagePath("sample"), GENERIC_READ, 7, OPEN_EXISTING);
    HANDLE Target = Open(Dir / "copy", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code Error;
        if (std::filesystem::read_symlink(Entry.path(), Error) == Dir / "copy")
            fcntl(std::stoi(Entry.path().filename()), F_SETFL, O_APPEND);
    }
    DWORD Done = 0;
    EXPECT_TRUE(Device_CopyToFile(Source, 8192, 12288, 1, 4096, Target, false, &Done, nullptr) && Done == 12288);
    EXPECT_TRUE(!Device_CopyToFile(Source, 0, 4096, 1, 3000, Target, false, &Done, nullptr) && GetLastError() == ERROR_INVALID_PARAMETER);
    CloseHandle(Source);
    CloseHandle(Target);
    std::vector<uint8_t> Image = ReadBytes(ImagePath("sample"));
    EXPECT_EQ(ReadBytes(Dir / "copy"), std::vector<uint8_t>(Image.begin() + 8192, Image.begin() + 20480));
}

// Arguments that are not UTF-8 reach the file system byte for byte.
TEST(PlatformText, ArgumentsSurviveTheRoundTripToPaths)
{
    for (std::string Sample : {"plain", "caf\xc3\xa9", "\xf0\x9f\x98\x80", "bad\xff\xfe", "\xc0\xaf", "\xed\xa0\x80", "\xed\xbf\xbf", "cut\xe2\x82"}) {
        std::string Back;
        EXPECT_TRUE(Text_Utf16ToPath(Wide(Sample).c_str(), &Back) && Back == Sample) << Sample;
    }
    EXPECT_EQ(Wide("a\xff"), (std::u16string{u'a', char16_t(0xDCFF)}));
    EXPECT_EQ(Wide("caf\xc3\xa9 \xf0\x9f\x98\x80"), u"caf\u00e9 \U0001F600") << "sequences that end the text";
    EXPECT_EQ(Text_Utf8ToUtf16("a\xe2\x82\xac", 3), (std::u16string{u'a', char16_t(0xDCE2), char16_t(0xDC82)})) << "cut by the length";
    std::string Path; // a lone surrogate that stands for no byte
    EXPECT_FALSE(Text_Utf16ToPath(u"\xD800x", &Path));
    TempDir Dir;
    WriteBytes(Dir / "name\xff", {1, 2, 3});
    HANDLE File = Open(Dir / "name\xff", GENERIC_READ, 7, OPEN_EXISTING);
    EXPECT_NE(File, INVALID_HANDLE_VALUE);
    CloseHandle(File);
}

TEST(PlatformConsole, DirectivesAndUtf8)
{
    EXPECT_EQ(Console_Format("[%s] [%s]", u"caf\u00e9\u07ff\u0800", static_cast<const char16_t*>(nullptr)),
              "[caf\xc3\xa9\xdf\xbf\xe0\xa0\x80] [(null)]");
    EXPECT_EQ(Console_Format("%s|%s", u"\U0001F600", u"a\xDC80" u"b\xD800"), "\xf0\x9f\x98\x80|a\xef\xbf\xbd" "b\xef\xbf\xbd");
    EXPECT_EQ(Console_Format("%hs %d %x %I64x %.16I64x", "narrow", -5, 0xABCu, 0x123456789ABull, 0x1ull),
              "narrow -5 abc 123456789ab 0000000000000001");
    EXPECT_EQ(Console_Format("%.8lx %.8x %.2x %.4hx", 0xFFu, 0x1234u, 7u, 0x12345u), "000000ff 00001234 07 2345");
    EXPECT_EQ(Console_Format("%.2f%c %.2d-%.4d %c 100%%", 25.0, u'%', 8, 2008, 0x263A), "25.00% 08-2008 \xe2\x98\xba 100%");
    EXPECT_EQ(Console_Format("[%5s|%-4s|%2s|%.0hs|%.2hs|%.0x|%llx|%3c|%hhd]", u"ab", u"\u00e9", u"abc", "xyz", "xyz", 0u, 0x1FFull, u'z', 0x1FF),
              "[   ab|\xc3\xa9   |abc||xy||1ff|  z|-1]");
    EXPECT_EQ(Console_Format("%*d|%.*s|%-*s|%hc|%5hs|%.0s|%.1s|%q|%", 4, 7, 2, u"abc", 3, u"x", 'n',
                             static_cast<const char*>(nullptr), u"abc", u"\U0001F600"),
              "   7|ab|x  |n|(null)||\xef\xbf\xbd|%q|%");
}

// The ACL queries no report makes whole: the revision, the entries' bytes
// against the size the header gives, and no entry past the count.
TEST(PlatformSecurity, AclRevisionAndSizes)
{
    const uint8_t Ace[] = {0, 0, 0x14, 0, 0xff, 0x01, 0x1f, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // allow S-1-1-0
    std::vector<uint8_t> Acl = {2, 0, 0x44, 0, 2, 0, 0, 0}; // two entries counted, room for a third
    for (int i = 0; i < 3; i++)
        Acl.insert(Acl.end(), Ace, Ace + sizeof(Ace));
    AclRevisionInfo Revision{};
    AclSizeInfo Sizes{};
    ASSERT_TRUE(Acl_GetInformation(Acl.data(), 0x44, &Revision, sizeof(Revision), AclRevisionInfoClass));
    ASSERT_TRUE(Acl_GetInformation(Acl.data(), 0x44, &Sizes, sizeof(Sizes), AclSizeInfoClass));
    EXPECT_EQ(std::vector<DWORD>({Revision.AclRevision, Sizes.AceCount, Sizes.AclBytesInUse, Sizes.AclBytesFree}),
              std::vector<DWORD>({2, 2, 0x30, 0x14}));
    EXPECT_TRUE(!Acl_GetInformation(Acl.data(), 0x44, &Sizes, sizeof(Sizes) - 1, AclSizeInfoClass) &&
                GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    const void* Second = nullptr;
    DWORD Length = 0;
    EXPECT_TRUE(Acl_GetAce(Acl.data(), 0x44, 1, &Second, &Length) && Second == &Acl[0x1c] && Length == 0x14);
    EXPECT_TRUE(!Acl_GetAce(Acl.data(), 0x44, 2, &Second, &Length) && GetLastError() == ERROR_INVALID_PARAMETER);
}

// The bitmap of a volume of 400 MB shows the fraction of each pass.
TEST(PlatformConsole, BitmapProgressOfLargeVolumes)
{
    TempDir Dir;
    HANDLE File = Open(Dir / "bitmap", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ConsoleCapture Capture;
    FaultGuard Guard;
    // The file is sized, not written: a failing write changes nothing.
    Fault_Arm(FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL, true);
    EXPECT_EQ(BitmapFile_Initialize(File, 8 * 12289), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(Dir / "bitmap"), std::vector<uint8_t>(12289, 0));
    Fault_DisarmAll();
    // Single bits: set, cleared, read back; past the end a read fault.
    for (auto [Cluster, Value] : {std::pair{9ull, 1}, {15ull, 1}, {8ull * 12288 + 7, 1}, {15ull, 0}}) {
        ASSERT_EQ(BitmapFile_SetBit(File, Cluster, static_cast<BOOLEAN>(Value)), ERROR_SUCCESS);
        BOOLEAN IsSet = 2;
        ASSERT_EQ(BitmapFile_TestBit(File, Cluster, &IsSet), ERROR_SUCCESS);
        EXPECT_EQ(IsSet, Value) << Cluster;
    }
    std::vector<uint8_t> Bits = ReadBytes(Dir / "bitmap");
    EXPECT_EQ(Bits[1], 0x02);
    EXPECT_EQ(Bits[12288], 0x80);
    BOOLEAN IsSet = 0;
    EXPECT_EQ(BitmapFile_TestBit(File, 8ull * 12289, &IsSet), ERROR_READ_FAULT);
    EXPECT_EQ(BitmapFile_SetBit(File, 8ull * 12289, 1), ERROR_READ_FAULT);
    Fault_Arm(FaultPoint::Write, 0, FaultKind::Short, 0);
    EXPECT_EQ(BitmapFile_SetBit(File, 3, 1), ERROR_WRITE_FAULT);
    EXPECT_EQ(Capture.Text(), "Initializing bitmap file...\rInitializing bitmap file... 33.33%   \rInitializing bitmap file... "
                              "66.66%   \rInitializing bitmap file... 99.99%   \rInitializing bitmap file... done              \n");
    CloseHandle(File);
}

uint64_t TicksOf(int64_t UnixSeconds) { return 116444736000000000ull + static_cast<uint64_t>(UnixSeconds) * 10000000ull; }

// The calendar against the C library over the whole range; local time.
TEST(PlatformTime, CalendarAndLocalTime)
{
    // Every 31 years, then days after February of century years that are no
    // leap years, and the last day of a leap year.
    std::vector<int64_t> Points = {-2203848000, 4107585600, 7289611200, 1104494400}; // 1104494400: 31 December 2004
    for (int64_t Seconds = -11644473600 + 86399; Seconds < 32503680000; Seconds += 987654321)
        Points.push_back(Seconds);
    for (int64_t Seconds : Points) {
        time_t Time = static_cast<time_t>(Seconds);
        struct tm Expected;
        uint64_t Ticks = TicksOf(Seconds) + 1234567;
        FILETIME File{static_cast<DWORD>(Ticks), static_cast<DWORD>(Ticks >> 32)};
        SYSTEMTIME F{};
        ASSERT_TRUE(gmtime_r(&Time, &Expected) != nullptr && FileTimeToSystemTime(&File, &F));
        EXPECT_EQ(std::vector<int>({F.wYear, F.wMonth, F.wDay, F.wHour, F.wMinute, F.wSecond, F.wMilliseconds, F.wDayOfWeek}),
                  std::vector<int>({Expected.tm_year + 1900, Expected.tm_mon + 1, Expected.tm_mday, Expected.tm_hour,
                                    Expected.tm_min, Expected.tm_sec, 123, Expected.tm_wday}));
    }
    setenv("TZ", "EST5", 1);
    tzset();
    FILETIME Utc{static_cast<DWORD>(TicksOf(86400)), static_cast<DWORD>(TicksOf(86400) >> 32)}, Local{}, Tiny{1, 0}, Before{};
    EXPECT_TRUE(FileTimeToLocalFileTime(&Utc, &Local) && !FileTimeToLocalFileTime(&Tiny, &Before)) << "before 1601";
    FILETIME FiveHours{static_cast<DWORD>(5 * 3600 * 10000000ull), static_cast<DWORD>((5 * 3600 * 10000000ull) >> 32)};
    EXPECT_TRUE(FileTimeToLocalFileTime(&FiveHours, &Before) && Before.dwLowDateTime == 0 && Before.dwHighDateTime == 0) << "1601 itself";
    EXPECT_EQ((static_cast<uint64_t>(Local.dwHighDateTime) << 32) | Local.dwLowDateTime, TicksOf(86400 - 5 * 3600));
    setenv("TZ", "UTC", 1);
    tzset();
}

} // namespace
