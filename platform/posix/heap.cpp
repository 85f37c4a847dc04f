// The process heap: calloc/free, with the allocation fault point for tests.
#include <cstdlib>

#include "../faults.h"
#include "../win32.h"

HANDLE GetProcessHeap()
{
    static int ProcessHeap;
    return &ProcessHeap;
}

void* HeapAlloc(HANDLE /*Heap*/, DWORD Flags, size_t Bytes)
{
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Alloc, &Kind, &FaultError))
        return nullptr;
    // A zero-byte request still yields a distinct block, as on Windows.
    if (Bytes == 0)
        Bytes = 1;
    return (Flags & HEAP_ZERO_MEMORY) != 0 ? calloc(1, Bytes) : malloc(Bytes);
}

BOOL HeapFree(HANDLE /*Heap*/, DWORD /*Flags*/, void* Memory)
{
    free(Memory);
    return TRUE;
}
