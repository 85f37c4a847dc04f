// "-attribute" and "-read": locating an attribute and reading a range of its
// value to a hex dump or a save file.
#include "../main.h"

#include "../../platform/console.h"
#include "../attr.h"
#include "../file.h"
#include "../ntfstool.h"

namespace {

constexpr uint32_t TransferBufferSize = 0x1000;
constexpr uint32_t PageAlignment = 0x1000;
// Without a dump, a value that must pass through memory (a compressed one)
// moves in blocks of this size: one value read and one write to the save file
// per block. Small enough for the block to stay in the processor's cache
// between the two copies, which is faster than fewer, larger calls.
constexpr uint32_t LargeTransferSize = 0x40000;
// A read that is only saved, or kept nowhere, moves no bytes through this
// process where the system can copy, so its blocks can be as large as one
// value read takes.
constexpr uint32_t DirectTransferSize = 0x100000;

// Closes the save file on every way out of the read.
class SaveFile {
public:
    SaveFile() = default;
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;
    ~SaveFile()
    {
        if (Handle != INVALID_HANDLE_VALUE)
            CloseHandle(Handle);
    }

    // Appends Length bytes; prints the message of a failure and returns its code.
    DWORD Write(const uint8_t* Data, uint32_t Length, const char16_t* Name)
    {
        if (Handle == INVALID_HANDLE_VALUE || Length == 0)
            return ERROR_SUCCESS;
        DWORD Written = 0;
        BOOL Wrote = WriteFile(Handle, Data, Length, &Written, nullptr);
        if (Wrote && Written >= Length)
            return ERROR_SUCCESS;
        // A short write that reports success carries no code of its own.
        return Failed(Wrote ? ERROR_WRITE_FAULT : LastErrorOfFailedCall(), Name);
    }

    // Cuts the file back to its first Length bytes.
    DWORD CutTo(uint64_t Length, const char16_t* Name)
    {
        DWORD Error = SetFilePosition(Handle, Length);
        if (Error == ERROR_SUCCESS && !SetEndOfFile(Handle))
            Error = LastErrorOfFailedCall();
        return Error == ERROR_SUCCESS ? Error : Failed(Error, Name);
    }

    static DWORD Failed(DWORD Error, const char16_t* Name)
    {
        Console_Print("Unable to write to file %s, error is %d\n", Name, Error);
        return Error;
    }

    HANDLE Handle = INVALID_HANDLE_VALUE;
};

} // namespace

