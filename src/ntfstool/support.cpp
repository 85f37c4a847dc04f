// The tool-wide helpers every layer uses: the bounds-checked little-endian
// reader, UTF-16 comparison, heap holders, the assertion and system-call helpers.
#include "../ntfstool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../../platform/console.h"

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

// The message names the module: a file in a module's folder
// ("src/attr/reader.cpp") reports as the module's source ("attr.cpp").
void AssertionFailed(const char* Expression, const char* File, int Line)
{
    std::string_view Path(File);
    size_t Slash = Path.rfind('/');
    std::string_view Module = Slash == std::string_view::npos ? Path : Path.substr(Slash + 1);
    const char* Suffix = "";
    if (Slash != std::string_view::npos) {
        std::string_view Directory = Path.substr(0, Slash);
        size_t FolderSlash = Directory.rfind('/');
        std::string_view Above = FolderSlash == std::string_view::npos ? "" : Directory.substr(0, FolderSlash);
        if (Above == "src" || Above.ends_with("/src")) {
            Module = Directory.substr(FolderSlash + 1);
            Suffix = ".cpp";
        }
    }
    Console_Print("Assertion failed: %hs, file %.*hs%hs, line %d\n", Expression, static_cast<int>(Module.size()),
                  Module.data(), Suffix, Line);
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
