// What no command line reaches: platform faults inside a read, save or run-list
// decode, the handle tags of the three handle types, and the merge of pieces.
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "main.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;

namespace {

// Reads 16 bytes at 0x10 of notes.md (record 0x4a), in-process on the sample image
// in memory with one platform fault armed; returns what follows the volume report.
std::string ReadWithFault(const std::string& Save, FaultPoint Point, uint32_t Skip, FaultKind Kind, DWORD Code)
{
    static std::vector<uint8_t> Image = ReadBytes(ImagePath("sample"));
    Platform_AddMemoryFile(u"memory:sample", Image.data(), Image.size());
    std::vector<std::u16string> Words = {u"korvex", u"-vol", u"memory:sample", u"-fid", u"4a", u"-attribute", u"80", u"",
                                         u"-read", u"10", u"10", u"-save", Wide(Save)};
    Words.resize(Save.empty() ? 11 : 13);
    std::vector<char16_t*> Arguments;
    for (std::u16string& Word : Words)
        Arguments.push_back(Word.data());
    FaultGuard Guard;
    ConsoleCapture Capture;
    ResetOptions();
    Fault_Arm(Point, Skip, Kind, Code);
    KorvexMain(static_cast<int>(Arguments.size()), Arguments.data());
    ResetOptions();
    Platform_RemoveMemoryFile(u"memory:sample");
    return Capture.Text().substr(Capture.Text().find("\n\n") + 2);
}

} // namespace

// A device read that fails, a save file the disk cannot take (wholly or in
// part) or cannot close, and memory that runs out: each is reported, and no
// total is claimed for bytes that were not delivered. Skip counts: the
// platform calls made before the fault (volume and file open, the bitmap and
// record reads) on this image.
TEST(ReadCommandFaults, AreReportedWithTheirCodes)
{
    TempDir Dir;
    const struct {
        std::string Save;
        FaultPoint Point;
        uint32_t Skip;
        FaultKind Kind;
        DWORD Code;
        std::string Expected;
    } Cases[] = {
        {"", FaultPoint::Read, 5, FaultKind::Fail, ERROR_IO_DEVICE,
         "Unable to read data from the file at offset 0x10\nTotal 0x0 bytes read\n"},
        {Dir / "full", FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL,
         "Unable to write to file " + Dir / "full" + ", error is 112\n"},
        {Dir / "short", FaultPoint::Write, 0, FaultKind::Short, 0, "Unable to write to file " + Dir / "short" + ", error is 29\n"},
        {Dir / "close", FaultPoint::Close, 0, FaultKind::Fail, ERROR_IO_DEVICE, "Total 0x10 bytes read\n"},
        {Dir / "nomem", FaultPoint::Alloc, 42, FaultKind::Fail, 0, "Not enough memory\n"},
    };
    for (const auto& Item : Cases)
        EXPECT_EQ(ReadWithFault(Item.Save, Item.Point, Item.Skip, Item.Kind, Item.Code),
                  "Attribute (TypeCode = 0x80, Name = \"\") located\n" + Item.Expected);
    EXPECT_EQ(ReadBytes(Dir / "short").size(), 8u) << "a short write keeps what was written";
}

// The run-list decoder's table is the one allocation of a decode: when it
// fails, the decode is out of memory and both outputs are cleared.
TEST(RunListDecode, AllocationFailureIsOutOfMemory)
{
    FaultGuard Guard;
    const uint8_t Pairs[] = {0x21, 0x18, 0x34, 0x56, 0x00};
    uint32_t Count = 7;
    NtfsRun Sentinel{}, *Runs = &Sentinel;
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    EXPECT_EQ(NtfsRunList_Decode(Pairs, sizeof(Pairs), &Count, &Runs), ERROR_OUTOFMEMORY);
    EXPECT_TRUE(Count == 0 && Runs == nullptr);
}

// Every validating operation checks the tag of its own handle type, so a
// handle of one type passed as another, or none, is refused (87), never used.
TEST(Handles, TagsAreCheckedAcrossHandleTypes)
{
    NtfsVolume Volume{};
    NtfsFile File{};
    NtfsAttribute Attribute{};
    Volume.Tag = NTFS_FILE_TAG, File.Tag = NTFS_ATTRIBUTE_TAG, Attribute.Tag = NTFS_VOLUME_TAG;
    uint8_t Buffer[1024];
    uint32_t Count = 0;
    BOOLEAN Flag = 0;
    NtfsFile* Opened = nullptr;
    for (DWORD Error : {NtfsVolume_Close(&Volume), NtfsVolume_ReadClusters(&Volume, 0, 1, Buffer),
                        NtfsVolume_ReadFileRecord(&Volume, 0, Buffer), NtfsRecord_ApplyFixup(&Volume, Buffer, 1024),
                        NtfsFile_Close(&File), NtfsFile_IsRootDirectory(&File, &Flag), NtfsFile_PrintFullName(nullptr),
                        NtfsFile_Open(nullptr, 5, &Opened), NtfsFile_DelAttribute(&File, &Attribute, 0),
                        NtfsAttribute_Close(&Attribute), NtfsAttribute_Read(&Attribute, 0, 1, Buffer, &Count),
                        NtfsAttribute_ReadClusters(&Attribute, 0, 1, Buffer, &Count), NtfsAttribute_MergeAll(&Attribute)})
        EXPECT_EQ(Error, ERROR_INVALID_PARAMETER);
}

