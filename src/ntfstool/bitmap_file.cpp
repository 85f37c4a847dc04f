// The scratch bitmap file of a recording run: one bit per cluster read, and
// the marks that set its bits a block at a time.
#include "../ntfstool.h"

#include <cstdint>
#include <cstring>

#include "../../platform/console.h"

// Sizes the new bitmap file to (ClusterCount + 7) / 8 bytes of zeros by
// setting its end, so that the file is sparse and the cost does not grow with
// the volume. The progress line still counts passes of 4096 bytes and compares
// each pass's fraction with the previous pass's (a loop of arithmetic only).
DWORD BitmapFile_Initialize(HANDLE File, uint64_t ClusterCount)
{
    const uint64_t PassBytes = 4096;
    Console_Print("Initializing bitmap file...");
    uint64_t Size = ClusterCount / 8 + (ClusterCount % 8 != 0 ? 1 : 0);
    if (Size == 0)
        return ERROR_INVALID_PARAMETER;

    uint64_t Passed = 0;
    double Previous = 0.0;
    while (Passed < Size) {
        double Fraction = static_cast<double>(Passed) / static_cast<double>(Size);
        if (Fraction - Previous >= 0.01)
            Console_Print("\rInitializing bitmap file... %.2f%c   ", Fraction * 100, u'%');
        Previous = Fraction;
        Passed += Size - Passed < PassBytes ? Size - Passed : PassBytes;
    }
    DWORD Error = SetFilePosition(File, Size);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!SetEndOfFile(File))
        return LastErrorOfFailedCall();
    Console_Print("\rInitializing bitmap file... done              \n");
    return ERROR_SUCCESS;
}

namespace {

// Reads the bitmap byte that holds Cluster's bit; a file too short for it is
// a read fault.
DWORD ReadBitmapByte(HANDLE File, uint64_t Cluster, uint8_t* Byte)
{
    DWORD Error = SetFilePosition(File, Cluster / 8);
    if (Error != ERROR_SUCCESS)
        return Error;
    DWORD Done = 0;
    if (!ReadFile(File, Byte, 1, &Done, nullptr))
        return LastErrorOfFailedCall();
    return Done == 0 ? ERROR_READ_FAULT : ERROR_SUCCESS;
}

} // namespace

DWORD BitmapFile_TestBit(HANDLE File, uint64_t Cluster, BOOLEAN* IsSet)
{
    if (IsSet == nullptr)
        return ERROR_INVALID_PARAMETER;
    uint8_t Byte = 0;
    DWORD Error = ReadBitmapByte(File, Cluster, &Byte);
    if (Error != ERROR_SUCCESS)
        return Error;
    *IsSet = (Byte & (1u << (Cluster % 8))) != 0 ? 1 : 0;
    return ERROR_SUCCESS;
}

