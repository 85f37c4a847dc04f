// Entry point, options and the commands.
#pragma once

#include <cstdint>

#include "../platform/win32.h"
#include "ntfstool.h" // HexDump and FormatFileTime, shared with the layers below

struct NtfsFile;
struct NtfsVolume;

// The program-wide settings, filled once from the command line.
struct ProgramOptionsRecord {
    bool ShowHelp;
    const char16_t* VolumeName;
    bool LockVolume;
    bool Dump;
    bool Verbose;
    bool ListDir;
    bool PrintFile;
    bool FullName;
    bool FileIdGiven;
    uint64_t FileId;
    const char16_t* VolumeLogFile;
    bool AttributeGiven;
    uint32_t AttributeType;
    char16_t* AttributeName;      // owned copy; null for "no name"
    bool ReadGiven;
    uint64_t ReadOffset;
    uint32_t ReadSize;
    bool SeidGiven;
    uint32_t SeidMin;
    uint32_t SeidMax;
    bool SehashGiven;
    uint64_t SehashMin;
    uint64_t SehashMax;
    bool ScanMftGiven;
    uint64_t ScanMftFirst;
    uint64_t ScanMftLast;
    const char16_t* SaveFileName;
};
extern ProgramOptionsRecord ProgramOptions;

// Wide entry point; returns the process exit status (-1 after the help text).
int KorvexMain(int ArgumentCount, char16_t** Arguments);

// Fills ProgramOptions. Returns false only when the attribute name copy could
// not be allocated (the caller then stops with -1).
bool ParseOptions(int ArgumentCount, char16_t** Arguments);
void ResetOptions();

// Reads a hexadecimal number the way scanf's "%x" does; false (Value
// untouched) when no digit was found. Too large values saturate.
bool ScanHex32(const char16_t* Text, uint32_t* Value);
bool ScanHex64(const char16_t* Text, uint64_t* Value);

void PrintHelp();
// The commands. Each returns a Win32 error code that main does not look at,
// except as stated for the security listings.
DWORD ReadAttributeData(NtfsFile* File);
DWORD ListDirectory(NtfsFile* File);
void ListDirectoryIfDirectory(NtfsFile* FileHandle);
// Prints the owner, group and DACL of the self-relative descriptor of Length
// bytes at SecurityDescriptor; nothing outside those bytes is read.
void PrintSecurityDescriptor(const uint8_t* SecurityDescriptor, uint32_t Length);
// Mode 0 lists "$SII" by security id, mode 1 "$SDH" by hash.
constexpr uint32_t ListSecurityIdsBySecurityId = 0;
constexpr uint32_t ListSecurityIdsByHash = 1;
DWORD ListSecurityIds(NtfsVolume* Volume, uint64_t StartKey, uint64_t EndKey, uint32_t Mode);
DWORD ScanMft(NtfsVolume* Volume, uint32_t MinSecurityId, uint32_t MaxSecurityId);
