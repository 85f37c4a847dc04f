#include "main.h"

#include <cstring>

#include "../platform/console.h"
#include "../platform/security.h"
#include "../platform/text.h"
#include "attr.h"
#include "file.h"
#include "korvex_version.h"
#include "ntfstool.h"
#include "volume.h"

ProgramOptionsRecord ProgramOptions;

namespace {

bool IsSpace(char16_t Character)
{
    return Character == u' ' || (Character >= u'\t' && Character <= u'\r');
}

int HexDigitValue(char16_t Character)
{
    if (Character >= u'0' && Character <= u'9')
        return Character - u'0';
    if (Character >= u'a' && Character <= u'f')
        return Character - u'a' + 10;
    if (Character >= u'A' && Character <= u'F')
        return Character - u'A' + 10;
    return -1;
}

// scanf-like hexadecimal scan: white space, a sign, an optional 0x prefix, then
// digits up to the first non-digit. A value past Maximum saturates to it; a
// minus sign negates modulo 2^bits, as scanf does.
bool ScanHex(const char16_t* Text, uint64_t Maximum, uint64_t* Value)
{
    if (Text == nullptr)
        return false;
    size_t i = 0;
    while (IsSpace(Text[i]))
        i++;
    bool Negative = false;
    if (Text[i] == u'+' || Text[i] == u'-') {
        Negative = Text[i] == u'-';
        i++;
    }
    bool Digits = false;
    if (Text[i] == u'0' && (Text[i + 1] == u'x' || Text[i + 1] == u'X')) {
        Digits = true; // the 0 of the prefix is a digit of its own
        i += 2;
    }
    uint64_t Result = 0;
    bool Overflow = false;
    for (int Digit; (Digit = HexDigitValue(Text[i])) >= 0; i++) {
        Digits = true;
        if (Result > (Maximum - static_cast<uint64_t>(Digit)) / 16)
            Overflow = true;
        else
            Result = Result * 16 + static_cast<uint64_t>(Digit);
    }
    if (!Digits)
        return false;
    if (Overflow)
        Result = Maximum;
    else if (Negative)
        Result = (0 - Result) & Maximum;
    *Value = Result;
    return true;
}

char16_t* CopyName(const char16_t* Text)
{
    size_t Length = 0;
    while (Text[Length] != 0)
        Length++;
    char16_t* Copy = static_cast<char16_t*>(HeapAlloc(GetProcessHeap(), 0, (Length + 1) * sizeof(char16_t)));
    if (Copy != nullptr)
        memcpy(Copy, Text, (Length + 1) * sizeof(char16_t));
    return Copy;
}

} // namespace

bool ScanHex32(const char16_t* Text, uint32_t* Value)
{
    uint64_t Wide = 0;
    if (!ScanHex(Text, 0xFFFFFFFFull, &Wide))
        return false;
    *Value = static_cast<uint32_t>(Wide);
    return true;
}

bool ScanHex64(const char16_t* Text, uint64_t* Value)
{
    return ScanHex(Text, ~0ull, Value);
}

void ResetOptions()
{
    if (ProgramOptions.AttributeName != nullptr)
        HeapFree(GetProcessHeap(), 0, ProgramOptions.AttributeName);
    ProgramOptions = ProgramOptionsRecord{};
}

