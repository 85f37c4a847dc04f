// Standard output here takes the UTF-8 bytes as they are.
#include <cstdio>

#include "../console.h"

void Console_WriteStdout(const char* Text, size_t Length)
{
    fwrite(Text, 1, Length, stdout);
}

void Console_Flush()
{
    fflush(stdout);
}
