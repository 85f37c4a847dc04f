// Attribute handles: a private copy of one attribute record, decoded, and
// registered in a list of its file.
#include "attribute.h"

#include <cstring>

#include "../file/slots.h"
#include "../ntfstool.h"

namespace {

// Frees what a handle owns, clears it and frees it.
void FreeAttribute(NtfsAttribute* Attribute)
{
    if (Attribute->Record != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Record);
    if (Attribute->Name != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Name);
    if (Attribute->Runs != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->Runs);
    if (Attribute->UnitCache != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->UnitCache);
    if (Attribute->ClusterCache != nullptr)
        HeapFree(GetProcessHeap(), 0, Attribute->ClusterCache);
    FreeRecord(Attribute, sizeof(NtfsAttribute));
}

// Fills the handle from its private record copy (name, resident value or
// non-resident sizes and run table).
DWORD DecodeAttribute(NtfsAttribute* Attribute)
{
    LeReader Record(Attribute->Record, Attribute->RecordLength);
    Attribute->TypeCode = Record.U32(AttrTypeCodeOffset);
    Attribute->Instance = Record.U16(AttrInstanceOffset);

    uint32_t NameLength = Record.U8(AttrNameLengthOffset);
    if (NameLength != 0) {
        uint32_t NameOffset = Record.U16(AttrNameOffsetOffset);
        if (!Record.Has(NameOffset, static_cast<size_t>(NameLength) * 2))
            return ERROR_INVALID_DATA;
        Attribute->Name = static_cast<char16_t*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (static_cast<size_t>(NameLength) + 1) * sizeof(char16_t)));
        if (Attribute->Name == nullptr)
            return ERROR_OUTOFMEMORY;
        for (uint32_t i = 0; i < NameLength; i++)
            Attribute->Name[i] = static_cast<char16_t>(Record.U16(NameOffset + 2 * i));
    }

    uint8_t NonResident = Record.U8(AttrNonResidentOffset);
    if (NonResident == 0) {
        Attribute->Resident = 1;
        uint32_t ValueLength = Record.U32(AttrValueLengthOffset);
        uint32_t ValueOffset = Record.U16(AttrValueOffsetOffset);
        if (Record.Failed)
            return ERROR_INVALID_DATA;
        if (ValueLength != 0) {
            if (!Record.Has(ValueOffset, ValueLength))
                return ERROR_INVALID_DATA;
            Attribute->Value = Attribute->Record + ValueOffset;
            Attribute->ValueLength = ValueLength;
        }
        return ERROR_SUCCESS;
    }
    if (NonResident != 1)
        return ERROR_INVALID_DATA;
    Attribute->Resident = 0;
    uint32_t MappingPairsOffset = Record.U16(AttrMappingPairsOffset);
    Attribute->LowestVcn = Record.U64(AttrLowestVcnOffset);
    Attribute->HighestVcn = Record.U64(AttrHighestVcnOffset);
    Attribute->AllocatedLength = Record.U64(AttrAllocatedLengthOffset);
    Attribute->FileSize = Record.U64(AttrDataSizeOffset);
    Attribute->ValidDataLength = Record.U64(AttrValidDataLengthOffset);
    Attribute->ValueLength = Attribute->FileSize;
    if (Record.Failed || MappingPairsOffset >= Attribute->RecordLength)
        return ERROR_INVALID_DATA;
    DWORD Error = NtfsRunList_Decode(Attribute->Record + MappingPairsOffset, Attribute->RecordLength - MappingPairsOffset,
                                     &Attribute->RunCount, &Attribute->Runs);
    if (Error != ERROR_SUCCESS)
        return Error;
    return NtfsAttribute_CheckRunList(Attribute, nullptr);
}

} // namespace

bool NtfsAttribute_IsValid(const NtfsAttribute* AttributeHandle)
{
    return AttributeHandle != nullptr && AttributeHandle->Tag == NTFS_ATTRIBUTE_TAG;
}

// Length of the attribute record at Buffer: 4 for the end marker, 0 when the
// record is cut off, shorter than its header or longer than what is available.
uint32_t NtfsAttribute_RecordLength(const uint8_t* Buffer, uint32_t Available)
{
    NTFS_ASSERT(Buffer != NULL);
    LeReader Record(Buffer, Available);
    if (!Record.Has(0, 4))
        return 0;
    if (Record.U32(AttrTypeCodeOffset) == ATTRIBUTE_END_MARKER)
        return 4;
    if (!Record.Has(AttrRecordLengthOffset, 4))
        return 0;
    uint32_t Length = Record.U32(AttrRecordLengthOffset);
    if (Length > Available || Length < AttrHeaderLength)
        return 0;
    return Length;
}

