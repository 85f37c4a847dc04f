// The index walker: a read-only cursor over one B+ tree index of a file,
// its in-order walk and its seek.
#include "index.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "../file/slots.h"
#include "../ntfstool.h"
#include "../volume/clusters.h"
#include "../volume/record.h"

namespace {

constexpr uint32_t IndexMaximumBlockSize = 2u << 20;

} // namespace

namespace {

constexpr uint32_t FileNameMaximumLength = 255;

const struct {
    const char16_t* Name;
    uint32_t Kind;
} IndexNames[] = {
    {u"$I30", NtfsIndexKind_FileName},
    {u"$SDH", NtfsIndexKind_SecurityHash},
    {u"$SII", NtfsIndexKind_SecurityId},
};

uint32_t BlockBytes(const NtfsIndex* Index)
{
    return LeReader(Index->RootHeader, IndexRootHeaderLength).U32(IndexRootBytesPerBlockOffset);
}

// A node and its data in one heap block; null when out of memory. The fields
// start zeroed; the data is not, since every caller fills all of it (a root
// value read whole, a block, a copy) before the node joins a path, and
// clearing a block per descent would cost as much as copying it.
NtfsIndexNode* AllocateNode(uint32_t DataLength)
{
    auto* Node = static_cast<NtfsIndexNode*>(
        HeapAlloc(GetProcessHeap(), 0, sizeof(NtfsIndexNode) + static_cast<size_t>(DataLength)));
    if (Node != nullptr) {
        *Node = NtfsIndexNode{};
        Node->DataLength = DataLength;
    }
    return Node;
}

void FreeNode(NtfsIndexNode* Node)
{
    HeapFree(GetProcessHeap(), 0, Node);
}

// Frees a node that has not (yet) been linked into a path.
using NodeHolder = RecordHolder<NtfsIndexNode, FreeNode>;

void AppendNode(NtfsIndex* Index, NtfsIndexNode* Node)
{
    Node->Next = nullptr;
    Node->Prev = Index->Last;
    if (Index->Last != nullptr)
        Index->Last->Next = Node;
    else
        Index->First = Node;
    Index->Last = Node;
    Index->Depth++;
}

// Removes and frees the deepest node.
void PopNode(NtfsIndex* Index)
{
    NtfsIndexNode* Node = Index->Last;
    Index->Last = Node->Prev;
    if (Index->Last != nullptr)
        Index->Last->Next = nullptr;
    else
        Index->First = nullptr;
    Index->Depth--;
    FreeNode(Node);
}

void FreePath(NtfsIndex* Index)
{
    while (Index->Last != nullptr)
        PopNode(Index);
}

// The full test of an entry that a level is about to stand on. Beyond lying
// inside its node, an entry must be at least a header long (a length of 0
// would never move on, and a shorter one would make the next entry start
// inside this one); with a subnode it must hold the 8-byte VCN after its
// header; and a keyed entry must hold its whole key before that VCN, so that
// the comparisons and the callers read only the entry's own bytes.
bool CheckEntry(const NtfsIndex* Index, NtfsIndexNode* Node, size_t Offset)
{
    const uint8_t* Data = NtfsIndexNode_Data(Node);
    if (!NtfsIndex_IsEntryInside(Data, Node->DataLength, Offset))
        return false;
    LeReader Entry(Data + Offset, Node->DataLength - Offset);
    uint32_t Length = Entry.U16(IndexEntryLengthOffset);
    uint16_t Flags = Entry.U16(IndexEntryFlagsOffset);
    uint32_t Tail = (Flags & INDEX_ENTRY_NODE) != 0 ? IndexEntrySubnodeLength : 0;
    if (Length < IndexEntryHeaderLength + Tail)
        return false;
    if ((Flags & INDEX_ENTRY_END) != 0)
        return true;
    uint32_t KeyRoom = Length - IndexEntryHeaderLength - Tail;
    uint32_t KeyBytes;
    switch (Index->Kind) {
    case NtfsIndexKind_FileName:
        if (KeyRoom < FileNameNameOffset)
            return false;
        KeyBytes = FileNameNameOffset + 2 * Entry.U8(IndexEntryKeyOffset + FileNameLengthOffset);
        break;
    case NtfsIndexKind_SecurityHash:
        KeyBytes = 8;
        break;
    default:
        KeyBytes = 4;
        break;
    }
    return KeyBytes <= KeyRoom;
}

// Places the cursor of a node of Length bytes on its first entry, through the
// index header at HeaderOffset. The whole first entry is checked here, not
// only its header: it may be delivered before anything steps over it.
bool StartNode(const NtfsIndex* Index, NtfsIndexNode* Node, uint32_t Length, uint32_t HeaderOffset)
{
    LeReader Header(NtfsIndexNode_Data(Node), Length);
    if (!Header.Has(HeaderOffset, IndexHeaderLength))
        return false;
    Node->IndexHeader = HeaderOffset;
    uint64_t FirstEntry = HeaderOffset + uint64_t{Header.U32(HeaderOffset)};
    if (FirstEntry > Length || !CheckEntry(Index, Node, static_cast<size_t>(FirstEntry)))
        return false;
    Node->CurrentEntry = static_cast<uint32_t>(FirstEntry);
    return true;
}

// A private copy of the whole path (and of the record's other fields), for
// a seek that may have to give up.
DWORD CopyPosition(const NtfsIndex* Index, NtfsIndex* Copy)
{
    *Copy = *Index;
    Copy->First = nullptr;
    Copy->Last = nullptr;
    Copy->Depth = 0;
    for (NtfsIndexNode* Node = Index->First; Node != nullptr; Node = Node->Next) {
        NtfsIndexNode* Duplicate = AllocateNode(Node->DataLength);
        if (Duplicate == nullptr) {
            FreePath(Copy);
            return ERROR_OUTOFMEMORY;
        }
        memcpy(Duplicate, Node, sizeof(NtfsIndexNode) + static_cast<size_t>(Node->DataLength));
        AppendNode(Copy, Duplicate);
    }
    return ERROR_SUCCESS;
}

// Puts the saved position back in place of the index's path; Saved is left
// empty.
void RestorePosition(NtfsIndex* Index, NtfsIndex* Saved)
{
    FreePath(Index);
    *Index = *Saved;
    Saved->First = nullptr;
    Saved->Last = nullptr;
    Saved->Depth = 0;
}

} // namespace

