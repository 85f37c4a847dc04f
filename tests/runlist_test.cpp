// Run lists: mapping-pairs decoding into absolute runs, sparse runs and their
// effect on later deltas, and the rejection of malformed arrays.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "attr.h"
#include "faults.h"
#include "ntfstool.h"
#include "test_support.h"

namespace {

struct ExpectedRun {
    uint64_t Length;
    int64_t Lcn;
    bool Sparse;
};

struct DecodedRuns {
    DWORD Error = ERROR_SUCCESS;
    std::vector<NtfsRun> Runs;
    bool TableNull = true;
    uint32_t Count = 0;
};

// Decodes Bytes with the outputs pre-set to garbage, so a path that forgets to
// write them shows up.
DecodedRuns Decode(const std::vector<uint8_t>& Bytes, uint32_t Available)
{
    DecodedRuns Result;
    uint32_t Count = 0xDEADBEEF;
    NtfsRun Sentinel{};
    NtfsRun* Runs = &Sentinel;
    Result.Error = NtfsRunList_Decode(Bytes.data(), Available, &Count, &Runs);
    Result.Count = Count;
    Result.TableNull = Runs == nullptr;
    if (Runs != nullptr && Runs != &Sentinel) {
        Result.Runs.assign(Runs, Runs + Count);
        HeapFree(GetProcessHeap(), 0, Runs);
    }
    return Result;
}

DecodedRuns Decode(const std::vector<uint8_t>& Bytes)
{
    return Decode(Bytes, static_cast<uint32_t>(Bytes.size()));
}

std::vector<uint8_t> Le(uint64_t Value, size_t Size)
{
    std::vector<uint8_t> Bytes;
    for (size_t i = 0; i < Size; i++)
        Bytes.push_back(static_cast<uint8_t>(Value >> (8 * i)));
    return Bytes;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> Parts)
{
    std::vector<uint8_t> All;
    for (const auto& Part : Parts)
        All.insert(All.end(), Part.begin(), Part.end());
    return All;
}

struct GoodCase {
    const char* What;
    std::vector<uint8_t> Bytes;
    std::vector<ExpectedRun> Runs;
};

void ExpectRuns(const GoodCase& Case)
{
    SCOPED_TRACE(Case.What);
    DecodedRuns Result = Decode(Case.Bytes);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    ASSERT_EQ(Result.Count, Case.Runs.size());
    ASSERT_FALSE(Result.TableNull);
    for (size_t i = 0; i < Case.Runs.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Result.Runs[i].Length, Case.Runs[i].Length);
        EXPECT_EQ(Result.Runs[i].Lcn, Case.Runs[i].Lcn);
        EXPECT_EQ(Result.Runs[i].Flags, Case.Runs[i].Sparse ? NTFS_RUN_SPARSE : 0u);
    }
}

TEST(RunListTest, DeltasChainIntoAbsoluteLcns)
{
    const GoodCase Cases[] = {
        {"one run", {0x21, 0x18, 0x34, 0x56, 0x00}, {{0x18, 0x5634, false}}},
        {"negative delta",
         {0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00},
         {{0x18, 0x5634, false}, {0x10, 0x5624, false}}},
        {"length field with its top bit set is not negative", {0x11, 0xFF, 0x10, 0x00}, {{0xFF, 0x10, false}}},
        {"8-byte length and offset",
         Concat({{0x88}, Le(0x0123456789ABCDEFull, 8), Le(0x7EDCBA9876543210ull, 8), {0x00}}),
         {{0x0123456789ABCDEFull, 0x7EDCBA9876543210ll, false}}},
        {"negative first delta", {0x11, 0x05, 0xFF, 0x00}, {{5, -1, false}}},
        {"accumulation wraps at 64 bits",
         Concat({{0x81, 0x01}, Le(0x7FFFFFFFFFFFFFFFull, 8), {0x11, 0x01, 0x01, 0x00}}),
         {{1, INT64_MAX, false}, {1, INT64_MIN, false}}},
        {"bytes after the terminator are ignored", {0x11, 0x02, 0x03, 0x00, 0xFF, 0xFF}, {{2, 3, false}}},
    };
    for (const GoodCase& Case : Cases)
        ExpectRuns(Case);
}

