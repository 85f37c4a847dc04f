// The file and attribute reports, the attribute read command and the full
// filename walk, on synthetic volumes.
#include <gtest/gtest.h>

#include "attr.h"
#include "file.h"
#include "image_builder.h"
#include "main.h"
#include "mounted_image.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using namespace testimage;

namespace {

using Mounted = MountedImage;

std::string Rule(char Character, size_t Count) { return std::string(Count, Character) + "\n"; }

// 2008-08-17 01:58:01 UTC.
constexpr uint64_t SampleTime = 116444736000000000ull + 1218938281ull * 10000000ull;

std::string Printed(NtfsFile* File)
{
    ConsoleCapture Capture;
    NtfsFile_Print(File);
    return Capture.Text();
}

struct ReadRun {
    DWORD Result;
    std::string Output;
};

// Runs the attribute read command with the given options.
ReadRun RunRead(NtfsFile* File, uint32_t Type, const char16_t* Name, bool Read, uint64_t Offset, uint32_t Size,
                bool Dump = false, const std::u16string* Save = nullptr)
{
    ResetOptions();
    std::u16string NameCopy = Name != nullptr ? Name : u"";
    ProgramOptions.AttributeGiven = true;
    ProgramOptions.AttributeType = Type;
    ProgramOptions.AttributeName = Name != nullptr ? NameCopy.data() : nullptr;
    ProgramOptions.ReadGiven = Read;
    ProgramOptions.ReadOffset = Offset;
    ProgramOptions.ReadSize = Size;
    ProgramOptions.Dump = Dump;
    ProgramOptions.SaveFileName = Save != nullptr ? Save->c_str() : nullptr;
    ConsoleCapture Capture;
    DWORD Result = ReadAttributeData(File);
    ProgramOptions.AttributeName = nullptr;
    ResetOptions();
    return {Result, Capture.Text()};
}

std::string FullName(NtfsFile* File, DWORD* Result)
{
    ConsoleCapture Capture;
    *Result = NtfsFile_PrintFullName(File);
    return Capture.Text();
}

} // namespace

