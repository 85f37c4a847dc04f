// Every target lays its input over a fixture image held in memory (records,
// attribute values or clusters), runs whole korvex command lines on it in
// this process, and puts the image back for the next input.
#include "targets.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../../platform/console.h"
#include "../../platform/faults.h"
#include "../../src/attr.h"
#include "../../src/main.h"

namespace fuzz {

namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<std::u16string>;

uint64_t Le(const uint8_t* Data, size_t Size)
{
    uint64_t Value = 0;
    for (size_t Index = Size; Index-- > 0;)
        Value = Value << 8 | Data[Index];
    return Value;
}

// One of the fixture images beside the sample image, read once.
Bytes& Image(const char* Name)
{
    static std::vector<std::pair<std::string, Bytes>> Loaded;
    for (auto& [Known, Content] : Loaded)
        if (Known == Name)
            return Content;
    std::string Path = KORVEX_FUZZ_SAMPLE;
    Path = Path.substr(0, Path.rfind('/') + 1) + Name + ".img";
    Bytes Content;
    if (FILE* File = fopen(Path.c_str(), "rb")) {
        uint8_t Block[65536];
        for (size_t Got; (Got = fread(Block, 1, sizeof(Block), File)) > 0;)
            Content.insert(Content.end(), Block, Block + Got);
        fclose(File);
    }
    return Loaded.emplace_back(Name, std::move(Content)).second;
}

// An image with an input laid over it: every write is undone when the input
// is done, so that no input pays for a fresh copy of the image.
class Overlay {
public:
    explicit Overlay(const char* Name) : Image_(Image(Name)) {}
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;
    ~Overlay()
    {
        for (size_t Index = Undos_.size(); Index-- > 0;)
            memcpy(Image_.data() + Undos_[Index].first, Undos_[Index].second.data(), Undos_[Index].second.size());
    }
    bool Empty() const { return Image_.size() < 0x200; }
    uint64_t ClusterSize() const { return Le(&Image_[0x0B], 2) * Image_[0x0D]; }
    uint64_t RecordOffset(uint64_t Record) const { return Le(&Image_[0x30], 8) * ClusterSize() + Record * 1024; }

    // Writes Length bytes at Offset, cut at the end of the image.
    void Write(uint64_t Offset, const uint8_t* Data, size_t Length)
    {
        if (Offset >= Image_.size() || Length == 0)
            return;
        Length = std::min<size_t>(Length, Image_.size() - Offset);
        Undos_.emplace_back(Offset, Bytes(Image_.begin() + static_cast<long>(Offset),
                                          Image_.begin() + static_cast<long>(Offset + Length)));
        memcpy(Image_.data() + Offset, Data, Length);
    }

    // The record's logical bytes (its update sequence undone), and back.
    Bytes Record(uint64_t Number) const
    {
        Bytes Logical(Image_.begin() + static_cast<long>(RecordOffset(Number)),
                      Image_.begin() + static_cast<long>(RecordOffset(Number) + 1024));
        SwapUpdateSequence(&Logical);
        return Logical;
    }
    void WriteRecord(uint64_t Number, Bytes Logical)
    {
        SwapUpdateSequence(&Logical);
        Write(RecordOffset(Number), Logical.data(), Logical.size());
    }

    // Offset in a logical record of its attribute of Type named Name.
    static size_t FindAttribute(const Bytes& Record, uint32_t Type, const std::u16string& Name)
    {
        for (size_t Offset = Le(&Record[0x14], 2); Offset + 0x18 <= Record.size();) {
            uint64_t Length = Le(&Record[Offset + 4], 4);
            size_t NameOffset = Offset + Le(&Record[Offset + 0x0A], 2);
            bool Same = Le(&Record[Offset], 4) == Type && Record[Offset + 9] == Name.size() &&
                        NameOffset + Name.size() * 2 <= Record.size();
            for (size_t Unit = 0; Same && Unit < Name.size(); Unit++)
                Same = Le(&Record[NameOffset + Unit * 2], 2) == Name[Unit];
            if (Same)
                return Offset;
            if (Length == 0 || Le(&Record[Offset], 4) == 0xFFFFFFFF)
                break;
            Offset += Length;
        }
        return 0;
    }