// Random pieces of two types and three names ("", "s", "st") with colliding and
// empty VCN ranges (an empty piece ends one before it starts), merged by the
// file's indexed merge, by each VCN-0 handle's MergeAll or by its MergeNext
// until there is nothing left, and by the plain rule they must agree with: each
// handle at VCN 0, in slot order, takes the first other open handle of its type
// and name that starts one past its end, until there is none.
TEST(AttributeMerge, AgreesWithTheSlotBySlotRule)
{
    struct Piece { uint32_t Type, Named; uint64_t Low, High; std::vector<int64_t> Lcns; bool Open; };
    uint32_t Seed = 12345;
    auto Random = [&Seed](uint32_t Bound) { return ((Seed = Seed * 1103515245u + 12345u) >> 16) % Bound; };
    for (int Round = 0; Round < 90; Round++) {
        NtfsFile* File = AllocateRecord<NtfsFile>();
        File->Tag = NTFS_FILE_TAG;
        std::vector<Piece> Pieces(8 + Random(16));
        for (size_t i = 0; i < Pieces.size(); i++) {
            uint64_t Length = Random(3);
            Piece& Item = Pieces[i] = {Random(4) == 0 ? 0xB0u : 0x80u, Random(3), Random(5), 0, {}, true};
            Item.High = Item.Low + Length - 1;
            // A non-resident header, the name ("st" cut to its length) at 0x40, one pair at 0x48.
            uint8_t Record[0x50] = {0, 0, 0, 0, 0x50, 0, 0, 0, 1, static_cast<uint8_t>(Item.Named), 0x40};
            uint8_t Pair[] = {0x11, static_cast<uint8_t>(Length), static_cast<uint8_t>(10 + 4 * i)};
            memcpy(Record, &Item.Type, 4), memcpy(Record + 0x10, &Item.Low, 8), memcpy(Record + 0x18, &Item.High, 8), Record[0x20] = 0x48, Record[0x40] = 's', Record[0x42] = 't';
            if (Length != 0)
                Item.Lcns.push_back(Pair[2]), memcpy(Record + 0x48, Pair, 3);
            NtfsAttribute* Handle = nullptr;
            uint32_t Used = 0;
            ASSERT_EQ(NtfsAttribute_Open(File, 0x40, Record, sizeof(Record), &Handle, &Used, 0), ERROR_SUCCESS);
        }
        for (Piece& Item : Pieces)
            for (bool Merged = true; Item.Open && Item.Low == 0 && Merged;) {
                Merged = false;
                for (Piece& Next : Pieces)
                    if (!Merged && &Next != &Item && Next.Open && Next.Type == Item.Type && Next.Named == Item.Named &&
                        Next.Low == Item.High + 1) {
                        Item.Lcns.insert(Item.Lcns.end(), Next.Lcns.begin(), Next.Lcns.end());
                        Item.High = Next.High, Next.Open = false, Merged = true;
                    }
            }
        EXPECT_EQ(Round % 3 == 0 ? NtfsFile_MergeAttributes(File, 0) : ERROR_SUCCESS, ERROR_SUCCESS);
        for (uint32_t Slot = 0; Round % 3 != 0 && Slot < File->AttributeSlots[0]; Slot++)
            if (NtfsAttribute* Handle = File->AttributeList[0][Slot]; Handle != nullptr && Handle->LowestVcn == 0) {
                DWORD Error = Round % 3 == 1 ? NtfsAttribute_MergeAll(Handle) : ERROR_SUCCESS;
                while (Round % 3 == 2 && (Error = NtfsAttribute_MergeNext(Handle)) == ERROR_SUCCESS) {
                }
                ASSERT_EQ(Error, Round % 3 == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
            }
        std::vector<std::tuple<uint32_t, uint32_t, uint64_t, uint64_t, std::vector<int64_t>>> Expected, Got;
        for (const Piece& Item : Pieces)
            if (Item.Open)
                Expected.emplace_back(Item.Type, Item.Named, Item.Low, Item.High, Item.Lcns);
        for (uint32_t Slot = 0; Slot < File->AttributeSlots[0]; Slot++)
            if (const NtfsAttribute* Handle = File->AttributeList[0][Slot]) {
                Got.emplace_back(Handle->TypeCode, Handle->Name != nullptr ? Text_Length(Handle->Name) : 0, Handle->LowestVcn, Handle->HighestVcn,
                                 std::vector<int64_t>());
                for (uint32_t Run = 0; Run < Handle->RunCount; Run++)
                    std::get<4>(Got.back()).push_back(Handle->Runs[Run].Lcn);
            }
        EXPECT_EQ(Got, Expected) << "round " << Round;
        NtfsFile_Close(File);
    }
}
