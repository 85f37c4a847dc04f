// The attribute slots of a file handle: registering and removing attribute
// handles, and finding them by type code and name.
#include "slots.h"

#include <cstring>

#include "../attr/attribute.h"
#include "../ntfstool.h"
#include "../volume/clusters.h"

namespace {

// No name matches only unnamed attributes.
bool NamesMatch(const char16_t* AttributeName, const char16_t* Name)
{
    if (Name == nullptr || AttributeName == nullptr)
        return Name == AttributeName;
    return SameText(AttributeName, Name);
}

} // namespace

bool NtfsFile_IsValid(const NtfsFile* FileHandle)
{
    return FileHandle != nullptr && FileHandle->Tag == NTFS_FILE_TAG;
}

// Registers a handle in the first empty slot of list Index, growing the list
// by 30 slots when it is full.
DWORD NtfsFile_AddAttribute(NtfsFile* FileHandle, NtfsAttribute* AttributeHandle, uint32_t Index)
{
    if (!NtfsFile_IsValid(FileHandle) || AttributeHandle == nullptr || Index >= 2)
        return ERROR_INVALID_PARAMETER;
    NtfsFile* TmpFileHandle = FileHandle;
    uint32_t Slots = TmpFileHandle->AttributeSlots[Index];
    uint32_t Free = Slots;
    if (Slots == 0)
        NTFS_ASSERT(TmpFileHandle->AttributeList[Index] == NULL);
    // Every slot below the hint is occupied, so the search for the first
    // empty slot starts there: filling a list stays linear.
    for (uint32_t Slot = TmpFileHandle->FirstFreeHint[Index]; Slot < Slots; Slot++) {
        if (TmpFileHandle->AttributeList[Index][Slot] == nullptr) {
            Free = Slot;
            break;
        }
    }
    if (Free == Slots) {
        if (Slots > 0xFFFFFFFFu - ATTRIBUTE_SLOT_GROWTH)
            return ERROR_OUTOFMEMORY;
        size_t Bytes = (static_cast<size_t>(Slots) + ATTRIBUTE_SLOT_GROWTH) * sizeof(NtfsAttribute*);
        NtfsAttribute** Grown = static_cast<NtfsAttribute**>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, Bytes));
        if (Grown == nullptr)
            return ERROR_OUTOFMEMORY;
        if (Slots != 0) {
            memcpy(Grown, TmpFileHandle->AttributeList[Index], Slots * sizeof(NtfsAttribute*));
            HeapFree(GetProcessHeap(), 0, TmpFileHandle->AttributeList[Index]);
        }
        TmpFileHandle->AttributeList[Index] = Grown;
        TmpFileHandle->AttributeSlots[Index] = Slots + ATTRIBUTE_SLOT_GROWTH;
    }
    TmpFileHandle->AttributeList[Index][Free] = AttributeHandle;
    AttributeHandle->Slot = Free;
    TmpFileHandle->AttributeCount[Index]++;
    TmpFileHandle->FirstFreeHint[Index] = Free + 1;
    return ERROR_SUCCESS;
}

DWORD NtfsFile_DelAttribute(NtfsFile* FileHandle, NtfsAttribute* AttributeHandle, uint32_t Index)
{
    if (!NtfsFile_IsValid(FileHandle) || AttributeHandle == nullptr || Index >= 2)
        return ERROR_INVALID_PARAMETER;
    auto Remove = [&](uint32_t Slot) {
        FileHandle->AttributeList[Index][Slot] = nullptr;
        FileHandle->AttributeCount[Index]--;
        if (Slot < FileHandle->FirstFreeHint[Index])
            FileHandle->FirstFreeHint[Index] = Slot;
        return ERROR_SUCCESS;
    };
    // The handle's own slot first: closing thousands of merged pieces must
    // not scan the list for each.
    uint32_t Hint = AttributeHandle->Slot;
    if (Hint < FileHandle->AttributeSlots[Index] && FileHandle->AttributeList[Index][Hint] == AttributeHandle)
        return Remove(Hint);
    for (uint32_t Slot = 0; Slot < FileHandle->AttributeSlots[Index]; Slot++)
        if (FileHandle->AttributeList[Index][Slot] == AttributeHandle)
            return Remove(Slot);
    return ERROR_INVALID_PARAMETER;
}

// First handle of list Index with the type code and name: no name matches only
// unnamed attributes, a name only the same code units (case-sensitive).
NtfsAttribute* NtfsFile_FindAttribute(NtfsFile* FileHandle, uint32_t TypeCode, const char16_t* Name, uint16_t Index)
{
    if (FileHandle == nullptr || Index >= 2)
        return nullptr;
    for (uint32_t Slot = 0; Slot < FileHandle->AttributeSlots[Index]; Slot++) {
        NtfsAttribute* Attribute = FileHandle->AttributeList[Index][Slot];
        if (Attribute != nullptr && Attribute->TypeCode == TypeCode && NamesMatch(Attribute->Name, Name))
            return Attribute;
    }
    return nullptr;
}

// List 0 holds only the first piece of an attribute spread over several
// records, with the whole value's size; reading it past that piece would run
// off its run table, so the merged list-1 handle is taken instead.
NtfsAttribute* NtfsFile_FindDataAttribute(NtfsFile* FileHandle, uint32_t TypeCode, const char16_t* Name)
{
    NtfsAttribute* Base = NtfsFile_FindAttribute(FileHandle, TypeCode, Name, 0);
    NtfsAttribute* Merged = NtfsFile_FindAttribute(FileHandle, TypeCode, Name, 1);
    if (Base == nullptr || Base->Resident || Merged == nullptr)
        return Base != nullptr ? Base : Merged;
    uint64_t Mapped = 0;
    for (uint32_t i = 0; i < Base->RunCount; i++)
        Mapped = Base->Runs[i].Length > ~0ull - Mapped ? ~0ull : Mapped + Base->Runs[i].Length;
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(FileHandle->VolumeHandle);
    uint64_t Needed = Base->FileSize / BytesPerCluster + (Base->FileSize % BytesPerCluster != 0 ? 1 : 0);
    return Mapped < Needed ? Merged : Base;
}

NtfsVolume* NtfsFile_GetVolume(NtfsFile* FileHandle) { return FileHandle->VolumeHandle; }
uint32_t NtfsFile_GetSlotCount(NtfsFile* FileHandle, uint32_t Index) { return FileHandle->AttributeSlots[Index]; }
NtfsAttribute* NtfsFile_GetSlot(NtfsFile* FileHandle, uint32_t Index, uint32_t Slot)
{
    return FileHandle->AttributeList[Index][Slot];
}
