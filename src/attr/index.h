// A read-only cursor over one B+ tree index of a file: "$I30" (a directory),
// or "$SDH" and "$SII" of the security file. The root node is the resident
// value of $INDEX_ROOT; every deeper node is an index block of
// $INDEX_ALLOCATION, reached only through the subnode VCNs of the entries.
#pragma once

#include <cstdint>
#include <type_traits>

#include "../../platform/win32.h"
#include "attribute.h"

struct NtfsFile;

constexpr uint32_t ATTRIBUTE_INDEX_ROOT = 0x90;
constexpr uint32_t ATTRIBUTE_INDEX_ALLOCATION = 0xA0;

enum NtfsIndexKind : uint32_t {
    NtfsIndexKind_FileName = 0,     // "$I30": key = a $FILE_NAME value
    NtfsIndexKind_SecurityHash = 1, // "$SDH": key = hash, security id (8 bytes)
    NtfsIndexKind_SecurityId = 2,   // "$SII": key = security id (4 bytes)
};

// Index root value: the 16-byte root header, then an index header.
constexpr size_t IndexRootBytesPerBlockOffset = 0x08;  // 4
constexpr size_t IndexRootUnitsPerBlockOffset = 0x0C;  // 1: VCN units per block
constexpr size_t IndexRootHeaderLength = 0x10;
constexpr size_t IndexRootIndexHeaderOffset = 0x10;
// Index block: multi-sector header (update sequence at 0x04/0x06), its own
// VCN at 0x10, then an index header.
constexpr size_t IndexBlockIndexHeaderOffset = 0x18;
// Index header: offsets count from the header itself.
constexpr size_t IndexHeaderEntriesOffset = 0x00;      // 4
constexpr size_t IndexHeaderLength = 0x10;
// Index entry: a 16-byte header, the key, and with INDEX_ENTRY_NODE the
// subnode VCN in the entry's last 8 bytes.
constexpr size_t IndexEntryFileReferenceOffset = 0x00; // 8, "$I30"
constexpr size_t IndexEntryDataOffsetOffset = 0x00;    // 2, "$SDH"/"$SII": data from the entry start
constexpr size_t IndexEntryDataLengthOffset = 0x02;    // 2, "$SDH"/"$SII"
constexpr size_t IndexEntryLengthOffset = 0x08;        // 2
constexpr size_t IndexEntryKeyLengthOffset = 0x0A;     // 2, not used
constexpr size_t IndexEntryFlagsOffset = 0x0C;         // 2
constexpr size_t IndexEntryKeyOffset = 0x10;
constexpr size_t IndexEntryHeaderLength = 0x10;
constexpr size_t IndexEntrySubnodeLength = 8;
constexpr uint16_t INDEX_ENTRY_NODE = 0x0001; // the entry has a subnode
constexpr uint16_t INDEX_ENTRY_END = 0x0002;  // closes its node; no key

// Walks deeper than this are refused: a subnode pointer that leads back into
// the path would otherwise descend until memory runs out.
constexpr uint32_t INDEX_MAXIMUM_DEPTH = 64;

// One level of the path: the fields, followed in the same heap block by
// DataLength bytes of node data (the root value, or an index block after its
// fixup). IndexHeader and CurrentEntry are byte offsets into that data.
struct NtfsIndexNode {
    NtfsIndexNode* Next;   // the next deeper level, or null
    NtfsIndexNode* Prev;   // the parent level, or null for the first node
    uint32_t DataLength;
    uint32_t IndexHeader;
    uint32_t CurrentEntry; // the entry this level stands on; always checked
    uint8_t Descended;     // 1 while the subnode of CurrentEntry is entered or done
    uint8_t Found;         // bit 0: a seek settled in this node
};
uint8_t* NtfsIndexNode_Data(NtfsIndexNode* Node);