uint8_t* NtfsIndexNode_Data(NtfsIndexNode* Node)
{
    return reinterpret_cast<uint8_t*>(Node + 1);
}

bool NtfsIndex_IsEntryInside(const uint8_t* Node, uint32_t Length, size_t Offset)
{
    LeReader Data(Node, Length);
    if (Node == nullptr || !Data.Has(Offset, IndexEntryHeaderLength))
        return false;
    return Data.Has(Offset, Data.U16(Offset + IndexEntryLengthOffset));
}

DWORD NtfsIndex_Open(NtfsFile* File, const char16_t* IndexName, NtfsIndex* Index)
{
    if (!NtfsFile_IsValid(File) || IndexName == nullptr || Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto* Known = std::find_if(std::begin(IndexNames), std::end(IndexNames),
                                     [IndexName](const auto& Entry) { return SameText(Entry.Name, IndexName); });
    if (Known == std::end(IndexNames))
        return ERROR_INVALID_PARAMETER;
    memset(Index, 0, sizeof(NtfsIndex));
    Index->Kind = Known->Kind;

    // The data lookup: an attribute spread over several records is read
    // through its merged handle.
    NtfsAttribute* Root = NtfsFile_FindDataAttribute(File, ATTRIBUTE_INDEX_ROOT, IndexName);
    NtfsAttribute* Bitmap = NtfsFile_FindDataAttribute(File, ATTRIBUTE_BITMAP, IndexName);
    NtfsAttribute* Allocation = NtfsFile_FindDataAttribute(File, ATTRIBUTE_INDEX_ALLOCATION, IndexName);
    if (Root == nullptr)
        return ERROR_FILE_NOT_FOUND;
    // Both absent: a small index that lives wholly in its root.
    if ((Allocation == nullptr) != (Bitmap == nullptr))
        return ERROR_INVALID_DATA;
    // The root is always resident (which also keeps its copy small); index
    // blocks are always stored in clusters.
    if (!Root->Resident || (Allocation != nullptr && Allocation->Resident))
        return ERROR_INVALID_DATA;
    uint64_t RootLength = Root->ValueLength;
    if (RootLength < IndexRootHeaderLength || RootLength > UINT32_MAX)
        return ERROR_INVALID_DATA;

    NodeHolder Node(AllocateNode(static_cast<uint32_t>(RootLength)));
    if (Node.Get() == nullptr)
        return ERROR_OUTOFMEMORY;
    uint8_t* Data = NtfsIndexNode_Data(Node.Get());
    uint32_t BytesRead = 0;
    DWORD Error = NtfsAttribute_Read(Root, 0, static_cast<uint32_t>(RootLength), Data, &BytesRead);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (BytesRead != RootLength)
        return ERROR_INVALID_DATA;
    if (!StartNode(Index, Node.Get(), BytesRead, IndexRootIndexHeaderOffset))
        return ERROR_INVALID_DATA;
    LeReader Value(Data, BytesRead);

    // The block size, and the VCN unit it is counted in: a block of at least
    // a cluster is addressed in clusters, a smaller one in 512-byte units, so
    // the unit is the block size over the units per block.
    memcpy(Index->RootHeader, Data, IndexRootHeaderLength);
    uint32_t BlockSize = Value.U32(IndexRootBytesPerBlockOffset);
    uint32_t UnitsPerBlock = Value.U8(IndexRootUnitsPerBlockOffset);
    if (BlockSize == 0 || UnitsPerBlock == 0 || BlockSize % UnitsPerBlock != 0)
        return ERROR_INVALID_DATA;
    // Blocks are whole sectors under the update sequence protection, and no
    // larger than the largest cluster: a hostile size must not make every
    // listing allocate gigabytes.
    if (BlockSize % 512 != 0 || BlockSize > IndexMaximumBlockSize)
        return ERROR_INVALID_DATA;
    NtfsVolume* Volume = NtfsFile_GetVolume(File);
    uint32_t ClusterSize = NtfsVolume_GetBytesPerCluster(Volume);
    if (ClusterSize >= BlockSize && ClusterSize % BlockSize != 0)
        return ERROR_INVALID_DATA;

    // In a tree every block is entered once per walk, and the blocks lie in
    // the allocation stream, which lies on the volume: more descents than
    // that mean subnode pointers shared between branches, whose walk could
    // otherwise take exponential time at a bounded depth.
    if (Allocation != nullptr) {
        uint64_t StreamBytes = std::max(Allocation->FileSize, Allocation->AllocatedLength);
        uint64_t VolumeBytes = 0;
        if (__builtin_mul_overflow(Volume->TotalClusters, uint64_t{ClusterSize}, &VolumeBytes))
            VolumeBytes = UINT64_MAX;
        Index->BlocksLeft = std::min(StreamBytes, VolumeBytes) / BlockSize + 1;
    }
    Index->RootAttribute = Root;
    Index->AllocationAttribute = Allocation;
    Index->BitmapAttribute = Bitmap;
    AppendNode(Index, Node.Detach());
    return ERROR_SUCCESS;
}

DWORD NtfsIndex_Release(NtfsIndex* Index)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    FreePath(Index);
    return ERROR_SUCCESS;
}

