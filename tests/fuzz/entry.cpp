// The libFuzzer entry point of one target, chosen by KORVEX_FUZZ_TARGET.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    fuzz::KORVEX_FUZZ_TARGET(Data, Size);
    return 0;
}
