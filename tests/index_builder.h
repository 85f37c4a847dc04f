// Synthetic B+ tree indexes for tests, on top of image_builder.h.
//
// An NTFS index is a B+ tree whose root node is the resident value of
// $INDEX_ROOT and whose other nodes are fixed-size index blocks ("INDX") in
// the $INDEX_ALLOCATION stream, one bit per block in $BITMAP. A node is an
// index header followed by entries in key order, closed by an end entry. An
// entry with a subnode carries the subnode's VCN in its last 8 bytes; the
// subnode holds the keys below the entry's key (for the end entry: the keys
// above the node's last key).
//
// Like image_builder, this is written from the on-disk format alone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image_builder.h"

namespace testindex {

using testimage::Bytes;

constexpr uint16_t EntryFlagNode = 0x0001;
constexpr uint16_t EntryFlagEnd = 0x0002;

// The geometry of one index: cluster size, block size, and the VCN unit of
// the subnode pointers (a cluster when the block is at least a cluster, else
// 512 bytes).
struct Geometry {
    uint32_t BytesPerCluster = 4096;
    uint32_t BlockSize = 4096;
    uint8_t UnitsPerBlock() const
    {
        return static_cast<uint8_t>(BlockSize >= BytesPerCluster ? BlockSize / BytesPerCluster : BlockSize / 512);
    }
    uint32_t UnitBytes() const { return BlockSize / UnitsPerBlock(); }
};

// One entry; Subnode, when given, sets the node flag and appends the VCN.
// An $I30 entry: file reference, key = a $FILE_NAME value.
Bytes FileNameEntry(uint64_t Reference, const std::u16string& Name, bool IsDirectory = false,
                    uint8_t Namespace = testimage::NamespacePosix, std::optional<uint64_t> Subnode = {});
// A "$SII"/"$SDH" entry: key = the words, data after the key (offset and
// length of the data in the first 4 bytes).
Bytes UlongEntry(const std::vector<uint32_t>& Key, const Bytes& Data, std::optional<uint64_t> Subnode = {});
Bytes EndEntry(std::optional<uint64_t> Subnode = {});

// Entry header fields, for corrupting.
constexpr size_t EntryLengthOffset = 0x08;
constexpr size_t EntryFlagsOffset = 0x0C;

// The $INDEX_ROOT value: the root header (indexed type, collation, block
// size, units per block), the index header and the entries.
Bytes RootValue(const std::vector<Bytes>& Entries, const Geometry& Shape, uint32_t IndexedType = 0x30);
constexpr size_t RootFirstEntry = 0x20;
// One index block of Shape.BlockSize bytes, update sequence applied unless
// Protect is false.
Bytes IndexBlock(const std::vector<Bytes>& Entries, const Geometry& Shape, uint64_t Vcn, bool Protect = true);
constexpr size_t BlockIndexHeader = 0x18;
// Where the entries of an index block start (after the update sequence).
size_t BlockFirstEntry(const Geometry& Shape);

// A whole index: the root value and the blocks by VCN.
struct Tree {
    Geometry Shape;
    Bytes Root;
    std::map<uint64_t, Bytes> Blocks;
};

// An entry to be placed in a tree, given its subnode VCN if it gets one.
using ItemMaker = std::function<Bytes(std::optional<uint64_t>)>;

// Lays out Items (in key order) as a tree of Levels levels (1: all in the
// root). Every inner node gets up to Fanout - 1 keyed entries, each with a
// subnode, plus a subnode under its end entry; the leaves share the rest.
// With EmptyRoot the root holds only its end entry, pointing at one node.
// Blocks get VCNs in the reverse of their creation order, so a reader that
// does not follow the pointers gets the order wrong.
Tree BuildTree(const std::vector<ItemMaker>& Items, const Geometry& Shape, uint32_t Levels, uint32_t Fanout,
               bool EmptyRoot = false, uint32_t IndexedType = 0x30);

// Items for BuildTree: $I30 entries for the names (reference = segment
// 100 + position, sequence 1).
std::vector<ItemMaker> FileNameItems(const std::vector<std::u16string>& SortedNames);

// Puts Index into record Segment: $STANDARD_INFORMATION, a directory
// $FILE_NAME (unless AddFileName is false), $INDEX_ROOT named Name, and when
// there are blocks $INDEX_ALLOCATION (one run) and $BITMAP. Returns the LCN
// of the allocation stream (0 when none).
uint64_t AddIndex(testimage::VolumeBuilder& Volume, uint64_t Segment, const Tree& Index,
                  const std::u16string& Name = u"$I30", bool AddFileName = true);

// The allocation stream of Index: every block at VCN x unit bytes, the
// whole rounded up to clusters.
Bytes AllocationStream(const Tree& Index, uint32_t BytesPerCluster);

} // namespace testindex
