// The file handle record: the base MFT record of an opened file and its two
// lists of attribute slots, with the lookups of the attribute layer.
#pragma once

#include <cstdint>

#include "../../platform/win32.h"

struct NtfsAttribute;
struct NtfsVolume;

constexpr uint32_t NTFS_FILE_TAG = 0x46494C45; // "FILE"
constexpr uint32_t MFT_RECORD_SIZE = 1024;
constexpr uint32_t ATTRIBUTE_SLOT_GROWTH = 30;

// MFT file record header (offsets from the record start).
constexpr size_t RecordUsaOffsetOffset = 0x04;      // 2
constexpr size_t RecordUsaCountOffset = 0x06;       // 2, sectors + 1
constexpr size_t RecordLsnOffset = 0x08;            // 8
constexpr size_t RecordSequenceOffset = 0x10;       // 2
constexpr size_t RecordReferenceCountOffset = 0x12; // 2
constexpr size_t RecordFirstAttributeOffset = 0x14; // 2
constexpr size_t RecordFlagsOffset = 0x16;          // 2
constexpr size_t RecordBytesInUseOffset = 0x18;     // 4
constexpr size_t RecordSegmentHighOffset = 0x2A;    // 2
constexpr size_t RecordSegmentLowOffset = 0x2C;     // 4

// $ATTRIBUTE_LIST entry.
constexpr size_t ListEntryLengthOffset = 0x04;      // 2
constexpr size_t ListEntryReferenceOffset = 0x10;   // 8
constexpr size_t ListEntryInstanceOffset = 0x18;    // 2
constexpr size_t ListEntryMinimumLength = 0x1A;

struct NtfsFile {
    uint32_t Tag;
    NtfsVolume* VolumeHandle;           // not owned
    uint64_t FileReference;             // as given to NtfsFile_Open
    uint8_t Record[MFT_RECORD_SIZE];    // base record, fixup applied
    uint32_t AttributeSlots[2];         // allocated slots, a multiple of 30
    uint32_t AttributeCount[2];         // occupied slots
    NtfsAttribute** AttributeList[2];   // owned slot arrays; slots own their handles
    uint32_t FirstFreeHint[2];          // every slot below it is occupied
};

bool NtfsFile_IsValid(const NtfsFile* FileHandle);
DWORD NtfsFile_AddAttribute(NtfsFile* FileHandle, NtfsAttribute* AttributeHandle, uint32_t Index);
DWORD NtfsFile_DelAttribute(NtfsFile* FileHandle, NtfsAttribute* AttributeHandle, uint32_t Index);
NtfsAttribute* NtfsFile_FindAttribute(NtfsFile* FileHandle, uint32_t TypeCode, const char16_t* Name, uint16_t Index);
// The lookup for callers that read attribute data: the list-0 match, unless it
// is only the first piece of an attribute spread over several records, in
// which case the merged list-1 handle; the list-1 match when list 0 has none.
NtfsAttribute* NtfsFile_FindDataAttribute(NtfsFile* FileHandle, uint32_t TypeCode, const char16_t* Name);

NtfsVolume* NtfsFile_GetVolume(NtfsFile* FileHandle);
uint32_t NtfsFile_GetSlotCount(NtfsFile* FileHandle, uint32_t Index);
NtfsAttribute* NtfsFile_GetSlot(NtfsFile* FileHandle, uint32_t Index, uint32_t Slot);
