// "-dir": the directory listing of a file's $I30 index.
#include "../main.h"

#include <array>
#include <cstring>

#include "../../platform/console.h"
#include "../../platform/text.h"
#include "../attr.h"
#include "../file.h"
#include "../ntfstool.h"

namespace {

// $FILE_NAME value, as an attribute and as the key of an $I30 entry.
// The fixed part of the value and the first name character.
constexpr uint32_t FileNameProbeLength = FileNameNameOffset + 2;

// Lines are gathered as UTF-8 and printed a batch at a time: a printer call
// and a conversion per line would cost more than reading the index. Names go
// through the same conversion as every name read from the volume, so a control
// character in one cannot end its line or drive the terminal.
class LineBatch {
    // "00" to "ff": a byte's two digits at a time.
    static constexpr std::array<char, 512> HexPairs = [] {
        std::array<char, 512> Pairs{};
        for (int Byte = 0; Byte < 256; Byte++) {
            Pairs[2 * Byte] = "0123456789abcdef"[Byte >> 4];
            Pairs[2 * Byte + 1] = "0123456789abcdef"[Byte & 0xF];
        }
        return Pairs;
    }();

public:
    static constexpr size_t Capacity = 65536;
    static constexpr size_t LongestLine = 19 + 6 + DiskTextBytesPerUnit * UINT8_MAX + 1;
    bool Allocate() { return Bytes_.Allocate(Capacity + 1); }
    void AddLine(uint64_t Reference, bool Directory, const char16_t* Name, uint32_t NameLength)
    {
        if (Used_ + LongestLine > Capacity)
            Flush();
        char* Out = reinterpret_cast<char*>(Bytes_.Get());
        Out[Used_++] = '0';
        Out[Used_++] = 'x';
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            memcpy(Out + Used_, &HexPairs[2 * ((Reference >> Shift) & 0xFF)], 2);
            Used_ += 2;
        }
        const char* Marker = Directory ? " <DIR> " : "       ";
        memcpy(Out + Used_, Marker, 7);
        Used_ += 7;
        Used_ += Text_DiskTextToUtf8(Name, NameLength, Out + Used_);
        Out[Used_++] = '\n';
    }
    void Flush()
    {
        if (Used_ == 0)
            return;
        // Lines hold no NUL: a name stops at its first NUL unit.
        Console_Write(reinterpret_cast<char*>(Bytes_.Get()), Used_);
        Used_ = 0;
    }

private:
    HeapBuffer Bytes_;
    size_t Used_ = 0;
};

} // namespace

// "-dir": lists the file's $I30 index when its $FILE_NAME marks a directory.
// A base record that overflowed into an attribute list may have moved its
// $FILE_NAME to an extension record, so list 1 is searched after list 0.
void ListDirectoryIfDirectory(NtfsFile* FileHandle)
{
    NtfsAttribute* FileName = NtfsFile_FindAttribute(FileHandle, ATTRIBUTE_FILE_NAME, nullptr, 0);
    if (FileName == nullptr)
        FileName = NtfsFile_FindAttribute(FileHandle, ATTRIBUTE_FILE_NAME, nullptr, 1);
    if (FileName == nullptr) {
        Console_Print("Unable to locate $FILE_NAME attribute\n");
        return;
    }
    uint8_t Value[FileNameProbeLength] = {};
    uint32_t BytesRead = 0;
    DWORD Error = NtfsAttribute_Read(FileName, 0, FileNameProbeLength, Value, &BytesRead);
    if (Error != ERROR_SUCCESS || BytesRead < FileNameProbeLength) {
        Console_Print("Unable to read $FILE_NAME attribute, error is %d\n", Error);
        return;
    }
    if ((LeReader(Value, sizeof(Value)).U32(FileNameAttributesOffset) & FILE_NAME_DIRECTORY) != 0)
        ListDirectory(FileHandle);
    else
        Console_Print("This file is not a directory\n");
}

// Prints one line per $I30 entry in index order. Returns ERROR_FILE_NOT_FOUND
// after a complete listing, else the code that stopped it.
DWORD ListDirectory(NtfsFile* File)
{
    if (!NtfsFile_IsValid(File) || NtfsFile_GetVolume(File) == nullptr)
        return ERROR_INVALID_PARAMETER;
    IndexHolder Cursor;
    DWORD Error = NtfsIndex_Open(File, u"$I30", &Cursor.Index);
    if (Error != ERROR_SUCCESS)
        return Error;
    // Large enough for any entry of the index, so none arrives cut short.
    uint32_t BufferSize = NtfsIndex_GetEntryBufferSize(&Cursor.Index);
    HeapBuffer Buffer;
    LineBatch Lines;
    if (!Buffer.Allocate(BufferSize) || !Lines.Allocate())
        return ERROR_OUTOFMEMORY;

    Console_Print("files in this directory:\n");
    Console_Print("FileReference            Filename\n");
    Console_Print("----------------------------------------------------------------\n");
    for (;;) {
        uint32_t Size = BufferSize;
        Error = NtfsIndex_Next(&Cursor.Index, Buffer.Get(), &Size);
        if (Error != ERROR_SUCCESS)
            break;
        // The cursor delivers only entries whose key lies inside them.
        LeReader Entry(Buffer.Get(), Size < BufferSize ? Size : BufferSize);
        uint64_t Reference = Entry.U64(IndexEntryFileReferenceOffset);
        uint32_t Attributes = Entry.U32(IndexEntryKeyOffset + FileNameAttributesOffset);
        uint32_t NameLength = Entry.U8(IndexEntryKeyOffset + FileNameLengthOffset);
        const uint8_t* Units = Entry.Bytes(IndexEntryKeyOffset + FileNameNameOffset, 2 * size_t{NameLength});
        if (Entry.Failed) {
            Error = ERROR_INVALID_DATA;
            break;
        }
        char16_t Name[UINT8_MAX];
        for (uint32_t i = 0; i < NameLength; i++)
            Name[i] = static_cast<char16_t>(Units[2 * i] | Units[2 * i + 1] << 8); // UTF-16LE
        Lines.AddLine(Reference, (Attributes & FILE_NAME_DIRECTORY) != 0, Name, NameLength);
    }
    Lines.Flush();
    if (Error != ERROR_FILE_NOT_FOUND)
        Console_Print("Error occured during listing files, error is %d\n", Error);
    return Error;
}
