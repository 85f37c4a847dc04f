// Index cursors over synthetic volumes: walks of one to many levels for every
// block and cluster geometry, seeks in "$I30", "$SII" and "$SDH", every
// structural fault of roots, blocks and entries, memory failures, and the
// directory listing built on them.
#include <algorithm>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "image_builder.h"
#include "index_builder.h"
#include "main.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using namespace testimage;
using namespace testindex;

namespace {

constexpr uint64_t DirSegment = 64;

VolumeBuilder MakeVolume(uint32_t BytesPerCluster)
{
    return VolumeBuilder(BytesPerCluster, (8u << 20) / BytesPerCluster, 80);
}

// The image, its volume, the file and one cursor; all released at the end.
class Opened {
public:
    explicit Opened(const VolumeBuilder& Builder, uint64_t Segment = DirSegment) : Image_(Builder)
    {
        std::u16string Name = Wide(Image_.Path());
        EXPECT_EQ(NtfsVolume_Open(Name.c_str(), nullptr, &Volume, 0), ERROR_SUCCESS);
        if (Volume != nullptr) {
            EXPECT_EQ(NtfsFile_Open(Volume, FileReference(Segment, 1), &File), ERROR_SUCCESS);
        }
    }
    ~Opened()
    {
        NtfsIndex_Release(&Index);
        if (File != nullptr)
            NtfsFile_Close(File);
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
    }
    DWORD Open(const char16_t* Name = u"$I30")
    {
        NtfsIndex_Release(&Index);
        return NtfsIndex_Open(File, Name, &Index);
    }
    // Every entry NtfsIndex_Next delivers, whole; the code that ended the walk.
    std::vector<Bytes> Drain(DWORD* End, size_t Limit = 1000000)
    {
        std::vector<Bytes> Entries;
        Bytes Buffer(65536);
        for (;;) {
            uint32_t Size = static_cast<uint32_t>(Buffer.size());
            *End = NtfsIndex_Next(&Index, Buffer.data(), &Size);
            if (*End != ERROR_SUCCESS || Entries.size() == Limit)
                return Entries;
            Entries.emplace_back(Buffer.begin(), Buffer.begin() + Size);
        }
    }
    std::vector<std::u16string> Names(DWORD* End)
    {
        std::vector<std::u16string> Result;
        for (const Bytes& Entry : Drain(End))
            Result.push_back(NameOf(Entry));
        return Result;
    }
    static std::u16string NameOf(const Bytes& Entry)
    {
        std::u16string Name;
        for (size_t i = 0; i < Entry[0x50]; i++)
            Name.push_back(static_cast<char16_t>(Get16(Entry, 0x52 + 2 * i)));
        return Name;
    }

