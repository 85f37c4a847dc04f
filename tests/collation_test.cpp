// Collation: the orderings of file-name keys, unsigned-word keys ($SII, $SDH)
// and attribute names, and the null / highest key positions.
#include <gtest/gtest.h>


#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "attr.h"
#include "ntfstool.h"

namespace {

// A $FILE_NAME-shaped key: length at 0x40, namespace at 0x41, UTF-16LE name
// from 0x42. Stored one byte into its buffer so every key is misaligned for
// 16-bit access.
class FileNameKey {
public:
    explicit FileNameKey(const std::u16string& Name, uint8_t Namespace = 1)
        : Bytes_(1 + 0x42 + 2 * Name.size(), 0xCC)
    {
        uint8_t* Key = Bytes_.data() + 1;
        Key[0x40] = static_cast<uint8_t>(Name.size());
        Key[0x41] = Namespace;
        for (size_t i = 0; i < Name.size(); i++)
            StoreLe16(Key + 0x42 + 2 * i, static_cast<uint16_t>(Name[i]));
    }
    const void* Get() const { return Bytes_.data() + 1; }

private:
    std::vector<uint8_t> Bytes_;
};

std::vector<uint8_t> Ulongs(std::initializer_list<uint32_t> Words)
{
    std::vector<uint8_t> Bytes;
    for (uint32_t Word : Words)
        for (int i = 0; i < 4; i++)
            Bytes.push_back(static_cast<uint8_t>(Word >> (8 * i)));
    return Bytes;
}

int CompareNames(const std::u16string& A, const std::u16string& B)
{
    return NtfsIndex_CompareFileNames(FileNameKey(A).Get(), FileNameKey(B).Get());
}

TEST(CollationTest, FileNamesAreOrdinalUnsignedCodeUnits)
{
    struct Case {
        std::u16string A, B;
        int Expected;
    };
    const Case Cases[] = {
        {u"abc", u"abd", -1},
        {u"ab", u"abc", -1},
        {u"abc", u"ab", 1},
        {u"ABC", u"abc", -1}, // no case folding
        {u"abc", u"abc", 0},
        {u"Z", u"a", -1},
        {u"", u"a", -1},
        {u"", u"", 0},
        {u"\xD800", u"A", 1},      // surrogates are plain unsigned units
        {u"\xFFFF", u"\x7FFF", 1}, // no sign in the comparison
        {u"a\xD83D\xDE00", u"a\xFF5A", -1}, // not by code point: 0xD83D < 0xFF5A
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::string(C.A.begin(), C.A.end()) + " vs " + std::string(C.B.begin(), C.B.end()));
        EXPECT_EQ(CompareNames(C.A, C.B), C.Expected);
        EXPECT_EQ(CompareNames(C.B, C.A), -C.Expected);
    }
}

TEST(CollationTest, FileNameNamespaceTakesNoPart)
{
    FileNameKey Posix(u"name", 0), Dos(u"name", 2);
    EXPECT_EQ(NtfsIndex_CompareFileNames(Posix.Get(), Dos.Get()), 0);
    FileNameKey Before(u"a", 3), After(u"b", 0);
    EXPECT_EQ(NtfsIndex_CompareFileNames(Before.Get(), After.Get()), -1);
}

