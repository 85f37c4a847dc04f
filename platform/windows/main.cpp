// Windows entry point: the system hands over the arguments as UTF-16, the
// tool's own text, so they are copied over unit for unit.
#include <string>
#include <vector>

#include "../../src/main.h"
#include "../console.h"

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::u16string> Arguments;
    std::vector<char16_t*> Pointers;
    Arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; i++) {
        std::u16string Argument;
        for (const wchar_t* p = argv[i]; *p != 0; p++)
            Argument.push_back(static_cast<char16_t>(*p));
        Arguments.push_back(std::move(Argument));
    }
    for (std::u16string& Argument : Arguments)
        Pointers.push_back(Argument.data());
    Pointers.push_back(nullptr);
    int Status = KorvexMain(argc, Pointers.data());
    Console_Flush();
    return Status;
}
