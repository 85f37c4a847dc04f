#include "ntfstool.h"

#include <cstdlib>
#include <cstring>

#include "../platform/console.h"
#include "../platform/text.h"

int64_t LeReader::Signed(size_t Offset, size_t Length)
{
    uint64_t Value = Uint(Offset, Length);
    if (Failed || Length == 8)
        return static_cast<int64_t>(Value);
    uint64_t SignBit = uint64_t{1} << (Length * 8 - 1);
    if ((Value & SignBit) != 0)
        Value |= ~((SignBit << 1) - 1);
    return static_cast<int64_t>(Value);
}

const uint8_t* LeReader::Bytes(size_t Offset, size_t Length)
{
    if (!Has(Offset, Length)) {
        Failed = true;
        return nullptr;
    }
    return Data + Offset;
}

bool SameText(const char16_t* Text1, const char16_t* Text2)
{
    size_t i = 0;
    for (; Text1[i] != 0 && Text2[i] != 0; i++)
        if (Text1[i] != Text2[i])
            return false;
    return Text1[i] == Text2[i];
}

int CompareText(const char16_t* Text1, const char16_t* Text2)
{
    if (Text1 == nullptr || Text2 == nullptr)
        return Text1 == Text2 ? 0 : (Text1 == nullptr ? -1 : 1);
    for (size_t k = 0;; k++) {
        // char16_t is unsigned, and the terminator (0) sorts below every unit.
        if (Text1[k] != Text2[k])
            return Text1[k] < Text2[k] ? -1 : 1;
        if (Text1[k] == 0)
            return 0;
    }
}

void StoreLe16(uint8_t* Destination, uint16_t Value)
{
    Destination[0] = static_cast<uint8_t>(Value);
    Destination[1] = static_cast<uint8_t>(Value >> 8);
}

void StoreLe64(uint8_t* Destination, uint64_t Value)
{
    for (int i = 0; i < 8; i++)
        Destination[i] = static_cast<uint8_t>(Value >> (8 * i));
}

void AssertionFailed(const char* Expression, const char* File, int Line)
{
    const char* Module = strrchr(File, '/');
    Module = Module != nullptr ? Module + 1 : File;
    Console_Print("Assertion failed: %hs, file %hs, line %d\n", Expression, Module, Line);
    Console_Flush();
    abort();
}

bool HeapBuffer::Allocate(size_t Bytes)
{
    Free();
    Data_ = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, Bytes));
    if (Data_ == nullptr)
        return false;
    Size_ = Bytes;
    return true;
}

void HeapBuffer::Free()
{
    if (Data_ != nullptr)
        HeapFree(GetProcessHeap(), 0, Data_);
    Data_ = nullptr;
    Size_ = 0;
}

uint8_t* HeapBuffer::Detach()
{
    uint8_t* Data = Data_;
    Data_ = nullptr;
    Size_ = 0;
    return Data;
}

void FreeRecord(void* Record, size_t Size)
{
    if (Record == nullptr)
        return;
    memset(Record, 0, Size);
    HeapFree(GetProcessHeap(), 0, Record);
}

DWORD LastErrorOfFailedCall()
{
    DWORD Error = GetLastError();
    NTFS_ASSERT(Error != ERROR_SUCCESS);
    return Error;
}

DWORD SetFilePosition(HANDLE File, uint64_t Offset)
{
    LONG High = static_cast<LONG>(Offset >> 32);
    DWORD Low = SetFilePointer(File, static_cast<LONG>(static_cast<DWORD>(Offset)), &High, FILE_BEGIN);
    if (Low == INVALID_SET_FILE_POINTER) {
        DWORD Error = GetLastError();
        if (Error != ERROR_SUCCESS)
            return Error;
    }
    return ERROR_SUCCESS;
}

// Fills the new bitmap file with (ClusterCount + 7) / 8 zero bytes in blocks of
// 4096, with a progress line that compares each pass's fraction with the
// previous pass's.
DWORD BitmapFile_Initialize(HANDLE File, uint64_t ClusterCount)
{
    static const uint8_t Zeros[4096] = {};
    Console_Print("Initializing bitmap file...");
    uint64_t Size = ClusterCount / 8 + (ClusterCount % 8 != 0 ? 1 : 0);
    if (Size == 0)
        return ERROR_INVALID_PARAMETER;

    uint64_t Written = 0;
    double Previous = 0.0;
    while (Written < Size) {
        double Fraction = static_cast<double>(Written) / static_cast<double>(Size);
        if (Fraction - Previous >= 0.01)
            Console_Print("\rInitializing bitmap file... %.2f%c   ", Fraction * 100, u'%');
        Previous = Fraction;
        DWORD Chunk = Size - Written < sizeof(Zeros) ? static_cast<DWORD>(Size - Written) : sizeof(Zeros);
        DWORD Done = 0;
        if (!WriteFile(File, Zeros, Chunk, &Done, nullptr))
            return LastErrorOfFailedCall();
        if (Done < Chunk)
            return ERROR_WRITE_FAULT;
        Written += Chunk;
    }
    if (!SetEndOfFile(File))
        return LastErrorOfFailedCall();
    Console_Print("\rInitializing bitmap file... done              \n");
    return ERROR_SUCCESS;
}

DWORD BitmapFile_TestBit(HANDLE File, uint64_t Cluster, BOOLEAN* IsSet)
{
    if (IsSet == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD Error = SetFilePosition(File, Cluster / 8);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint8_t Byte = 0;
    DWORD Done = 0;
    if (!ReadFile(File, &Byte, 1, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done == 0)
        return ERROR_READ_FAULT;
    *IsSet = (Byte & (1u << (Cluster % 8))) != 0 ? 1 : 0;
    return ERROR_SUCCESS;
}

DWORD BitmapFile_SetBit(HANDLE File, uint64_t Cluster, BOOLEAN BitValue)
{
    DWORD Error = SetFilePosition(File, Cluster / 8);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint8_t Byte = 0;
    DWORD Done = 0;
    if (!ReadFile(File, &Byte, 1, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done == 0)
        return ERROR_READ_FAULT;
    uint8_t Mask = static_cast<uint8_t>(1u << (Cluster % 8));
    Byte = BitValue ? static_cast<uint8_t>(Byte | Mask) : static_cast<uint8_t>(Byte & ~Mask);
    Error = SetFilePosition(File, Cluster / 8);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!WriteFile(File, &Byte, 1, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done < 1)
        return ERROR_WRITE_FAULT;
    return ERROR_SUCCESS;
}

void PrintCountedName(const char16_t* Name, size_t Count)
{
    HeapBuffer Copy;
    if (Name == nullptr || !Copy.Allocate(Count * DiskTextBytesPerUnit + 1))
        return;
    char* Text = reinterpret_cast<char*>(Copy.Get());
    Text[Text_DiskTextToUtf8(Name, Count, Text)] = 0;
    Console_Print("%hs", Text);
}
