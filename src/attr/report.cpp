// The attribute information report, with the decoded $STANDARD_INFORMATION
// and $FILE_NAME values.
#include "attribute.h"

#include "../../platform/console.h"
#include "../ntfstool.h"

namespace {

// $STANDARD_INFORMATION value.
constexpr size_t InformationOwnerIdOffset = 0x30;
constexpr size_t InformationFullLength = 72; // NTFS 3.0 and later; 48 before

const char* const TimeLabels[4] = {
    "    CreationTime        : %s\n",
    "    LastModificationTime: %s\n",
    "    LastChangeTime      : %s\n",
    "    LastAccessTime      : %s\n",
};

// The resident value of a handle as a bounded view; empty for non-resident
// handles, whose values the reports do not decode.
LeReader ResidentView(const NtfsAttribute* Attribute)
{
    if (!Attribute->Resident || Attribute->Value == nullptr)
        return LeReader();
    return LeReader(Attribute->Value, static_cast<size_t>(Attribute->ValueLength));
}

// Prints the four time stamps that start at Offset, each only when it lies
// inside the value.
void PrintTimes(LeReader* Value, size_t Offset)
{
    for (size_t i = 0; i < 4; i++) {
        if (!Value->Has(Offset + 8 * i, 8))
            continue;
        char16_t Text[FILE_TIME_TEXT_LENGTH];
        FormatFileTime(Value->U64(Offset + 8 * i), Text, FILE_TIME_TEXT_LENGTH);
        Console_Print(TimeLabels[i], Text);
    }
}

void PrintWord(LeReader* Value, size_t Offset, const char* Format)
{
    if (Value->Has(Offset, 4))
        Console_Print(Format, Value->U32(Offset));
}

void PrintQuad(LeReader* Value, size_t Offset, const char* Format)
{
    if (Value->Has(Offset, 8))
        Console_Print(Format, Value->U64(Offset));
}

} // namespace

const char16_t* NtfsAttribute_TypeName(uint32_t TypeCode)
{
    switch (TypeCode) {
    case 0x10: return u"$STANDARD_INFORMATION";
    case 0x20: return u"$ATTRIBUTE_LIST";
    case 0x30: return u"$FILE_NAME";
    case 0x40: return u"$OBJECT_ID";
    case 0x50: return u"$SECURITY_DESCRIPTOR";
    case 0x60: return u"$VOLUME_NAME";
    case 0x70: return u"$VOLUME_INFORMATION";
    case 0x80: return u"$DATA";
    case 0x90: return u"$INDEX_ROOT";
    case 0xA0: return u"$INDEX_ALLOCATION";
    case 0xB0: return u"$BITMAP";
    case 0xC0: return u"$REPARSE_POINT";
    case 0xD0: return u"$EA_INFORMATION";
    case 0xE0: return u"$EA";
    default: return u"$???";
    }
}

// Decoded $STANDARD_INFORMATION lines. Values written before NTFS 3.0 are 48
// bytes long and end before the owner id; every line is printed only when its
// field lies inside the value.
void NtfsAttribute_PrintStandardInformation(NtfsAttribute* AttributeHandle)
{
    LeReader Value = ResidentView(AttributeHandle);
    PrintTimes(&Value, 0x00);
    PrintWord(&Value, 0x20, "    FileAttributes      : 0x%.8x\n");
    PrintWord(&Value, 0x24, "    MaximumVersions     : 0x%.8x\n");
    PrintWord(&Value, 0x28, "    VersionNumber       : 0x%.8x\n");
    PrintWord(&Value, 0x2C, "    ClassId             : 0x%.8x\n");
    if (Value.Size < InformationFullLength)
        return;
    PrintWord(&Value, InformationOwnerIdOffset, "    OwnerId             : 0x%.8x\n");
    PrintWord(&Value, 0x34, "    SecurityId          : 0x%.8x\n");
    PrintQuad(&Value, 0x38, "    QuotaCharged        : 0x%.16I64x\n");
    PrintQuad(&Value, 0x40, "    Usn                 : 0x%.16I64x\n");
}

