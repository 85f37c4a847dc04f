#include "index_builder.h"

#include <stdexcept>

namespace testindex {

using namespace testimage;

namespace {

size_t Align8(size_t Value) { return (Value + 7) & ~size_t{7}; }

// Header, key, data (8-aligned), then the subnode VCN.
Bytes MakeEntry(uint64_t FirstField, const Bytes& Key, const Bytes& Data, uint16_t Flags,
                std::optional<uint64_t> Subnode, bool DataPointer)
{
    size_t DataOffset = 0x10 + Key.size();
    size_t Length = Align8(DataOffset + Data.size()) + (Subnode ? 8 : 0);
    Bytes Entry(Length, 0);
    if (DataPointer) {
        Put16(Entry, 0x00, static_cast<uint16_t>(DataOffset));
        Put16(Entry, 0x02, static_cast<uint16_t>(Data.size()));
    } else {
        Put64(Entry, 0x00, FirstField);
    }
    Put16(Entry, 0x08, static_cast<uint16_t>(Length));
    Put16(Entry, 0x0A, static_cast<uint16_t>(Key.size()));
    Put16(Entry, 0x0C, static_cast<uint16_t>(Flags | (Subnode ? EntryFlagNode : 0)));
    std::copy(Key.begin(), Key.end(), Entry.begin() + 0x10);
    std::copy(Data.begin(), Data.end(), Entry.begin() + static_cast<ptrdiff_t>(DataOffset));
    if (Subnode)
        Put64(Entry, Length - 8, *Subnode);
    return Entry;
}

// An index header at Offset of Node, entries from FirstEntry to Used.
void PutIndexHeader(Bytes& Node, size_t Offset, size_t FirstEntry, size_t Used, size_t Allocated, bool HasSubnodes)
{
    Put32(Node, Offset + 0x00, static_cast<uint32_t>(FirstEntry - Offset));
    Put32(Node, Offset + 0x04, static_cast<uint32_t>(Used - Offset));
    Put32(Node, Offset + 0x08, static_cast<uint32_t>(Allocated - Offset));
    Node[Offset + 0x0C] = HasSubnodes ? 1 : 0;
}

bool AnySubnode(const std::vector<Bytes>& Entries)
{
    for (const Bytes& Entry : Entries)
        if ((Get16(Entry, EntryFlagsOffset) & EntryFlagNode) != 0)
            return true;
    return false;
}

struct ShapeNode {
    std::vector<size_t> Keys;      // item indices
    std::vector<size_t> Children;  // node indices: one per key, then the end entry's (or none)
};

class TreeShaper {
public:
    TreeShaper(uint32_t Fanout, bool EmptyRoot) : Fanout_(Fanout), EmptyRoot_(EmptyRoot) {}
    std::vector<ShapeNode> Nodes;

