// Option parsing, number scanning, hex dump and time formatting.
#include <gtest/gtest.h>

#include "main.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Parses a command line given as UTF-8 words (the program name is added).
class Parsed {
public:
    explicit Parsed(std::vector<std::string> Words)
    {
        Storage_.push_back(u"korvex");
        for (const std::string& Word : Words)
            Storage_.push_back(Wide(Word));
        for (std::u16string& Word : Storage_)
            Pointers_.push_back(Word.data());
        ResetOptions();
        Result = ParseOptions(static_cast<int>(Pointers_.size()), Pointers_.data());
    }
    ~Parsed() { ResetOptions(); }
    bool Result;
    const ProgramOptionsRecord& Options() const { return ProgramOptions; }

private:
    std::vector<std::u16string> Storage_;
    std::vector<char16_t*> Pointers_;
};

std::u16string Text(const char16_t* Value)
{
    return Value != nullptr ? std::u16string(Value) : u"<none>";
}

std::string Dump(uint32_t Base, const std::vector<uint8_t>& Bytes)
{
    ConsoleCapture Capture;
    HexDump(Base, Bytes.data(), static_cast<uint32_t>(Bytes.size()));
    return Capture.Text();
}

std::string FormatTime(uint64_t Time)
{
    char16_t Buffer[FILE_TIME_TEXT_LENGTH];
    FormatFileTime(Time, Buffer, FILE_TIME_TEXT_LENGTH);
    std::string Utf8;
    Text_AppendUtf8(&Utf8, Buffer, Text_Length(Buffer));
    return Utf8;
}

} // namespace

TEST(Options, EveryOptionWithItsArguments)
{
    Parsed Line({"-vol", "/dev/sdb1", "-lockvol", "-dump", "-v", "-dir", "-printfile", "-fullname", "-fid", "1f",
                 "-rlog", "base", "-attribute", "80", "$SDS", "-read", "0x10", "1000", "-seid", "100", "200",
                 "-sehash", "ffffffff00000001", "2", "-scanmft", "0", "40", "-save", "out.bin"});
    const ProgramOptionsRecord& Options = Line.Options();
    EXPECT_TRUE(Line.Result);
    EXPECT_FALSE(Options.ShowHelp);
    EXPECT_EQ(Text(Options.VolumeName), u"/dev/sdb1");
    EXPECT_TRUE(Options.LockVolume && Options.Dump && Options.Verbose && Options.ListDir && Options.PrintFile &&
                Options.FullName);
    EXPECT_TRUE(Options.FileIdGiven);
    EXPECT_EQ(Options.FileId, 0x1Fu);
    EXPECT_EQ(Text(Options.VolumeLogFile), u"base");
    EXPECT_TRUE(Options.AttributeGiven);
    EXPECT_EQ(Options.AttributeType, 0x80u);
    EXPECT_EQ(Text(Options.AttributeName), u"$SDS");
    EXPECT_TRUE(Options.ReadGiven);
    EXPECT_EQ(Options.ReadOffset, 0x10u);
    EXPECT_EQ(Options.ReadSize, 0x1000u);
    EXPECT_TRUE(Options.SeidGiven);
    EXPECT_EQ(Options.SeidMin, 0x100u);
    EXPECT_EQ(Options.SeidMax, 0x200u);
    EXPECT_TRUE(Options.SehashGiven);
    EXPECT_EQ(Options.SehashMin, 0xFFFFFFFF00000001ull);
    EXPECT_EQ(Options.SehashMax, 2u);
    EXPECT_TRUE(Options.ScanMftGiven);
    EXPECT_EQ(Options.ScanMftFirst, 0u);
    EXPECT_EQ(Options.ScanMftLast, 0x40u);
    EXPECT_EQ(Text(Options.SaveFileName), u"out.bin");
}

TEST(Options, TheQuirksOfTheOnePassParser)
{
    {
        // Without its argument an option is ignored entirely.
        Parsed Line({"-vol"});
        EXPECT_EQ(Line.Options().VolumeName, nullptr);
        Parsed Short({"-attribute", "80"});
        EXPECT_FALSE(Short.Options().AttributeGiven);
    }
    {
        // The last argument of an option is also tried as a later option.
        Parsed Line({"-vol", "-save", "x"});
        EXPECT_EQ(Text(Line.Options().VolumeName), u"-save");
        EXPECT_EQ(Text(Line.Options().SaveFileName), u"x");
    }
    {
        Parsed Line({"-attribute", "80", "-read", "0", "100"});
        EXPECT_EQ(Text(Line.Options().AttributeName), u"-read");
        EXPECT_TRUE(Line.Options().ReadGiven);
        EXPECT_EQ(Line.Options().ReadOffset, 0u);
        EXPECT_EQ(Line.Options().ReadSize, 0x100u);
    }
    {
        // An earlier option in the table is not retried: -vol comes before -fid.
        Parsed Line({"-fid", "-vol", "img"});
        EXPECT_TRUE(Line.Options().FileIdGiven);
        EXPECT_EQ(Line.Options().VolumeName, nullptr);
    }
    {
        Parsed Line({"-attribute", "80", ""});
        EXPECT_TRUE(Line.Options().AttributeGiven);
        EXPECT_EQ(Line.Options().AttributeName, nullptr) << "an empty name means no name";
    }
    {
        Parsed Line({"-fid", "zz", "-bogus", "-HELP"});
        EXPECT_TRUE(Line.Options().FileIdGiven);
        EXPECT_EQ(Line.Options().FileId, 0u);
        EXPECT_FALSE(Line.Options().ShowHelp) << "options are case-sensitive";
    }
    {
        Parsed Line({"-fid", "5", "-fid", "zz", "-seid", "1", "2", "-seid", "3", "4"});
        EXPECT_EQ(Line.Options().FileId, 5u) << "an unreadable number keeps the earlier value";
        EXPECT_EQ(Line.Options().SeidMin, 3u);
        EXPECT_EQ(Line.Options().SeidMax, 4u);
    }
    {
        Parsed Line({"-vol", "x", "-help"});
        EXPECT_TRUE(Line.Options().ShowHelp);
        Parsed Question({"-?"});
        EXPECT_TRUE(Question.Options().ShowHelp);
    }
}

