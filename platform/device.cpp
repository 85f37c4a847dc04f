// Sector-aligned positioned reads, written over the file API alone so that
// the rounding is the same code on every platform and testable on any file.
#include "device.h"

#include <algorithm>
#include <cstring>

namespace {

// The most bytes a copy through the buffer moves at a time.
constexpr DWORD CopyPieceBytes = 1u << 18;

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

// A heap block whose usable part starts on an Align boundary, as unbuffered
// device reads require of memory. Freed on every way out without disturbing
// the last error a failure left. Get() is null when the allocation failed.
class AlignedBlock {
public:
    AlignedBlock(size_t Size, DWORD Align)
        : Block_(static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, Size + Align)))
    {
        if (Block_ != nullptr)
            Aligned_ = Block_ + (Align - reinterpret_cast<uintptr_t>(Block_) % Align) % Align;
    }
    AlignedBlock(const AlignedBlock&) = delete;
    AlignedBlock& operator=(const AlignedBlock&) = delete;
    ~AlignedBlock()
    {
        if (Block_ == nullptr)
            return;
        DWORD Error = GetLastError();
        HeapFree(GetProcessHeap(), 0, Block_);
        SetLastError(Error);
    }

    uint8_t* Get() const { return Aligned_; }

private:
    uint8_t* Block_;
    uint8_t* Aligned_ = nullptr;
};

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
    AlignedBlock Block(static_cast<size_t>(Span), SectorSize);
    uint8_t* Aligned = Block.Get();
    if (Aligned == nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    DWORD Got = 0;
    BOOL Read = SeekAndRead(File, Start, Aligned, static_cast<DWORD>(Span), &Got);
    if (Read) {
        uint64_t Delivered = Got > Lead ? Got - Lead : 0;
        if (Delivered > Length)
            Delivered = Length;
        memcpy(Buffer, Aligned + Lead, static_cast<size_t>(Delivered));
        *Done = static_cast<DWORD>(Delivered);
    }
    return Read;
}

BOOL Device_CopyToFile(HANDLE File, uint64_t Offset, DWORD Length, DWORD SectorSize, DWORD Unit, HANDLE Destination,
                       bool Later, DWORD* Done, CopyFailure* Failed)
{
    *Done = 0;
    CopyFailure Side = CopyFailure::None;
    if (Failed == nullptr)
        Failed = &Side;
    *Failed = CopyFailure::None;
    if (Unit == 0 || Length % Unit != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL Copied = FALSE;
    if (Device_SystemCopy(File, Offset, Length, Unit, Destination, Later, Done, &Copied, Failed))
        return Copied;

    // Whole units per piece; the buffer starts on a sector boundary, so that
    // aligned pieces are read straight into it.
    DWORD Piece = std::min(Length, std::max(Unit, CopyPieceBytes / Unit * Unit));
    AlignedBlock Block(Piece, std::max<DWORD>(SectorSize, 1));
    uint8_t* Buffer = Block.Get();
    if (Buffer == nullptr) {
        *Failed = CopyFailure::Read;
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    BOOL Result = TRUE;
    while (*Done < Length) {
        DWORD Asked = std::min(Piece, Length - *Done);
        DWORD Got = 0;
        DWORD Put = 0;
        if (!Device_ReadAt(File, Offset + *Done, Buffer, Asked, SectorSize, &Got)) {
            *Failed = CopyFailure::Read;
            Result = FALSE;
            break;
        }
        if (!WriteFile(Destination, Buffer, Got - Got % Unit, &Put, nullptr)) {
            *Failed = CopyFailure::Write;
            Result = FALSE;
            break;
        }
        *Done += Put;
        if (Put < Got - Got % Unit) {
            *Failed = CopyFailure::Write;
            SetLastError(ERROR_WRITE_FAULT);
            Result = FALSE;
            break;
        }
        if (Got < Asked)
            break; // the file ended
    }
    return Result;
}

BOOL Device_ReadAndDrop(HANDLE File, uint64_t Offset, DWORD Length, DWORD SectorSize, DWORD* Done)
{
    *Done = 0;
    BOOL Read = FALSE;
    if (Device_SystemDrop(File, Offset, Length, Done, &Read))
        return Read;
    DWORD Piece = std::min(Length, CopyPieceBytes);
    AlignedBlock Block(Piece, std::max<DWORD>(SectorSize, 1));
    uint8_t* Buffer = Block.Get();
    if (Buffer == nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    Read = TRUE;
    while (*Done < Length) {
        DWORD Asked = std::min(Piece, Length - *Done);
        DWORD Got = 0;
        Read = Device_ReadAt(File, Offset + *Done, Buffer, Asked, SectorSize, &Got);
        if (!Read)
            break;
        *Done += Got;
        if (Got < Asked)
            break; // the file ended
    }
    return Read;
}
