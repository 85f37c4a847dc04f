// The POSIX stand-ins for the Windows file, time, console and text functions.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "posix/errors.h"
#include "test_support.h"
#include "win32.h"

using namespace testing_support;

namespace {

HANDLE Open(const std::string& Path, DWORD Access, DWORD Share, DWORD Disposition, DWORD Flags = FILE_ATTRIBUTE_NORMAL)
{
    std::u16string Name = Wide(Path);
    return CreateFileW(Name.c_str(), Access, Share, nullptr, Disposition, Flags, nullptr);
}

uint64_t TicksOf(int64_t UnixSeconds)
{
    return 116444736000000000ull + static_cast<uint64_t>(UnixSeconds) * 10000000ull;
}

SYSTEMTIME Convert(uint64_t Ticks)
{
    FILETIME Time{static_cast<DWORD>(Ticks), static_cast<DWORD>(Ticks >> 32)};
    SYSTEMTIME Fields{};
    EXPECT_TRUE(FileTimeToSystemTime(&Time, &Fields));
    return Fields;
}

} // namespace

TEST(PlatformErrors, ErrnoValuesMapToWin32Codes)
{
    const std::pair<int, DWORD> Table[] = {{ENOENT, 2},  {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5},   {ENOMEM, 14},
                                           {EBUSY, 32},  {EEXIST, 80}, {EINVAL, 87}, {ENOSPC, 112}, {EIO, 1117},
                                           {EMFILE, 4},  {EROFS, 19},  {ENAMETOOLONG, 206}};
    for (const auto& [Errno, Code] : Table)
        EXPECT_EQ(Win32ErrorFromErrno(Errno), Code) << "errno " << Errno;
    EXPECT_NE(Win32ErrorFromErrno(EXDEV), ERROR_SUCCESS);
}

