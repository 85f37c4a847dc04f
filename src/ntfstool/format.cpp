// Output formatting shared by the reports of every layer: counted names, hex
// dumps and time stamps.
#include "../ntfstool.h"

#include <cstring>

#include "../../platform/console.h"
#include "../../platform/text.h"

void PrintCountedName(const char16_t* Name, size_t Count)
{
    HeapBuffer Copy;
    if (Name == nullptr || !Copy.Allocate(Count * DiskTextBytesPerUnit + 1))
        return;
    char* Text = reinterpret_cast<char*>(Copy.Get());
    Text[Text_DiskTextToUtf8(Name, Count, Text)] = 0;
    Console_Print("%hs", Text);
}

// Prints Data 16 bytes a line: the address (Base plus the line's offset,
// wrapping at 32 bits), the hex column with a dash after the eighth byte, and
// the characters, with bytes outside 0x20..0x7F shown as dots.
void HexDump(uint32_t Base, const uint8_t* Data, uint32_t Length)
{
    char16_t HexColumn[16 * 3 + 1];
    char16_t CharColumn[16 + 1];
    static const char16_t Digits[] = u"0123456789abcdef";
    for (uint32_t i = 0; i < Length; i++) {
        uint32_t Column = i % 16;
        if (Column == 0) {
            HexColumn[0] = 0;
            CharColumn[0] = 0;
        }
        uint8_t Byte = Data[i];
        HexColumn[Column * 3] = Digits[Byte >> 4];
        HexColumn[Column * 3 + 1] = Digits[Byte & 0xF];
        HexColumn[Column * 3 + 2] = Column == 7 ? u'-' : u' ';
        HexColumn[Column * 3 + 3] = 0;
        CharColumn[Column] = Byte >= 0x20 && Byte <= 0x7F ? Byte : u'.';
        CharColumn[Column + 1] = 0;
        if (Column == 15)
            Console_Print("%.8lx  %s %s\n", Base + (i - 15), HexColumn, CharColumn);
    }
    uint32_t Partial = Length % 16;
    if (Partial != 0) {
        Console_Print("%.8lx  %s", Base + (Length & ~0xFu), HexColumn);
        for (uint32_t i = Partial; i < 16; i++)
            Console_Print("   ");
        Console_Print(" %s\n", CharColumn);
    }
}

// Formats an NTFS time stamp as local "MM-DD-YYYY hh:mm:ss"; 0 (no time) as
// the empty string. A time the platform cannot convert shows zeros rather than
// nothing, which would read as "no time".
void FormatFileTime(uint64_t Time, char16_t* Text, size_t TextLength)
{
    if (Text == nullptr || TextLength == 0)
        return;
    Text[0] = 0;
    if (Time == 0)
        return;
    FILETIME Utc{static_cast<DWORD>(Time), static_cast<DWORD>(Time >> 32)};
    FILETIME Local{};
    SYSTEMTIME Fields{};
    if (!FileTimeToLocalFileTime(&Utc, &Local) || !FileTimeToSystemTime(&Local, &Fields))
        Fields = SYSTEMTIME{};
    std::string Formatted = Console_Format("%.2d-%.2d-%.4d %.2d:%.2d:%.2d", Fields.wMonth, Fields.wDay, Fields.wYear,
                                           Fields.wHour, Fields.wMinute, Fields.wSecond);
    size_t i = 0;
    for (; i < Formatted.size() && i + 1 < TextLength; i++)
        Text[i] = static_cast<char16_t>(Formatted[i]);
    Text[i] = 0;
}