uint32_t NtfsIndex_GetEntryBufferSize(const NtfsIndex* Index)
{
    if (Index == nullptr || Index->RootAttribute == nullptr)
        return 0;
    // The open checked that the root value fits 32 bits.
    uint32_t Size = static_cast<uint32_t>(Index->RootAttribute->ValueLength);
    if (Index->AllocationAttribute != nullptr)
        Size = std::max(Size, BlockBytes(Index));
    return Size;
}

// Reads Output straight from the clusters when the block spans whole
// clusters (one or more); a block smaller than a cluster is cut out of a copy
// of its cluster. Output receives BytesPerIndexBlock bytes; after a failure
// its contents are undefined.
DWORD NtfsIndex_ReadBlock(const uint8_t* RootHeader, NtfsAttribute* Allocation, uint64_t Vcn, uint8_t* Output)
{
    if (RootHeader == nullptr || !NtfsAttribute_IsValid(Allocation) || Output == nullptr)
        return ERROR_INVALID_PARAMETER;
    LeReader Header(RootHeader, IndexRootHeaderLength);
    uint32_t BlockSize = Header.U32(IndexRootBytesPerBlockOffset);
    uint32_t UnitsPerBlock = Header.U8(IndexRootUnitsPerBlockOffset);
    if (BlockSize == 0 || UnitsPerBlock == 0 || BlockSize % UnitsPerBlock != 0)
        return ERROR_INVALID_DATA;
    uint64_t Position = 0;
    if (__builtin_mul_overflow(Vcn, uint64_t{BlockSize / UnitsPerBlock}, &Position))
        return ERROR_INVALID_DATA;
    NtfsVolume* Volume = NtfsAttribute_GetVolume(Allocation);
    uint32_t ClusterSize = NtfsVolume_GetBytesPerCluster(Volume);
    uint32_t Supplied = 0;

    if (ClusterSize <= BlockSize) {
        // A block must start on a cluster: reading from Position / C would
        // otherwise silently take the bytes before it.
        if (BlockSize % ClusterSize != 0 || Position % ClusterSize != 0)
            return ERROR_INVALID_DATA;
        uint32_t Count = BlockSize / ClusterSize;
        DWORD Error = NtfsAttribute_ReadClusters(Allocation, Position / ClusterSize, Count, Output, &Supplied);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (Supplied != Count)
            return ERROR_READ_FAULT;
        return NtfsRecord_ApplyFixup(Volume, Output, BlockSize);
    }

    uint32_t Within = static_cast<uint32_t>(Position % ClusterSize);
    if (BlockSize > ClusterSize - Within)
        return ERROR_INVALID_DATA; // the block would cross into the next cluster
    HeapBuffer Cluster;
    if (!Cluster.Allocate(ClusterSize))
        return ERROR_OUTOFMEMORY;
    DWORD Error = NtfsAttribute_ReadClusters(Allocation, Position / ClusterSize, 1, Cluster.Get(), &Supplied);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (Supplied != 1)
        return ERROR_READ_FAULT;
    Error = NtfsRecord_ApplyFixup(Volume, Cluster.Get() + Within, BlockSize);
    if (Error != ERROR_SUCCESS)
        return Error;
    memcpy(Output, Cluster.Get() + Within, BlockSize);
    return ERROR_SUCCESS;
}