TEST(Reports, FileReportWithEveryKindOfAttribute)
{
    VolumeBuilder Builder(4096, 1024, 80);
    Bytes LongInformation = StandardInformation(0x20, 0x107, SampleTime);
    Bytes ShortInformation(LongInformation.begin(), LongInformation.begin() + 48);
    for (size_t i = 0; i < 8; i++)
        ShortInformation[8 + i] = 0; // no modification time
    RecordBuilder& Record = Builder.Record(64);
    Record.SetLsn(0x123456789).SetSequence(7).SetLinkCount(2);
    Record.Add(ResidentAttribute(TypeStandardInformation, ShortInformation));
    Record.Add(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"", false, NamespaceWin32, 0, 0, 0x20, 0)));
    Record.Add(ResidentAttribute(TypeData, {}, u"empty"));
    Record.Add(ResidentAttribute(0x100, {'A', 'B', 0x7F}));
    AttributeFields Runs = NonResidentAttribute(TypeData, {{3, 0x40}, {2, 0, true}, {1, 0x30}}, 4096, 6 * 4096 - 5);
    Record.Add(Runs);
    AttributeFields NoRuns = NonResidentAttribute(TypeData, {}, 4096, 0, u"none");
    Record.Add(NoRuns);
    Builder.Record(65).Add(ResidentAttribute(TypeStandardInformation, LongInformation));
    Mounted Volume(Builder);
    NtfsFile* File = Volume.Open(FileReference(64, 9));
    ASSERT_NE(File, nullptr);

    std::string Equals = Rule('=', 65);
    std::string Expected =
        "File information:\n" + Equals +
        "    SegmentNumber*  : 0x0000000000000040\n"
        "    LSN             : 0x0000000123456789\n"
        "    SequenceNumber  : 0x0007\n"
        "    SegmentNumber   : 0x0000000000000040\n"
        "    ReferenceCount  : 0x0002\n"
        "    Flags           : 0x0001\n" +
        Rule('-', 65) + "    List[0]: Total Attributes: 0x00000006\n" +
        // A 48-byte $STANDARD_INFORMATION: eight value lines.
        "Attribute information:\n" + Equals +
        "    TypeCode        : 0x00000010 ($STANDARD_INFORMATION)\n"
        "    Instance        : 0x0000\n"
        "    Name            : \n"
        "    Resident        : Yes\n"
        "    Length          : 0x00000030\n";
    {
        ConsoleCapture Dump;
        HexDump(0, ShortInformation.data(), 48);
        Expected += Dump.Text();
    }
    Expected += Rule('-', 47) +
                "    CreationTime        : 08-17-2008 01:58:01\n"
                "    LastModificationTime: \n"
                "    LastChangeTime      : 08-17-2008 01:58:01\n"
                "    LastAccessTime      : 08-17-2008 01:58:01\n"
                "    FileAttributes      : 0x00000020\n"
                "    MaximumVersions     : 0x00000000\n"
                "    VersionNumber       : 0x00000000\n"
                "    ClassId             : 0x00000000\n\n";
    std::string Text = Printed(File);
    ASSERT_GE(Text.size(), Expected.size());
    EXPECT_EQ(Text.substr(0, Expected.size()), Expected);

    // The $FILE_NAME with an empty name and zero times.
    EXPECT_NE(Text.find("    TypeCode        : 0x00000030 ($FILE_NAME)\n"), std::string::npos);
    EXPECT_NE(Text.find(Rule('-', 47) + "    ParentDirectory     : 0x0005000000000005\n"
                                        "    Flags               : 0x01\n"
                                        "    Filename            : \n"
                                        "    CreationTime        : \n"
                                        "    LastModificationTime: \n"
                                        "    LastChangeTime      : \n"
                                        "    LastAccessTime      : \n"
                                        "    AllocatedLength     : 0x0000000000000000\n"
                                        "    FileSize            : 0x0000000000000000\n"
                                        "    FileAttributes      : 0x00000020\n"
                                        "    PackedEaSize        : 0x00000000\n\n"),
              std::string::npos);
    // A zero-length resident value: no dump.
    EXPECT_NE(Text.find("    Name            : empty\n    Resident        : Yes\n    Length          : 0x00000000\n\n"),
              std::string::npos);
    EXPECT_NE(Text.find("    TypeCode        : 0x00000100 ($?\?\?)\n"), std::string::npos);
    EXPECT_NE(Text.find("    Length          : 0x00000003\n00000000  41 42 7f"), std::string::npos);
    EXPECT_NE(Text.find("    Lowest VCN      : 0x0000000000000000\n"
                        "    Highest VCN     : 0x0000000000000005\n"
                        "    Allocated Length: 0x0000000000006000\n"
                        "    File Size       : 0x0000000000005ffb\n"
                        "    ValidData Length: 0x0000000000005ffb\n"
                        "    Run Count       : 0x00000003\n"
                        "        0x00000000:  0x0000000000000003 Clusters start @ 0x0000000000000040\n"
                        "        0x00000001:  0x0000000000000002 Clusters (sparse)\n"
                        "        0x00000002:  0x0000000000000001 Clusters start @ 0x0000000000000030\n\n"),
              std::string::npos);
    EXPECT_NE(Text.find("    Name            : none\n    Resident        : No\n"), std::string::npos);
    EXPECT_NE(Text.find("    Run Count       : 0x00000000\n\n"), std::string::npos);
    std::string Tail = Rule('-', 65) + "    List[1]: Total Attributes: 0x00000000\n" + Equals + "\n";
    EXPECT_EQ(Text.substr(Text.size() - Tail.size()), Tail);

    // A 72-byte $STANDARD_INFORMATION prints twelve value lines.
    NtfsFile* Full = Volume.Open(65);
    std::string FullText = Printed(Full);
    EXPECT_NE(FullText.find("    ClassId             : 0x00000000\n"
                            "    OwnerId             : 0x00000000\n"
                            "    SecurityId          : 0x00000107\n"
                            "    QuotaCharged        : 0x0000000000000000\n"
                            "    Usn                 : 0x0000000000000000\n\n"),
              std::string::npos);
}