TEST(PlatformFiles, OpenDispositionsAndSharing)
{
    TempDir Dir;
    HANDLE Missing = Open(Dir / "missing", GENERIC_READ, 7, OPEN_EXISTING);
    EXPECT_EQ(Missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(Dir / "no/such/dir", GENERIC_READ, 7, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(Dir.Path(), GENERIC_READ, 7, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    HANDLE Created = Open(Dir / "file", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(Created, INVALID_HANDLE_VALUE);
    // CREATE_NEW never overwrites; share mode 0 excludes every other opener.
    EXPECT_EQ(Open(Dir / "file", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Open(Dir / "file", GENERIC_READ, 7, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(Created));

    // Shared openers coexist, but keep an exclusive one out.
    HANDLE First = Open(Dir / "file", GENERIC_READ, 7, OPEN_EXISTING);
    HANDLE Second = Open(Dir / "file", GENERIC_READ, 7, OPEN_EXISTING);
    EXPECT_NE(First, INVALID_HANDLE_VALUE);
    EXPECT_NE(Second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(Dir / "file", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(First);
    CloseHandle(Second);
}

TEST(PlatformFiles, DeleteOnCloseLeavesNothingBehind)
{
    TempDir Dir;
    HANDLE Scratch = Open(Dir / "scratch.bmp", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW,
                          FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(Scratch, INVALID_HANDLE_VALUE);
    uint8_t Byte = 0x5A;
    DWORD Done = 0;
    EXPECT_TRUE(WriteFile(Scratch, &Byte, 1, &Done, nullptr));
    EXPECT_EQ(SetFilePointer(Scratch, 0, nullptr, FILE_BEGIN), 0u);
    Byte = 0;
    EXPECT_TRUE(ReadFile(Scratch, &Byte, 1, &Done, nullptr));
    EXPECT_EQ(Byte, 0x5A);
    EXPECT_TRUE(CloseHandle(Scratch));
    EXPECT_FALSE(Exists(Dir / "scratch.bmp"));
}

TEST(PlatformFiles, ReadsWritesPositionsAndSizes)
{
    TempDir Dir;
    WriteBytes(Dir / "data", std::vector<uint8_t>(100, 0xAB));
    HANDLE File = Open(Dir / "data", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    LARGE_INTEGER Size{};
    EXPECT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 100);

    // A read at the end of the file returns what is there, successfully.
    uint8_t Buffer[200];
    DWORD Done = 0;
    EXPECT_EQ(SetFilePointer(File, 90, nullptr, FILE_BEGIN), 90u);
    EXPECT_TRUE(ReadFile(File, Buffer, sizeof(Buffer), &Done, nullptr));
    EXPECT_EQ(Done, 10u);

    // 64-bit positions travel as low and high halves; a low half of
    // 0xFFFFFFFF is a valid position, told apart by a zero last error.
    LONG High = 1;
    DWORD Low = SetFilePointer(File, static_cast<LONG>(0xFFFFFFFF), &High, FILE_BEGIN);
    EXPECT_EQ(Low, INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(High, 1);
    High = -1;
    EXPECT_EQ(SetFilePointer(File, 0, &High, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);

    EXPECT_EQ(SetFilePointer(File, 40, nullptr, FILE_BEGIN), 40u);
    EXPECT_TRUE(SetEndOfFile(File));
    EXPECT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 40);
    EXPECT_TRUE(CloseHandle(File));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PlatformFiles, InjectedFaults)
{
    FaultGuard Guard;
    TempDir Dir;
    WriteBytes(Dir / "data", std::vector<uint8_t>(64, 1));
    HANDLE File = Open(Dir / "data", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    uint8_t Buffer[64];
    DWORD Done = 0;

    Fault_Arm(FaultPoint::Read, 1, FaultKind::Short, 0);
    EXPECT_TRUE(ReadFile(File, Buffer, 8, &Done, nullptr));
    EXPECT_EQ(Done, 8u);
    EXPECT_TRUE(ReadFile(File, Buffer, 8, &Done, nullptr));
    EXPECT_EQ(Done, 4u);
    EXPECT_TRUE(ReadFile(File, Buffer, 8, &Done, nullptr));
    EXPECT_EQ(Done, 8u) << "a one-shot fault disarms itself";

    Fault_Arm(FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL);
    EXPECT_FALSE(WriteFile(File, Buffer, 8, &Done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(Done, 0u);

    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
    void* Block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
    EXPECT_NE(Block, nullptr);
    HeapFree(GetProcessHeap(), 0, Block);

    Fault_Arm(FaultPoint::Close, 0, FaultKind::Fail, ERROR_IO_DEVICE);
    EXPECT_FALSE(CloseHandle(File));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
}

TEST(PlatformText, ArgumentsSurviveTheRoundTripToPaths)
{
    const std::string Samples[] = {"plain", "caf\xc3\xa9", "\xf0\x9f\x98\x80", "bad\xff\xfe", "\xc0\xaf", "\xed\xa0\x80",
                                   "cut\xe2\x82"};
    for (const std::string& Sample : Samples) {
        std::u16string Wide16 = Text_Utf8ToUtf16(Sample.data(), Sample.size());
        std::string Back;
        ASSERT_TRUE(Text_Utf16ToPath(Wide16.c_str(), &Back));
        EXPECT_EQ(Back, Sample);
    }
    std::u16string Invalid = Text_Utf8ToUtf16("a\xff", 2);
    EXPECT_EQ(Invalid, (std::u16string{u'a', char16_t(0xDCFF)}));
    std::string Path;
    EXPECT_FALSE(Text_Utf16ToPath(u"\xD800x", &Path)) << "a lone surrogate that stands for no byte";

    // A file whose name is not UTF-8 opens through the wide API.
    TempDir Dir;
    std::string Name = Dir / "name\xff";
    WriteBytes(Name, {1, 2, 3});
    std::u16string WideName = Text_Utf8ToUtf16(Name.data(), Name.size());
    HANDLE File = CreateFileW(WideName.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    CloseHandle(File);
}

TEST(PlatformConsole, DirectivesAndUtf8)
{
    const char16_t Pair[] = {0xD83D, 0xDE00, 0};
    const char16_t Lone[] = {u'a', 0xDC80, u'b', 0xD800, 0};
    EXPECT_EQ(Console_Format("[%s] [%s]", u"caf\u00e9", static_cast<const char16_t*>(nullptr)), "[caf\xc3\xa9] [(null)]");
    EXPECT_EQ(Console_Format("%s|%s", Pair, Lone), "\xf0\x9f\x98\x80|a\xef\xbf\xbd" "b\xef\xbf\xbd");
    EXPECT_EQ(Console_Format("%hs %d %x", "narrow", -5, 0xABCu), "narrow -5 abc");
    EXPECT_EQ(Console_Format("%I64x %.16I64x", 0x123456789ABull, 0x1ull), "123456789ab 0000000000000001");
    EXPECT_EQ(Console_Format("%.8lx %.8x %.2x %.4hx", 0xFFu, 0x1234u, 7u, 0x12345u), "000000ff 00001234 07 2345");
    EXPECT_EQ(Console_Format("%.2f%c", 25.0, u'%'), "25.00%");
    EXPECT_EQ(Console_Format("%.2d-%.4d %c", 8, 2008, 0x263A), "08-2008 \xe2\x98\xba");
    EXPECT_EQ(Console_Format("100%%"), "100%");
}

TEST(PlatformTime, CalendarConversionOverTheWholeRange)
{
    SYSTEMTIME Start = Convert(0);
    EXPECT_EQ(Start.wYear, 1601);
    EXPECT_EQ(Start.wMonth, 1);
    EXPECT_EQ(Start.wDay, 1);
    EXPECT_EQ(Start.wDayOfWeek, 1) << "1601-01-01 was a Monday";

    SYSTEMTIME Leap = Convert(TicksOf(951782400) + 12345678); // 2000-02-29 00:00:01.234
    EXPECT_EQ(Leap.wYear, 2000);
    EXPECT_EQ(Leap.wMonth, 2);
    EXPECT_EQ(Leap.wDay, 29);
    EXPECT_EQ(Leap.wSecond, 1);
    EXPECT_EQ(Leap.wMilliseconds, 234);

    // Cross-check a spread of times against the C library.
    for (int64_t Seconds = -11644473600 + 86399; Seconds < 32503680000; Seconds += 9876543211) {
        time_t Time = static_cast<time_t>(Seconds);
        struct tm Expected;
        ASSERT_NE(gmtime_r(&Time, &Expected), nullptr);
        SYSTEMTIME Fields = Convert(TicksOf(Seconds));
        EXPECT_EQ(Fields.wYear, Expected.tm_year + 1900);
        EXPECT_EQ(Fields.wMonth, Expected.tm_mon + 1);
        EXPECT_EQ(Fields.wDay, Expected.tm_mday);
        EXPECT_EQ(Fields.wHour, Expected.tm_hour);
        EXPECT_EQ(Fields.wMinute, Expected.tm_min);
        EXPECT_EQ(Fields.wDayOfWeek, Expected.tm_wday);
    }

    SYSTEMTIME Last = Convert(0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(Last.wYear, 30828);
    EXPECT_EQ(Last.wMonth, 9);
    EXPECT_EQ(Last.wDay, 14);
    FILETIME TopBit{0, 0x80000000};
    SYSTEMTIME Fields{};
    EXPECT_FALSE(FileTimeToSystemTime(&TopBit, &Fields));
}

TEST(PlatformTime, LocalTimeAppliesTheCurrentOffset)
{
    const char* Saved = getenv("TZ");
    std::string SavedZone = Saved != nullptr ? Saved : "";
    setenv("TZ", "EST5", 1);
    tzset();
    FILETIME Utc{static_cast<DWORD>(TicksOf(86400)), static_cast<DWORD>(TicksOf(86400) >> 32)};
    FILETIME Local{};
    EXPECT_TRUE(FileTimeToLocalFileTime(&Utc, &Local));
    uint64_t LocalTicks = (static_cast<uint64_t>(Local.dwHighDateTime) << 32) | Local.dwLowDateTime;
    EXPECT_EQ(LocalTicks, TicksOf(86400 - 5 * 3600));
    FILETIME Tiny{1, 0};
    EXPECT_FALSE(FileTimeToLocalFileTime(&Tiny, &Local)) << "before 1601 in local time";
    if (Saved != nullptr)
        setenv("TZ", SavedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(PlatformFiles, MemoryFilesReadLikeFiles)
{
    std::vector<uint8_t> Bytes(10000);
    for (size_t i = 0; i < Bytes.size(); i++)
        Bytes[i] = static_cast<uint8_t>(i);
    Platform_AddMemoryFile(u"memory:image", Bytes.data(), Bytes.size());
    HANDLE File = CreateFileW(u"memory:image", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    LARGE_INTEGER Size{};
    EXPECT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 10000);
    uint8_t Buffer[100];
    DWORD Done = 0;
    EXPECT_EQ(SetFilePointer(File, 9950, nullptr, FILE_BEGIN), 9950u);
    EXPECT_TRUE(ReadFile(File, Buffer, sizeof(Buffer), &Done, nullptr));
    EXPECT_EQ(Done, 50u);
    EXPECT_EQ(Buffer[0], static_cast<uint8_t>(9950));
    EXPECT_FALSE(WriteFile(File, Buffer, 1, &Done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(File));
    EXPECT_EQ(CreateFileW(u"memory:image", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    Platform_RemoveMemoryFile(u"memory:image");
    EXPECT_EQ(CreateFileW(u"memory:image", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}