DWORD BitmapFile_SetBit(HANDLE File, uint64_t Cluster, BOOLEAN BitValue)
{
    uint8_t Byte = 0;
    DWORD Error = ReadBitmapByte(File, Cluster, &Byte);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint8_t Mask = static_cast<uint8_t>(1u << (Cluster % 8));
    Byte = BitValue ? static_cast<uint8_t>(Byte | Mask) : static_cast<uint8_t>(Byte & ~Mask);
    Error = SetFilePosition(File, Cluster / 8);
    if (Error != ERROR_SUCCESS)
        return Error;
    DWORD Done = 0;
    if (!WriteFile(File, &Byte, 1, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done < 1)
        return ERROR_WRITE_FAULT;
    return ERROR_SUCCESS;
}

DWORD BitmapMarks_Create(HANDLE File, uint64_t ClusterCount, BitmapMarks** Marks)
{
    *Marks = nullptr;
    uint64_t FileBytes = ClusterCount / 8 + (ClusterCount % 8 != 0 ? 1 : 0);
    uint64_t Blocks = FileBytes / BitmapBlockBytes + 1;
    HeapBuffer Record;
    HeapBuffer Block;
    HeapBuffer Touched;
    if (!Record.Allocate(sizeof(BitmapMarks)) || !Block.Allocate(BitmapBlockBytes) ||
        !Touched.Allocate(static_cast<size_t>(Blocks / 8 + 1)))
        return ERROR_OUTOFMEMORY;
    BitmapMarks* Made = reinterpret_cast<BitmapMarks*>(Record.Detach());
    Made->File = File;
    Made->FileBytes = FileBytes;
    Made->Block = Block.Detach();
    Made->Touched = Touched.Detach();
    Made->Loaded = false;
    Made->Dirty = false;
    Made->Count = 0;
    *Marks = Made;
    return ERROR_SUCCESS;
}

void BitmapMarks_Free(BitmapMarks* Marks)
{
    if (Marks == nullptr)
        return;
    HeapFree(GetProcessHeap(), 0, Marks->Block);
    HeapFree(GetProcessHeap(), 0, Marks->Touched);
    FreeRecord(Marks, sizeof(BitmapMarks));
}

bool BitmapMarks_BlockTouched(const BitmapMarks* Marks, uint64_t Block)
{
    return (Marks->Touched[Block / 8] & (1u << (Block % 8))) != 0;
}

namespace {

// Writes the changed bytes of the block in memory. After a failed or short
// write the block is read again before its next change.
DWORD WriteDirtyBytes(BitmapMarks* Marks)
{
    if (!Marks->Dirty)
        return ERROR_SUCCESS;
    Marks->Dirty = false;
    Marks->Loaded = false;
    DWORD Error = SetFilePosition(Marks->File, Marks->BlockIndex * BitmapBlockBytes + Marks->DirtyLow);
    if (Error != ERROR_SUCCESS)
        return Error;
    DWORD Length = static_cast<DWORD>(Marks->DirtyHigh - Marks->DirtyLow + 1);
    DWORD Done = 0;
    if (!WriteFile(Marks->File, Marks->Block + Marks->DirtyLow, Length, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done < Length)
        return ERROR_WRITE_FAULT;
    Marks->Loaded = true;
    return ERROR_SUCCESS;
}

// Brings block Index of the file into memory, after writing the changes of
// the block it replaces: read back when it was marked before, zeros when it
// never was.
DWORD LoadMarksBlock(BitmapMarks* Marks, uint64_t Index)
{
    if (Marks->Loaded && Marks->BlockIndex == Index)
        return ERROR_SUCCESS;
    DWORD Written = WriteDirtyBytes(Marks);
    if (Written != ERROR_SUCCESS)
        return Written;
    Marks->Loaded = false;
    uint64_t Start = Index * BitmapBlockBytes;
    uint64_t Left = Marks->FileBytes - Start;
    DWORD Length = Left < BitmapBlockBytes ? static_cast<DWORD>(Left) : BitmapBlockBytes;
    memset(Marks->Block, 0, BitmapBlockBytes);
    if (BitmapMarks_BlockTouched(Marks, Index)) {
        DWORD Error = SetFilePosition(Marks->File, Start);
        if (Error != ERROR_SUCCESS)
            return Error;
        DWORD Done = 0;
        if (!ReadFile(Marks->File, Marks->Block, Length, &Done, nullptr))
            return LastErrorOfFailedCall();
        if (Done < Length)
            return ERROR_READ_FAULT;
    }
    Marks->BlockIndex = Index;
    Marks->Loaded = true;
    return ERROR_SUCCESS;
}

} // namespace

DWORD BitmapMarks_Set(BitmapMarks* Marks, uint64_t First, uint64_t Count)
{
    uint64_t Capacity = Marks->FileBytes * 8;
    uint64_t InFile = First >= Capacity ? 0 : (Count < Capacity - First ? Count : Capacity - First);
    uint64_t Cluster = First;
    uint64_t End = First + InFile;
    while (Cluster < End) {
        uint64_t Index = Cluster / 8 / BitmapBlockBytes;
        DWORD Error = LoadMarksBlock(Marks, Index);
        if (Error != ERROR_SUCCESS)
            return Error;
        uint64_t BlockEnd = (Index + 1) * BitmapBlockBytes * 8;
        uint64_t Stop = End < BlockEnd ? End : BlockEnd;
        uint64_t Base = Index * BitmapBlockBytes * 8;
        size_t Low = SIZE_MAX;
        size_t High = 0;
        for (; Cluster < Stop; Cluster++) {
            size_t Byte = static_cast<size_t>((Cluster - Base) / 8);
            uint8_t Mask = static_cast<uint8_t>(1u << (Cluster % 8));
            if ((Marks->Block[Byte] & Mask) != 0)
                continue;
            Marks->Block[Byte] = static_cast<uint8_t>(Marks->Block[Byte] | Mask);
            Marks->Count++;
            Low = Byte < Low ? Byte : Low;
            High = Byte;
        }
        if (Low > High)
            continue;
        // The block counts as marked before the write: after a failed or
        // short write its bytes in the file are no longer known to be zeros.
        // The changed bytes are written when another block is needed or the
        // marks are flushed: a file read run by run changes the same block
        // many times.
        Marks->Touched[Index / 8] = static_cast<uint8_t>(Marks->Touched[Index / 8] | (1u << (Index % 8)));
        Marks->DirtyLow = Marks->Dirty && Marks->DirtyLow < Low ? Marks->DirtyLow : Low;
        Marks->DirtyHigh = Marks->Dirty && Marks->DirtyHigh > High ? Marks->DirtyHigh : High;
        Marks->Dirty = true;
    }
    return InFile < Count ? ERROR_READ_FAULT : ERROR_SUCCESS;
}

DWORD BitmapMarks_Flush(BitmapMarks* Marks)
{
    return WriteDirtyBytes(Marks);
}
