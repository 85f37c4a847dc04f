#include "text.h"

#include <cstdint>

namespace {

bool IsHighSurrogate(char16_t Unit) { return Unit >= 0xD800 && Unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t Unit) { return Unit >= 0xDC00 && Unit <= 0xDFFF; }

// Writes CodePoint as 1 to 4 bytes of UTF-8; returns how many.
size_t EncodeCodePoint(uint32_t CodePoint, char* Out)
{
    if (CodePoint < 0x80) {
        Out[0] = static_cast<char>(CodePoint);
        return 1;
    }
    if (CodePoint < 0x800) {
        Out[0] = static_cast<char>(0xC0 | (CodePoint >> 6));
        Out[1] = static_cast<char>(0x80 | (CodePoint & 0x3F));
        return 2;
    }
    if (CodePoint < 0x10000) {
        Out[0] = static_cast<char>(0xE0 | (CodePoint >> 12));
        Out[1] = static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
        Out[2] = static_cast<char>(0x80 | (CodePoint & 0x3F));
        return 3;
    }
    Out[0] = static_cast<char>(0xF0 | (CodePoint >> 18));
    Out[1] = static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
    Out[2] = static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out[3] = static_cast<char>(0x80 | (CodePoint & 0x3F));
    return 4;
}

void AppendCodePoint(std::string* Out, uint32_t CodePoint)
{
    char Bytes[4];
    Out->append(Bytes, EncodeCodePoint(CodePoint, Bytes));
}

// Decodes one well-formed UTF-8 sequence at Bytes[Index]; returns its length,
// or 0 when the bytes there are not valid UTF-8 (overlong forms, surrogates
// and values above U+10FFFF included).
size_t DecodeUtf8(const unsigned char* Bytes, size_t Length, size_t Index, uint32_t* CodePoint)
{
    unsigned char Lead = Bytes[Index];
    size_t Count;
    uint32_t Value;
    uint32_t Minimum;
    if (Lead < 0x80) {
        *CodePoint = Lead;
        return 1;
    } else if ((Lead & 0xE0) == 0xC0) {
        Count = 2; Value = Lead & 0x1F; Minimum = 0x80;
    } else if ((Lead & 0xF0) == 0xE0) {
        Count = 3; Value = Lead & 0x0F; Minimum = 0x800;
    } else if ((Lead & 0xF8) == 0xF0) {
        Count = 4; Value = Lead & 0x07; Minimum = 0x10000;
    } else {
        return 0;
    }
    if (Length - Index < Count)
        return 0;
    for (size_t i = 1; i < Count; i++) {
        unsigned char Next = Bytes[Index + i];
        if ((Next & 0xC0) != 0x80)
            return 0;
        Value = (Value << 6) | (Next & 0x3F);
    }
    if (Value < Minimum || Value > 0x10FFFF || (Value >= 0xD800 && Value <= 0xDFFF))
        return 0;
    *CodePoint = Value;
    return Count;
}

// What a code point from the volume prints as.
uint32_t DisplayedCodePoint(uint32_t CodePoint)
{
    if (CodePoint < 0x20)
        return 0x2400 + CodePoint;
    if (CodePoint == 0x7F)
        return 0x2421;
    if ((CodePoint >= 0x80 && CodePoint <= 0x9F) || (CodePoint >= 0x202A && CodePoint <= 0x202E) ||
        (CodePoint >= 0x2066 && CodePoint <= 0x2069))
        return 0xFFFD;
    return CodePoint;
}

} // namespace

std::u16string Text_Utf8ToUtf16(const char* Text, size_t Length)
{
    const unsigned char* Bytes = reinterpret_cast<const unsigned char*>(Text);
    std::u16string Result;
    size_t Index = 0;
    while (Index < Length) {
        uint32_t CodePoint = 0;
        size_t Used = DecodeUtf8(Bytes, Length, Index, &CodePoint);
        if (Used == 0) {
            Result.push_back(static_cast<char16_t>(0xDC00 + Bytes[Index]));
            Index++;
            continue;
        }
        if (CodePoint >= 0x10000) {
            CodePoint -= 0x10000;
            Result.push_back(static_cast<char16_t>(0xD800 + (CodePoint >> 10)));
            Result.push_back(static_cast<char16_t>(0xDC00 + (CodePoint & 0x3FF)));
        } else {
            Result.push_back(static_cast<char16_t>(CodePoint));
        }
        Index += Used;
    }
    return Result;
}

bool Text_Utf16ToPath(const char16_t* Text, std::string* Path)
{
    Path->clear();
    for (size_t i = 0; Text[i] != 0; i++) {
        char16_t Unit = Text[i];
        if (IsHighSurrogate(Unit) && IsLowSurrogate(Text[i + 1])) {
            uint32_t CodePoint = 0x10000 + ((Unit - 0xD800u) << 10) + (Text[i + 1] - 0xDC00u);
            AppendCodePoint(Path, CodePoint);
            i++;
        } else if (Unit >= 0xDC80 && Unit <= 0xDCFF) {
            Path->push_back(static_cast<char>(Unit - 0xDC00));
        } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
            return false;
        } else {
            AppendCodePoint(Path, Unit);
        }
    }
    return true;
}

void Text_AppendUtf8(std::string* Out, const char16_t* Text, size_t Count)
{
    for (size_t i = 0; i < Count; i++) {
        char16_t Unit = Text[i];
        if (IsHighSurrogate(Unit) && i + 1 < Count && IsLowSurrogate(Text[i + 1])) {
            AppendCodePoint(Out, 0x10000 + ((Unit - 0xD800u) << 10) + (Text[i + 1] - 0xDC00u));
            i++;
        } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
            AppendCodePoint(Out, 0xFFFD);
        } else {
            AppendCodePoint(Out, Unit);
        }
    }
}

size_t Text_DiskTextToUtf8(const char16_t* Text, size_t Count, char* Out)
{
    // Each unit gives at most 3 bytes; a surrogate pair gives 4 for its 2 units.
    size_t Used = 0;
    for (size_t i = 0; i < Count; i++) {
        char16_t Unit = Text[i];
        // Printable ASCII, which most names are, shows as itself.
        if (Unit >= 0x20 && Unit < 0x7F) {
            Out[Used++] = static_cast<char>(Unit);
            continue;
        }
        uint32_t CodePoint;
        if (IsHighSurrogate(Unit) && i + 1 < Count && IsLowSurrogate(Text[i + 1])) {
            CodePoint = 0x10000 + ((Unit - 0xD800u) << 10) + (Text[i + 1] - 0xDC00u);
            i++;
        } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
            CodePoint = 0xFFFD;
        } else {
            CodePoint = DisplayedCodePoint(Unit);
        }
        Used += EncodeCodePoint(CodePoint, Out + Used);
    }
    return Used;
}

size_t Text_Length(const char16_t* Text)
{
    size_t Length = 0;
    while (Text[Length] != 0)
        Length++;
    return Length;
}
