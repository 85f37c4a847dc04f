// The volume log of a recording run: the dump at its end, and the log written
// ahead of a long read that keeps nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "clusters.h"

// A recording about to read many clusters only to drop them writes the log
// at once instead: every cluster marked so far and every cluster of the read,
// in cluster order, each copied from the device to ".dat" as the dump copies
// it. That copy is the read; the dropped reads that follow only mark what it
// read, in their own order, with their own failures. The log stays whole
// while every cluster marked since is one of the read's; when the dump finds
// the marks are then exactly those it holds, it has nothing left to write.
// A run has a LogAhead once the log files may hold some of it.
struct LogAhead {
    std::vector<ClusterRun> Runs; // the read's clusters: in order, apart
    uint64_t MarksBefore = 0;     // BitmapMarks::Count when the log was written
    uint64_t Unmarked = 0;        // clusters of Runs that were not marked then
    bool Whole = false;           // the log files hold all of it, and no mark since fell outside Runs
};

// Whether the log written ahead holds clusters Lcn to Lcn + Count - 1: they
// were read from the device when it was written.
bool LogAhead_Holds(const NtfsVolume* Volume, uint64_t Lcn, uint32_t Count);
// Tells the log written ahead that clusters Lcn to Lcn + Count - 1 were
// marked: SetBits when that marked one for the first time.
void LogAhead_NoteMarks(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, DWORD Error, bool SetBits);
void LogAhead_Free(LogAhead* Ahead);