    NtfsVolume* Volume = nullptr;
    NtfsFile* File = nullptr;
    NtfsIndex Index{};

private:
    TempImage Image_;
};

// Names whose ordinal order differs from a case-insensitive or locale order:
// upper case before lower case, accented letters and astral characters
// (surrogate pairs) after every ASCII letter.
std::vector<std::u16string> SortedNames(size_t Count)
{
    static const std::u16string Stems[] = {u"Zeta", u"alpha", u"ABC", u"abc", u"caf\u00e9", u"\u65e5\u672c",
                                           u"\U0001F600", u"a", u"B"};
    std::vector<std::u16string> Names;
    for (size_t i = 0; i < Count; i++) {
        std::string Number = std::to_string(i * 2);
        Names.push_back(Stems[i % 9] + Wide(std::string(4 - Number.size(), '0') + Number));
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

struct WalkCase {
    const char* Label;
    uint32_t BytesPerCluster;
    uint32_t BlockSize;
    uint32_t Levels;
    size_t Count;
    bool EmptyRoot;
};

std::ostream& operator<<(std::ostream& Stream, const WalkCase& Case) { return Stream << Case.Label; }

class IndexWalk : public ::testing::TestWithParam<WalkCase> {};

// Blocks above, equal to and below the cluster size (the last counted in
// 512-byte VCN units), from the root alone to four levels under an empty
// root, as a large directory grows.
INSTANTIATE_TEST_SUITE_P(
    Geometries, IndexWalk,
    ::testing::Values(WalkCase{"RootOnly", 4096, 4096, 1, 6, false},
                      WalkCase{"TwoLevels_Cluster4096_Block4096", 4096, 4096, 2, 60, false},
                      WalkCase{"ThreeLevels_Cluster512_Block4096", 512, 4096, 3, 200, false},
                      WalkCase{"ThreeLevels_Cluster2048_Block4096", 2048, 4096, 3, 200, false},
                      WalkCase{"ThreeLevels_Cluster4096_Block1024", 4096, 1024, 3, 100, false},
                      WalkCase{"ThreeLevels_Cluster65536_Block4096", 65536, 4096, 3, 200, false},
                      WalkCase{"FourLevelsEmptyRoot_Cluster65536_Block1024", 65536, 1024, 4, 100, true},
                      WalkCase{"TwoLevelsEmptyRoot_Cluster1024_Block4096", 1024, 4096, 2, 30, true}),
    [](const ::testing::TestParamInfo<WalkCase>& Info) { return std::string(Info.param.Label); });

TEST_P(IndexWalk, DeliversEveryEntryOnceInKeyOrder)
{
    const WalkCase& Case = GetParam();
    Geometry Shape{Case.BytesPerCluster, Case.BlockSize};
    std::vector<std::u16string> Names = SortedNames(Case.Count);
    Tree Index = BuildTree(FileNameItems(Names), Shape, Case.Levels, 4, Case.EmptyRoot);
    ASSERT_EQ(Index.Blocks.empty(), Case.Levels == 1);
    VolumeBuilder Builder = MakeVolume(Case.BytesPerCluster);
    AddIndex(Builder, DirSegment, Index);
    Opened Dir(Builder);
    ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);

    DWORD End = 0;
    std::vector<Bytes> Entries = Dir.Drain(&End);
    EXPECT_EQ(End, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(Entries.size(), Names.size());
    for (size_t i = 0; i < Names.size(); i++) {
        EXPECT_EQ(Opened::NameOf(Entries[i]), Names[i]) << i;
        EXPECT_EQ(Get64(Entries[i], 0), FileReference(100 + i, 1)) << i;
    }
    // Exhausted stays exhausted.
    uint8_t Buffer[16];
    uint32_t Size = sizeof(Buffer);
    EXPECT_EQ(NtfsIndex_Next(&Dir.Index, Buffer, &Size), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Memory is bounded by the depth: nothing is left once the walk is over.
    EXPECT_EQ(Dir.Index.First, nullptr);
    EXPECT_EQ(Dir.Index.Depth, 0u);
}

TEST(IndexCursor, EmptyRootAndShortBuffers)
{
    VolumeBuilder Builder = MakeVolume(4096);
    Geometry Shape;
    Tree Empty = BuildTree({}, Shape, 1, 4);
    AddIndex(Builder, DirSegment, Empty);
    Tree Small = BuildTree(FileNameItems({u"one", u"two"}), Shape, 1, 4);
    AddIndex(Builder, DirSegment + 1, Small);
    {
        Opened Dir(Builder);
        ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
        EXPECT_EQ(NtfsIndex_Seek(&Dir.Index, u"a", 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        DWORD End = 0;
        EXPECT_TRUE(Dir.Drain(&End).empty());
        EXPECT_EQ(End, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    // A 16-byte buffer receives the entry header and learns the full length.
    Opened Dir(Builder, DirSegment + 1);
    ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
    Bytes Expected = FileNameEntry(FileReference(100, 1), u"one");
    uint8_t Buffer[24];
    memset(Buffer, 0xEE, sizeof(Buffer));
    uint32_t Size = 16;
    ASSERT_EQ(NtfsIndex_Next(&Dir.Index, Buffer, &Size), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Size, Expected.size());
    EXPECT_EQ(Bytes(Buffer, Buffer + 16), Bytes(Expected.begin(), Expected.begin() + 16));
    EXPECT_EQ(Buffer[16], 0xEE);
    Size = 16;
    ASSERT_EQ(NtfsIndex_Next(&Dir.Index, Buffer, &Size), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Size, FileNameEntry(FileReference(101, 1), u"two").size());
}

TEST(IndexCursor, OpenByName)
{
    VolumeBuilder Builder = MakeVolume(4096);
    AddIndex(Builder, DirSegment, BuildTree(FileNameItems({u"x"}), Geometry{}, 1, 4));
    Opened Dir(Builder);
    EXPECT_EQ(Dir.Open(u"$i30"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Dir.Open(u"$I3"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Dir.Open(u"$SII"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(NtfsIndex_Open(Dir.File, nullptr, &Dir.Index), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Dir.Open(), ERROR_SUCCESS);
    EXPECT_EQ(Dir.Index.Kind, static_cast<uint32_t>(NtfsIndexKind_FileName));
}

// ---- Seeks ----

class ThreeLevelDirectory : public ::testing::Test {
protected:
    // 120 names k0000, k0002, ... k0238: every odd number lies between two.
    ThreeLevelDirectory()
    {
        for (int i = 0; i < 120; i++)
            Names.push_back(Key(2 * i));
        AddIndex(Builder, DirSegment, BuildTree(FileNameItems(Names), Geometry{}, 3, 4));
    }
    static std::u16string Key(int Number)
    {
        std::string Digits = std::to_string(Number);
        std::u16string Text = u"k";
        Text += Wide(std::string(4 - Digits.size(), '0') + Digits);
        return Text;
    }
    std::vector<std::u16string> Names;
    VolumeBuilder Builder = MakeVolume(4096);
};

TEST_F(ThreeLevelDirectory, SeekStandsOnTheFirstKeyAtOrAbove)
{
    Opened Dir(Builder);
    for (int Number = -1; Number < 239; Number++) {
        ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
        std::u16string Wanted = Number < 0 ? u"A" : Key(Number); // "A" sorts below "k"
        ASSERT_EQ(NtfsIndex_Seek(&Dir.Index, Wanted.c_str(), 0), ERROR_SUCCESS) << Number;
        DWORD End = 0;
        std::vector<std::u16string> Rest = Dir.Names(&End);
        size_t First = Number < 0 ? 0 : static_cast<size_t>(Number + 1) / 2;
        EXPECT_EQ(Rest, std::vector<std::u16string>(Names.begin() + static_cast<ptrdiff_t>(First), Names.end()))
            << Number;
        EXPECT_EQ(End, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    // No key: the first entry.
    ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
    ASSERT_EQ(NtfsIndex_Seek(&Dir.Index, nullptr, 0), ERROR_SUCCESS);
    DWORD End = 0;
    EXPECT_EQ(Dir.Names(&End), Names);
}

TEST_F(ThreeLevelDirectory, FailedSeekLeavesTheIndexAsOpened)
{
    Opened Dir(Builder);
    ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
    EXPECT_EQ(NtfsIndex_Seek(&Dir.Index, u"k0239", 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Dir.Index.Depth, 1u);
    DWORD End = 0;
    EXPECT_EQ(Dir.Names(&End), Names); // the whole walk, blocks entered by the seek included
    EXPECT_EQ(End, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ThreeLevelDirectory, SeekArguments)
{
    Opened Dir(Builder);
    ASSERT_EQ(Dir.Open(), ERROR_SUCCESS);
    std::u16string Longest(255, u'k');
    EXPECT_EQ(NtfsIndex_Seek(&Dir.Index, Longest.c_str(), 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::u16string TooLong(256, u'a');
    EXPECT_EQ(NtfsIndex_Seek(&Dir.Index, TooLong.c_str(), 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NtfsIndex_Seek(nullptr, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Dir.Index.Kind = 3;
    EXPECT_EQ(NtfsIndex_Seek(&Dir.Index, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

// "$SII" keys are security ids; "$SDH" keys are (hash, security id), ordered
// word by word, hash first: not as one little-endian 64-bit number.
class SecurityIndexes : public ::testing::Test {
protected:
    SecurityIndexes()
    {
        std::vector<ItemMaker> Ids;
        for (uint32_t i = 0; i < 80; i++) {
            uint32_t Id = 0x100 + 2 * i;
            Ids.push_back([Id](std::optional<uint64_t> Subnode) { return UlongEntry({Id}, Data(Id), Subnode); });
        }
        AddIndex(Builder, 9, BuildTree(Ids, Geometry{}, 3, 4, false, 0), u"$SII", false);
        std::vector<ItemMaker> Hashes;
        for (uint32_t i = 0; i < 80; i++) {
            // hash i / 2 (two ids per hash), ids falling as the hashes rise
            uint32_t Hash = i / 2;
            uint32_t Id = 0x1000 - i;
            if (i % 2 == 1)
                Id += 2; // keep the ids of one hash ascending
            Hashes.push_back(
                [Hash, Id](std::optional<uint64_t> Subnode) { return UlongEntry({Hash, Id}, Data(Id), Subnode); });
            SdhKeys.push_back({Hash, Id});
        }
        AddIndex(Builder, 9, BuildTree(Hashes, Geometry{}, 3, 4, false, 0), u"$SDH", false);
    }
    static Bytes Data(uint32_t Id)
    {
        Bytes Value(20, 0);
        Put32(Value, 8, Id);
        return Value;
    }
    static std::vector<uint32_t> Words(const Bytes& Entry, size_t Count)
    {
        std::vector<uint32_t> Result;
        for (size_t i = 0; i < Count; i++)
            Result.push_back(Get32(Entry, 0x10 + 4 * i));
        return Result;
    }
    VolumeBuilder Builder = MakeVolume(4096);
    std::vector<std::vector<uint32_t>> SdhKeys;
};

TEST_F(SecurityIndexes, SeekById)
{
    Opened Secure(Builder, 9);
    struct {
        uint32_t Key;
        DWORD Result;
        uint32_t First;
        size_t Remaining;
    } Cases[] = {
        {0x100, ERROR_SUCCESS, 0x100, 80}, {0x101, ERROR_SUCCESS, 0x102, 79}, {0x19E, ERROR_SUCCESS, 0x19E, 1},
        {0x19F, ERROR_FILE_NOT_FOUND, 0x100, 80}, {0, ERROR_SUCCESS, 0x100, 80}, {0x80000000u, ERROR_FILE_NOT_FOUND, 0x100, 80},
    };
    for (const auto& Case : Cases) {
        ASSERT_EQ(Secure.Open(u"$SII"), ERROR_SUCCESS);
        EXPECT_EQ(Secure.Index.Kind, static_cast<uint32_t>(NtfsIndexKind_SecurityId));
        uint8_t Key[4];
        memcpy(Key, &Case.Key, 4);
        EXPECT_EQ(NtfsIndex_Seek(&Secure.Index, Key, 4), Case.Result) << Case.Key;
        DWORD End = 0;
        std::vector<Bytes> Rest = Secure.Drain(&End);
        ASSERT_EQ(Rest.size(), Case.Remaining) << Case.Key;
        EXPECT_EQ(Words(Rest[0], 1)[0], Case.First);
        EXPECT_EQ(Get16(Rest[0], 0), 0x14);    // data offset
        EXPECT_EQ(Get32(Rest[0], 0x14 + 8), Case.First);
    }
    ASSERT_EQ(Secure.Open(u"$SII"), ERROR_SUCCESS);
    uint8_t Eight[8] = {};
    EXPECT_EQ(NtfsIndex_Seek(&Secure.Index, Eight, 8), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SecurityIndexes, SeekByHashThenId)
{
    Opened Secure(Builder, 9);
    std::vector<std::vector<uint32_t>> Sorted = SdhKeys;
    std::sort(Sorted.begin(), Sorted.end());
    ASSERT_EQ(Sorted, SdhKeys);
    // (hash 5, id 0) lies below both ids of hash 5, whatever their size.
    uint32_t Key[2] = {5, 0};
    ASSERT_EQ(Secure.Open(u"$SDH"), ERROR_SUCCESS);
    ASSERT_EQ(NtfsIndex_Seek(&Secure.Index, Key, 8), ERROR_SUCCESS);
    DWORD End = 0;
    std::vector<Bytes> Rest = Secure.Drain(&End);
    ASSERT_EQ(Rest.size(), 70u);
    EXPECT_EQ(Words(Rest[0], 2), SdhKeys[10]);
    EXPECT_EQ(Words(Rest[1], 2), SdhKeys[11]);
    // Equal to the second key of hash 5.
    uint32_t Between[2] = {5, SdhKeys[10][1] + 1};
    ASSERT_EQ(Secure.Open(u"$SDH"), ERROR_SUCCESS);
    ASSERT_EQ(NtfsIndex_Seek(&Secure.Index, Between, 8), ERROR_SUCCESS);
    EXPECT_EQ(Words(Secure.Drain(&End)[0], 2), SdhKeys[11]);
    uint32_t Above[2] = {40, 0};
    ASSERT_EQ(Secure.Open(u"$SDH"), ERROR_SUCCESS);
    EXPECT_EQ(NtfsIndex_Seek(&Secure.Index, Above, 8), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Secure.Drain(&End).size(), 80u);
    ASSERT_EQ(Secure.Open(u"$SDH"), ERROR_SUCCESS);
    EXPECT_EQ(NtfsIndex_Seek(&Secure.Index, Key, 4), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Structural faults ----

// A two-level $I30 (a root with two keyed entries and three leaves of three)
// to be damaged one way per case.
struct Damaged {
    Damaged(uint32_t BytesPerCluster = 4096, uint32_t BlockSize = 4096) : Shape{BytesPerCluster, BlockSize}
    {
        for (int i = 0; i < 11; i++)
            Names.push_back(std::u16string(u"n") += Wide(std::to_string(10 + i)));
        Index = BuildTree(FileNameItems(Names), Shape, 2, 3);
    }
    // The leaf holding the first names, and the one after it.
    uint64_t LeafVcn(size_t Position) const
    {
        auto It = Index.Blocks.end();
        std::advance(It, -static_cast<ptrdiff_t>(Position) - 1);
        return It->first;
    }
    // Rebuilds one block's entries unprotected, lets Edit change them, then
    // protects the block again.
    void EditBlock(uint64_t Vcn, const std::function<void(Bytes&)>& Edit)
    {
        Bytes& Block = Index.Blocks[Vcn];
        // Undo the protection: the array at 0x28 holds the saved sector ends.
        for (size_t Sector = 0; Sector < Block.size() / 512; Sector++) {
            Block[Sector * 512 + 510] = Block[0x2A + 2 * Sector];
            Block[Sector * 512 + 511] = Block[0x2B + 2 * Sector];
        }
        Edit(Block);
        ApplyProtection(Block.data(), Block.size(), IndexBlockUsaOffset, 0x77);
    }
    std::vector<std::u16string> Names;
    Geometry Shape;
    Tree Index;
};

struct FaultResult {
    DWORD OpenError;
    DWORD WalkError;
    size_t Delivered;
};

FaultResult WalkDamaged(Damaged& Case, const std::function<void(VolumeBuilder&, RecordBuilder&)>& Tweak = {})
{
    VolumeBuilder Builder = MakeVolume(Case.Shape.BytesPerCluster);
    AddIndex(Builder, DirSegment, Case.Index);
    if (Tweak)
        Tweak(Builder, Builder.Record(DirSegment));
    Opened Dir(Builder);
    FaultResult Result{Dir.Open(), 0, 0};
    if (Result.OpenError == ERROR_SUCCESS)
        Result.Delivered = Dir.Drain(&Result.WalkError).size();
    return Result;
}

// The attribute record of Type in the record, to patch.
Bytes& AttributeOf(RecordBuilder& Record, uint32_t Type)
{
    for (Bytes& Attribute : Record.Attributes())
        if (Get32(Attribute, 0) == Type)
            return Attribute;
    throw std::logic_error("no such attribute");
}

// The root value inside the $INDEX_ROOT attribute record.
size_t RootValueOffset(RecordBuilder& Record) { return Get16(AttributeOf(Record, TypeIndexRoot), 0x14); }

TEST(IndexFaults, Root)
{
    Damaged Intact;
    FaultResult Good = WalkDamaged(Intact);
    EXPECT_EQ(Good.OpenError, ERROR_SUCCESS);
    EXPECT_EQ(Good.WalkError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Good.Delivered, 11u);

    struct {
        const char* What;
        size_t Offset; // in the root value
        uint32_t Value;
        size_t Width;
    } Cases[] = {
        {"block size 0", 0x08, 0, 4},
        {"units per block 0", 0x0C, 0, 1},
        {"units do not divide the block", 0x0C, 3, 1},
        {"block smaller than the cluster and not dividing it", 0x08, 1536, 4},
        {"entries offset past the value", 0x10, 0x400, 4},
        {"first entry of length 0", RootFirstEntry + EntryLengthOffset, 0, 2},
        {"first entry of length 8", RootFirstEntry + EntryLengthOffset, 8, 2},
        {"first entry longer than the value", RootFirstEntry + EntryLengthOffset, 0x1000, 2},
        {"key longer than its entry", RootFirstEntry + 0x10 + 0x40, 200, 1},
    };
    for (const auto& Case : Cases) {
        Damaged Broken;
        FaultResult Result = WalkDamaged(Broken, [&](VolumeBuilder&, RecordBuilder& Record) {
            Bytes& Root = AttributeOf(Record, TypeIndexRoot);
            size_t At = RootValueOffset(Record) + Case.Offset;
            for (size_t i = 0; i < Case.Width; i++)
                Root[At + i] = static_cast<uint8_t>(Case.Value >> (8 * i));
        });
        EXPECT_EQ(Result.OpenError, static_cast<DWORD>(ERROR_INVALID_DATA)) << Case.What;
    }

    // Root values too short for the root header or for the index header.
    for (size_t Length : {8u, 16u, 24u}) {
        Damaged Broken;
        Broken.Index.Root.resize(Length);
        EXPECT_EQ(WalkDamaged(Broken).OpenError, static_cast<DWORD>(ERROR_INVALID_DATA)) << Length;
    }
}

TEST(IndexFaults, AllocationAndBitmapGoTogether)
{
    for (uint32_t Dropped : {TypeIndexAllocation, TypeBitmap}) {
        Damaged Broken;
        FaultResult Result = WalkDamaged(Broken, [&](VolumeBuilder&, RecordBuilder& Record) {
            auto& Attributes = Record.Attributes();
            Attributes.erase(std::find(Attributes.begin(), Attributes.end(), AttributeOf(Record, Dropped)));
        });
        EXPECT_EQ(Result.OpenError, static_cast<DWORD>(ERROR_INVALID_DATA)) << Dropped;
    }
    // Neither: fine until a subnode must be entered.
    Damaged Broken;
    FaultResult Result = WalkDamaged(Broken, [&](VolumeBuilder&, RecordBuilder& Record) {
        auto& Attributes = Record.Attributes();
        Attributes.erase(std::find(Attributes.begin(), Attributes.end(), AttributeOf(Record, TypeIndexAllocation)));
        Attributes.erase(std::find(Attributes.begin(), Attributes.end(), AttributeOf(Record, TypeBitmap)));
    });
    EXPECT_EQ(Result.OpenError, ERROR_SUCCESS);
    EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Result.Delivered, 0u);
}

TEST(IndexFaults, Entries)
{
    // Each case damages the first leaf (names n10 to n12), whose entries come
    // first in key order.
    const size_t First = BlockFirstEntry(Geometry{});
    const size_t EntrySize = FileNameEntry(0, u"n10").size();
    struct {
        const char* What;
        size_t Offset; // in the leaf
        uint32_t Value;
        size_t Width;
        size_t Delivered; // before the error
    } Cases[] = {
        {"entries offset past the block", BlockIndexHeader, 0x2000, 4, 0},
        {"first entry past the block end", First + EntryLengthOffset, 0x1000, 2, 0},
        {"first entry of length 0", First + EntryLengthOffset, 0, 2, 0},
        {"second entry of length 12", First + EntrySize + EntryLengthOffset, 12, 2, 0},
        {"third entry a node too short for its VCN", First + 2 * EntrySize + EntryLengthOffset, 16, 2, 1},
        {"key longer than its entry", First + EntrySize + 0x10 + 0x40, 40, 1, 0},
    };
    for (const auto& Case : Cases) {
        Damaged Broken;
        Broken.EditBlock(Broken.LeafVcn(0), [&](Bytes& Block) {
            for (size_t i = 0; i < Case.Width; i++)
                Block[Case.Offset + i] = static_cast<uint8_t>(Case.Value >> (8 * i));
            if (Case.Value == 16) // make it a node entry
                Block[Case.Offset - EntryLengthOffset + EntryFlagsOffset] |= EntryFlagNode;
        });
        FaultResult Result = WalkDamaged(Broken);
        EXPECT_EQ(Result.OpenError, ERROR_SUCCESS) << Case.What;
        EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA)) << Case.What;
        EXPECT_EQ(Result.Delivered, Case.Delivered) << Case.What;
    }
}

TEST(IndexFaults, BlockFixupFailsInTheMiddle)
{
    Damaged Broken;
    // The third leaf (n18 to n20) comes after eight names.
    Bytes& Block = Broken.Index.Blocks[Broken.LeafVcn(2)];
    Block[512 + 510] ^= 0xFF;
    FaultResult Result = WalkDamaged(Broken);
    EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Result.Delivered, 8u);
}

TEST(IndexFaults, SubnodeOutsideTheStreamIsAReadFault)
{
    Damaged Broken;
    Broken.Index.Root = RootValue({FileNameEntry(FileReference(100, 1), u"a", false, 0, 0x400), EndEntry()},
                                  Broken.Shape);
    EXPECT_EQ(WalkDamaged(Broken).WalkError, static_cast<DWORD>(ERROR_READ_FAULT));
}

// Subnode pointers that make a cycle or share blocks between branches end
// with 13 quickly, in bounded memory.
TEST(IndexFaults, CyclesAndSharedBlocks)
{
    Geometry Shape;
    auto Started = std::chrono::steady_clock::now();
    {
        // A block whose first entry points back at the block itself.
        Damaged Cycle;
        Cycle.Index.Root = RootValue({EndEntry(7)}, Shape);
        Cycle.Index.Blocks = {{7, IndexBlock({FileNameEntry(1, u"a", false, 0, 7), EndEntry()}, Shape, 7)}};
        FaultResult Result = WalkDamaged(Cycle);
        EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(Result.Delivered, 0u);
    }
    {
        // 40 blocks, each with two entries pointing at the next: 2^40 walks
        // of a path of 41 nodes, all within the depth bound.
        Damaged Shared;
        Shared.Index.Root = RootValue({EndEntry(0)}, Shape);
        Shared.Index.Blocks.clear();
        for (uint64_t Vcn = 0; Vcn < 40; Vcn++) {
            std::optional<uint64_t> Down;
            if (Vcn < 39)
                Down = Vcn + 1;
            Shared.Index.Blocks[Vcn] = IndexBlock(
                {FileNameEntry(1, u"a", false, 0, Down), FileNameEntry(2, u"b", false, 0, Down), EndEntry(Down)},
                Shape, Vcn);
        }
        FaultResult Result = WalkDamaged(Shared);
        EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_LT(Result.Delivered, 100u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - Started, std::chrono::seconds(10));
}

TEST(IndexFaults, DepthBound)
{
    // A chain of nodes holding only an end entry with a subnode, one name at
    // the bottom: 64 levels are walked, 65 are refused.
    for (uint32_t Levels : {INDEX_MAXIMUM_DEPTH, INDEX_MAXIMUM_DEPTH + 1}) {
        Damaged Chain;
        Chain.Index = BuildTree(FileNameItems({u"bottom"}), Chain.Shape, Levels, 1);
        ASSERT_EQ(Chain.Index.Blocks.size(), Levels - 1);
        FaultResult Result = WalkDamaged(Chain);
        if (Levels == INDEX_MAXIMUM_DEPTH) {
            EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
            EXPECT_EQ(Result.Delivered, 1u);
        } else {
            EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
            EXPECT_EQ(Result.Delivered, 0u);
        }
    }
}

TEST(IndexFaults, BlockGeometry)
{
    {
        // 65536-byte clusters, 4096-byte blocks in 512-byte units: the block
        // at VCN 24 is bytes 12288 to 16383 of its cluster; one at VCN 127
        // would cross into the next cluster.
        Damaged Case(65536, 4096);
        Geometry Shape = Case.Shape;
        ASSERT_EQ(Shape.UnitBytes(), 512u);
        Case.Index.Root = RootValue({FileNameEntry(1, u"x", false, 0, 24), EndEntry(127)}, Shape);
        Case.Index.Blocks = {{24, IndexBlock({FileNameEntry(2, u"a"), EndEntry()}, Shape, 24)},
                             {127, Bytes(4096 - 512, 0)}};
        FaultResult Result = WalkDamaged(Case);
        EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(Result.Delivered, 2u);
    }
    {
        // A block of 6144 bytes over 4096-byte clusters.
        Damaged Case(4096, 4096);
        Geometry Odd{4096, 6144};
        Case.Index.Root = RootValue({EndEntry(0)}, Odd);
        Case.Index.Blocks = {{0, IndexBlock({EndEntry()}, Odd, 0)}};
        Case.Index.Shape = Odd;
        FaultResult Result = WalkDamaged(Case);
        EXPECT_EQ(Result.OpenError, ERROR_SUCCESS);
        EXPECT_EQ(Result.WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    {
        // 8192-byte blocks counted in 512-byte units over 4096-byte clusters:
        // VCN 1 would start the block inside a cluster.
        Damaged Case(4096, 8192);
        Bytes& Root = Case.Index.Root;
        Root[0x0C] = 16;
        Put64(Root, RootFirstEntry + Get16(Root, RootFirstEntry + EntryLengthOffset) - 8, 1);
        EXPECT_EQ(WalkDamaged(Case).WalkError, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

// Every allocation of the open, the walk and a seek may fail: the call then
// answers 14 and the cursor can still be released.
TEST(IndexFaults, OutOfMemory)
{
    SKIP_WITHOUT_FAULT_POINTS();
    std::vector<std::u16string> Names = SortedNames(60);
    VolumeBuilder Builder = MakeVolume(4096);
    AddIndex(Builder, DirSegment, BuildTree(FileNameItems(Names), Geometry{}, 3, 3));
    Opened Dir(Builder);
    FaultGuard Guard;
    bool Failed[3] = {}; // in the open, the seek, the walk
    for (uint32_t Skip = 0;; Skip++) {
        ASSERT_LT(Skip, 100u);
        NtfsIndex_Release(&Dir.Index);
        Fault_Arm(FaultPoint::Alloc, Skip, FaultKind::Fail, 0);
        int Stage = 0;
        DWORD Error = NtfsIndex_Open(Dir.File, u"$I30", &Dir.Index);
        if (Error == ERROR_SUCCESS) {
            Stage = 1;
            Error = NtfsIndex_Seek(&Dir.Index, u"S", 0);
        }
        if (Error == ERROR_SUCCESS) {
            Stage = 2;
            Dir.Drain(&Error);
            if (Error == ERROR_FILE_NOT_FOUND)
                break; // the fault point lies past the whole walk
        }
        EXPECT_EQ(Error, static_cast<DWORD>(ERROR_OUTOFMEMORY)) << Skip;
        Failed[Stage] = true;
        Fault_DisarmAll();
    }
    EXPECT_TRUE(Failed[0]);
    EXPECT_TRUE(Failed[1]);
    EXPECT_TRUE(Failed[2]);
}

// ---- The directory listing ----

class Listing : public ::testing::Test {
protected:
    std::string List(const VolumeBuilder& Builder, DWORD* Result, uint64_t Segment = DirSegment)
    {
        Opened Dir(Builder, Segment);
        ConsoleCapture Capture;
        *Result = ListDirectory(Dir.File);
        return Capture.Text();
    }
    std::string IfDirectory(const VolumeBuilder& Builder, uint64_t Segment = DirSegment)
    {
        Opened Dir(Builder, Segment);
        ConsoleCapture Capture;
        ListDirectoryIfDirectory(Dir.File);
        return Capture.Text();
    }
    static constexpr const char* Heading = "files in this directory:\n"
                                           "FileReference            Filename\n"
                                           "----------------------------------------------------------------\n";
};

TEST_F(Listing, LinesOfEveryNamespace)
{
    VolumeBuilder Builder = MakeVolume(4096);
    Geometry Shape;
    std::vector<Bytes> Entries = {
        FileNameEntry(FileReference(0x41, 2), u"", false, NamespacePosix),
        FileNameEntry(FileReference(0x42, 1), u"LONGNA~1.TXT", false, NamespaceDos),
        FileNameEntry(FileReference(0x43, 7), u"caf\u00e9 \U0001F600", false, NamespaceWin32AndDos),
        FileNameEntry(FileReference(0x44, 1), u"long name.txt", false, NamespaceWin32),
        FileNameEntry(FileReference(0x42, 1), u"long name.txt", false, NamespaceWin32),
        FileNameEntry(FileReference(0x45, 3), u"sub", true, NamespacePosix),
        // A lone surrogate prints as U+FFFD; a NUL unit as its control picture,
        // and the name goes on.
        FileNameEntry(FileReference(0x46, 1), std::u16string(u"\xDC00x\xD83D", 3), false, NamespacePosix),
        FileNameEntry(FileReference(0x47, 1), std::u16string(u"z\0hidden", 8), false, NamespacePosix),
        // Each edge of the controls that are pictured or replaced, with its
        // neighbour that prints as itself.
        FileNameEntry(FileReference(0x48, 1), u"~\x1f \x7f\x80\x9f\xa0\u2029\u202a\u202e\u202f\u2065\u2066\u2069\u206a",
                      false, NamespacePosix),
        EndEntry(),
    };
    Tree Index{Shape, RootValue({EndEntry(0)}, Shape), {{0, IndexBlock(Entries, Shape, 0)}}};
    AddIndex(Builder, DirSegment, Index);
    DWORD Result = 0;
    EXPECT_EQ(List(Builder, &Result), std::string(Heading) +
                                          "0x0002000000000041       \n"
                                          "0x0001000000000042       LONGNA~1.TXT\n"
                                          "0x0007000000000043       caf\xc3\xa9 \xf0\x9f\x98\x80\n"
                                          "0x0001000000000044       long name.txt\n"
                                          "0x0001000000000042       long name.txt\n"
                                          "0x0003000000000045 <DIR> sub\n"
                                          "0x0001000000000046       \xef\xbf\xbdx\xef\xbf\xbd\n"
                                          "0x0001000000000047       z\xe2\x90\x80hidden\n"
                                          "0x0001000000000048       ~\u241f \u2421\ufffd\ufffd\u00a0\u2029\ufffd\ufffd\u202f"
                                          "\u2065\ufffd\ufffd\u206a\n");
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Listing, EmptyDirectoryAndFailures)
{
    VolumeBuilder Builder = MakeVolume(4096);
    AddIndex(Builder, DirSegment, BuildTree({}, Geometry{}, 1, 4));
    Damaged Broken;
    Broken.Index.Blocks[Broken.LeafVcn(1)][510] ^= 1; // n14 to n16: after four names
    AddIndex(Builder, DirSegment + 1, Broken.Index);
    Builder.Record(DirSegment + 2).Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));

    DWORD Result = 0;
    EXPECT_EQ(List(Builder, &Result), Heading);
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(List(Builder, &Result, DirSegment + 1), std::string(Heading) +
                                                          "0x0001000000000064       n10\n"
                                                          "0x0001000000000065       n11\n"
                                                          "0x0001000000000066       n12\n"
                                                          "0x0001000000000067       n13\n"
                                                          "Error occured during listing files, error is 13\n");
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_INVALID_DATA));
    // No $I30: the open's code, nothing printed.
    EXPECT_EQ(List(Builder, &Result, DirSegment + 2), "");
    EXPECT_EQ(Result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ListDirectory(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Listing, DirectoryTest)
{
    VolumeBuilder Builder = MakeVolume(4096);
    AddIndex(Builder, DirSegment, BuildTree(FileNameItems({u"only"}), Geometry{}, 1, 4));
    // A plain file.
    Builder.Record(65)
        .Add(ResidentAttribute(TypeStandardInformation, StandardInformation()))
        .Add(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"file.txt")));
    // No $FILE_NAME at all, and one too short to hold a name character.
    Builder.Record(66).Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));
    Bytes Short = FileName(FileReference(5, 5), u"", true);
    Builder.Record(67)
        .Add(ResidentAttribute(TypeStandardInformation, StandardInformation()))
        .Add(ResidentAttribute(TypeFileName, Short));
    // A directory whose $FILE_NAME lives in an extension record, listed in
    // the base record's attribute list.
    Bytes List;
    for (const Bytes& Entry : {AttributeListEntry(TypeStandardInformation, {}, 0, FileReference(68, 1), 0),
                               AttributeListEntry(TypeFileName, {}, 0, FileReference(69, 1), 0),
                               AttributeListEntry(TypeIndexRoot, u"$I30", 0, FileReference(68, 1), 2)})
        List.insert(List.end(), Entry.begin(), Entry.end());
    AttributeFields Information = ResidentAttribute(TypeStandardInformation, StandardInformation());
    Information.Instance = 0;
    AttributeFields ListAttribute = ResidentAttribute(TypeAttributeList, List);
    ListAttribute.Instance = 1;
    AttributeFields Root =
        ResidentAttribute(TypeIndexRoot, BuildTree(FileNameItems({u"moved"}), Geometry{}, 1, 4).Root, u"$I30");
    Root.Instance = 2;
    Builder.Record(68).SetFlags(RecordFlagInUse | RecordFlagDirectory).Add(Information).Add(ListAttribute).Add(Root);
    AttributeFields Name = ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"overflowed", true));
    Name.Instance = 0;
    Builder.Record(69).SetBaseReference(FileReference(68, 1)).Add(Name);

    EXPECT_EQ(IfDirectory(Builder), std::string(Heading) + "0x0001000000000064       only\n");
    EXPECT_EQ(IfDirectory(Builder, 65), "This file is not a directory\n");
    EXPECT_EQ(IfDirectory(Builder, 66), "Unable to locate $FILE_NAME attribute\n");
    EXPECT_EQ(IfDirectory(Builder, 67), "Unable to read $FILE_NAME attribute, error is 0\n");
    EXPECT_EQ(IfDirectory(Builder, 68), std::string(Heading) + "0x0001000000000064       moved\n");
}

} // namespace
