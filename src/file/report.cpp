// The file reports: the file record with every attribute, and the full path.
#include "../file.h"

#include <cstring>
#include <vector>

#include "../../platform/console.h"
#include "../attr/attribute.h"
#include "../ntfstool.h"
#include "../volume/record.h"

namespace {

constexpr uint32_t MaximumPathDepth = 1024;

void PrintRule(char Character)
{
    char Line[66];
    memset(Line, Character, 65);
    Line[65] = 0;
    Console_Print("%hs\n", Line);
}

// Prints the path of File from the root down, once every level above it has
// resolved; on any failure nothing is printed. Path holds the segment numbers
// of the levels below, so that a parent reference leading back into the path
// ends the walk instead of recursing without end.
DWORD PrintFullNameFrom(NtfsFile* File, std::vector<uint64_t>* Path)
{
    BOOLEAN IsRoot = 0;
    DWORD Error = NtfsFile_IsRootDirectory(File, &IsRoot);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (IsRoot) {
        Console_Print("\\");
        return ERROR_SUCCESS;
    }
    uint64_t Segment = NtfsReference_GetSegmentNumber(File->FileReference);
    for (uint64_t Visited : *Path)
        if (Visited == Segment)
            return ERROR_INVALID_DATA;
    if (Path->size() >= MaximumPathDepth)
        return ERROR_INVALID_DATA;
    if (!TryResize(Path, Path->size() + 1))
        return ERROR_OUTOFMEMORY;
    Path->back() = Segment;

    NtfsAttribute* FileName = NtfsFile_FindAttribute(File, ATTRIBUTE_FILE_NAME, nullptr, 0);
    if (FileName == nullptr)
        FileName = NtfsFile_FindAttribute(File, ATTRIBUTE_FILE_NAME, nullptr, 1);
    if (FileName == nullptr)
        return ERROR_FILE_NOT_FOUND;
    const uint8_t* Value = nullptr;
    uint64_t ValueLength = 0;
    Error = NtfsAttribute_GetResidentValue(FileName, &Value, &ValueLength);
    if (Error != ERROR_SUCCESS)
        return Error;
    LeReader Name(Value, Value != nullptr ? static_cast<size_t>(ValueLength) : 0);
    uint32_t NameLength = Name.U8(FileNameLengthOffset);
    if (Name.Failed || !Name.Has(FileNameNameOffset, static_cast<size_t>(NameLength) * 2))
        return ERROR_INVALID_DATA;

    NtfsFile* Parent = nullptr;
    Error = NtfsFile_Open(File->VolumeHandle, Name.U64(FileNameParentOffset), &Parent);
    if (Error != ERROR_SUCCESS)
        return Error;
    Error = PrintFullNameFrom(Parent, Path);
    NtfsFile_Close(Parent);
    if (Error != ERROR_SUCCESS)
        return Error;

    if (NameLength > 0) {
        HeapBuffer Units;
        if (Units.Allocate(static_cast<size_t>(NameLength) * sizeof(char16_t))) {
            char16_t* Text = reinterpret_cast<char16_t*>(Units.Get());
            for (uint32_t i = 0; i < NameLength; i++)
                Text[i] = static_cast<char16_t>(Name.U16(FileNameNameOffset + 2 * i));
            PrintCountedName(Text, NameLength);
        }
    }
    if ((Name.U32(FileNameAttributesOffset) & FILE_NAME_DIRECTORY) != 0)
        Console_Print("\\");
    return ERROR_SUCCESS;
}

} // namespace

// The "File information" report from the base record's header, then the
// report of every attribute of list 0 and list 1.
void NtfsFile_Print(NtfsFile* FileHandle)
{
    LeReader Record(FileHandle->Record, MFT_RECORD_SIZE);
    Console_Print("File information:\n");
    PrintRule('=');
    Console_Print("    SegmentNumber*  : 0x%.16I64x\n", NtfsReference_GetSegmentNumber(FileHandle->FileReference));
    Console_Print("    LSN             : 0x%.16I64x\n", Record.U64(RecordLsnOffset));
    Console_Print("    SequenceNumber  : 0x%.4hx\n", Record.U16(RecordSequenceOffset));
    uint64_t StoredSegment =
        (static_cast<uint64_t>(Record.U16(RecordSegmentHighOffset)) << 32) | Record.U32(RecordSegmentLowOffset);
    Console_Print("    SegmentNumber   : 0x%.16I64x\n", StoredSegment);
    Console_Print("    ReferenceCount  : 0x%.4hx\n", Record.U16(RecordReferenceCountOffset));
    Console_Print("    Flags           : 0x%.4hx\n", Record.U16(RecordFlagsOffset));
    for (uint32_t Index = 0; Index < 2; Index++) {
        PrintRule('-');
        Console_Print("    List[%d]: Total Attributes: 0x%.8x\n", static_cast<int>(Index), FileHandle->AttributeCount[Index]);
        for (uint32_t Slot = 0; Slot < FileHandle->AttributeSlots[Index]; Slot++)
            if (FileHandle->AttributeList[Index][Slot] != nullptr)
                NtfsAttribute_Print(FileHandle->AttributeList[Index][Slot]);
    }
    PrintRule('=');
    Console_Print("\n");
}

// Prints the file's path: the root as one backslash, each directory's name
// followed by a backslash, then the file's name. Prints nothing on failure.
DWORD NtfsFile_PrintFullName(NtfsFile* FileHandle)
{
    if (!NtfsFile_IsValid(FileHandle))
        return ERROR_INVALID_PARAMETER;
    std::vector<uint64_t> Path;
    return PrintFullNameFrom(FileHandle, &Path);
}