TEST(RunListTest, SparseRunsCarryTheLcnAndLeaveTheChainAlone)
{
    const GoodCase Cases[] = {
        {"absent offset field, then a delta relative to the last real run",
         {0x21, 0x18, 0x34, 0x56, 0x01, 0x20, 0x11, 0x10, 0xF0, 0x00},
         {{0x18, 0x5634, false}, {0x20, 0x5634, true}, {0x10, 0x5624, false}}},
        {"present but zero offset after the first run",
         {0x21, 0x18, 0x34, 0x56, 0x11, 0x20, 0x00, 0x11, 0x10, 0xF0, 0x00},
         {{0x18, 0x5634, false}, {0x20, 0x5634, true}, {0x10, 0x5624, false}}},
        {"two sparse runs in a row",
         {0x11, 0x04, 0x40, 0x01, 0x08, 0x21, 0x02, 0x00, 0x00, 0x11, 0x01, 0x10, 0x00},
         {{4, 0x40, false}, {8, 0x40, true}, {2, 0x40, true}, {1, 0x50, false}}},
        {"first run with a present zero offset is real, at LCN 0",
         {0x11, 0x01, 0x00, 0x00},
         {{1, 0, false}}},
        {"first run with an absent offset is sparse",
         {0x01, 0x10, 0x21, 0x08, 0x00, 0x01, 0x00},
         {{0x10, 0, true}, {8, 0x100, false}}},
        {"first run at LCN 0 followed by a delta from it",
         {0x11, 0x01, 0x00, 0x11, 0x02, 0x30, 0x00},
         {{1, 0, false}, {2, 0x30, false}}},
    };
    for (const GoodCase& Case : Cases)
        ExpectRuns(Case);
}

TEST(RunListTest, TerminatorAloneGivesNoTable)
{
    DecodedRuns Result = Decode({0x00});
    EXPECT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Count, 0u);
    EXPECT_TRUE(Result.TableNull);
}

TEST(RunListTest, MalformedArraysAreRejectedWithOutputsCleared)
{
    struct BadCase {
        const char* What;
        std::vector<uint8_t> Bytes;
        uint32_t Available;
    };
    const BadCase Cases[] = {
        {"no bytes at all", {0x00}, 0},
        {"no terminator", {0x21, 0x18, 0x34, 0x56}, 4},
        {"terminator just past Available", {0x21, 0x18, 0x34, 0x56, 0x00}, 4},
        {"length field of 9 bytes", {0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, 11},
        {"length field of 0 bytes", {0x10, 0x05, 0x00}, 3},
        {"offset field of 9 bytes", {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, 12},
        {"first pair cut off", {0x21, 0x18, 0x34}, 3},
        {"second pair cut off", {0x21, 0x18, 0x34, 0x56, 0x21, 0x18}, 6},
        {"bad pair after good ones", {0x11, 0x01, 0x01, 0x11, 0x01, 0x01, 0x0F, 0x00}, 8},
    };
    for (const BadCase& Case : Cases) {
        SCOPED_TRACE(Case.What);
        DecodedRuns Result = Decode(Case.Bytes, Case.Available);
        EXPECT_EQ(Result.Error, ERROR_INVALID_DATA);
        EXPECT_EQ(Result.Count, 0u);
        EXPECT_TRUE(Result.TableNull);
    }
}

TEST(RunListTest, AllocationFailureIsOutOfMemory)
{
    SKIP_WITHOUT_FAULT_POINTS();
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    DecodedRuns Result = Decode({0x21, 0x18, 0x34, 0x56, 0x00});
    Fault_DisarmAll();
    EXPECT_EQ(Result.Error, ERROR_OUTOFMEMORY);
    EXPECT_EQ(Result.Count, 0u);
    EXPECT_TRUE(Result.TableNull);
}

TEST(RunListTest, DecodePairReportsSizeAndRawDelta)
{
    NtfsRun Run{};
    const uint8_t Terminator[] = {0x00};
    EXPECT_EQ(NtfsRunList_DecodePair(Terminator, 1, &Run), 1u);
    EXPECT_EQ(NtfsRunList_DecodePair(Terminator, 0, &Run), RUNLIST_INVALID_PAIR);

    // The delta is returned as stored, not added to anything.
    const uint8_t Pair[] = {0x32, 0x00, 0x01, 0x00, 0x00, 0x80};
    EXPECT_EQ(NtfsRunList_DecodePair(Pair, sizeof(Pair), &Run), 6u);
    EXPECT_EQ(Run.Length, 0x100u);
    EXPECT_EQ(Run.Lcn, -0x800000);
    EXPECT_EQ(Run.Flags, 0u);
    EXPECT_EQ(NtfsRunList_DecodePair(Pair, sizeof(Pair) - 1, &Run), RUNLIST_INVALID_PAIR);
}

} // namespace