// One pass over the arguments. Each step compares the current argument with
// every option in a fixed order; an option that takes n arguments is taken
// only when all n follow, and moves the current index to its last argument,
// against which the remaining comparisons of the step are made.
bool ParseOptions(int ArgumentCount, char16_t** Arguments)
{
    ProgramOptionsRecord& Options = ProgramOptions;
    for (int i = 1; i < ArgumentCount; i++) {
        auto Is = [&](const char16_t* Option) { return SameText(Arguments[i], Option); };
        auto Follow = [&](int Needed) { return i + Needed < ArgumentCount; };

        if (Is(u"-?") || Is(u"-help"))
            Options.ShowHelp = true;
        if (Is(u"-vol") && Follow(1)) {
            Options.VolumeName = Arguments[++i];
        }
        if (Is(u"-lockvol"))
            Options.LockVolume = true;
        if (Is(u"-dump"))
            Options.Dump = true;
        if (Is(u"-v"))
            Options.Verbose = true;
        if (Is(u"-dir"))
            Options.ListDir = true;
        if (Is(u"-printfile"))
            Options.PrintFile = true;
        if (Is(u"-fullname"))
            Options.FullName = true;
        if (Is(u"-fid") && Follow(1)) {
            Options.FileIdGiven = true;
            ScanHex64(Arguments[++i], &Options.FileId);
        }
        if (Is(u"-rlog") && Follow(1)) {
            Options.VolumeLogFile = Arguments[++i];
        }
        if (Is(u"-attribute") && Follow(2)) {
            Options.AttributeGiven = true;
            ScanHex32(Arguments[++i], &Options.AttributeType);
            const char16_t* Name = Arguments[++i];
            if (Options.AttributeName != nullptr)
                HeapFree(GetProcessHeap(), 0, Options.AttributeName);
            Options.AttributeName = nullptr;
            if (Name[0] != 0) {
                Options.AttributeName = CopyName(Name);
                if (Options.AttributeName == nullptr) {
                    Console_Print("Not enough memory\n");
                    return false;
                }
            }
        }
        if (Is(u"-read") && Follow(2)) {
            Options.ReadGiven = true;
            ScanHex64(Arguments[++i], &Options.ReadOffset);
            ScanHex32(Arguments[++i], &Options.ReadSize);
        }
        if (Is(u"-seid") && Follow(2)) {
            Options.SeidGiven = true;
            ScanHex32(Arguments[++i], &Options.SeidMin);
            ScanHex32(Arguments[++i], &Options.SeidMax);
        }
        if (Is(u"-sehash") && Follow(2)) {
            Options.SehashGiven = true;
            ScanHex64(Arguments[++i], &Options.SehashMin);
            ScanHex64(Arguments[++i], &Options.SehashMax);
        }
        if (Is(u"-scanmft") && Follow(2)) {
            Options.ScanMftGiven = true;
            ScanHex64(Arguments[++i], &Options.ScanMftFirst);
            ScanHex64(Arguments[++i], &Options.ScanMftLast);
        }
        if (Is(u"-save") && Follow(1)) {
            Options.SaveFileName = Arguments[++i];
        }
    }
    return true;
}

void PrintHelp()
{
    static const char* const Lines[] = {
        "Usage: korvex [options]\n",
        "Options:\n",
        "    -? | -help\n",
        "    -vol VolnameName [-lockvol]\n",
        "    -v\n",
        "    -fid fileid [-dir] [-fullname] [-printfile] [-attribute Type Name [-read offset length [-dump] [-save SaveFileName]]]\n",
        "    -seid min max\n",
        "    -sehash min max\n",
        "\n",
        "-?\n",
        "-help\n",
        "    Display the help message\n",
        "-vol VolumeName\n",
        "    Specify the name of the volume. An example is \\\\.\\c:\n",
        "-lockvol\n",
        "    Only valid if -vol is specified, it will open the volume in exclusive mode\n",
        "-rlog VolumeLogFile\n",
        "    The volume log file.\n",
        "    If -vol is specified, it will generate volume log file that records all\n",
        "    the clusters accessed by this korvex command\n",
        "    If -vol is not specified, it will use the volume log file as input.\n",
        "    Volume log file contains 2 files, .idx and .dat file\n",
        "    For example, if \"-rlog c:\\abc\" is specified (with -vol option), it will generate \n",
        "    two files: c:\\abc.idx and c:\\abc.dat for the volume log\n",
        "-v\n",
        "    Output verbose information\n",
        "-fid fileid\n",
        "    Opens a file by file id\n",
        "-fullname\n",
        "    Print the full filename\n",
        "-printfile\n",
        "    Print the file information. Only valid if -fid is specified\n",
        "-dir\n",
        "    List all files/directories within a folder, only valid if -fid is specified on a directory\n",
        "-attribute Type Name\n",
        "    Locate an attribute within a file. Only valid if -fid is specified\n",
        "    Type specify the attribute type, for example 80 means $DATA, etc...\n",
        "    Name specify the attribute name\n",
        "    For example, \"korvex -vol \\\\.\\c: -fid 9 -attribute 80 $SDS\" will locate the attribute \n",
        "    $SDS's $DATA attribute\n",
        "-read offset length\n",
        "    only valid if -attribute is specified, it reads the data in the specified attribute\n",
        "-dump\n",
        "    only valid if -read is specified, it dumps the data read to standard output\n",
        "-save SaveFileName\n",
        "    only valid if -read is specified, it dumps the data read to a disk file specified by SaveFilename\n",
        "-seid min max\n",
        "    List all security id between min and max, if -v is specified, detail\n",
        "    infomration about each security descriptor is displayed\n",
        "-sehash min max\n",
        "    List all security id whose hash value between min and max, if -v is specified, detail\n",
        "    infomration about each security descriptor is displayed\n",
    };
    for (const char* Line : Lines)
        Console_Print("%hs", Line);
}