    size_t Shape(size_t First, size_t Last, uint32_t Levels, bool IsRoot)
    {
        size_t Self = Nodes.size();
        Nodes.emplace_back();
        if (Levels <= 1) {
            for (size_t i = First; i < Last; i++)
                Nodes[Self].Keys.push_back(i);
            return Self;
        }
        size_t Count = Last - First;
        size_t Keys = 0;
        if (!(IsRoot && EmptyRoot_) && Count > 0)
            Keys = std::min<size_t>(Fanout_ - 1, (Count - 1) / 2);
        size_t Rest = Count - Keys;
        size_t Position = First;
        std::vector<size_t> Children;
        std::vector<size_t> Separators;
        for (size_t Group = 0; Group <= Keys; Group++) {
            size_t Size = Rest / (Keys + 1) + (Group < Rest % (Keys + 1) ? 1 : 0);
            Children.push_back(Shape(Position, Position + Size, Levels - 1, false));
            Position += Size;
            if (Group < Keys)
                Separators.push_back(Position++);
        }
        Nodes[Self].Keys = Separators;
        Nodes[Self].Children = Children;
        return Self;
    }

private:
    uint32_t Fanout_;
    bool EmptyRoot_;
};

} // namespace

Bytes FileNameEntry(uint64_t Reference, const std::u16string& Name, bool IsDirectory, uint8_t Namespace,
                    std::optional<uint64_t> Subnode)
{
    Bytes Key = FileName(FileReference(5, 5), Name, IsDirectory, Namespace);
    return MakeEntry(Reference, Key, {}, 0, Subnode, false);
}

Bytes UlongEntry(const std::vector<uint32_t>& Key, const Bytes& Data, std::optional<uint64_t> Subnode)
{
    Bytes KeyBytes(4 * Key.size(), 0);
    for (size_t i = 0; i < Key.size(); i++)
        Put32(KeyBytes, 4 * i, Key[i]);
    return MakeEntry(0, KeyBytes, Data, 0, Subnode, true);
}

Bytes EndEntry(std::optional<uint64_t> Subnode)
{
    return MakeEntry(0, {}, {}, EntryFlagEnd, Subnode, false);
}

Bytes RootValue(const std::vector<Bytes>& Entries, const Geometry& Shape, uint32_t IndexedType)
{
    Bytes Value(RootFirstEntry, 0);
    Put32(Value, 0x00, IndexedType);
    Put32(Value, 0x04, IndexedType == TypeFileName ? 1 : 0x10);
    Put32(Value, 0x08, Shape.BlockSize);
    Value[0x0C] = Shape.UnitsPerBlock();
    for (const Bytes& Entry : Entries)
        Value.insert(Value.end(), Entry.begin(), Entry.end());
    PutIndexHeader(Value, 0x10, RootFirstEntry, Value.size(), Value.size(), AnySubnode(Entries));
    return Value;
}

size_t BlockFirstEntry(const Geometry& Shape)
{
    return Align8(IndexBlockUsaOffset + 2 * (Shape.BlockSize / SectorSize + 1));
}

Bytes IndexBlock(const std::vector<Bytes>& Entries, const Geometry& Shape, uint64_t Vcn, bool Protect)
{
    Bytes Block(Shape.BlockSize, 0);
    Block[0] = 'I';
    Block[1] = 'N';
    Block[2] = 'D';
    Block[3] = 'X';
    Put16(Block, 0x04, IndexBlockUsaOffset);
    Put16(Block, 0x06, static_cast<uint16_t>(Shape.BlockSize / SectorSize + 1));
    Put64(Block, 0x10, Vcn);
    size_t Position = BlockFirstEntry(Shape);
    for (const Bytes& Entry : Entries) {
        if (Position + Entry.size() > Block.size())
            throw std::length_error("testindex: entries do not fit the index block");
        std::copy(Entry.begin(), Entry.end(), Block.begin() + static_cast<ptrdiff_t>(Position));
        Position += Entry.size();
    }
    PutIndexHeader(Block, BlockIndexHeader, BlockFirstEntry(Shape), Position, Block.size(), AnySubnode(Entries));
    if (Protect)
        ApplyProtection(Block.data(), Block.size(), IndexBlockUsaOffset, static_cast<uint16_t>(0x4000 + Vcn));
    return Block;
}

Tree BuildTree(const std::vector<ItemMaker>& Items, const Geometry& Shape, uint32_t Levels, uint32_t Fanout,
               bool EmptyRoot, uint32_t IndexedType)
{
    TreeShaper Shaper(Fanout, EmptyRoot);
    Shaper.Shape(0, Items.size(), Levels, true);
    const std::vector<ShapeNode>& Nodes = Shaper.Nodes;
    // Node 0 is the root; blocks 1..n-1 get VCNs backwards.
    auto VcnOf = [&](size_t Node) { return static_cast<uint64_t>(Nodes.size() - 1 - Node) * Shape.UnitsPerBlock(); };
    Tree Result;
    Result.Shape = Shape;
    for (size_t Node = 0; Node < Nodes.size(); Node++) {
        std::vector<Bytes> Entries;
        const ShapeNode& Current = Nodes[Node];
        bool Inner = !Current.Children.empty();
        for (size_t k = 0; k < Current.Keys.size(); k++) {
            std::optional<uint64_t> Subnode;
            if (Inner)
                Subnode = VcnOf(Current.Children[k]);
            Entries.push_back(Items[Current.Keys[k]](Subnode));
        }
        std::optional<uint64_t> EndSubnode;
        if (Inner)
            EndSubnode = VcnOf(Current.Children.back());
        Entries.push_back(EndEntry(EndSubnode));
        if (Node == 0)
            Result.Root = RootValue(Entries, Shape, IndexedType);
        else
            Result.Blocks[VcnOf(Node)] = IndexBlock(Entries, Shape, VcnOf(Node));
    }
    return Result;
}

std::vector<ItemMaker> FileNameItems(const std::vector<std::u16string>& SortedNames)
{
    std::vector<ItemMaker> Items;
    for (size_t i = 0; i < SortedNames.size(); i++) {
        std::u16string Name = SortedNames[i];
        uint64_t Reference = FileReference(100 + i, 1);
        Items.push_back([Name, Reference](std::optional<uint64_t> Subnode) {
            return FileNameEntry(Reference, Name, false, NamespacePosix, Subnode);
        });
    }
    return Items;
}

Bytes AllocationStream(const Tree& Index, uint32_t BytesPerCluster)
{
    uint64_t End = 0;
    for (const auto& [Vcn, Block] : Index.Blocks)
        End = std::max<uint64_t>(End, Vcn * Index.Shape.UnitBytes() + Block.size());
    Bytes Stream((End + BytesPerCluster - 1) / BytesPerCluster * BytesPerCluster, 0);
    for (const auto& [Vcn, Block] : Index.Blocks)
        std::copy(Block.begin(), Block.end(), Stream.begin() + static_cast<ptrdiff_t>(Vcn * Index.Shape.UnitBytes()));
    return Stream;
}

uint64_t AddIndex(VolumeBuilder& Volume, uint64_t Segment, const Tree& Index, const std::u16string& Name,
                  bool AddFileName)
{
    RecordBuilder& Record = Volume.Record(Segment);
    Record.SetFlags(RecordFlagInUse | RecordFlagDirectory);
    Record.Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));
    if (AddFileName)
        Record.Add(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"dir", true)));
    Record.Add(ResidentAttribute(TypeIndexRoot, Index.Root, Name));
    if (Index.Blocks.empty())
        return 0;
    Bytes Stream = AllocationStream(Index, Volume.BytesPerCluster());
    uint64_t Clusters = Stream.size() / Volume.BytesPerCluster();
    uint64_t Lcn = Volume.AllocateClusters(Clusters);
    Volume.WriteClusters(Lcn, Stream);
    Record.Add(NonResidentAttribute(TypeIndexAllocation, {{Clusters, static_cast<int64_t>(Lcn)}},
                                    Volume.BytesPerCluster(), Stream.size(), Name));
    size_t BlockCount = Stream.size() / Index.Shape.BlockSize + 1;
    Bytes Bitmap(Align8((BlockCount + 7) / 8), 0);
    for (const auto& [Vcn, Block] : Index.Blocks) {
        uint64_t Number = Vcn / Index.Shape.UnitsPerBlock();
        Bitmap[Number / 8] = static_cast<uint8_t>(Bitmap[Number / 8] | (1u << (Number % 8)));
    }
    Record.Add(ResidentAttribute(TypeBitmap, Bitmap, Name));
    return Lcn;
}

} // namespace testindex