TEST(Reports, ValuesTooShortForTheirFieldsAreNotOverread)
{
    VolumeBuilder Builder(4096, 1024, 80);
    Bytes Information = StandardInformation(0x20, 1, SampleTime);
    Information.resize(0x22);
    Bytes Name = FileName(FileReference(5, 5), u"abcdef");
    Name.resize(0x44); // the name needs 0x42 + 12 bytes
    Builder.Record(64).Add(ResidentAttribute(TypeStandardInformation, Information)).Add(ResidentAttribute(TypeFileName, Name));
    Mounted Volume(Builder);
    std::string Text = Printed(Volume.Open(64));
    EXPECT_NE(Text.find("    LastAccessTime      : 08-17-2008 01:58:01\n\n"), std::string::npos)
        << "a value that ends inside FileAttributes prints the times only";
    EXPECT_NE(Text.find("    Flags               : 0x03\n    CreationTime"), std::string::npos)
        << "a name that does not fit is left out";
    DWORD Result = 0;
    FullName(Volume.Open(64), &Result);
    EXPECT_EQ(Result, ERROR_INVALID_DATA);
}

TEST(FullNames, PathsCyclesAndMissingParents)
{
    VolumeBuilder Builder(4096, 1024, 80);
    Builder.Record(64).Add(ResidentAttribute(TypeStandardInformation, StandardInformation()))
        .Add(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"dir", true, NamespaceWin32, 0, 0, 0x10000000)));
    Builder.Record(65).Add(ResidentAttribute(TypeStandardInformation, StandardInformation()))
        .Add(ResidentAttribute(TypeFileName, FileName(FileReference(64, 3), u"caf\u00e9.txt")));
    // 66 and 67 name each other as parent.
    Builder.Record(66).Add(ResidentAttribute(TypeFileName, FileName(FileReference(67, 1), u"a", true)));
    Builder.Record(67).Add(ResidentAttribute(TypeFileName, FileName(FileReference(66, 1), u"b", true)));
    // 68's parent is not in use; 69 has no $FILE_NAME at all.
    Builder.Record(68).Add(ResidentAttribute(TypeFileName, FileName(FileReference(70, 1), u"orphan")));
    Builder.Record(69).Add(ResidentAttribute(TypeStandardInformation, StandardInformation()));
    Builder.Record(71).Add(ResidentAttribute(TypeFileName, FileName(FileReference(64, 1), u"", true, 0, 0, 0, 0x10000000)));
    Builder.Record(72).Add(ResidentAttribute(TypeFileName, FileName(FileReference(72, 1), u"self")));
    Mounted Volume(Builder);
    DWORD Result = 99;
    EXPECT_EQ(FullName(Volume.Open(FileReference(5, 0x1234)), &Result), "\\");
    EXPECT_EQ(Result, ERROR_SUCCESS);
    EXPECT_EQ(FullName(Volume.Open(64), &Result), "\\dir\\");
    EXPECT_EQ(FullName(Volume.Open(65), &Result), "\\dir\\caf\xc3\xa9.txt");
    EXPECT_EQ(FullName(Volume.Open(71), &Result), "\\dir\\\\") << "an empty name still ends with its backslash";
    EXPECT_EQ(FullName(Volume.Open(66), &Result), "");
    EXPECT_EQ(Result, ERROR_INVALID_DATA);
    EXPECT_EQ(FullName(Volume.Open(72), &Result), "");
    EXPECT_EQ(Result, ERROR_INVALID_DATA);
    EXPECT_EQ(FullName(Volume.Open(68), &Result), "");
    EXPECT_EQ(Result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FullName(Volume.Open(69), &Result), "");
    EXPECT_EQ(Result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(NtfsFile_PrintFullName(nullptr), ERROR_INVALID_PARAMETER);
}

