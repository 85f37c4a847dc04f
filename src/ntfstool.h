// Tool-wide helpers: the bounds-checked little-endian reader used for every
// on-disk field, heap holders, the internal assertion, the scratch bitmap file
// of a recording run, and the formatting shared by the reports (counted names,
// hex dumps, time stamps).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "../platform/win32.h"

// Non-owning view of on-disk bytes. Every read is bounds-checked with
// overflow-safe arithmetic; a read past the end yields 0 and sets Failed,
// which stays set.
struct LeReader {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    bool Failed = false;

    LeReader() = default;
    LeReader(const void* Bytes, size_t Length) : Data(static_cast<const uint8_t*>(Bytes)), Size(Length) {}

    bool Has(size_t Offset, size_t Length) const { return Offset <= Size && Length <= Size - Offset; }
    // Little-endian unsigned value of 1 to 8 bytes.
    uint64_t Uint(size_t Offset, size_t Length)
    {
        if (Length == 0 || Length > 8 || !Has(Offset, Length)) {
            Failed = true;
            return 0;
        }
        uint64_t Value = 0;
        for (size_t i = Length; i > 0; i--)
            Value = (Value << 8) | Data[Offset + i - 1];
        return Value;
    }
    // Little-endian two's complement value of 1 to 8 bytes, sign-extended.
    int64_t Signed(size_t Offset, size_t Length);
    uint8_t U8(size_t Offset) { return static_cast<uint8_t>(Uint(Offset, 1)); }
    uint16_t U16(size_t Offset) { return static_cast<uint16_t>(Uint(Offset, 2)); }
    uint32_t U32(size_t Offset) { return static_cast<uint32_t>(Uint(Offset, 4)); }
    uint64_t U64(size_t Offset) { return Uint(Offset, 8); }
    // Pointer to Length bytes at Offset, or nullptr (and Failed) when they are
    // not all inside the view.
    const uint8_t* Bytes(size_t Offset, size_t Length);
};

void StoreLe16(uint8_t* Destination, uint16_t Value);
void StoreLe64(uint8_t* Destination, uint64_t Value);

// Stops the process on an internal-consistency failure, printing
// "Assertion failed: <expression>, file <module>, line <n>".
[[noreturn]] void AssertionFailed(const char* Expression, const char* File, int Line);
#define NTFS_ASSERT(Expression) ((Expression) ? (void)0 : AssertionFailed(#Expression, __FILE__, __LINE__))

// A zero-filled block from the process heap, freed on every path.
class HeapBuffer {
public:
    HeapBuffer() = default;
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    ~HeapBuffer() { Free(); }

    bool Allocate(size_t Bytes);
    void Free();
    uint8_t* Get() const { return Data_; }
    size_t Size() const { return Size_; }
    // Hands the block to the caller, who frees it with HeapFree.
    uint8_t* Detach();

private:
    uint8_t* Data_ = nullptr;
    size_t Size_ = 0;
};

// Exact, case-sensitive equality of two NUL-terminated UTF-16 strings.
bool SameText(const char16_t* Text1, const char16_t* Text2);
// Code-unit order of two NUL-terminated UTF-16 strings, where no string (null)
// sorts before every string: negative, 0 or positive.
int CompareText(const char16_t* Text1, const char16_t* Text2);

// Owns a record under construction and releases it with Release on every
// path, unless Detach hands it over.
template <typename T, void (*Release)(T*)> class RecordHolder {
public:
    explicit RecordHolder(T* Record) : Record_(Record) {}
    RecordHolder(const RecordHolder&) = delete;
    RecordHolder& operator=(const RecordHolder&) = delete;
    ~RecordHolder()
    {
        if (Record_ != nullptr)
            Release(Record_);
    }
    T* Get() const { return Record_; }
    T* Detach()
    {
        T* Record = Record_;
        Record_ = nullptr;
        return Record;
    }

private:
    T* Record_;
};

// Allocates a zero-filled handle record of type T from the process heap.
template <typename T> T* AllocateRecord()
{
    return static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(T)));
}

