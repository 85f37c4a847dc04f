// The MFT record reader and the update sequence fixup of multi-sector records.
#pragma once

#include <cstdint>

#include "../../platform/win32.h"

struct NtfsVolume;

uint64_t NtfsReference_GetSegmentNumber(uint64_t FileReference);
DWORD NtfsVolume_ReadFileRecord(NtfsVolume* Volume, uint64_t FileReference, uint8_t* Buffer);
DWORD NtfsRecord_ApplyFixup(NtfsVolume* Volume, uint8_t* Buffer, uint32_t Length);
