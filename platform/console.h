// Console output: one printf-style printer that writes UTF-8 to standard output
// in program order.
//
// Format strings are ASCII. Directives follow the Windows wide printf: "%s"
// takes a UTF-16 string (const char16_t*, null prints "(null)"), "%hs" a narrow
// UTF-8 string, "%c" a UTF-16 code unit; "l" means 32 bits and "I64" (or "ll")
// 64 bits. Unpaired surrogates print as U+FFFD. "%s" prints text as it is: it
// is for the program's own text and what the user typed; names read from a
// volume are converted by Text_DiskTextToUtf8 first.
#pragma once

#include <cstdarg>
#include <string>

void Console_Print(const char* Format, ...);
void Console_PrintV(const char* Format, va_list Arguments);
void Console_Flush();
// Writes Length bytes of UTF-8 as they are, in order with the printer's output.
void Console_Write(const char* Text, size_t Length);

// Puts formatted UTF-8 text on standard output; one per platform
// (posix/console.cpp, windows/console.cpp).
void Console_WriteStdout(const char* Text, size_t Length);

// Formats like Console_Print into a string instead of the console.
std::string Console_Format(const char* Format, ...);

// Test hook: while a capture is active, output is appended to *Sink instead of
// standard output. Pass nullptr to write to standard output again.
void Console_SetCapture(std::string* Sink);