// Clears a handle record, so a stale pointer fails its tag test, and frees it.
void FreeRecord(void* Record, size_t Size);

// Resizes a vector; false instead of an exception when memory runs out (or the
// allocation fault point of the tests fires).
template <typename T> bool TryResize(std::vector<T>* Vector, size_t Count)
{
    if (Count > Vector->capacity()) {
        void* Probe = HeapAlloc(GetProcessHeap(), 0, 1);
        if (Probe == nullptr)
            return false;
        HeapFree(GetProcessHeap(), 0, Probe);
    }
    try {
        Vector->resize(Count);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

// The error code of a system call that just failed. A failure without a code
// is an internal fault.
DWORD LastErrorOfFailedCall();

// Positions a file at a 64-bit byte offset from its start. Returns
// ERROR_SUCCESS or the code of the failed positioning.
DWORD SetFilePosition(HANDLE File, uint64_t Offset);

// Prints a name read from the volume: Count UTF-16 code units of Name (not
// terminated), every one of them shown, controls as safe stand-ins
// (Text_DiskTextToUtf8), with no line break. Nothing is printed when the
// temporary copy cannot be allocated.
void PrintCountedName(const char16_t* Name, size_t Count);

void HexDump(uint32_t Base, const uint8_t* Data, uint32_t Length);
// Holds the longest text FormatFileTime writes, terminator included.
constexpr size_t FILE_TIME_TEXT_LENGTH = 24;
void FormatFileTime(uint64_t Time, char16_t* Text, size_t TextLength);

// The scratch bitmap of a recording run: one bit per cluster of the volume,
// bit n of byte c / 8 for cluster c.
DWORD BitmapFile_Initialize(HANDLE File, uint64_t ClusterCount);
DWORD BitmapFile_TestBit(HANDLE File, uint64_t Cluster, BOOLEAN* IsSet);
DWORD BitmapFile_SetBit(HANDLE File, uint64_t Cluster, BOOLEAN BitValue);

// The recording's marks in the bitmap file, without a read-modify-write per
// cluster: one block of the file is kept in memory, every change is written
// through at once (the file always holds the right bits), and one bit per
// block remembers which blocks were ever marked, so the rest of a sparse file
// is known to be zeros without reading it.
constexpr uint32_t BitmapBlockBytes = 65536;
struct BitmapMarks {
    HANDLE File;          // not owned
    uint64_t FileBytes;
    uint64_t BlockIndex;  // the block held in Block; valid when Loaded
    bool Loaded;
    uint8_t* Block;       // BitmapBlockBytes
    uint8_t* Touched;     // one bit per block of the file
    bool Dirty;           // bytes DirtyLow..DirtyHigh of Block are not yet in the file
    size_t DirtyLow;
    size_t DirtyHigh;
    uint64_t Count;       // bits set by BitmapMarks_Set, each counted once
};
static_assert(std::is_trivially_copyable_v<BitmapMarks>);

// Makes the marks of a file sized by BitmapFile_Initialize for ClusterCount
// clusters. ERROR_OUTOFMEMORY, or ERROR_SUCCESS with *Marks set.
DWORD BitmapMarks_Create(HANDLE File, uint64_t ClusterCount, BitmapMarks** Marks);
void BitmapMarks_Free(BitmapMarks* Marks);
// Sets the bits of clusters First to First + Count - 1, in order. The changed
// bytes of a block reach the file in one positioned write, when another block
// is needed or at BitmapMarks_Flush. A cluster past the file is
// ERROR_READ_FAULT (the bits before it stay set); a failed read or write of
// the file gives its code.
DWORD BitmapMarks_Set(BitmapMarks* Marks, uint64_t First, uint64_t Count);
// False when no cluster of block Block (BitmapBlockBytes of the file) was
// ever marked: its bytes in the file are all zero.
bool BitmapMarks_BlockTouched(const BitmapMarks* Marks, uint64_t Block);
// Writes the marks still held in memory to the file.
DWORD BitmapMarks_Flush(BitmapMarks* Marks);
