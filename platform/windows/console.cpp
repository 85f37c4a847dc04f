// Standard output on Windows. A console takes UTF-16 through WriteConsoleW,
// so that names in any script show as they are; anything else (a file, a
// pipe) gets the same UTF-8 bytes as on every other platform, in binary mode
// so that no "\r" is added before "\n".
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>

#include "../console.h"
#include "../text.h"
#include "../win32.h"

namespace {

enum class Sink { Unknown, Console, Bytes };

Sink OutputSink = Sink::Unknown;
HANDLE ConsoleHandle = INVALID_HANDLE_VALUE;

void ChooseSink()
{
    HANDLE Output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD Mode = 0;
    if (Output != nullptr && Output != INVALID_HANDLE_VALUE && GetConsoleMode(Output, &Mode)) {
        OutputSink = Sink::Console;
        ConsoleHandle = Output;
        return;
    }
    OutputSink = Sink::Bytes;
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace

void Console_WriteStdout(const char* Text, size_t Length)
{
    if (OutputSink == Sink::Unknown)
        ChooseSink();
    if (OutputSink == Sink::Bytes) {
        fwrite(Text, 1, Length, stdout);
        return;
    }
    // The printer's text is valid UTF-8, so the conversion is exact.
    std::u16string Wide = Text_Utf8ToUtf16(Text, Length);
    const wchar_t* Next = reinterpret_cast<const wchar_t*>(Wide.data());
    size_t Left = Wide.size();
    while (Left > 0) {
        DWORD Chunk = Left > 16384 ? 16384 : static_cast<DWORD>(Left);
        DWORD Written = 0;
        if (!WriteConsoleW(ConsoleHandle, Next, Chunk, &Written, nullptr) || Written == 0)
            return;
        Next += Written;
        Left -= Written;
    }
}

void Console_Flush()
{
    fflush(stdout);
}