    // Runs korvex's main flow with the image as "fuzz:image".
    void Run(Words Arguments)
    {
        std::string Sink;
        Console_SetCapture(&Sink);
        Platform_AddMemoryFile(u"fuzz:image", Image_.data(), Image_.size());
        RunMain(std::move(Arguments));
        Platform_RemoveMemoryFile(u"fuzz:image");
        Console_SetCapture(nullptr);
    }

    static void RunMain(Words Arguments)
    {
        Arguments.insert(Arguments.begin(), u"korvex");
        std::vector<char16_t*> Pointers;
        for (std::u16string& Word : Arguments)
            Pointers.push_back(Word.data());
        ResetOptions();
        KorvexMain(static_cast<int>(Pointers.size()), Pointers.data());
        ResetOptions();
    }

private:
    // The last two bytes of each 512-byte stride trade places with the
    // update sequence array.
    static void SwapUpdateSequence(Bytes* Record)
    {
        size_t Array = Le(&(*Record)[4], 2);
        for (size_t Stride = 1; Stride < Le(&(*Record)[6], 2) && Stride <= 2 && Array + Stride * 2 + 2 <= 1024; Stride++)
            std::swap_ranges(Record->begin() + static_cast<long>(Stride * 512 - 2),
                             Record->begin() + static_cast<long>(Stride * 512),
                             Record->begin() + static_cast<long>(Array + Stride * 2));
    }

    Bytes& Image_;
    std::vector<std::pair<uint64_t, Bytes>> Undos_;
};

std::u16string Hex(const uint8_t* Data, size_t Size)
{
    char Text[20];
    snprintf(Text, sizeof(Text), "%llx", static_cast<unsigned long long>(Le(Data, Size)));
    return std::u16string(Text, Text + strlen(Text));
}

// Patches "offset (4 bytes), length (1 byte), bytes" over the sample image;
// half of them land in the clusters every command reads: the boot sector,
// the MFT's first records and records 64 to 79, the root directory's
// security descriptor and index block, the $SDS stream and big.bin.
void LayPatches(Overlay* Volume, const uint8_t* Data, size_t Size)
{
    static const uint64_t Hot[] = {0x0, 0x4, 0x5, 0x6, 0x7, 0x14, 0x15, 0x16, 0x17, 0x103, 0x105, 0x108, 0x109, 0x169};
    for (size_t Position = 0; Position + 5 <= Size;) {
        uint32_t Where = static_cast<uint32_t>(Le(Data + Position, 4));
        size_t Length = std::min<size_t>(Data[Position + 4], Size - Position - 5);
        uint64_t Offset = (Where & 1) != 0 ? Hot[(Where >> 1) % std::size(Hot)] * 4096 + ((Where >> 8) % 4096)
                                           : (Where >> 1) % (8u << 20);
        Volume->Write(Offset, Data + Position + 5, Length);
        Position += 5 + Length;
    }
}

// The command lines of a whole run over the patched sample image: the root
// directory, big.bin's data across a cluster boundary, a named stream, the
// $Secure listings and the scan.
const Words WholeRunCommands[] = {
    {u"-vol", u"fuzz:image", u"-fid", u"5", u"-printfile", u"-fullname", u"-dir"},
    {u"-vol", u"fuzz:image", u"-fid", u"49", u"-fullname", u"-attribute", u"80", u"", u"-read", u"f80", u"100", u"-dump"},
    {u"-vol", u"fuzz:image", u"-fid", u"4e", u"-printfile", u"-attribute", u"80", u"author", u"-read", u"0", u"100"},
    {u"-vol", u"fuzz:image", u"-seid", u"0", u"ffffffff", u"-v", u"-sehash", u"0", u"ffffffffffffffff"},
    {u"-vol", u"fuzz:image", u"-scanmft", u"0", u"ffffffff"},
};

void RunOnPatchedSample(const uint8_t* Data, size_t Size, bool EveryCommand)
{
    Overlay Volume("sample");
    if (Volume.Empty())
        return;
    LayPatches(&Volume, Data, Size);
    // One command per input (chosen by the input's size, which the fuzzer
    // varies freely) keeps executions fast; kept inputs replay through all.
    for (size_t Which = 0; Which < std::size(WholeRunCommands); Which++)
        if (EveryCommand || Which == Size % std::size(WholeRunCommands))
            Volume.Run(WholeRunCommands[Which]);
}

} // namespace