// Decoded $FILE_NAME lines, each only when its field lies inside the value.
void NtfsAttribute_PrintFileName(NtfsAttribute* AttributeHandle)
{
    LeReader Value = ResidentView(AttributeHandle);
    PrintQuad(&Value, FileNameParentOffset, "    ParentDirectory     : 0x%.16I64x\n");
    if (Value.Has(FileNameNamespaceOffset, 1))
        Console_Print("    Flags               : 0x%.2x\n", Value.U8(FileNameNamespaceOffset));
    if (Value.Has(FileNameLengthOffset, 1)) {
        uint32_t Length = Value.U8(FileNameLengthOffset);
        if (Value.Has(FileNameNameOffset, static_cast<size_t>(Length) * 2)) {
            Console_Print("    Filename            : ");
            HeapBuffer Units;
            if (Length > 0 && Units.Allocate(static_cast<size_t>(Length) * sizeof(char16_t))) {
                char16_t* Text = reinterpret_cast<char16_t*>(Units.Get());
                for (uint32_t i = 0; i < Length; i++)
                    Text[i] = static_cast<char16_t>(Value.U16(FileNameNameOffset + 2 * i));
                PrintCountedName(Text, Length);
            }
            Console_Print("\n");
        }
    }
    PrintTimes(&Value, FileNameTimesOffset);
    PrintQuad(&Value, FileNameAllocatedOffset, "    AllocatedLength     : 0x%.16I64x\n");
    PrintQuad(&Value, FileNameSizeOffset, "    FileSize            : 0x%.16I64x\n");
    PrintWord(&Value, FileNameAttributesOffset, "    FileAttributes      : 0x%.8x\n");
    if (Value.Has(FileNameEaSizeOffset, 2))
        Console_Print("    PackedEaSize        : 0x%.8x\n", static_cast<uint32_t>(Value.U16(FileNameEaSizeOffset)));
}

// One "Attribute information" report: the header fields, then the resident
// value as a hex dump or the run table, then the decoded value of
// $STANDARD_INFORMATION and $FILE_NAME.
void NtfsAttribute_Print(NtfsAttribute* AttributeHandle)
{
    Console_Print("Attribute information:\n");
    Console_Print("=================================================================\n");
    Console_Print("    TypeCode        : 0x%.8x (%s)\n", AttributeHandle->TypeCode,
                  NtfsAttribute_TypeName(AttributeHandle->TypeCode));
    Console_Print("    Instance        : 0x%.4hx\n", AttributeHandle->Instance);
    Console_Print("    Name            : ");
    if (AttributeHandle->Name != nullptr) {
        // Counted, as on disk: a NUL unit inside the name still shows.
        LeReader Record(AttributeHandle->Record, AttributeHandle->RecordLength);
        PrintCountedName(AttributeHandle->Name, Record.U8(AttrNameLengthOffset));
    }
    Console_Print("\n");
    Console_Print("    Resident        : %s\n", AttributeHandle->Resident ? u"Yes" : u"No");
    if (AttributeHandle->Resident) {
        uint32_t Length = static_cast<uint32_t>(AttributeHandle->ValueLength);
        Console_Print("    Length          : 0x%.8x\n", Length);
        if (Length != 0)
            HexDump(0, AttributeHandle->Value, Length);
    } else {
        Console_Print("    Lowest VCN      : 0x%.16I64x\n", AttributeHandle->LowestVcn);
        Console_Print("    Highest VCN     : 0x%.16I64x\n", AttributeHandle->HighestVcn);
        Console_Print("    Allocated Length: 0x%.16I64x\n", AttributeHandle->AllocatedLength);
        Console_Print("    File Size       : 0x%.16I64x\n", AttributeHandle->FileSize);
        Console_Print("    ValidData Length: 0x%.16I64x\n", AttributeHandle->ValidDataLength);
        Console_Print("    Run Count       : 0x%.8x\n", AttributeHandle->RunCount);
        for (uint32_t i = 0; i < AttributeHandle->RunCount; i++) {
            const NtfsRun& Run = AttributeHandle->Runs[i];
            if ((Run.Flags & NTFS_RUN_SPARSE) != 0)
                Console_Print("        0x%.8x:  0x%.16I64x Clusters (sparse)\n", i, Run.Length);
            else
                Console_Print("        0x%.8x:  0x%.16I64x Clusters start @ 0x%.16I64x\n", i, Run.Length, Run.Lcn);
        }
    }
    if (AttributeHandle->TypeCode == ATTRIBUTE_STANDARD_INFORMATION) {
        Console_Print("-----------------------------------------------\n");
        NtfsAttribute_PrintStandardInformation(AttributeHandle);
    } else if (AttributeHandle->TypeCode == ATTRIBUTE_FILE_NAME) {
        Console_Print("-----------------------------------------------\n");
        NtfsAttribute_PrintFileName(AttributeHandle);
    }
    Console_Print("\n");
}