DWORD NtfsIndex_Descend(NtfsIndex* Index)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (Index->AllocationAttribute == nullptr || Index->BitmapAttribute == nullptr || Index->Last == nullptr)
        return ERROR_INVALID_DATA;
    NtfsIndexNode* Parent = Index->Last;
    LeReader Entry(NtfsIndexNode_Data(Parent) + Parent->CurrentEntry, Parent->DataLength - Parent->CurrentEntry);
    if ((Entry.U16(IndexEntryFlagsOffset) & INDEX_ENTRY_NODE) == 0)
        return ERROR_INVALID_PARAMETER;
    if (Index->Depth >= INDEX_MAXIMUM_DEPTH || Index->BlocksLeft == 0)
        return ERROR_INVALID_DATA;
    // CheckEntry made room for the VCN in the entry's last 8 bytes.
    uint64_t Vcn = Entry.U64(Entry.U16(IndexEntryLengthOffset) - IndexEntrySubnodeLength);
    if (Entry.Failed)
        return ERROR_INVALID_DATA;

    uint32_t BlockSize = BlockBytes(Index);
    NodeHolder Node(AllocateNode(BlockSize));
    if (Node.Get() == nullptr)
        return ERROR_OUTOFMEMORY;
    uint8_t* Data = NtfsIndexNode_Data(Node.Get());
    DWORD Error = NtfsIndex_ReadBlock(Index->RootHeader, Index->AllocationAttribute, Vcn, Data);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!StartNode(Index, Node.Get(), BlockSize, IndexBlockIndexHeaderOffset))
        return ERROR_INVALID_DATA;

    Index->BlocksLeft--;
    AppendNode(Index, Node.Detach());
    Parent->Descended = 1;
    return ERROR_SUCCESS;
}

// An in-order walk: a subnode's entries come before the entry that points to
// it, so entries arrive in ascending key order; end entries carry no key and
// are never delivered.
DWORD NtfsIndex_Next(NtfsIndex* Index, void* Buffer, uint32_t* Size)
{
    if (Index == nullptr || Buffer == nullptr || Size == nullptr)
        return ERROR_INVALID_PARAMETER;
    for (;;) {
        NtfsIndexNode* Node = Index->Last;
        if (Node == nullptr)
            return ERROR_FILE_NOT_FOUND;
        const uint8_t* Entry = NtfsIndexNode_Data(Node) + Node->CurrentEntry;
        LeReader Header(Entry, IndexEntryHeaderLength); // CheckEntry: the header is inside
        uint16_t Flags = Header.U16(IndexEntryFlagsOffset);
        if ((Flags & INDEX_ENTRY_NODE) != 0 && Node->Descended == 0) {
            DWORD Error = NtfsIndex_Descend(Index);
            if (Error != ERROR_SUCCESS)
                return Error;
            continue;
        }
        if ((Flags & INDEX_ENTRY_END) != 0) {
            // The parent stands on the entry whose subnode this was.
            PopNode(Index);
            continue;
        }
        uint32_t Length = Header.U16(IndexEntryLengthOffset);
        size_t NextEntry = static_cast<size_t>(Node->CurrentEntry) + Length;
        if (!CheckEntry(Index, Node, NextEntry))
            return ERROR_INVALID_DATA;
        Node->CurrentEntry = static_cast<uint32_t>(NextEntry);
        Node->Descended = 0;
        memcpy(Buffer, Entry, std::min(*Size, Length));
        *Size = Length;
        return ERROR_SUCCESS;
    }
}