TEST(Options, AttributeNameCopyWithoutMemory)
{
    SKIP_WITHOUT_FAULT_POINTS();
    FaultGuard Guard;
    ConsoleCapture Capture;
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    Parsed Line({"-attribute", "80", "$SDS"});
    EXPECT_FALSE(Line.Result);
    EXPECT_EQ(Capture.Text(), "Not enough memory\n");
}

TEST(Options, HexadecimalNumbersReadLikeScanf)
{
    struct Case {
        const char16_t* Text;
        bool Found;
        uint32_t Value32;
        uint64_t Value64;
    };
    const Case Cases[] = {
        {u"9", true, 9, 9},
        {u"0x9", true, 9, 9},
        {u"0XaB", true, 0xAB, 0xAB},
        {u"  \t+1f", true, 0x1F, 0x1F},
        {u"12zz", true, 0x12, 0x12},
        {u"0xzz", true, 0, 0},
        {u"-1", true, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
        {u"-0x10", true, 0xFFFFFFF0, 0xFFFFFFFFFFFFFFF0},
        {u"zz", false, 7, 7},
        {u"", false, 7, 7},
        {u"-", false, 7, 7},
        {u"123456789", true, 0xFFFFFFFF, 0x123456789},
        {u"ffffffffffffffff", true, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
        {u"10000000000000000", true, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
        {u"-123456789abcdef01", true, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
    };
    for (const Case& Item : Cases) {
        uint32_t Value32 = 7;
        uint64_t Value64 = 7;
        EXPECT_EQ(ScanHex32(Item.Text, &Value32), Item.Found);
        EXPECT_EQ(ScanHex64(Item.Text, &Value64), Item.Found);
        EXPECT_EQ(Value32, Item.Value32);
        EXPECT_EQ(Value64, Item.Value64);
    }
}

TEST(HexDumpLayout, FullAndPartialLines)
{
    std::vector<uint8_t> Letters;
    for (char Letter = 'A'; Letter <= 'S'; Letter++)
        Letters.push_back(static_cast<uint8_t>(Letter));
    EXPECT_EQ(Dump(0x1000, Letters),
              "00001000  41 42 43 44 45 46 47 48-49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
              "00001010  51 52 53" + std::string(13 * 3, ' ') + "  QRS\n");

    std::vector<uint8_t> Sixteen(16, 0x30);
    EXPECT_EQ(Dump(0, Sixteen), "00000000  30 30 30 30 30 30 30 30-30 30 30 30 30 30 30 30  0000000000000000\n");
    Sixteen.push_back(0x31);
    EXPECT_EQ(Dump(0, Sixteen), "00000000  30 30 30 30 30 30 30 30-30 30 30 30 30 30 30 30  0000000000000000\n"
                                "00000010  31" + std::string(15 * 3, ' ') + "  1\n");
    EXPECT_EQ(Dump(5, {}), "");

    // 0x7F prints as itself; control and high bytes as dots.
    std::vector<uint8_t> Mixed = {0x7F, 0x00, 0x1F, 0x80, 0xFF, 0x20, 0x7E, 0x61};
    EXPECT_EQ(Dump(0, Mixed), "00000000  7f 00 1f 80 ff 20 7e 61-" + std::string(8 * 3, ' ') + " \x7f.... ~a\n");

    // Addresses wrap at 32 bits.
    std::string Wrapped = Dump(0xFFFFFFF0, std::vector<uint8_t>(20, 0x41));
    EXPECT_EQ(Wrapped.substr(0, 8), "fffffff0");
    EXPECT_EQ(Wrapped.substr(Wrapped.find('\n') + 1, 8), "00000000");
}

TEST(FileTimes, FormatsLocalCalendarTime)
{
    // Tests run with TZ=UTC.
    EXPECT_EQ(FormatTime(0), "");
    EXPECT_EQ(FormatTime(116444736000000000ull + 1218938281ull * 10000000ull + 9999999), "08-17-2008 01:58:01");
    EXPECT_EQ(FormatTime(1), "01-01-1601 00:00:00");
    // The top of the Windows range has a five-digit year and still fits.
    EXPECT_EQ(FormatTime(0x7FFFFFFFFFFFFFFFull), "09-14-30828 02:48:05");
    // What the platform cannot convert shows as zeros, not as "no time".
    EXPECT_EQ(FormatTime(0x8000000000000000ull), "00-00-0000 00:00:00");

    // A short buffer is never overrun.
    char16_t Small[8];
    Small[7] = 0x7777;
    FormatFileTime(0x7FFFFFFFFFFFFFFFull, Small, 7);
    EXPECT_EQ(std::u16string(Small), u"09-14-");
    EXPECT_EQ(Small[7], 0x7777);
}
