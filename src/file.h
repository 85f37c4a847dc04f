// File handles: the base MFT record of an opened file and its two lists of
// attribute handles (list 0: the base record's attributes as stored; list 1:
// every attribute that $ATTRIBUTE_LIST names, fragmented pieces merged).
#pragma once

#include <cstdint>

#include "../platform/win32.h"
#include "file/slots.h"

struct NtfsAttribute;
struct NtfsVolume;

DWORD NtfsFile_Open(NtfsVolume* VolumeHandle, uint64_t FileReference, NtfsFile** FileHandle);
DWORD NtfsFile_Close(NtfsFile* FileHandle);
DWORD NtfsAttribute_OpenInRecord(NtfsFile* FileHandle, uint64_t FileReference, uint16_t Instance,
                                 NtfsAttribute** AttributeHandle, uint32_t Index);
DWORD NtfsFile_MergeAttributes(NtfsFile* FileHandle, uint32_t Index);
DWORD NtfsAttribute_MergeAll(NtfsAttribute* AttributeHandle);
DWORD NtfsAttribute_MergeNext(NtfsAttribute* AttributeHandle);

DWORD NtfsFile_IsRootDirectory(NtfsFile* FileHandle, BOOLEAN* IsRoot);

// Reports: the file record header and every attribute of both lists; the
// path from the root directory.
void NtfsFile_Print(NtfsFile* FileHandle);
DWORD NtfsFile_PrintFullName(NtfsFile* FileHandle);