// The cursor. Its storage belongs to the caller; it owns the nodes of its
// path and borrows the attribute handles of the file, which must stay open
// until NtfsIndex_Release. A zero-filled record is a valid empty cursor.
struct NtfsIndex {
    NtfsAttribute* RootAttribute;
    NtfsAttribute* AllocationAttribute; // null for an index that lives in its root
    NtfsAttribute* BitmapAttribute;     // present exactly when AllocationAttribute is
    uint32_t Kind;                      // NtfsIndexKind
    uint8_t RootHeader[IndexRootHeaderLength];
    NtfsIndexNode* First;   // the root node, or null when the path is empty
    NtfsIndexNode* Last;    // the deepest node
    uint32_t Depth;         // nodes in the path
    uint64_t BlocksLeft;    // descents still allowed: a tree enters each block once
};
static_assert(std::is_trivially_copyable_v<NtfsIndex>);

// Opens the index named IndexName ("$I30", "$SDH" or "$SII", exact case) of
// File into *Index, standing before its first entry. *Index is overwritten
// (release a cursor before opening it again); on failure it holds no nodes. Errors: ERROR_INVALID_PARAMETER (missing argument, other name),
// ERROR_FILE_NOT_FOUND (no $INDEX_ROOT of that name), ERROR_INVALID_DATA,
// ERROR_OUTOFMEMORY, and the errors of NtfsAttribute_Read.
DWORD NtfsIndex_Open(NtfsFile* File, const char16_t* IndexName, NtfsIndex* Index);
// Frees every node of the path; the index is then empty. Safe on a
// zero-filled record. ERROR_INVALID_PARAMETER for no index.
DWORD NtfsIndex_Release(NtfsIndex* Index);
// A cursor released on every way out of its scope.
class IndexHolder {
public:
    IndexHolder() = default;
    IndexHolder(const IndexHolder&) = delete;
    IndexHolder& operator=(const IndexHolder&) = delete;
    ~IndexHolder() { NtfsIndex_Release(&Index); }
    NtfsIndex Index{};
};
// Copies the next entry in key order (header, key and data) into Buffer: the
// first *Size bytes of it when the entry is longer. *Size receives the
// entry's full length. ERROR_FILE_NOT_FOUND when no entry is left.
DWORD NtfsIndex_Next(NtfsIndex* Index, void* Buffer, uint32_t* Size);
// Places the cursor so that the next NtfsIndex_Next delivers the first entry
// whose key is at or above Key (the first entry when Key is null). "$I30":
// Key is a zero-terminated name of at most 255 units (KeyLength is not used);
// "$SDH": 8 key bytes; "$SII": 4. Call it straight after NtfsIndex_Open.
// ERROR_FILE_NOT_FOUND when every key is below Key: the cursor is then as it
// was before the call. ERROR_INVALID_PARAMETER (no index, wrong key length,
// name too long), ERROR_INVALID_FUNCTION (a Kind outside the three), and the
// errors of the walk, after which the cursor may only be released.
// Names compare by UTF-16 code unit, while directories keep their entries in
// the order of the names upper-cased through $UpCase: an "$I30" seek is exact
// only where the two orders agree (names of one case, digits).
DWORD NtfsIndex_Seek(NtfsIndex* Index, const void* Key, uint32_t KeyLength);
// The size of a buffer that holds any entry of the index whole: the larger
// of the root value and, when there is an allocation, one index block.
uint32_t NtfsIndex_GetEntryBufferSize(const NtfsIndex* Index);

// Reads the index block at Vcn of Allocation into Output (BytesPerIndexBlock
// bytes, as RootHeader gives them) and undoes its update-sequence protection.
DWORD NtfsIndex_ReadBlock(const uint8_t* RootHeader, NtfsAttribute* Allocation, uint64_t Vcn, uint8_t* Output);
// Enters the subnode of the deepest node's current entry.
DWORD NtfsIndex_Descend(NtfsIndex* Index);
// True when the entry at Offset lies wholly inside the Length bytes at Node:
// its header, and its length as the header gives it.
bool NtfsIndex_IsEntryInside(const uint8_t* Node, uint32_t Length, size_t Offset);
