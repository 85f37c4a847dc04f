#include "targets.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "../../platform/console.h"
#include "../../platform/faults.h"
#include "../../src/attr.h"
#include "../../src/file.h"
#include "../../src/main.h"
#include "../../src/ntfstool.h"
#include "../../src/volume.h"
#include "../image_builder.h"

namespace fuzz {

namespace {

using testimage::Bytes;

constexpr size_t MaximumRead = 1 << 20;
// What fits in a record beside the other attributes.
constexpr size_t MaximumPairs = 600;

// Output goes nowhere; the formatting itself is what is exercised.
class Quiet {
public:
    Quiet() { Console_SetCapture(&Sink_); }
    ~Quiet() { Console_SetCapture(nullptr); }

private:
    std::string Sink_;
};

// Reads every attribute value of both lists, a bounded amount of each.
void ReadEverything(NtfsFile* File)
{
    std::vector<uint8_t> Buffer(65536);
    for (uint32_t Index = 0; Index < 2; Index++) {
        for (uint32_t Slot = 0; Slot < NtfsFile_GetSlotCount(File, Index); Slot++) {
            NtfsAttribute* Attribute = NtfsFile_GetSlot(File, Index, Slot);
            if (Attribute == nullptr)
                continue;
            uint64_t Length = NtfsAttribute_GetValueLength(Attribute);
            for (uint64_t Offset = 0; Offset < Length && Offset < MaximumRead; Offset += Buffer.size()) {
                uint32_t Got = 0;
                if (NtfsAttribute_Read(Attribute, Offset, static_cast<uint32_t>(Buffer.size()), Buffer.data(), &Got) !=
                        ERROR_SUCCESS ||
                    Got == 0)
                    break;
            }
        }
    }
}

void ExerciseFile(NtfsVolume* Volume, uint64_t Reference)
{
    NtfsFile* File = nullptr;
    if (NtfsFile_Open(Volume, Reference, &File) != ERROR_SUCCESS)
        return;
    NtfsFile_Print(File);
    NtfsFile_PrintFullName(File);
    ReadEverything(File);
    // The unnamed $DATA as a read of the file picks it: the base record's
    // piece, or the merged handle when that piece does not map the value.
    if (NtfsAttribute* Data = NtfsFile_FindDataAttribute(File, ATTRIBUTE_DATA, nullptr)) {
        std::vector<uint8_t> Buffer(4096);
        uint32_t Got = 0;
        uint64_t Length = NtfsAttribute_GetValueLength(Data);
        NtfsAttribute_Read(Data, Length > Buffer.size() ? Length - Buffer.size() : 0, static_cast<uint32_t>(Buffer.size()),
                           Buffer.data(), &Got);
    }
    ListDirectoryIfDirectory(File);
    NtfsFile_Close(File);
}

// The volume every target but the whole run works on (4 KiB clusters, 512
// of them, 80 records), built once. An input's records and clusters are laid
// over it and taken off again when the input is done, so that no input pays
// for building and allocating a whole volume.
class Overlay {
public:
    Overlay() : Image_(Base()) {}
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;
    ~Overlay()
    {
        for (size_t i = Undos_.size(); i > 0; i--)
            memcpy(Image_.data() + Undos_[i - 1].first, Undos_[i - 1].second.data(), Undos_[i - 1].second.size());
    }

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
    void WriteClusters(uint64_t Lcn, const Bytes& Data) { Write(Lcn * 4096, Data.data(), Data.size()); }
    // Record Segment as the builder lays it out, with its update sequence;
    // false when its attributes do not fit in a record.
    bool WriteRecord(const testimage::RecordBuilder& Record)
    try {
        Bytes Built = Record.BuildProtected();
        Write(RecordOffset(Record.Segment()), Built.data(), Built.size());
        return true;
    } catch (const std::exception&) {
        return false;
    }
    static uint64_t RecordOffset(uint64_t Segment)
    {
        static const uint64_t MftOffset = testimage::VolumeBuilder(4096, 512, 80).RecordOffset(0);
        return MftOffset + Segment * 1024;
    }
    const Bytes& Image() const { return Image_; }

private:
    // Records 64 to 66 are in use; 64 holds a $STANDARD_INFORMATION.
    static Bytes& Base()
    {
        static Bytes Image = [] {
            testimage::VolumeBuilder Builder(4096, 512, 80);
            Builder.Record(64).Add(testimage::ResidentAttribute(testimage::TypeStandardInformation,
                                                                testimage::StandardInformation()));
            Builder.Record(65);
            Builder.Record(66);
            return Builder.Build();
        }();
        return Image;
    }