// ---- Directory listing ----

namespace {

// $FILE_NAME value, as an attribute and as the key of an $I30 entry.
// The fixed part of the value and the first name character.
constexpr uint32_t FileNameProbeLength = FileNameNameOffset + 2;


// Lines are gathered as UTF-8 and printed a batch at a time: a printer call
// and a conversion per line would cost more than reading the index. Names go
// through the same conversion as every name read from the volume, so a control
// character in one cannot end its line or drive the terminal.
class LineBatch {
public:
    static constexpr size_t Capacity = 65536;
    static constexpr size_t LongestLine = 19 + 6 + DiskTextBytesPerUnit * UINT8_MAX + 1;
    bool Allocate() { return Bytes_.Allocate(Capacity + 1); }
    void AddLine(uint64_t Reference, bool Directory, const char16_t* Name, uint32_t NameLength)
    {
        if (Used_ + LongestLine > Capacity)
            Flush();
        char* Out = reinterpret_cast<char*>(Bytes_.Get());
        static const char Digits[] = "0123456789abcdef";
        Out[Used_++] = '0';
        Out[Used_++] = 'x';
        for (int Shift = 60; Shift >= 0; Shift -= 4)
            Out[Used_++] = Digits[(Reference >> Shift) & 0xF];
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

// ---- Attribute read ----

namespace {

constexpr uint32_t TransferBufferSize = 0x1000;
// Without a dump the range moves in blocks of this size: one value read (one
// device request per run) and one write to the save file per block. Small
// enough for the block to stay in the processor's cache between the two
// copies, which is faster than fewer, larger calls.
constexpr uint32_t LargeTransferSize = 0x40000;

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
        DWORD Error = Wrote ? ERROR_WRITE_FAULT : LastErrorOfFailedCall();
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
// a block at a time; a block whose read fails is read again chunk by chunk,
// so the save file receives every chunk before the failing one and the
// failure names that chunk's offset.
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

    uint32_t BlockSize = Options.Dump ? TransferBufferSize : LargeTransferSize;
    if (BlockSize > Options.ReadSize)
        BlockSize = (Options.ReadSize + TransferBufferSize - 1) / TransferBufferSize * TransferBufferSize;
    HeapBuffer Buffer;
    if (!Buffer.Allocate(BlockSize)) {
        Console_Print("Not enough memory\n");
        return ERROR_OUTOFMEMORY;
    }
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

    DWORD Result = ERROR_SUCCESS;
    uint32_t Done = 0;
    bool Ended = false;
    while (Done < Options.ReadSize && !Ended && Result == ERROR_SUCCESS) {
        uint32_t Block = Options.ReadSize - Done < BlockSize ? Options.ReadSize - Done : BlockSize;
        uint32_t Delivered = 0;
        DWORD Error = NtfsAttribute_Read(Attribute, Options.ReadOffset + Done, Block, Buffer.Get(), &Delivered);
        if (Error != ERROR_SUCCESS && Block > TransferBufferSize) {
            // Again chunk by chunk, to find the chunk that fails.
            Delivered = 0;
            for (;;) {
                uint32_t Chunk = Block - Delivered < TransferBufferSize ? Block - Delivered : TransferBufferSize;
                uint32_t Got = 0;
                Error = NtfsAttribute_Read(Attribute, Options.ReadOffset + Done + Delivered, Chunk,
                                           Buffer.Get() + Delivered, &Got);
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
            HexDump(Done + At, Buffer.Get() + At, Delivered - At < TransferBufferSize ? Delivered - At : TransferBufferSize);
        DWORD WriteError = Save.Write(Buffer.Get(), Delivered, Options.SaveFileName);
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

// ---- Security descriptors ----


namespace {

// The SID part of an owner or group line: "NONE", "Invalid", its string form
// (kept in *String for the caller to release) or the conversion's error code.
void PrintDescriptorSid(BOOL Obtained, SidBytes Sid, DWORD SidLength, char16_t** String)
{
    if (!Obtained || Sid == nullptr) {
        Console_Print("NONE\n");
    } else if (!Sid_IsValid(Sid, SidLength)) {
        Console_Print("Invalid\n");
    } else if (Sid_ToString(Sid, SidLength, String)) {
        NTFS_ASSERT(*String != NULL);
        Console_Print("%s\n", *String);
    } else {
        Console_Print("???? (%d)\n", GetLastError());
    }
}

// One DACL entry after its index: flags and type, and for the allowed and
// denied forms the access mask and the trustee. Other forms end without a
// line break, so the next entry follows on the same line.
void PrintAce(const uint8_t* Ace, DWORD AceLength)
{
    LeReader Entry(Ace, AceLength);
    uint8_t Type = Entry.U8(AceTypeOffset);
    uint8_t Flags = Entry.U8(AceFlagsOffset);
    Console_Print("Flags=%.2x ", Flags);
    Console_Print((Flags & AceFlagInherited) != 0 ? "(I), " : "   , ");
    Console_Print("Type = %.2x ", Type);
    if (Type != AceTypeAccessAllowed && Type != AceTypeAccessDenied)
        return;
    // Acl_IsValid has made sure that these two forms hold their mask.
    uint32_t Mask = Entry.U32(AceMaskOffset);
    Console_Print(Type == AceTypeAccessAllowed ? "(ALLOW) , Mask = 0x%.8x, " : "(DENIED), Mask = 0x%.8x, ", Mask);
    DWORD SidLength = AceLength > AceSidOffset ? AceLength - static_cast<DWORD>(AceSidOffset) : 0;
    const uint8_t* Sid = Entry.Bytes(AceSidOffset, SidLength);
    char16_t* StrSidTmp = nullptr;
    if (Sid == nullptr || !Sid_IsValid(Sid, SidLength)) {
        Console_Print("Invalid sid\n");
    } else if (Sid_ToString(Sid, SidLength, &StrSidTmp)) {
        NTFS_ASSERT(StrSidTmp != NULL);
        Console_Print("Sid = %s\n", StrSidTmp);
        Sid_FreeString(StrSidTmp);
    } else {
        Console_Print("\nConvertSidToStringSid() failed with error %d\n", GetLastError());
    }
}

// The DACL line after "    DACL  : " and its inheritance word, then one line
// per entry.
void PrintDacl(const uint8_t* SecurityDescriptor, uint32_t Length)
{
    BOOL DaclPresent = FALSE;
    BOOL DaclDefaulted = FALSE;
    AclBytes Dacl = nullptr;
    DWORD DaclLength = 0;
    if (!Sd_GetDacl(SecurityDescriptor, Length, &DaclPresent, &Dacl, &DaclLength, &DaclDefaulted)) {
        Console_Print("Unable to get DACL (%d)\n", GetLastError());
        return;
    }
    // The caller has seen SdDaclPresent in the same control word.
    NTFS_ASSERT(DaclPresent);
    if (Dacl == nullptr) {
        Console_Print("DACL is NULL (everyone has access)\n");
        return;
    }
    if (!Acl_IsValid(Dacl, DaclLength)) {
        Console_Print("Invalid DACL\n");
        return;
    }
    AclSizeInfo SizeInformation{};
    if (!Acl_GetInformation(Dacl, DaclLength, &SizeInformation, sizeof(SizeInformation), AclSizeInfoClass)) {
        Console_Print("Unable to get the ACL size, error is %d\n", GetLastError());
        return;
    }
    Console_Print("AceCount = %d\n", SizeInformation.AceCount);
    for (DWORD i = 0; i < SizeInformation.AceCount; i++) {
        Console_Print("      [%.4d]: ", i);
        const void* Ace = nullptr;
        DWORD AceLength = 0;
        if (!Acl_GetAce(Dacl, DaclLength, i, &Ace, &AceLength)) {
            Console_Print("GetAce() failed with error %d\n", GetLastError());
            continue;
        }
        PrintAce(static_cast<const uint8_t*>(Ace), AceLength);
    }
}

} // namespace

// Prints the owner, group and DACL of a self-relative security descriptor of
// Length bytes, one line per DACL entry, between a line of hyphens and an
// empty line. Every part is located and checked against Length before it is
// read, so a damaged descriptor shows as invalid (as a whole, or the part that
// does not fit) rather than being read past its end. The SACL is not shown.
void PrintSecurityDescriptor(const uint8_t* SecurityDescriptor, uint32_t Length)
{
    char16_t* StrSidOwner = nullptr;
    char16_t* StrSidGroup = nullptr;
    Console_Print("----------------------------------------------------------------\n");
    do {
        if (SecurityDescriptor == nullptr || !Sd_IsValid(SecurityDescriptor, Length)) {
            Console_Print("    The security descriptor is invalid\n");
            break;
        }
        // A descriptor that passed the test above always yields its control.
        SdControl Control = 0;
        DWORD Revision = 0;
        Sd_GetControl(SecurityDescriptor, Length, &Control, &Revision);

        SidBytes SidOwner = nullptr;
        SidBytes SidGroup = nullptr;
        DWORD OwnerLength = 0;
        DWORD GroupLength = 0;
        BOOL Defaulted = FALSE;
        Console_Print("    Owner : ");
        BOOL Obtained = Sd_GetOwner(SecurityDescriptor, Length, &SidOwner, &OwnerLength, &Defaulted);
        PrintDescriptorSid(Obtained, SidOwner, OwnerLength, &StrSidOwner);
        Console_Print("    Group : ");
        Obtained = Sd_GetGroup(SecurityDescriptor, Length, &SidGroup, &GroupLength, &Defaulted);
        PrintDescriptorSid(Obtained, SidGroup, GroupLength, &StrSidGroup);

        if ((Control & SdDaclPresent) == 0) {
            Console_Print("    DACL not present\n");
            break;
        }
        Console_Print("    DACL  : ");
        Console_Print((Control & SdDaclProtected) != 0 ? "Not inherited, " : "Inherited, ");
        PrintDacl(SecurityDescriptor, Length);
    } while (false);
    Console_Print("\n");
    if (StrSidOwner != nullptr)
        Sid_FreeString(StrSidOwner);
    if (StrSidGroup != nullptr)
        Sid_FreeString(StrSidGroup);
}

namespace {

// The 20 bytes that are both the data part of every "$SII" and "$SDH" index
// entry and the header of every "$SDS" entry; the descriptor follows the
// latter.
constexpr size_t SecurityEntryHashOffset = 0x00;       // 4
constexpr size_t SecurityEntrySecurityIdOffset = 0x04; // 4
constexpr size_t SecurityEntryOffsetOffset = 0x08;     // 8, of the "$SDS" entry in the stream
constexpr size_t SecurityEntryLengthOffset = 0x10;     // 4, of the "$SDS" entry, this header included
constexpr uint32_t SecurityEntryHeaderLength = 0x14;
constexpr uint64_t SecureFileReference = 9;

// Reads the "$SDS" entry of Length bytes at Offset and reports the descriptor
// that follows its header: only the bytes actually read, so an entry shorter
// than its header, or cut short by the end of the stream, shows as invalid
// rather than as whatever the buffer held. ERROR_OUTOFMEMORY stops the
// listing; a read error is reported here and the listing goes on.
DWORD PrintSdsEntry(NtfsAttribute* Sds, uint64_t Offset, uint32_t Length)
{
    // "$SDS" is written in 256 KiB blocks that no entry crosses; a longer
    // length is damage, and only the bytes a block can hold are read.
    constexpr uint32_t SdsBlockSize = 0x40000;
    if (Length > SdsBlockSize)
        Length = SdsBlockSize;
    HeapBuffer Entry;
    if (!Entry.Allocate(Length))
        return ERROR_OUTOFMEMORY;
    uint32_t BytesRead = 0;
    DWORD Error = NtfsAttribute_Read(Sds, Offset, Length, Entry.Get(), &BytesRead);
    if (Error != ERROR_SUCCESS) {
        Console_Print("Unable to read data from $SECURE::$SDS ($DATA) attribute, error is %d\n", Error);
        return ERROR_SUCCESS;
    }
    LeReader Read(Entry.Get(), BytesRead);
    uint32_t DescriptorLength = BytesRead > SecurityEntryHeaderLength ? BytesRead - SecurityEntryHeaderLength : 0;
    PrintSecurityDescriptor(Read.Bytes(SecurityEntryHeaderLength, DescriptorLength), DescriptorLength);
    return ERROR_SUCCESS;
}

} // namespace

// "-seid MIN MAX" (mode 0, "$SII", keys of one 32-bit word) and "-sehash MIN
// MAX" (mode 1, "$SDH", hash then security id): lists, from the first key at
// or above StartKey up to and including EndKey, each descriptor's security
// id, "$SDS" position, length and hash, and with -v the descriptor itself.
// The 8 little-endian bytes of each 64-bit key are the key words. Returns
// ERROR_SUCCESS when a key above EndKey ended the listing, ERROR_FILE_NOT_FOUND
// when the index ran out (or held no key at or above StartKey, or there is no
// "$SDS"), else the code of the failed step.
DWORD ListSecurityIds(NtfsVolume* Volume, uint64_t StartKey, uint64_t EndKey, uint32_t Mode)
{
    if (Mode != ListSecurityIdsBySecurityId && Mode != ListSecurityIdsByHash)
        return ERROR_INVALID_PARAMETER;
    NtfsFile* SecureFile = nullptr;
    DWORD Error = NtfsFile_Open(Volume, SecureFileReference, &SecureFile);
    if (Error != ERROR_SUCCESS)
        return Error;
    NtfsIndex Index{};
    HeapBuffer Entry;
    do {
        NtfsAttribute* Sds = NtfsFile_FindDataAttribute(SecureFile, ATTRIBUTE_DATA, u"$SDS");
        if (Sds == nullptr) {
            Error = ERROR_FILE_NOT_FOUND;
            break;
        }
        Console_Print("SecurityId    Location             Length       Hash\n");
        Error = NtfsIndex_Open(SecureFile, Mode == ListSecurityIdsBySecurityId ? u"$SII" : u"$SDH", &Index);
        if (Error != ERROR_SUCCESS)
            break;
        uint32_t EntryBufferSize = NtfsIndex_GetEntryBufferSize(&Index);
        if (!Entry.Allocate(EntryBufferSize)) {
            Error = ERROR_OUTOFMEMORY;
            break;
        }
        uint32_t KeyLength = Mode == ListSecurityIdsBySecurityId ? 4 : 8;
        uint8_t Start[8];
        uint8_t End[8];
        StoreLe64(Start, StartKey);
        StoreLe64(End, EndKey);
        Error = NtfsIndex_Seek(&Index, Start, KeyLength);
        while (Error == ERROR_SUCCESS) {
            uint32_t EntryLength = EntryBufferSize;
            Error = NtfsIndex_Next(&Index, Entry.Get(), &EntryLength);
            LeReader View(Entry.Get(), EntryLength < EntryBufferSize ? EntryLength : EntryBufferSize);
            // An entry must hold its key and its data part; one that does
            // not ends the listing as damaged data.
            const uint8_t* Key = nullptr;
            const uint8_t* Data = nullptr;
            if (Error == ERROR_SUCCESS) {
                Key = View.Bytes(IndexEntryKeyOffset, KeyLength);
                Data = View.Bytes(View.U16(IndexEntryDataOffsetOffset), SecurityEntryHeaderLength);
                if (View.Failed)
                    Error = ERROR_INVALID_DATA;
            }
            if (Error != ERROR_SUCCESS) {
                if (Error != ERROR_FILE_NOT_FOUND)
                    Console_Print("Error occured during listing files, error is %d\n", Error);
                break;
            }
            if (NtfsIndex_CompareUlongs(Key, End, KeyLength) > 0)
                break;
            LeReader Header(Data, SecurityEntryHeaderLength);
            uint64_t Offset = Header.U64(SecurityEntryOffsetOffset);
            uint32_t Length = Header.U32(SecurityEntryLengthOffset);
            Console_Print("0x%.8x    0x%.16I64x   0x%.8x   0x%.8x\n", Header.U32(SecurityEntrySecurityIdOffset), Offset,
                          Length, Header.U32(SecurityEntryHashOffset));
            if (ProgramOptions.Verbose)
                Error = PrintSdsEntry(Sds, Offset, Length);
        }
    } while (false);
    NtfsIndex_Release(&Index);
    NtfsFile_Close(SecureFile);
    return Error;
}

// ---- MFT scan ----

namespace {

// A $STANDARD_INFORMATION value holds the security id only in its 72-byte
// form (NTFS 3.0 on); the older 48-byte form ends before it.
constexpr size_t StandardInformationSecurityIdOffset = 0x34;
constexpr uint64_t StandardInformationWithSecurityId = 0x48;
// File references carry 48 bits of segment number: no record lies beyond.
constexpr uint64_t SegmentNumberLimit = 1ull << 48;

enum class ScanResult { NoSecurityId, Corrupted, SecurityId };

// Finds the first $STANDARD_INFORMATION record in the attribute records of a
// record whose header has been checked, and its security id. The walk stops
// quietly at the end marker or at an attribute record whose length does not
// fit; only a value that lies outside its own attribute record is corrupt.
ScanResult FindSecurityId(const uint8_t* Record, uint32_t FirstAttribute, uint32_t BytesInUse, uint32_t* SecurityId)
{
    uint32_t Position = FirstAttribute;
    uint32_t Available = BytesInUse - FirstAttribute;
    uint32_t Length;
    for (;; Position += Length, Available -= Length) {
        // At least 16 bytes, all of them among the bytes in use, or 4 for the
        // end marker, or 0.
        Length = NtfsAttribute_RecordLength(Record + Position, Available);
        if (Length == 0 || Length == 4)
            return ScanResult::NoSecurityId;
        if (LeReader(Record + Position, Length).U32(AttrTypeCodeOffset) == ATTRIBUTE_STANDARD_INFORMATION)
            break;
    }
    LeReader Attribute(Record + Position, Length);
    // The resident value's length and offset; an attribute record too short
    // to hold them cannot hold its value either.
    uint32_t ValueLength = Attribute.U32(AttrValueLengthOffset);
    uint32_t ValueOffset = Attribute.U16(AttrValueOffsetOffset);
    uint64_t ValueEnd = static_cast<uint64_t>(ValueOffset) + ValueLength;
    if (Attribute.Failed || ValueOffset >= Attribute.Size || ValueEnd == 0 || ValueEnd > Attribute.Size)
        return ScanResult::Corrupted;
    if (ValueLength < StandardInformationWithSecurityId)
        return ScanResult::NoSecurityId;
    *SecurityId = Attribute.U32(ValueOffset + StandardInformationSecurityIdOffset);
    return ScanResult::SecurityId;
}

} // namespace

// "-scanmft FIRST LAST": reads every record in use from FIRST to LAST (cut at
// the last record of $MFT, which is stored back into ProgramOptions) and lists
// those whose $STANDARD_INFORMATION security id lies in MinSecurityId to
// MaxSecurityId. Damaged records are reported and skipped; nothing stops the
// scan. Returns the code of a failed $MFT open, else that of the last record
// read (0 when none was read).
namespace {

// The records that the $MFT's run table and the volume can hold at most.
uint64_t ReadableMftRecords(NtfsVolume* Volume, NtfsAttribute* MftData)
{
    uint64_t Clusters = 0;
    for (uint32_t i = 0; i < MftData->RunCount; i++)
        Clusters = MftData->Runs[i].Length > Volume->TotalClusters - Clusters ? Volume->TotalClusters
                                                                               : Clusters + MftData->Runs[i].Length;
    if (Volume->BytesPerCluster < MFT_RECORD_SIZE)
        return Clusters / (MFT_RECORD_SIZE / Volume->BytesPerCluster);
    uint64_t PerCluster = Volume->BytesPerCluster / MFT_RECORD_SIZE;
    return Clusters > UINT64_MAX / PerCluster ? UINT64_MAX : Clusters * PerCluster;
}

} // namespace

DWORD ScanMft(NtfsVolume* Volume, uint32_t MinSecurityId, uint32_t MaxSecurityId)
{
    NtfsFile* MftFile = nullptr;
    DWORD Error = NtfsFile_Open(Volume, 0, &MftFile);
    if (Error != ERROR_SUCCESS) {
        Console_Print("Unable to open $MFT\n");
        return Error;
    }
    do {
        NtfsAttribute* MftData = NtfsFile_FindAttribute(MftFile, ATTRIBUTE_DATA, nullptr, 0);
        if (MftData == nullptr) {
            Console_Print("Unable to locate $MFT's default $DATA attribute\n");
            break;
        }
        uint64_t RecordCount = NtfsAttribute_GetValueLength(MftData) / MFT_RECORD_SIZE;
        Console_Print("Total 0x%I64x recors in $MFT\n", RecordCount);
        if (RecordCount != 0 && ProgramOptions.ScanMftLast >= RecordCount)
            ProgramOptions.ScanMftLast = RecordCount - 1;
        Console_Print("Fileid                 SecurityId\n");
        // A damaged data size may claim more records than file references can
        // name; reading those would show lower records under wrong numbers.
        uint64_t Last = ProgramOptions.ScanMftLast;
        if (Last >= SegmentNumberLimit)
            Last = SegmentNumberLimit - 1;
        // Nor can there be more records than the $MFT's runs map, or than
        // the volume holds: a damaged data size must not make the scan walk
        // billions of records that cannot be read.
        uint64_t Readable = ReadableMftRecords(Volume, MftData);
        if (Readable == 0)
            break;
        if (Last >= Readable)
            Last = Readable - 1;
        if (RecordCount == 0 || ProgramOptions.ScanMftFirst > Last)
            break;

        uint8_t Record[MFT_RECORD_SIZE];
        for (uint64_t Segment = ProgramOptions.ScanMftFirst;; Segment++) {
            Error = NtfsVolume_ReadFileRecord(Volume, Segment, Record);
            if (Error == ERROR_FILE_NOT_FOUND) {
                // not in use
            } else if (Error != ERROR_SUCCESS) {
                Console_Print("Error: Unable to read MFT record, file id is 0x%I64x\n", Segment);
            } else {
                LeReader Header(Record, sizeof(Record));
                uint32_t FirstAttribute = Header.U16(RecordFirstAttributeOffset);
                uint32_t BytesInUse = Header.U32(RecordBytesInUseOffset);
                uint32_t SecurityId = 0;
                if (FirstAttribute >= MFT_RECORD_SIZE || FirstAttribute >= BytesInUse ||
                    BytesInUse > MFT_RECORD_SIZE) {
                    Console_Print("Error: MFT data corruption, file id is 0x%I64x\n", Segment);
                } else {
                    switch (FindSecurityId(Record, FirstAttribute, BytesInUse, &SecurityId)) {
                    case ScanResult::Corrupted:
                        Console_Print("Error: $STANDARD_INFORMATION is corrupted, file id is 0x%I64x\n", Segment);
                        break;
                    case ScanResult::SecurityId:
                        if (SecurityId >= MinSecurityId && SecurityId <= MaxSecurityId)
                            Console_Print("0x%.16I64x     0x%.8x\n", Segment, SecurityId);
                        break;
                    case ScanResult::NoSecurityId:
                        break;
                    }
                }
            }
            if (Segment == Last)
                break;
        }
    } while (false);
    NtfsFile_Close(MftFile);
    return Error;
}

// ---- Main flow ----

int KorvexMain(int ArgumentCount, char16_t** Arguments)
{
    NtfsVolume* VolumeHandle = nullptr;
    NtfsFile* FileHandle = nullptr;

    Console_Print("korvex version %hs (%hs, %hs)\n", ProgramVersion, __DATE__, __TIME__);
    do {
        if (ArgumentCount <= 1) {
            Console_Print("for more information, type korvex -?\n");
            break;
        }
        if (!ParseOptions(ArgumentCount, Arguments))
            return -1;
        if (ProgramOptions.ShowHelp) {
            PrintHelp();
            return -1;
        }
        if (ProgramOptions.VolumeName == nullptr && ProgramOptions.VolumeLogFile == nullptr)
            Console_Print("Either -vol or -rlog must be specified\n");

        DWORD Error = NtfsVolume_Open(ProgramOptions.VolumeName, ProgramOptions.VolumeLogFile, &VolumeHandle,
                                      ProgramOptions.LockVolume);
        if (Error != ERROR_SUCCESS) {
            Console_Print("Unable to open the volume %s, error is %d\n", ProgramOptions.VolumeName, Error);
            break;
        }
        NTFS_ASSERT(VolumeHandle != NULL);
        NtfsVolume_Print(VolumeHandle);

        if (ProgramOptions.FileIdGiven) {
            Error = NtfsFile_Open(VolumeHandle, ProgramOptions.FileId, &FileHandle);
            if (Error != ERROR_SUCCESS) {
                Console_Print("Unable to open the file for fid 0x%I64x, error is %d\n", ProgramOptions.FileId, Error);
                break;
            }
            if (ProgramOptions.PrintFile)
                NtfsFile_Print(FileHandle);
            if (ProgramOptions.FullName) {
                Console_Print("Full filename: ");
                NtfsFile_PrintFullName(FileHandle);
                Console_Print("\n");
            }
            if (ProgramOptions.ListDir)
                ListDirectoryIfDirectory(FileHandle);
            if (ProgramOptions.AttributeGiven)
                ReadAttributeData(FileHandle);
        }

        if (ProgramOptions.SeidGiven && !ProgramOptions.ScanMftGiven) {
            Error = ListSecurityIds(VolumeHandle, ProgramOptions.SeidMin, ProgramOptions.SeidMax,
                                    ListSecurityIdsBySecurityId);
            if (Error != ERROR_SUCCESS && Error != ERROR_FILE_NOT_FOUND)
                Console_Print("Search security id failed, error is 0x%x\n", Error);
        }
        if (ProgramOptions.SehashGiven) {
            Error = ListSecurityIds(VolumeHandle, ProgramOptions.SehashMin, ProgramOptions.SehashMax,
                                    ListSecurityIdsByHash);
            if (Error != ERROR_SUCCESS)
                Console_Print("Search security id failed, error is 0x%x\n", Error);
        }
        if (ProgramOptions.ScanMftGiven)
            ScanMft(VolumeHandle, ProgramOptions.SeidMin, ProgramOptions.SeidMax);

        if (ProgramOptions.VolumeLogFile != nullptr && ProgramOptions.VolumeName != nullptr) {
            Console_Print("Dumping data to log...\n");
            Error = NtfsVolume_DumpLog(VolumeHandle);
            if (Error != ERROR_SUCCESS)
                Console_Print("Unable to dump the rlog, error is %d\n", Error);
            else
                Console_Print("Done\n");
        }
    } while (false);

    if (FileHandle != nullptr)
        NtfsFile_Close(FileHandle);
    if (VolumeHandle != nullptr)
        NtfsVolume_Close(VolumeHandle);
    return 0;
}
