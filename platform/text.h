// UTF-8 / UTF-16 conversions.
//
// Command-line arguments on POSIX are bytes. They become UTF-16 losslessly: a
// byte that is not part of valid UTF-8 maps to the lone surrogate 0xDC00 + byte
// (0xDC80..0xDCFF), and maps back to the same byte when the text is used as a
// path again, so any Linux file name survives the round trip.
#pragma once

#include <cstddef>
#include <string>

// Bytes to UTF-16; never fails.
std::u16string Text_Utf8ToUtf16(const char* Bytes, size_t Length);

// UTF-16 to path bytes, reversing Text_Utf8ToUtf16. Returns false for a lone
// surrogate that does not stand for a byte (the name cannot exist here).
bool Text_Utf16ToPath(const char16_t* Text, std::string* Path);

// Appends Count code units as UTF-8 for display; an unpaired surrogate becomes
// U+FFFD. For the program's own text and for what the user typed.
void Text_AppendUtf8(std::string* Out, const char16_t* Text, size_t Count);

// Text read from a volume (file and attribute names) may hold any code unit, so
// it is made safe to show before it reaches a terminal: a C0 control prints as
// its control picture (U+2400 + code), DEL as U+2421, C1 controls and the
// bidirectional embedding, override and isolate controls as U+FFFD, as does an
// unpaired surrogate. Every unit shows as something, NUL included, so a name
// cannot hide characters, end its line or reorder how the line reads.
// Writes the UTF-8 to Out, which must hold DiskTextBytesPerUnit * Count bytes,
// and returns the number of bytes written (no terminator).
constexpr size_t DiskTextBytesPerUnit = 3;
size_t Text_DiskTextToUtf8(const char16_t* Text, size_t Count, char* Out);

size_t Text_Length(const char16_t* Text);