void Record(const uint8_t* Data, size_t Size)
{
    Overlay Volume("sample");
    if (Volume.Empty())
        return;
    for (size_t Index = 0; Index < 3 && Index * 1024 < Size; Index++)
        Volume.Write(Volume.RecordOffset(0x40 + Index), Data + Index * 1024, std::min<size_t>(1024, Size - Index * 1024));
    Volume.Run({u"-vol", u"fuzz:image", u"-fid", u"40", u"-printfile", u"-fullname", u"-dir", u"-attribute", u"80", u"",
                u"-read", u"0", u"30000"});
}

void RunList(const uint8_t* Data, size_t Size)
{
    Overlay Volume("sample");
    if (Volume.Empty())
        return;
    // big.bin's $DATA takes the input as its mapping pairs, its sizes fitted
    // to the clusters they map so that the walk gets past the header checks.
    Bytes Record = Volume.Record(0x49);
    size_t Attribute = Overlay::FindAttribute(Record, ATTRIBUTE_DATA, u"");
    if (Attribute == 0)
        return;
    size_t Pairs = Attribute + Le(&Record[Attribute + 0x20], 2);
    size_t Space = Attribute + Le(&Record[Attribute + 4], 4) - Pairs;
    uint32_t Count = 0;
    NtfsRun* Runs = nullptr;
    uint64_t Clusters = 0;
    if (NtfsRunList_Decode(Data, static_cast<uint32_t>(std::min(Size, Space)), &Count, &Runs) == ERROR_SUCCESS) {
        for (uint32_t Index = 0; Index < Count; Index++)
            Clusters += Runs[Index].Length;
        HeapFree(GetProcessHeap(), 0, Runs);
    }
    std::fill_n(Record.begin() + static_cast<long>(Pairs), Space, 0);
    std::copy_n(Data, std::min(Size, Space), Record.begin() + static_cast<long>(Pairs));
    uint64_t Sizes[] = {Clusters - 1, Clusters * 4096, Clusters * 4096 - 123, Clusters * 4096 - 123};
    const size_t SizeFields[] = {0x18, 0x28, 0x30, 0x38};
    for (size_t Field = 0; Field < 4 && Clusters > 0 && Clusters <= 4096; Field++)
        for (size_t Byte = 0; Byte < 8; Byte++)
            Record[Attribute + SizeFields[Field] + Byte] = static_cast<uint8_t>(Sizes[Field] >> (Byte * 8));
    Volume.WriteRecord(0x49, Record);
    Volume.Run({u"-vol", u"fuzz:image", u"-fid", u"49", u"-printfile", u"-attribute", u"80", u"", u"-read", u"0",
                u"100000"});
}

void Lznt1(const uint8_t* Data, size_t Size)
{
    std::vector<uint8_t> Output(4096);
    uint32_t Consumed = 0;
    uint32_t Produced = 0;
    Lznt1_DecompressChunk(Data, static_cast<uint32_t>(Size), Output.data(), static_cast<uint32_t>(Output.size()),
                          &Consumed, &Produced);
    // The same bytes as the two stored clusters (0xa00, 0xa01) of the first
    // compression unit of /comp/text_100000.txt, read across both units.
    Overlay Volume("compressed");
    if (Volume.Empty())
        return;
    Volume.Write(0xa00 * Volume.ClusterSize(), Data, std::min<size_t>(Size, 2 * Volume.ClusterSize()));
    Volume.Run({u"-vol", u"fuzz:image", u"-fid", u"41", u"-attribute", u"80", u"", u"-read", u"0", u"18000"});
}