TEST(ReadCommand, RangesDumpsAndSaves)
{
    FaultGuard Guard;
    TempDir Dir;
    VolumeBuilder Builder(4096, 1024, 80);
    Bytes Content(0x1000);
    for (size_t i = 0; i < Content.size(); i++)
        Content[i] = static_cast<uint8_t>(i * 7);
    AttributeFields Data = Builder.StoreNonResident(Content);
    Builder.Record(64).Add(ResidentAttribute(TypeStandardInformation, StandardInformation())).Add(Data)
        .Add(ResidentAttribute(TypeData, {'h', 'i'}, u"$SDS"));
    Mounted Volume(Builder);
    NtfsFile* File = Volume.Open(64);

    ReadRun Located = RunRead(File, 0x80, nullptr, false, 0, 0x100);
    EXPECT_EQ(Located.Output, "Attribute (TypeCode = 0x80, Name = \"\") located\n");
    EXPECT_EQ(RunRead(File, 0x80, nullptr, true, 0, 0).Output, Located.Output);
    ReadRun Missing = RunRead(File, 0x80, u"nope", true, 0, 1);
    EXPECT_EQ(Missing.Output, "Unable to locate the attribute: TypeCode = 0x80, Name = nope\n");
    EXPECT_EQ(Missing.Result, ERROR_INVALID_DATA);
    EXPECT_EQ(RunRead(File, 0x90, nullptr, true, 0, 1).Output, "Unable to locate the attribute: TypeCode = 0x90, Name = (null)\n");

    // 0x1800 bytes of a 0x1000-byte value: one full chunk, then nothing.
    std::u16string Save = Wide(Dir / "saved");
    ReadRun Whole = RunRead(File, 0x80, nullptr, true, 0, 0x1800, false, &Save);
    EXPECT_EQ(Whole.Output, Located.Output + "Total 0x1000 bytes read\n");
    EXPECT_EQ(ReadBytes(Dir / "saved"), Content);
    // An existing save file is never overwritten, and nothing is read.
    ReadRun Exists = RunRead(File, 0x80, nullptr, true, 0, 0x10, true, &Save);
    EXPECT_EQ(Exists.Output, Located.Output + "Unable to create save file @ " + Dir / "saved" + ", error is 80\n");
    EXPECT_EQ(Exists.Result, ERROR_FILE_EXISTS);

    // The dump counts addresses from the start of the range.
    ReadRun Dumped = RunRead(File, 0x80, nullptr, true, 0xFF8, 0x10, true);
    std::string Expected;
    {
        ConsoleCapture Capture;
        HexDump(0, Content.data() + 0xFF8, 8);
        Expected = Capture.Text();
    }
    EXPECT_EQ(Dumped.Output, Located.Output + Expected + "Total 0x8 bytes read\n");
    std::u16string Empty = Wide(Dir / "empty");
    EXPECT_EQ(RunRead(File, 0x80, nullptr, true, 0x1000, 0x10, true, &Empty).Output,
              Located.Output + "Total 0x0 bytes read\n");
    EXPECT_TRUE(testing_support::Exists(Dir / "empty"));
    EXPECT_EQ(RunRead(File, 0x80, u"$SDS", true, 1, 0x10).Output,
              "Attribute (TypeCode = 0x80, Name = \"$SDS\") located\nTotal 0x1 bytes read\n");

    // Failures of the read and of the save file, on a fresh handle whose
    // value has not been read yet; no read-ahead window may hide the device.
    Volume.Volume->ReadAheadDisabled = true;
    File = Volume.Open(64);
    SKIP_WITHOUT_FAULT_POINTS();
    Fault_Arm(FaultPoint::Read, 0, FaultKind::Fail, ERROR_IO_DEVICE);
    ReadRun Failed = RunRead(File, 0x80, nullptr, true, 0x10, 0x10);
    EXPECT_EQ(Failed.Output, Located.Output + "Unable to read data from the file at offset 0x10\nTotal 0x0 bytes read\n");
    EXPECT_EQ(Failed.Result, ERROR_IO_DEVICE);
    std::u16string Full = Wide(Dir / "full");
    Fault_Arm(FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL);
    ReadRun NoSpace = RunRead(File, 0x80, nullptr, true, 0, 0x10, false, &Full);
    EXPECT_EQ(NoSpace.Output, Located.Output + "Unable to write to file " + Dir / "full" + ", error is 112\n");
    EXPECT_EQ(NoSpace.Result, ERROR_DISK_FULL);
    std::u16string Short = Wide(Dir / "short");
    Fault_Arm(FaultPoint::Write, 0, FaultKind::Short, 0);
    ReadRun Cut = RunRead(File, 0x80, nullptr, true, 0, 0x10, false, &Short);
    EXPECT_EQ(Cut.Output, Located.Output + "Unable to write to file " + Dir / "short" + ", error is 29\n");
    EXPECT_EQ(Cut.Result, ERROR_WRITE_FAULT);
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    ReadRun NoMemory = RunRead(File, 0x80, nullptr, true, 0, 0x10);
    EXPECT_EQ(NoMemory.Output, Located.Output + "Not enough memory\n");
    EXPECT_EQ(NoMemory.Result, ERROR_OUTOFMEMORY);
}