DWORD NtfsIndex_Seek(NtfsIndex* Index, const void* Key, uint32_t KeyLength)
{
    if (Index == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (Index->Kind > NtfsIndexKind_SecurityId)
        return ERROR_INVALID_FUNCTION;

    // The search key: a name is laid out as a $FILE_NAME value, since that
    // is what the comparison of file-name keys reads.
    HeapBuffer NameKey;
    const void* SearchKey = Key;
    if (Key != nullptr) {
        if (Index->Kind == NtfsIndexKind_FileName) {
            const char16_t* Name = static_cast<const char16_t*>(Key);
            size_t Length = 0;
            while (Name[Length] != 0 && Length <= FileNameMaximumLength)
                Length++;
            if (Length > FileNameMaximumLength)
                return ERROR_INVALID_PARAMETER;
            if (!NameKey.Allocate(FileNameNameOffset + 2 * Length))
                return ERROR_OUTOFMEMORY;
            uint8_t* Bytes = NameKey.Get();
            Bytes[FileNameLengthOffset] = static_cast<uint8_t>(Length);
            for (size_t i = 0; i < Length; i++)
                StoreLe16(Bytes + FileNameNameOffset + 2 * i, Name[i]);
            SearchKey = Bytes;
        } else {
            uint32_t Needed = Index->Kind == NtfsIndexKind_SecurityHash ? 8 : 4;
            if (KeyLength != Needed)
                return ERROR_INVALID_PARAMETER;
        }
    }

    // The position before the seek, freed on every way out.
    IndexHolder Saved;
    DWORD Error = CopyPosition(Index, &Saved.Index);
    if (Error != ERROR_SUCCESS)
        return Error;
    for (NtfsIndexNode* Node = Index->First; Node != nullptr; Node = Node->Next)
        Node->Found = 0;

    bool Candidate = false;
    while (Index->Last != nullptr) {
        NtfsIndexNode* Node = Index->Last;
        if ((Node->Found & 1) != 0)
            break;
        const uint8_t* Entry = NtfsIndexNode_Data(Node) + Node->CurrentEntry;
        LeReader Header(Entry, IndexEntryHeaderLength);
        uint16_t Flags = Header.U16(IndexEntryFlagsOffset);
        if ((Flags & INDEX_ENTRY_END) != 0) {
            if (Node->Descended != 0 || (Flags & INDEX_ENTRY_NODE) == 0) {
                PopNode(Index);
                continue;
            }
            Error = NtfsIndex_Descend(Index);
            if (Error != ERROR_SUCCESS)
                return Error;
            continue;
        }

        // CheckEntry: the key lies inside the entry.
        const uint8_t* EntryKey = Entry + IndexEntryKeyOffset;
        bool AtOrAbove = SearchKey == nullptr ||
                         (Index->Kind == NtfsIndexKind_FileName ? NtfsIndex_CompareFileNames(EntryKey, SearchKey)
                                                                : NtfsIndex_CompareUlongs(EntryKey, SearchKey, KeyLength)) >= 0;
        if (!AtOrAbove) {
            size_t NextEntry = static_cast<size_t>(Node->CurrentEntry) + Header.U16(IndexEntryLengthOffset);
            if (!CheckEntry(Index, Node, NextEntry))
                return ERROR_INVALID_DATA;
            Node->CurrentEntry = static_cast<uint32_t>(NextEntry);
            Node->Descended = 0;
            continue;
        }
        // A candidate; smaller keys still at or above the search key may lie
        // in its subnode.
        Candidate = true;
        Node->Found |= 1;
        if ((Flags & INDEX_ENTRY_NODE) == 0)
            break;
        Error = NtfsIndex_Descend(Index);
        if (Error != ERROR_SUCCESS)
            return Error;
    }
    if (!Candidate) {
        RestorePosition(Index, &Saved.Index);
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}