// "-attribute TYPE NAME [-read OFFSET LENGTH [-dump] [-save FILE]]": locates
// the attribute, then reads the range in 4096-byte chunks, dumping each with
// addresses counted from the start of the range and/or appending it to a new
// save file, and prints the total. Without a dump, chunks are read and saved
// a block at a time; a block whose read fails is taken back from the save
// file and read again chunk by chunk, so the save file receives every chunk
// before the failing one and the failure names that chunk's offset.
DWORD ReadAttributeData(NtfsFile* File)
{
    const ProgramOptionsRecord& Options = ProgramOptions;
    NtfsAttribute* Attribute = NtfsFile_FindDataAttribute(File, Options.AttributeType, Options.AttributeName);
    if (Attribute == nullptr) {
        Console_Print("Unable to locate the attribute: TypeCode = 0x%x, Name = %s\n", Options.AttributeType,
                      Options.AttributeName);
        return ERROR_INVALID_DATA;
    }
    Console_Print("Attribute (TypeCode = 0x%x, Name = \"%s\") located\n", Options.AttributeType,
                  Options.AttributeName != nullptr ? Options.AttributeName : u"");
    if (!Options.ReadGiven || Options.ReadSize == 0)
        return ERROR_SUCCESS;

    DWORD Result = ERROR_SUCCESS;
    uint32_t Done = 0;
    // Without a dump the bytes need not pass through memory here: a range
    // only saved goes from the volume to the file, one kept nowhere is only
    // read, to show that it can be (and, while recording, to log its
    // clusters). A block that fails goes again through memory, chunk by chunk.
    bool Copy = !Options.Dump && Options.SaveFileName != nullptr && NtfsAttribute_CopiesToFile(Attribute);
    bool Keep = Options.Dump || Options.SaveFileName != nullptr;
    uint32_t BlockSize = Options.Dump                ? TransferBufferSize
                         : Copy || !Keep             ? DirectTransferSize
                                                     : LargeTransferSize;
    if (BlockSize > Options.ReadSize)
        BlockSize = (Options.ReadSize + TransferBufferSize - 1) / TransferBufferSize * TransferBufferSize;
    // The block starts on a page boundary: the system's copies from the
    // volume into it and from it into the save file run markedly faster
    // (a tenth of a large -save) than from a block the heap places anywhere.
    HeapBuffer Storage;
    if (Keep && !Storage.Allocate(BlockSize + PageAlignment)) {
        Console_Print("Not enough memory\n");
        return ERROR_OUTOFMEMORY;
    }
    uint8_t* Buffer =
        Keep ? Storage.Get() + PageAlignment - reinterpret_cast<uintptr_t>(Storage.Get()) % PageAlignment : nullptr;
    auto ReadRange = [&](uint32_t At, uint32_t Length, uint32_t* Got) {
        return Keep ? NtfsAttribute_Read(Attribute, Options.ReadOffset + At, Length, Buffer + (At - Done), Got)
                    : NtfsAttribute_ReadAndDrop(Attribute, Options.ReadOffset + At, Length, Got);
    };
    SaveFile Save;
    if (Options.SaveFileName != nullptr) {
        Save.Handle = CreateFileW(Options.SaveFileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (Save.Handle == INVALID_HANDLE_VALUE) {
            DWORD Error = LastErrorOfFailedCall();
            Console_Print("Unable to create save file @ %s, error is %d\n", Options.SaveFileName, Error);
            return Error;
        }
    }

    if (!Keep)
        NtfsAttribute_LogAhead(Attribute, Options.ReadOffset, Options.ReadSize);
    bool Ended = false;
    while (Done < Options.ReadSize && !Ended && Result == ERROR_SUCCESS) {
        uint32_t Block = Options.ReadSize - Done < BlockSize ? Options.ReadSize - Done : BlockSize;
        uint32_t Delivered = 0;
        DWORD Error;
        bool Saved = false;
        if (Copy) {
            bool WriteFailed = false;
            Error = NtfsAttribute_ReadToFile(Attribute, Options.ReadOffset + Done, Block, Save.Handle, &Delivered,
                                             &WriteFailed);
            if (WriteFailed)
                return SaveFile::Failed(Error, Options.SaveFileName);
            Saved = Error == ERROR_SUCCESS;
            if (!Saved) {
                Delivered = 0;
                DWORD CutError = Save.CutTo(Done, Options.SaveFileName);
                if (CutError != ERROR_SUCCESS)
                    return CutError;
            }
        } else {
            Error = ReadRange(Done, Block, &Delivered);
        }
        if (Error != ERROR_SUCCESS && Block > TransferBufferSize) {
            // Again chunk by chunk, to find the chunk that fails.
            Delivered = 0;
            for (;;) {
                uint32_t Chunk = Block - Delivered < TransferBufferSize ? Block - Delivered : TransferBufferSize;
                uint32_t Got = 0;
                Error = ReadRange(Done + Delivered, Chunk, &Got);
                if (Error != ERROR_SUCCESS)
                    break;
                Delivered += Got;
                if (Got < Chunk || Delivered == Block)
                    break;
            }
        }
        if (Error != ERROR_SUCCESS)
            Result = Error;
        else if (Delivered < Block)
            Ended = true;
        // The dump shows each chunk as it comes; the save file receives what
        // was delivered before the failure is reported.
        for (uint32_t At = 0; Options.Dump && At < Delivered; At += TransferBufferSize)
            HexDump(Done + At, Buffer + At, Delivered - At < TransferBufferSize ? Delivered - At : TransferBufferSize);
        DWORD WriteError = Saved ? ERROR_SUCCESS : Save.Write(Buffer, Delivered, Options.SaveFileName);
        if (WriteError != ERROR_SUCCESS)
            return WriteError;
        if (Result != ERROR_SUCCESS)
            Console_Print("Unable to read data from the file at offset 0x%I64x\n",
                          Options.ReadOffset + Done + Delivered);
        Done += Delivered;
    }
    Console_Print("Total 0x%x bytes read\n", Done);
    return Result;
}
