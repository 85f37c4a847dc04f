// POSIX entry point: turns the byte arguments into UTF-16 (losslessly, see
// text.h) and runs the wide entry point. The -1 status reaches the shell as 255.
#include <cstring>
#include <string>
#include <vector>

#include "../../src/main.h"
#include "../console.h"
#include "../text.h"

int main(int argc, char** argv)
{
    std::vector<std::u16string> Arguments;
    std::vector<char16_t*> Pointers;
    Arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; i++)
        Arguments.push_back(Text_Utf8ToUtf16(argv[i], strlen(argv[i])));
    for (std::u16string& Argument : Arguments)
        Pointers.push_back(Argument.data());
    Pointers.push_back(nullptr);
    int Status = KorvexMain(argc, Pointers.data());
    Console_Flush();
    return Status;
}