    Bytes& Image_;
    std::vector<std::pair<uint64_t, Bytes>> Undos_;
};

// Opens a volume over Image as a memory file, for the lifetime of the holder;
// Image must outlive it.
class MemoryVolume {
public:
    explicit MemoryVolume(const Bytes& Image)
    {
        if (Image.empty())
            return;
        Platform_AddMemoryFile(u"fuzz:volume", Image.data(), Image.size());
        if (NtfsVolume_Open(u"fuzz:volume", nullptr, &Volume, 0) != ERROR_SUCCESS)
            Volume = nullptr;
    }
    ~MemoryVolume()
    {
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
        Platform_RemoveMemoryFile(u"fuzz:volume");
    }
    NtfsVolume* Volume = nullptr;
};

// Lays over the base volume a compressed or plain $DATA of Clusters clusters
// in record 64, stored at LCN 300 onwards and holding Stored; false when the
// record cannot hold the run list.
bool LayData(Overlay* Volume, const Bytes& Stored, const Bytes& MappingPairs, uint64_t Clusters, bool Compressed)
{
    testimage::AttributeFields Data;
    Data.Type = testimage::TypeData;
    Data.NonResident = true;
    Data.HighestVcn = Clusters - 1;
    Data.AllocatedLength = Clusters * 4096;
    Data.DataSize = Clusters * 4096 - 123;
    Data.ValidDataLength = Data.DataSize;
    Data.MappingPairs = MappingPairs;
    if (Compressed) {
        Data.CompressionUnit = 4;
        Data.Flags = testimage::AttrFlagCompressed;
    }
    testimage::RecordBuilder Record(64);
    Record.Add(testimage::ResidentAttribute(testimage::TypeStandardInformation,
                                            testimage::StandardInformation(Compressed ? 0x800 : 0)))
        .Add(Data);
    Volume->WriteClusters(300, Stored);
    return Volume->WriteRecord(Record);
}

// LayData, then the file of record 64 exercised whole.
void ExerciseData(const Bytes& Stored, const Bytes& MappingPairs, uint64_t Clusters, bool Compressed)
{
    Overlay Volume;
    if (!LayData(&Volume, Stored, MappingPairs, Clusters, Compressed))
        return;
    MemoryVolume Mounted(Volume.Image());
    if (Mounted.Volume != nullptr)
        ExerciseFile(Mounted.Volume, 64);
}

} // namespace

void Record(const uint8_t* Data, size_t Size)
{
    Quiet Silence;
    Overlay Volume;
    for (size_t i = 0; i < 3 && i * 1024 < Size; i++)
        Volume.Write(Overlay::RecordOffset(64 + i), Data + i * 1024, std::min<size_t>(1024, Size - i * 1024));
    MemoryVolume Mounted(Volume.Image());
    if (Mounted.Volume == nullptr)
        return;
    ExerciseFile(Mounted.Volume, 64);
}

void RunList(const uint8_t* Data, size_t Size)
{
    Quiet Silence;
    uint32_t Count = 0;
    NtfsRun* Runs = nullptr;
    size_t Available = std::min<size_t>(Size, MaximumPairs);
    if (NtfsRunList_Decode(Data, static_cast<uint32_t>(Available), &Count, &Runs) != ERROR_SUCCESS)
        return;
    uint64_t Clusters = 0;
    for (uint32_t i = 0; i < Count; i++)
        Clusters += Runs[i].Length;
    HeapFree(GetProcessHeap(), 0, Runs);
    if (Clusters == 0 || Clusters > 4096)
        return;
    ExerciseData(Bytes(4096, 0x5A), Bytes(Data, Data + Available), Clusters, false);
}

void Lznt1(const uint8_t* Data, size_t Size)
{
    Quiet Silence;
    std::vector<uint8_t> Output(4096);
    uint32_t Consumed = 0;
    uint32_t Produced = 0;
    Lznt1_DecompressChunk(Data, static_cast<uint32_t>(Size), Output.data(), static_cast<uint32_t>(Output.size()),
                          &Consumed, &Produced);

    // The bytes as the stored clusters of the first unit (the rest sparse),
    // then a second unit stored whole.
    size_t Stored = std::min<size_t>(Size, 15 * 4096);
    uint64_t StoredClusters = (Stored + 4095) / 4096;
    if (StoredClusters == 0)
        return;
    Bytes Clusters(Data, Data + Stored);
    std::vector<testimage::RunEntry> Runs = {{StoredClusters, 300}, {16 - StoredClusters, 0, true}, {16, 400}};
    ExerciseData(Clusters, testimage::EncodeMappingPairs(Runs), 32, true);
}

void Index(const uint8_t* Data, size_t Size)
{
    Quiet Silence;
    if (Size < 2)
        return;
    static const char16_t* const Names[] = {u"$I30", u"$SII", u"$SDH"};
    const char16_t* Name = Names[Data[0] % 3];
    size_t RootSize = std::min<size_t>(Size - 2, static_cast<size_t>(Data[1]) * 4 + 16);
    Bytes Root(Data + 2, Data + 2 + RootSize);
    Bytes Blocks(Data + 2 + RootSize, Data + Size);
    uint64_t BlockClusters = (Blocks.size() + 4095) / 4096;
    Overlay Volume;
    std::u16string IndexName(Name);
    testimage::RecordBuilder Record(64);
    Record.Add(testimage::ResidentAttribute(testimage::TypeStandardInformation, testimage::StandardInformation()))
        .Add(testimage::ResidentAttribute(testimage::TypeFileName,
                                          testimage::FileName(testimage::FileReference(5, 5), u"d", true,
                                                              testimage::NamespaceWin32, 0, 0, 0x10000000)))
        .Add(testimage::ResidentAttribute(testimage::TypeIndexRoot, Root, IndexName));
    if (BlockClusters != 0 && BlockClusters <= 64) {
        Volume.WriteClusters(300, Blocks);
        Record.Add(testimage::NonResidentAttribute(testimage::TypeIndexAllocation, {{BlockClusters, 300}}, 4096,
                                                   BlockClusters * 4096, IndexName))
            .Add(testimage::ResidentAttribute(testimage::TypeBitmap, Bytes(8, 0xFF), IndexName));
    }
    if (!Volume.WriteRecord(Record))
        return;
    MemoryVolume Mounted(Volume.Image());
    if (Mounted.Volume == nullptr)
        return;
    NtfsFile* File = nullptr;
    if (NtfsFile_Open(Mounted.Volume, 64, &File) != ERROR_SUCCESS)
        return;
    if (Data[0] % 3 == 0)
        ListDirectory(File);
    {
        IndexHolder Holder;
        NtfsIndex& Cursor = Holder.Index;
        if (NtfsIndex_Open(File, Name, &Cursor) == ERROR_SUCCESS) {
            std::vector<uint8_t> Entry(NtfsIndex_GetEntryBufferSize(&Cursor) + 1);
            uint32_t KeyLength = Data[0] % 3 == 1 ? 4 : 8;
            // Keys from the input's own bytes: a seek, then a short walk.
            for (size_t Probe = 0; Probe + 8 <= std::min<size_t>(Size, 64); Probe += 8) {
                if (Data[0] % 3 == 0) {
                    uint8_t Key[0x42 + 8] = {};
                    Key[0x40] = 4;
                    memcpy(Key + 0x42, Data + Probe, 8);
                    NtfsIndex_Seek(&Cursor, Key, sizeof(Key));
                } else {
                    NtfsIndex_Seek(&Cursor, Data + Probe, KeyLength);
                }
                for (int Step = 0; Step < 4; Step++) {
                    uint32_t Length = static_cast<uint32_t>(Entry.size());
                    if (NtfsIndex_Next(&Cursor, Entry.data(), &Length) != ERROR_SUCCESS)
                        break;
                }
            }
        }
    }
    NtfsFile_Close(File);
}

void SecurityDescriptor(const uint8_t* Data, size_t Size)
{
    Quiet Silence;
    // An exact-size copy, so that any read past the descriptor is caught.
    std::vector<uint8_t> Descriptor(Data, Data + Size);
    PrintSecurityDescriptor(Descriptor.empty() ? nullptr : Descriptor.data(), static_cast<uint32_t>(Descriptor.size()));
}

namespace {

// Runs korvex's main flow with Words after the program name.
void RunMain(std::vector<std::u16string> Words)
{
    Words.insert(Words.begin(), u"korvex");
    std::vector<char16_t*> Arguments;
    for (std::u16string& Word : Words)
        Arguments.push_back(Word.data());
    ResetOptions();
    KorvexMain(static_cast<int>(Arguments.size()), Arguments.data());
    ResetOptions();
}

const Bytes& SampleImage()
{
    static const Bytes Image = [] {
        Bytes Content;
        FILE* File = fopen(KORVEX_FUZZ_SAMPLE, "rb");
        if (File == nullptr)
            return Content;
        fseek(File, 0, SEEK_END);
        Content.resize(static_cast<size_t>(ftell(File)));
        fseek(File, 0, SEEK_SET);
        if (fread(Content.data(), 1, Content.size(), File) != Content.size())
            Content.clear();
        fclose(File);
        return Content;
    }();
    return Image;
}

// Applies patches "offset (4 bytes, scaled into Target), length (1 byte),
// bytes" to Target; returns what they overwrote so it can be put back.
struct Undo {
    size_t Offset;
    Bytes Original;
};

std::vector<Undo> ApplyPatches(Bytes* Target, const uint8_t* Data, size_t Size, const std::vector<uint64_t>& Hot)
{
    std::vector<Undo> Undos;
    size_t Position = 0;
    while (Position + 5 <= Size && !Target->empty()) {
        uint32_t Where = static_cast<uint32_t>(Data[Position]) | (static_cast<uint32_t>(Data[Position + 1]) << 8) |
                         (static_cast<uint32_t>(Data[Position + 2]) << 16) |
                         (static_cast<uint32_t>(Data[Position + 3]) << 24);
        size_t Length = std::min<size_t>(Data[Position + 4], Size - Position - 5);
        Position += 5;
        // Half the patches land in the structures every command reads.
        size_t Offset = (Where & 1) != 0 && !Hot.empty() ? Hot[(Where >> 1) % Hot.size()] + ((Where >> 8) % 4096)
                                                          : (Where >> 1) % Target->size();
        Length = std::min(Length, Target->size() - std::min(Offset, Target->size()));
        if (Offset >= Target->size() || Length == 0)
            continue;
        Undos.push_back({Offset, Bytes(Target->begin() + static_cast<long>(Offset),
                                       Target->begin() + static_cast<long>(Offset + Length))});
        memcpy(Target->data() + Offset, Data + Position, Length);
        Position += Length;
    }
    return Undos;
}

void PutBack(Bytes* Target, std::vector<Undo>* Undos)
{
    for (size_t i = Undos->size(); i > 0; i--) {
        const Undo& Item = (*Undos)[i - 1];
        memcpy(Target->data() + Item.Offset, Item.Original.data(), Item.Original.size());
    }
}

// The command lines of a whole run over the patched sample image: the root
// directory, big.bin's data across a cluster boundary (ntfs-3g stores it in
// clusters 0x169 onwards), a named stream, the $Secure listings and the scan.
const std::vector<std::vector<std::u16string>>& WholeRunCommands()
{
    static const std::vector<std::vector<std::u16string>> Commands = {
        {u"-vol", u"fuzz:sample", u"-fid", u"5", u"-printfile", u"-fullname", u"-dir"},
        {u"-vol", u"fuzz:sample", u"-fid", u"49", u"-fullname", u"-attribute", u"80", u"", u"-read", u"f80", u"100",
         u"-dump"},
        {u"-vol", u"fuzz:sample", u"-fid", u"4e", u"-printfile", u"-attribute", u"80", u"author", u"-read", u"0",
         u"100"},
        {u"-vol", u"fuzz:sample", u"-seid", u"0", u"ffffffff", u"-v", u"-sehash", u"0", u"ffffffffffffffff"},
        {u"-vol", u"fuzz:sample", u"-scanmft", u"0", u"ffffffff"},
    };
    return Commands;
}

void RunOnPatchedSample(const uint8_t* Data, size_t Size, bool EveryCommand)
{
    static Bytes Image = SampleImage();
    if (Image.empty())
        return;
    // Clusters of the sample image that the commands read: the boot sector,
    // the MFT's first records and records 64 to 79, the root directory's
    // security descriptor and index block, the $SDS stream and big.bin.
    static const std::vector<uint64_t> Hot = [] {
        std::vector<uint64_t> Offsets;
        for (uint64_t Cluster : {0x0, 0x4, 0x5, 0x6, 0x7, 0x14, 0x15, 0x16, 0x17, 0x103, 0x105, 0x108, 0x109, 0x169})
            Offsets.push_back(Cluster * 4096);
        return Offsets;
    }();
    const auto& Commands = WholeRunCommands();
    std::vector<Undo> Undos = ApplyPatches(&Image, Data, Size, Hot);
    Platform_AddMemoryFile(u"fuzz:sample", Image.data(), Image.size());
    {
        Quiet Silence;
        // One command per input (chosen by the input's size, which the
        // fuzzer varies freely) keeps executions fast; kept inputs replay
        // through all of them.
        for (size_t Which = 0; Which < Commands.size(); Which++)
            if (EveryCommand || Which == Size % Commands.size())
                RunMain(Commands[Which]);
    }
    Platform_RemoveMemoryFile(u"fuzz:sample");
    PutBack(&Image, &Undos);
}

} // namespace

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
    size_t IndexSize = std::min<size_t>(Size - 2, (static_cast<size_t>(Data[0]) | (static_cast<size_t>(Data[1]) << 8)) * 8);
    Bytes Index(Data + 2, Data + 2 + IndexSize);
    Bytes Clusters(Data + 2 + IndexSize, Data + Size);
    Platform_AddMemoryFile(u"fuzz:log.idx", Index.data(), Index.size());
    Platform_AddMemoryFile(u"fuzz:log.dat", Clusters.data(), Clusters.size());
    {
        Quiet Silence;
        RunMain({u"-rlog", u"fuzz:log", u"-fid", u"5", u"-printfile", u"-dir"});
    }
    Platform_RemoveMemoryFile(u"fuzz:log.idx");
    Platform_RemoveMemoryFile(u"fuzz:log.dat");
}

} // namespace fuzz
