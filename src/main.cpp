#include "main.h"

#include <cstring>

#include "../platform/console.h"
#include "attr.h"
#include "file.h"
#include "ntfstool.h"
#include "volume.h"

ProgramOptionsRecord ProgramOptions;

namespace {

constexpr const char* ProgramVersion = "1.00.0003";

bool Equals(const char16_t* Argument, const char16_t* Option)
{
    size_t i = 0;
    for (; Argument[i] != 0 && Option[i] != 0; i++)
        if (Argument[i] != Option[i])
            return false;
    return Argument[i] == Option[i];
}

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
        auto Is = [&](const char16_t* Option) { return Equals(Arguments[i], Option); };
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

// Prints Data 16 bytes a line: the address (Base plus the line's offset,
// wrapping at 32 bits), the hex column with a dash after the eighth byte, and
// the characters, with bytes outside 0x20..0x7F shown as dots.
void HexDump(uint32_t Base, const uint8_t* Data, uint32_t Length)
{
    char16_t HexColumn[16 * 3 + 1];
    char16_t CharColumn[16 + 1];
    static const char16_t Digits[] = u"0123456789abcdef";
    for (uint32_t i = 0; i < Length; i++) {
        uint32_t Column = i % 16;
        if (Column == 0) {
            HexColumn[0] = 0;
            CharColumn[0] = 0;
        }
        uint8_t Byte = Data[i];
        HexColumn[Column * 3] = Digits[Byte >> 4];
        HexColumn[Column * 3 + 1] = Digits[Byte & 0xF];
        HexColumn[Column * 3 + 2] = Column == 7 ? u'-' : u' ';
        HexColumn[Column * 3 + 3] = 0;
        CharColumn[Column] = Byte >= 0x20 && Byte <= 0x7F ? Byte : u'.';
        CharColumn[Column + 1] = 0;
        if (Column == 15)
            Console_Print("%.8lx  %s %s\n", Base + (i - 15), HexColumn, CharColumn);
    }
    uint32_t Partial = Length % 16;
    if (Partial != 0) {
        Console_Print("%.8lx  %s", Base + (Length & ~0xFu), HexColumn);
        for (uint32_t i = Partial; i < 16; i++)
            Console_Print("   ");
        Console_Print(" %s\n", CharColumn);
    }
}

// Formats an NTFS time stamp as local "MM-DD-YYYY hh:mm:ss"; 0 (no time) as
// the empty string. A time the platform cannot convert shows zeros rather than
// nothing, which would read as "no time".
void FormatFileTime(uint64_t Time, char16_t* Text, size_t TextLength)
{
    if (Text == nullptr || TextLength == 0)
        return;
    Text[0] = 0;
    if (Time == 0)
        return;
    FILETIME Utc{static_cast<DWORD>(Time), static_cast<DWORD>(Time >> 32)};
    FILETIME Local{};
    SYSTEMTIME Fields{};
    if (!FileTimeToLocalFileTime(&Utc, &Local) || !FileTimeToSystemTime(&Local, &Fields))
        Fields = SYSTEMTIME{};
    std::string Formatted = Console_Format("%.2d-%.2d-%.4d %.2d:%.2d:%.2d", Fields.wMonth, Fields.wDay, Fields.wYear,
                                           Fields.wHour, Fields.wMinute, Fields.wSecond);
    size_t i = 0;
    for (; i < Formatted.size() && i + 1 < TextLength; i++)
        Text[i] = static_cast<char16_t>(Formatted[i]);
    Text[i] = 0;
}

// ---- Directory listing ----

// "-dir": lists the file's $I30 index when its $FILE_NAME marks a directory.
void ListDirectoryIfDirectory(NtfsFile* FileHandle)
{
    (void)FileHandle;
}

DWORD ListDirectory(NtfsFile* File)
{
    (void)File;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// ---- Attribute read ----

namespace {

constexpr uint32_t TransferBufferSize = 0x1000;

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
    HANDLE Handle = INVALID_HANDLE_VALUE;
};

} // namespace

// "-attribute TYPE NAME [-read OFFSET LENGTH [-dump] [-save FILE]]": locates
// the attribute, then reads the range in 4096-byte chunks, dumping each with
// addresses counted from the start of the range and/or appending it to a new
// save file, and prints the total.
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

    HeapBuffer Buffer;
    if (!Buffer.Allocate(TransferBufferSize)) {
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
    while (Done < Options.ReadSize) {
        uint32_t Chunk = Options.ReadSize - Done < TransferBufferSize ? Options.ReadSize - Done : TransferBufferSize;
        uint64_t Offset = Options.ReadOffset + Done;
        uint32_t Delivered = 0;
        DWORD Error = NtfsAttribute_Read(Attribute, Offset, Chunk, Buffer.Get(), &Delivered);
        if (Error != ERROR_SUCCESS) {
            Console_Print("Unable to read data from the file at offset 0x%I64x\n", Offset);
            Result = Error;
            break;
        }
        if (Delivered == 0)
            break;
        if (Options.Dump)
            HexDump(Done, Buffer.Get(), Delivered);
        if (Save.Handle != INVALID_HANDLE_VALUE) {
            DWORD Written = 0;
            BOOL Wrote = WriteFile(Save.Handle, Buffer.Get(), Delivered, &Written, nullptr);
            if (!Wrote || Written < Delivered) {
                // A short write that reports success carries no code of its own.
                Error = Wrote ? ERROR_WRITE_FAULT : LastErrorOfFailedCall();
                Console_Print("Unable to write to file %s, error is %d\n", Options.SaveFileName, Error);
                return Error;
            }
        }
        Done += Delivered;
    }
    Console_Print("Total 0x%x bytes read\n", Done);
    return Result;
}

// ---- Security descriptors ----

void PrintSecurityDescriptor(const uint8_t* SecurityDescriptor, uint32_t Length)
{
    (void)SecurityDescriptor;
    (void)Length;
}

DWORD ListSecurityIds(NtfsVolume* Volume, uint64_t StartKey, uint64_t EndKey, uint32_t Mode)
{
    (void)Volume;
    (void)StartKey;
    (void)EndKey;
    (void)Mode;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// ---- MFT scan ----

DWORD ScanMft(NtfsVolume* Volume, uint32_t MinSecurityId, uint32_t MaxSecurityId)
{
    (void)Volume;
    (void)MinSecurityId;
    (void)MaxSecurityId;
    return ERROR_CALL_NOT_IMPLEMENTED;
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
