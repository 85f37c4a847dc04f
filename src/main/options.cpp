// The command line: the program-wide settings, the scanf-like hexadecimal
// scan, option parsing and the help text.
#include "../main.h"

#include <cstring>

#include "../../platform/console.h"
#include "../ntfstool.h"

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