// Builds a handle from the attribute record at Buffer and registers it in list
// Index of FileHandle. The end marker gives success with no handle and length
// 4. On failure the lists are unchanged and the outputs are null and 0.
DWORD NtfsAttribute_Open(NtfsFile* FileHandle, uint64_t SegmentReference, const uint8_t* Buffer, uint32_t Available,
                         NtfsAttribute** AttributeHandle, uint32_t* RecordLength, uint32_t Index)
{
    if (FileHandle == nullptr || AttributeHandle == nullptr || RecordLength == nullptr || Buffer == nullptr || Index > 1)
        return ERROR_INVALID_PARAMETER;
    *AttributeHandle = nullptr;
    *RecordLength = 0;
    uint32_t Length = NtfsAttribute_RecordLength(Buffer, Available);
    if (Length == 4) {
        *RecordLength = 4;
        return ERROR_SUCCESS;
    }
    if (Length == 0)
        return ERROR_INVALID_DATA;

    NtfsAttribute* TmpAttributeHandle = AllocateRecord<NtfsAttribute>();
    if (TmpAttributeHandle == nullptr)
        return ERROR_OUTOFMEMORY;
    TmpAttributeHandle->Tag = NTFS_ATTRIBUTE_TAG;
    TmpAttributeHandle->Record = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, Length));
    if (TmpAttributeHandle->Record == nullptr) {
        FreeAttribute(TmpAttributeHandle);
        return ERROR_OUTOFMEMORY;
    }
    memcpy(TmpAttributeHandle->Record, Buffer, Length);
    TmpAttributeHandle->FileHandle = FileHandle;
    TmpAttributeHandle->SegmentReference = SegmentReference;
    TmpAttributeHandle->Index = Index;
    TmpAttributeHandle->RecordLength = Length;

    DWORD Error = DecodeAttribute(TmpAttributeHandle);
    if (Error == ERROR_SUCCESS)
        Error = NtfsFile_AddAttribute(FileHandle, TmpAttributeHandle, Index);
    if (Error != ERROR_SUCCESS) {
        FreeAttribute(TmpAttributeHandle);
        return Error;
    }
    *AttributeHandle = TmpAttributeHandle;
    *RecordLength = Length;
    return ERROR_SUCCESS;
}

DWORD NtfsAttribute_Close(NtfsAttribute* AttributeHandle)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    NtfsAttribute* TmpAttributeHandle = AttributeHandle;
    NTFS_ASSERT(ERROR_SUCCESS == NtfsFile_DelAttribute(TmpAttributeHandle->FileHandle, TmpAttributeHandle, TmpAttributeHandle->Index));
    FreeAttribute(TmpAttributeHandle);
    return ERROR_SUCCESS;
}

// The run lengths must add up to the VCN range the record claims.
DWORD NtfsAttribute_CheckRunList(NtfsAttribute* AttributeHandle, uint64_t* ClusterCount)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    if (AttributeHandle->Resident)
        return ERROR_INVALID_FUNCTION;
    uint64_t Total = 0;
    for (uint32_t i = 0; i < AttributeHandle->RunCount; i++)
        Total += AttributeHandle->Runs[i].Length;
    uint64_t Expected = AttributeHandle->HighestVcn - AttributeHandle->LowestVcn + 1;
    if (Total != Expected)
        return ERROR_INVALID_DATA;
    if (ClusterCount != nullptr)
        *ClusterCount = Expected;
    return ERROR_SUCCESS;
}

NtfsFile* NtfsAttribute_GetFileHandle(NtfsAttribute* AttributeHandle) { return AttributeHandle->FileHandle; }
NtfsVolume* NtfsAttribute_GetVolume(NtfsAttribute* AttributeHandle) { return AttributeHandle->FileHandle->VolumeHandle; }
uint32_t NtfsAttribute_GetTypeCode(NtfsAttribute* AttributeHandle) { return AttributeHandle->TypeCode; }
const char16_t* NtfsAttribute_GetName(NtfsAttribute* AttributeHandle) { return AttributeHandle->Name; }
uint64_t NtfsAttribute_GetValueLength(NtfsAttribute* AttributeHandle) { return AttributeHandle->ValueLength; }
BOOLEAN NtfsAttribute_IsResident(NtfsAttribute* AttributeHandle) { return AttributeHandle->Resident != 0 ? 1 : 0; }
uint16_t NtfsAttribute_GetInstance(NtfsAttribute* AttributeHandle) { return AttributeHandle->Instance; }

DWORD NtfsAttribute_GetResidentValue(NtfsAttribute* AttributeHandle, const uint8_t** Value, uint64_t* ValueLength)
{
    if (!AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    *Value = AttributeHandle->Value;
    *ValueLength = AttributeHandle->ValueLength;
    return ERROR_SUCCESS;
}