void Index(const uint8_t* Data, size_t Size)
{
    if (Size < 2)
        return;
    // The root directory of the sample image, or the security ids and hashes
    // of the security image: the root value takes the bytes after the first
    // two (as many as the second says, up to the value's own length), the
    // first index block the rest.
    struct Kind {
        const char* Image;
        uint64_t Record;
        std::u16string Name;
    };
    static const Kind Kinds[] = {{"sample", 5, u"$I30"}, {"security", 9, u"$SII"}, {"security", 9, u"$SDH"}};
    const Kind& Chosen = Kinds[Data[0] % 3];
    Overlay Volume(Chosen.Image);
    if (Volume.Empty())
        return;
    Bytes Record = Volume.Record(Chosen.Record);
    size_t Root = Overlay::FindAttribute(Record, ATTRIBUTE_INDEX_ROOT, Chosen.Name);
    size_t Allocation = Overlay::FindAttribute(Record, ATTRIBUTE_INDEX_ALLOCATION, Chosen.Name);
    if (Root == 0 || Allocation == 0)
        return;
    size_t RootSize = std::min<size_t>({Size - 2, static_cast<size_t>(Data[1]) * 4 + 16, Le(&Record[Root + 0x10], 4)});
    std::copy_n(Data + 2, RootSize, Record.begin() + static_cast<long>(Root + Le(&Record[Root + 0x14], 2)));
    Volume.WriteRecord(Chosen.Record, Record);
    // The first run of the allocation: a one-byte length and a two-byte LCN.
    const uint8_t* Pairs = &Record[Allocation + Le(&Record[Allocation + 0x20], 2)];
    if (Pairs[0] == 0x21)
        Volume.Write(Le(Pairs + 2, 2) * Volume.ClusterSize(), Data + 2 + RootSize,
                     std::min<size_t>(Size - 2 - RootSize, Pairs[1] * Volume.ClusterSize()));
    std::u16string From = Hex(Data + 2, std::min<size_t>(Size - 2, 4));
    if (Data[0] % 3 == 0)
        Volume.Run({u"-vol", u"fuzz:image", u"-fid", u"5", u"-dir"});
    else if (Data[0] % 3 == 1)
        Volume.Run({u"-vol", u"fuzz:image", u"-seid", From, u"ffffffff", u"-v"});
    else
        Volume.Run({u"-vol", u"fuzz:image", u"-sehash", From, u"ffffffffffffffff"});
}

void SecurityDescriptor(const uint8_t* Data, size_t Size)
{
    std::string Sink;
    Console_SetCapture(&Sink);
    // An exact-size copy, so that any read past the descriptor is caught.
    std::vector<uint8_t> Descriptor(Data, Data + Size);
    PrintSecurityDescriptor(Descriptor.empty() ? nullptr : Descriptor.data(), static_cast<uint32_t>(Descriptor.size()));
    Console_SetCapture(nullptr);
}

void WholeRun(const uint8_t* Data, size_t Size)
{
    RunOnPatchedSample(Data, Size, false);
}

void WholeRunEveryCommand(const uint8_t* Data, size_t Size)
{
    RunOnPatchedSample(Data, Size, true);
}

void Replay(const uint8_t* Data, size_t Size)
{
    // The first two bytes split the input into the ".idx" and ".dat" files.
    if (Size < 2)
        return;
    size_t IndexSize = std::min<size_t>(Size - 2, Le(Data, 2) * 8);
    Bytes Index(Data + 2, Data + 2 + IndexSize);
    Bytes Clusters(Data + 2 + IndexSize, Data + Size);
    Platform_AddMemoryFile(u"fuzz:log.idx", Index.data(), Index.size());
    Platform_AddMemoryFile(u"fuzz:log.dat", Clusters.data(), Clusters.size());
    std::string Sink;
    Console_SetCapture(&Sink);
    Overlay::RunMain({u"-rlog", u"fuzz:log", u"-fid", u"5", u"-printfile", u"-dir"});
    Console_SetCapture(nullptr);
    Platform_RemoveMemoryFile(u"fuzz:log.idx");
    Platform_RemoveMemoryFile(u"fuzz:log.dat");
}

} // namespace fuzz
