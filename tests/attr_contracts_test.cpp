// Attribute, run-list and read-command behaviour that no plain command line
// reaches: platform faults in the middle of a read, save or decode, and the
// handle tags shared by the three handle types.
#include <gtest/gtest.h>

#include "attr.h"
#include "faults.h"
#include "file.h"
#include "main.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;

namespace {

// Runs korvex in-process on the sample image held in memory, with one platform
// fault armed once the volume is open; returns what followed the volume report.
std::string RunWithFault(std::vector<std::u16string> Words, FaultPoint Point, uint32_t Skip, FaultKind Kind, DWORD Code)
{
    static std::vector<uint8_t> Image = ReadBytes(ImagePath("sample"));
    Platform_AddMemoryFile(u"memory:sample", Image.data(), Image.size());
    Words.insert(Words.begin(), {u"korvex", u"-vol", u"memory:sample"});
    std::vector<char16_t*> Arguments;
    for (std::u16string& Word : Words)
        Arguments.push_back(Word.data());
    std::string Output;
    {
        FaultGuard Guard;
        ConsoleCapture Capture;
        ResetOptions();
        Fault_Arm(Point, Skip, Kind, Code);
        KorvexMain(static_cast<int>(Arguments.size()), Arguments.data());
        ResetOptions();
        Output = Capture.Text();
    }
    Platform_RemoveMemoryFile(u"memory:sample");
    size_t Report = Output.find("\n\n");
    return Report == std::string::npos ? Output : Output.substr(Report + 2);
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
    const std::string Located = "Attribute (TypeCode = 0x80, Name = \"\") located\n";
    auto Read = [&](const char* Save) {
        std::vector<std::u16string> Words = {u"-fid", u"4a", u"-attribute", u"80", u"", u"-read", u"10", u"10"};
        if (Save != nullptr)
            Words.insert(Words.end(), {u"-save", Wide(Dir / Save)});
        return Words;
    };
    struct Case {
        const char* Save;
        FaultPoint Point;
        uint32_t Skip;
        FaultKind Kind;
        DWORD Code;
        std::string Expected;
    };
    const Case Cases[] = {
        {nullptr, FaultPoint::Read, 5, FaultKind::Fail, ERROR_IO_DEVICE,
         "Unable to read data from the file at offset 0x10\nTotal 0x0 bytes read\n"},
        {"full", FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL,
         "Unable to write to file " + Dir / "full" + ", error is 112\n"},
        {"short", FaultPoint::Write, 0, FaultKind::Short, 0, "Unable to write to file " + Dir / "short" + ", error is 29\n"},
        {"close", FaultPoint::Close, 0, FaultKind::Fail, ERROR_IO_DEVICE, "Total 0x10 bytes read\n"},
        {nullptr, FaultPoint::Alloc, 42, FaultKind::Fail, 0, "Not enough memory\n"},
    };
    for (const Case& Item : Cases)
        EXPECT_EQ(RunWithFault(Read(Item.Save), Item.Point, Item.Skip, Item.Kind, Item.Code), Located + Item.Expected)
            << Item.Expected;
    EXPECT_EQ(ReadBytes(Dir / "short").size(), 8u) << "a short write keeps what was written";
}

// The run-list decoder's table is the one allocation of a decode: when it
// fails, the decode is out of memory and both outputs are cleared.
TEST(RunListDecode, AllocationFailureIsOutOfMemory)
{
    FaultGuard Guard;
    const uint8_t Pairs[] = {0x21, 0x18, 0x34, 0x56, 0x00};
    uint32_t Count = 7;
    NtfsRun Sentinel{};
    NtfsRun* Runs = &Sentinel;
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    EXPECT_EQ(NtfsRunList_Decode(Pairs, sizeof(Pairs), &Count, &Runs), ERROR_OUTOFMEMORY);
    EXPECT_EQ(Count, 0u);
    EXPECT_EQ(Runs, nullptr);
}

// Every validating operation checks the tag of its own handle type, so a
// handle of one type passed as another is refused (87), never used.
TEST(Handles, TagsAreCheckedAcrossHandleTypes)
{
    NtfsVolume Volume{};
    NtfsFile File{};
    NtfsAttribute Attribute{};
    Volume.Tag = NTFS_FILE_TAG;
    File.Tag = NTFS_ATTRIBUTE_TAG;
    Attribute.Tag = NTFS_VOLUME_TAG;
    uint8_t Buffer[1024];
    uint32_t Count = 0;
    BOOLEAN Flag = 0;
    EXPECT_EQ(NtfsVolume_Close(&Volume), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(&Volume, 0, 1, Buffer), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadFileRecord(&Volume, 0, Buffer), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsRecord_ApplyFixup(&Volume, Buffer, 1024), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsFile_Close(&File), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsFile_IsRootDirectory(&File, &Flag), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsFile_PrintFullName(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_Close(&Attribute), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_Read(&Attribute, 0, 1, Buffer, &Count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_ReadClusters(&Attribute, 0, 1, Buffer, &Count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsAttribute_MergeAll(&Attribute), ERROR_INVALID_PARAMETER);
}
