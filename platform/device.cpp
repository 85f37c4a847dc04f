// Sector-aligned positioned reads, written over the file API alone so that
// the rounding is the same code on every platform and testable on any file.
#include "device.h"

#include <cstring>

namespace {

BOOL SeekAndRead(HANDLE File, uint64_t Offset, void* Buffer, DWORD Length, DWORD* Done)
{
    // A low half of 0xFFFFFFFF is also a valid position; only a set last
    // error tells a failure.
    SetLastError(ERROR_SUCCESS);
    LONG High = static_cast<LONG>(Offset >> 32);
    DWORD Low = SetFilePointer(File, static_cast<LONG>(static_cast<DWORD>(Offset)), &High, FILE_BEGIN);
    if (Low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return FALSE;
    return ReadFile(File, Buffer, Length, Done, nullptr);
}

} // namespace

BOOL Device_ReadAt(HANDLE File, uint64_t Offset, void* Buffer, DWORD Length, DWORD SectorSize, DWORD* Done)
{
    *Done = 0;
    if (SectorSize <= 1 || (Offset % SectorSize == 0 && Length % SectorSize == 0))
        return SeekAndRead(File, Offset, Buffer, Length, Done);

    uint64_t Start = Offset - Offset % SectorSize;
    uint64_t Lead = Offset - Start;
    uint64_t Span = Lead + Length;
    Span += (SectorSize - Span % SectorSize) % SectorSize;
    if (Span > 0xFFFFFFFFull || Start > UINT64_MAX - Span) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // One extra sector of room so that the block itself can start on a
    // sector boundary, as unbuffered device reads require of memory too.
    uint8_t* Block = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(Span) + SectorSize));
    if (Block == nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    uintptr_t Address = reinterpret_cast<uintptr_t>(Block);
    uint8_t* Aligned = Block + (SectorSize - Address % SectorSize) % SectorSize;
    DWORD Got = 0;
    BOOL Read = SeekAndRead(File, Start, Aligned, static_cast<DWORD>(Span), &Got);
    if (Read) {
        uint64_t Delivered = Got > Lead ? Got - Lead : 0;
        if (Delivered > Length)
            Delivered = Length;
        memcpy(Buffer, Aligned + Lead, static_cast<size_t>(Delivered));
        *Done = static_cast<DWORD>(Delivered);
    }
    DWORD Error = GetLastError();
    HeapFree(GetProcessHeap(), 0, Block);
    SetLastError(Error);
    return Read;
}