TEST(CollationTest, UlongKeysCompareWordByWordUnsigned)
{
    // $SDH: hash then security id; the hash decides even though the id, read as
    // the high half of one 64-bit number, would say otherwise.
    std::vector<uint8_t> SdhLow = Ulongs({1, 0x200}), SdhHigh = Ulongs({2, 0x100});
    EXPECT_EQ(NtfsIndex_CompareUlongs(SdhLow.data(), SdhHigh.data(), 8), -1);
    EXPECT_EQ(NtfsIndex_CompareUlongs(SdhHigh.data(), SdhLow.data(), 8), 1);
    std::vector<uint8_t> SdhSameHash = Ulongs({2, 0x101});
    EXPECT_EQ(NtfsIndex_CompareUlongs(SdhHigh.data(), SdhSameHash.data(), 8), -1);
    EXPECT_EQ(NtfsIndex_CompareUlongs(SdhHigh.data(), SdhHigh.data(), 8), 0);

    // $SII: one security id; little-endian, so 0x100 is not "00 01" < "FF".
    std::vector<uint8_t> Id100 = Ulongs({0x100}), IdFF = Ulongs({0xFF});
    EXPECT_EQ(NtfsIndex_CompareUlongs(Id100.data(), IdFF.data(), 4), 1);
    std::vector<uint8_t> Big = Ulongs({0x80000000u}), One = Ulongs({1});
    EXPECT_EQ(NtfsIndex_CompareUlongs(Big.data(), One.data(), 4), 1);
}

TEST(CollationTest, SentinelsBoundEveryKey)
{
    FileNameKey Name(u"x");
    std::vector<uint8_t> Word = Ulongs({7});
    const void* const Highest = INDEX_KEY_HIGHEST;

    struct Case {
        const void* A;
        const void* B;
        int Expected;
    };
    const Case NameCases[] = {
        {nullptr, Name.Get(), -1}, {Highest, Name.Get(), 1}, {nullptr, nullptr, 0}, {Highest, Highest, 0},
        {Name.Get(), nullptr, 1},  {Name.Get(), Highest, -1}, {nullptr, Highest, -1}, {Highest, nullptr, 1},
    };
    for (const Case& C : NameCases)
        EXPECT_EQ(NtfsIndex_CompareFileNames(C.A, C.B), C.Expected);

    const Case WordCases[] = {
        {nullptr, Word.data(), -1}, {Highest, Word.data(), 1}, {nullptr, nullptr, 0}, {Highest, Highest, 0},
        {Word.data(), nullptr, 1},  {Word.data(), Highest, -1}, {nullptr, Highest, -1}, {Highest, nullptr, 1},
    };
    for (const Case& C : WordCases)
        EXPECT_EQ(NtfsIndex_CompareUlongs(C.A, C.B, 4), C.Expected);

    // Sentinels are settled before the key length is looked at.
    EXPECT_EQ(NtfsIndex_CompareUlongs(nullptr, Word.data(), 6), -1);
}

TEST(CollationDeathTest, UlongKeyLengthMustBeWholeWords)
{
    std::vector<uint8_t> A = Ulongs({1, 2}), B = Ulongs({1, 3});
    // The assertion prints to standard output; send that to standard error in
    // the dying child so the message can be matched.
    auto CompareSixBytes = [&] {
        fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        NtfsIndex_CompareUlongs(A.data(), B.data(), 6);
    };
    EXPECT_DEATH(CompareSixBytes(), "Assertion failed: \\(KeyLength % 4\\) == 0");
}

TEST(CollationTest, AttributeNamesUnnamedFirstThenExactCase)
{
    char16_t I30[] = u"$I30", Sdh[] = u"$SDH", Sds[] = u"$SDS", Ab[] = u"ab", Abc[] = u"abc", Upper[] = u"AB",
             High[] = u"\xD800";
    struct Case {
        char16_t* A;
        char16_t* B;
        int Sign;
    };
    const Case Cases[] = {
        {nullptr, I30, -1}, {nullptr, nullptr, 0}, {Sdh, Sds, -1}, {Ab, Abc, -1},
        {I30, I30, 0},      {Upper, Ab, -1},       {High, Ab, 1},
    };
    for (const Case& C : Cases) {
        NtfsAttribute A{}, B{};
        A.Name = C.A;
        B.Name = C.B;
        int Forward = NtfsAttribute_CompareNames(&A, &B);
        int Backward = NtfsAttribute_CompareNames(&B, &A);
        EXPECT_EQ((Forward > 0) - (Forward < 0), C.Sign);
        EXPECT_EQ((Backward > 0) - (Backward < 0), -C.Sign);
    }
}

} // namespace
