// Time conversions over the Windows FILETIME range: 100-nanosecond intervals
// since 1601-01-01 00:00 UTC, valid up to 0x7FFFFFFFFFFFFFFF (year 30828).
#include <ctime>

#include "../win32.h"

namespace {

constexpr uint64_t TicksPerSecond = 10000000;
constexpr uint64_t TicksPerDay = TicksPerSecond * 86400;
constexpr uint64_t LargestFileTime = 0x7FFFFFFFFFFFFFFFull;

uint64_t ToTicks(const FILETIME* Time)
{
    return (static_cast<uint64_t>(Time->dwHighDateTime) << 32) | Time->dwLowDateTime;
}

// Offset of local time from UTC in force now, in seconds.
int64_t CurrentUtcOffsetSeconds()
{
    time_t Now = time(nullptr);
    struct tm Local;
    if (localtime_r(&Now, &Local) == nullptr)
        return 0;
    return Local.tm_gmtoff;
}

} // namespace

BOOL FileTimeToLocalFileTime(const FILETIME* FileTime, FILETIME* LocalFileTime)
{
    if (FileTime == nullptr || LocalFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t Ticks = ToTicks(FileTime);
    int64_t Offset = CurrentUtcOffsetSeconds() * static_cast<int64_t>(TicksPerSecond);
    if (Offset < 0 && Ticks < static_cast<uint64_t>(-Offset)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Ticks += static_cast<uint64_t>(Offset);
    LocalFileTime->dwLowDateTime = static_cast<DWORD>(Ticks);
    LocalFileTime->dwHighDateTime = static_cast<DWORD>(Ticks >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* FileTime, SYSTEMTIME* SystemTime)
{
    if (FileTime == nullptr || SystemTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t Ticks = ToTicks(FileTime);
    if (Ticks > LargestFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t Days = Ticks / TicksPerDay;
    uint64_t TicksOfDay = Ticks % TicksPerDay;

    // 1601-01-01 was a Monday and starts a 400-year Gregorian cycle.
    uint64_t Cycles = Days / 146097;
    uint64_t DayOfCycle = Days % 146097;
    uint64_t Centuries = DayOfCycle / 36524;
    if (Centuries == 4)
        Centuries = 3;
    uint64_t DayOfCentury = DayOfCycle - Centuries * 36524;
    uint64_t Quads = DayOfCentury / 1461;
    uint64_t DayOfQuad = DayOfCentury % 1461;
    uint64_t YearOfQuad = DayOfQuad / 365;
    if (YearOfQuad == 4)
        YearOfQuad = 3;
    uint64_t DayOfYear = DayOfQuad - YearOfQuad * 365;
    uint64_t Year = 1601 + Cycles * 400 + Centuries * 100 + Quads * 4 + YearOfQuad;

    bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    static const int MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int Month = 0;
    while (true) {
        uint64_t Length = static_cast<uint64_t>(MonthDays[Month] + (Month == 1 && Leap ? 1 : 0));
        if (DayOfYear < Length)
            break;
        DayOfYear -= Length;
        Month++;
    }

    SystemTime->wYear = static_cast<WORD>(Year);
    SystemTime->wMonth = static_cast<WORD>(Month + 1);
    SystemTime->wDay = static_cast<WORD>(DayOfYear + 1);
    SystemTime->wDayOfWeek = static_cast<WORD>((Days + 1) % 7);
    SystemTime->wHour = static_cast<WORD>(TicksOfDay / (TicksPerSecond * 3600));
    SystemTime->wMinute = static_cast<WORD>(TicksOfDay / (TicksPerSecond * 60) % 60);
    SystemTime->wSecond = static_cast<WORD>(TicksOfDay / TicksPerSecond % 60);
    SystemTime->wMilliseconds = static_cast<WORD>(TicksOfDay / 10000 % 1000);
    return TRUE;
}
