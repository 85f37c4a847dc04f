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
