// Test-only fault injection into the platform layer, so that the error paths
// of the callers are exercised rather than assumed.
//
// A point armed with Fault_Arm lets SkipCalls calls through and then acts on
// the next one: Fail makes the call fail with ErrorCode; Short makes a read or
// write transfer fewer bytes than asked (half of them, rounded down). Unless
// Repeat is set, the fault then disarms itself.
#pragma once

#include <cstdint>

#include "win32.h"

enum class FaultPoint { Read, Write, Seek, SetEnd, Close, Alloc, FileSize, Count };
enum class FaultKind { Fail, Short };

void Fault_Arm(FaultPoint Point, uint32_t SkipCalls, FaultKind Kind, DWORD ErrorCode, bool Repeat = false);
void Fault_DisarmAll();

// Called by the platform functions: true when this call must be spoiled, with
// the kind and code to use.
bool Fault_Hit(FaultPoint Point, FaultKind* Kind, DWORD* ErrorCode);

// Test-only memory files: CreateFileW of exactly Name opens Size bytes at
// Data (which must outlive every handle) for reading; writing is refused.
// Lets tests and fuzzers run whole commands on an image without disk I/O.
void Platform_AddMemoryFile(const char16_t* Name, const uint8_t* Data, size_t Size);
void Platform_RemoveMemoryFile(const char16_t* Name);
