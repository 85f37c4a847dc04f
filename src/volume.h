// The volume handle: device or volume log, geometry from the boot sector,
// cluster reads, the log dump, the MFT record reader and the system files.
#pragma once

#include <cstdint>

#include "../platform/win32.h"
#include "volume/clusters.h"
#include "volume/record.h"

struct NtfsFile;

// Boot sector fields (offsets from the start of sector 0).
constexpr size_t BootOemIdOffset = 0x03;             // 8, "NTFS    "
constexpr size_t BootBytesPerSectorOffset = 0x0B;    // 2
constexpr size_t BootSectorsPerClusterOffset = 0x0D; // 1
constexpr size_t BootTotalSectorsOffset = 0x28;      // 8
constexpr size_t BootMftLcnOffset = 0x30;            // 8
constexpr size_t BootSerialNumberOffset = 0x48;      // 8
constexpr uint32_t BootSectorSize = 512;

DWORD NtfsVolume_Open(const char16_t* VolumeName, const char16_t* VolumeLogFile, NtfsVolume** VolumeHandle,
                      BOOLEAN LockVolume);
DWORD NtfsVolume_Close(NtfsVolume* VolumeHandle);
NtfsFile* NtfsVolume_GetVolumeFile(NtfsVolume* Volume);

void NtfsVolume_Print(NtfsVolume* Volume);
