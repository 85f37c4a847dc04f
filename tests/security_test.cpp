// The security descriptor functions of the platform layer and the descriptor
// report, over descriptors built byte by byte here from the published layouts.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "main.h"
#include "security.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& Out, uint64_t Value, int Count)
{
    for (int i = 0; i < Count; i++)
        Out.push_back(static_cast<uint8_t>(Value >> (8 * i)));
}

// Revision, count, 48-bit big-endian authority, little-endian sub-authorities.
Bytes Sid(uint64_t Authority, const std::vector<uint32_t>& Subs, uint8_t Revision = 1)
{
    Bytes Out{Revision, static_cast<uint8_t>(Subs.size())};
    for (int i = 5; i >= 0; i--)
        Out.push_back(static_cast<uint8_t>(Authority >> (8 * i)));
    for (uint32_t Sub : Subs)
        PutLe(Out, Sub, 4);
    return Out;
}

// Header (type, flags, size), access mask, then Rest (the SID).
Bytes Ace(uint8_t Type, uint8_t Flags, uint32_t Mask, const Bytes& Rest)
{
    Bytes Out{Type, Flags};
    PutLe(Out, 8 + Rest.size(), 2);
    PutLe(Out, Mask, 4);
    Out.insert(Out.end(), Rest.begin(), Rest.end());
    return Out;
}

Bytes Acl(const std::vector<Bytes>& Aces, uint8_t Revision = 2, size_t Slack = 0)
{
    Bytes Body;
    for (const Bytes& Entry : Aces)
        Body.insert(Body.end(), Entry.begin(), Entry.end());
    Bytes Out{Revision, 0};
    PutLe(Out, 8 + Body.size() + Slack, 2);
    PutLe(Out, Aces.size(), 2);
    PutLe(Out, 0, 2);
    Out.insert(Out.end(), Body.begin(), Body.end());
    Out.resize(Out.size() + Slack);
    return Out;
}

// Self-relative; an empty part is absent (offset 0). The DACL comes first, as
// Windows and ntfs-3g lay descriptors out, or last with DaclLast.
Bytes Descriptor(uint16_t Control, const Bytes& Owner, const Bytes& Group, const Bytes& Dacl, bool DaclLast = false)
{
    Bytes Body;
    uint32_t Offsets[3] = {0, 0, 0};
    const Bytes* Parts[3] = {&Dacl, &Owner, &Group};
    for (int Step = 0; Step < 3; Step++) {
        int i = DaclLast ? (Step + 1) % 3 : Step;
        if (Parts[i]->empty())
            continue;
        Offsets[i] = static_cast<uint32_t>(20 + Body.size());
        Body.insert(Body.end(), Parts[i]->begin(), Parts[i]->end());
    }
    Bytes Out{1, 0};
    PutLe(Out, Control, 2);
    PutLe(Out, Offsets[1], 4);
    PutLe(Out, Offsets[2], 4);
    PutLe(Out, 0, 4);
    PutLe(Out, Offsets[0], 4);
    Out.insert(Out.end(), Body.begin(), Body.end());
    return Out;
}

// The report of the first Length bytes of Descriptor, copied into a block of
// exactly that size so that any read past it trips the sanitizer.
std::string Report(const Bytes& Descriptor, size_t Length = SIZE_MAX)
{
    Length = std::min(Length, Descriptor.size());
    std::unique_ptr<uint8_t[]> Copy(new uint8_t[Length]);
    if (Length != 0)
        memcpy(Copy.get(), Descriptor.data(), Length);
    ConsoleCapture Capture;
    PrintSecurityDescriptor(Copy.get(), static_cast<uint32_t>(Length));
    return Capture.Text();
}

std::string SidText(const Bytes& Value, DWORD* Error = nullptr)
{
    char16_t* Text = nullptr;
    SetLastError(0);
    if (!Sid_ToString(Value.data(), static_cast<DWORD>(Value.size()), &Text)) {
        if (Error != nullptr)
            *Error = GetLastError();
        return "(failed)";
    }
    std::string Narrow;
    for (char16_t* p = Text; *p != 0; p++)
        Narrow += static_cast<char>(*p);
    Sid_FreeString(Text);
    return Narrow;
}

const std::string Hyphens = std::string(64, '-') + "\n";
const Bytes Admins = Sid(5, {32, 544});
const Bytes System = Sid(5, {18});
const Bytes World = Sid(1, {0});
const Bytes User = Sid(5, {21, 1, 2, 3, 1001});

} // namespace

TEST(SecurityPlatform, SidStringsAndValidity)
{
    EXPECT_EQ(SidText(Admins), "S-1-5-32-544");
    EXPECT_EQ(SidText(Sid(5, {})), "S-1-5");
    EXPECT_EQ(SidText(Sid(0xFFFFFFFF, {0xFFFFFFFF})), "S-1-4294967295-4294967295");
    // From 2^32 on the authority is hexadecimal, always twelve digits.
    EXPECT_EQ(SidText(Sid(1ull << 32, {1})), "S-1-0x000100000000-1");
    EXPECT_EQ(SidText(Sid(0xAB0000000001, {7, 8})), "S-1-0xab0000000001-7-8");
    std::vector<uint32_t> Fifteen(15, 4000000000u);
    std::string Expected = "S-1-5";
    for (int i = 0; i < 15; i++)
        Expected += "-4000000000";
    EXPECT_EQ(SidText(Sid(5, Fifteen)), Expected);

    Fifteen.push_back(1);
    Bytes Cut = Admins;
    Cut.pop_back();
    for (const Bytes& Bad : {Sid(5, {32}, 2), Sid(5, Fifteen), Cut, Bytes(Admins.begin(), Admins.begin() + 7)}) {
        EXPECT_FALSE(Sid_IsValid(Bad.data(), static_cast<DWORD>(Bad.size())));
        DWORD Error = 0;
        EXPECT_EQ(SidText(Bad, &Error), "(failed)");
        EXPECT_EQ(Error, ERROR_INVALID_SID);
    }
    SKIP_WITHOUT_FAULT_POINTS();
    FaultGuard Guard;
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    DWORD Error = 0;
    EXPECT_EQ(SidText(Admins, &Error), "(failed)");
    EXPECT_EQ(Error, ERROR_NOT_ENOUGH_MEMORY);
}

TEST(SecurityPlatform, AclsDescriptorsAndTheirDamage)
{
    Bytes List = Acl({Ace(0, 0, 1, Admins), Ace(2, 0, 2, World), Ace(1, 0, 3, System)}, 2, 12);
    DWORD Size = static_cast<DWORD>(List.size());
    AclSizeInfo Information{};
    ASSERT_TRUE(Acl_GetInformation(List.data(), Size, &Information, sizeof(Information), AclSizeInfoClass));
    EXPECT_EQ(Information.AceCount, 3u);
    EXPECT_EQ(Information.AclBytesInUse, Size - 12);
    EXPECT_EQ(Information.AclBytesFree, 12u);
    EXPECT_FALSE(Acl_GetInformation(List.data(), Size, &Information, 8, AclSizeInfoClass));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const void* Entry = nullptr;
    DWORD EntryLength = 0;
    ASSERT_TRUE(Acl_GetAce(List.data(), Size, 2, &Entry, &EntryLength));
    EXPECT_EQ(static_cast<const uint8_t*>(Entry) - List.data(), 8 + 24 + 20);
    EXPECT_EQ(EntryLength, 20u);
    EXPECT_FALSE(Acl_GetAce(List.data(), Size, 3, &Entry, &EntryLength));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    auto Patched = [](Bytes Copy, size_t Offset, std::vector<uint8_t> Patch) {
        std::copy(Patch.begin(), Patch.end(), Copy.begin() + static_cast<long>(Offset));
        return Copy;
    };
    auto Valid = [&](size_t Offset, std::vector<uint8_t> Patch, DWORD Available) {
        return Acl_IsValid(Patched(List, Offset, Patch).data(), Available) != FALSE;
    };
    EXPECT_TRUE(Valid(0, {4}, Size));
    EXPECT_FALSE(Valid(0, {1}, Size));
    EXPECT_FALSE(Valid(0, {5}, Size));
    EXPECT_FALSE(Valid(2, {7, 0}, Size));        // AclSize below its header
    EXPECT_FALSE(Valid(0, {}, Size - 1));        // AclSize beyond the bytes
    EXPECT_FALSE(Valid(4, {4, 0}, Size));        // more entries than fit
    EXPECT_FALSE(Valid(8 + 2, {0, 0}, Size));    // a zero-sized entry
    EXPECT_FALSE(Valid(52 + 2, {33, 0}, Size));  // the last entry crosses AclSize
    // An allow or deny entry must hold its mask; an audit entry may be bare.
    EXPECT_FALSE(Acl_IsValid(Acl({Ace(0, 0, 1, Admins), Bytes{1, 0, 4, 0}}).data(), 36));
    EXPECT_TRUE(Acl_IsValid(Acl({Ace(0, 0, 1, Admins), Bytes{2, 0, 4, 0}}).data(), 36));

    // Descriptors: revision 1, self-relative, and a DACL or SACL offset counts
    // only while its present bit is set. (Parts that start outside or do not
    // fit are the truncation test's.)
    Bytes Sd = Descriptor(SdSelfRelative | SdDaclPresent, Admins, World, Acl({}));
    auto Accepted = [&](size_t Offset, std::vector<uint8_t> Patch) {
        return Sd_IsValid(Patched(Sd, Offset, Patch).data(), static_cast<DWORD>(Sd.size())) != FALSE;
    };
    EXPECT_TRUE(Accepted(0, {}));
    EXPECT_FALSE(Accepted(0, {2}));
    EXPECT_FALSE(Accepted(2, {0x04, 0x00}));
    EXPECT_FALSE(Accepted(16, {0xFF}));
    EXPECT_TRUE(Accepted(2, {0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF}));
    EXPECT_FALSE(Accepted(2, {0x10, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
    SdControl Control = 0;
    DWORD Revision = 0;
    EXPECT_FALSE(Sd_GetControl(Patched(Sd, 0, {2}).data(), 20, &Control, &Revision));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
}

TEST(SecurityReport, EveryFormOfTheReport)
{
    const std::string Owner = "    Owner : S-1-5-32-544\n";
    const std::string Group = "    Group : S-1-5-32-544\n";
    EXPECT_EQ(Report(Descriptor(0x8000, User, Admins, {})),
              Hyphens + "    Owner : S-1-5-21-1-2-3-1001\n" + Group + "    DACL not present\n\n");
    EXPECT_EQ(Report(Descriptor(0x8004, Admins, Admins, {})),
              Hyphens + Owner + Group + "    DACL  : Inherited, DACL is NULL (everyone has access)\n\n");
    EXPECT_EQ(Report(Descriptor(0x9004, Admins, Admins, {})),
              Hyphens + Owner + Group + "    DACL  : Not inherited, DACL is NULL (everyone has access)\n\n");
    EXPECT_EQ(Report(Descriptor(0x9004, {}, Admins, Acl({}))),
              Hyphens + "    Owner : NONE\n" + Group + "    DACL  : Not inherited, AceCount = 0\n\n");
    EXPECT_EQ(Report(Descriptor(0x8404, Admins, Admins,
                                Acl({Ace(0, 0x10, 0x1F01FF, Admins), Ace(1, 0x03, 2, World)}))),
              Hyphens + Owner + Group + "    DACL  : Inherited, AceCount = 2\n" +
                  "      [0000]: Flags=10 (I), Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-5-32-544\n" +
                  "      [0001]: Flags=03    , Type = 01 (DENIED), Mask = 0x00000002, Sid = S-1-1-0\n\n");
    // Audit and object entries: index, flags and type, and no line break.
    Bytes Object = Ace(5, 0, 0x100, Bytes{0, 0, 0, 0});
    Object.insert(Object.end(), Admins.begin(), Admins.end());
    Object[2] = static_cast<uint8_t>(Object.size());
    EXPECT_EQ(Report(Descriptor(0x8004, Admins, Admins, Acl({Ace(2, 0xC0, 1, World), Object}, 4))),
              Hyphens + Owner + Group + "    DACL  : Inherited, AceCount = 2\n" +
                  "      [0000]: Flags=c0    , Type = 02       [0001]: Flags=00    , Type = 05 \n");
    EXPECT_EQ(Report(Descriptor(0x8004, Sid(0xAB0000000001, {7}), Sid(0xFFFFFFFF, {}),
                                Acl({Ace(0, 0, 1, Sid(1ull << 32, {}))}))),
              Hyphens + "    Owner : S-1-0xab0000000001-7\n    Group : S-1-4294967295\n" +
                  "    DACL  : Inherited, AceCount = 1\n" +
                  "      [0000]: Flags=00    , Type = 00 (ALLOW) , Mask = 0x00000001, Sid = S-1-0x000100000000\n\n");

    // Damaged parts: each shows in its own line and the rest goes on.
    EXPECT_EQ(Report(Descriptor(0x8004, Sid(5, {1}, 2), Admins, Acl({Ace(0, 0, 1, Sid(5, {}, 3))}))),
              Hyphens + "    Owner : Invalid\n" + Group + "    DACL  : Inherited, AceCount = 1\n" +
                  "      [0000]: Flags=00    , Type = 00 (ALLOW) , Mask = 0x00000001, Invalid sid\n\n");
    EXPECT_EQ(Report(Descriptor(0x8004, Admins, Admins, Acl({}, 5))),
              Hyphens + Owner + Group + "    DACL  : Inherited, Invalid DACL\n\n");
    EXPECT_EQ(Report(Descriptor(0x8004, Admins, Admins, Acl({}), true), 19),
              Hyphens + "    The security descriptor is invalid\n\n");
    EXPECT_EQ(Report({}), Hyphens + "    The security descriptor is invalid\n\n");

    // Conversions that fail: the owner's, then (after owner and group) an entry's.
    SKIP_WITHOUT_FAULT_POINTS();
    FaultGuard Guard;
    Bytes WithEntry = Descriptor(0x8004, Admins, Admins, Acl({Ace(0, 0, 1, World)}));
    Fault_Arm(FaultPoint::Alloc, 0, FaultKind::Fail, 0);
    EXPECT_EQ(Report(WithEntry), Hyphens + "    Owner : ???? (8)\n" + Group + "    DACL  : Inherited, AceCount = 1\n" +
                                     "      [0000]: Flags=00    , Type = 00 (ALLOW) , Mask = 0x00000001, Sid = S-1-1-0\n\n");
    Fault_Arm(FaultPoint::Alloc, 2, FaultKind::Fail, 0);
    EXPECT_EQ(Report(WithEntry), Hyphens + Owner + Group + "    DACL  : Inherited, AceCount = 1\n" +
                                     "      [0000]: Flags=00    , Type = 00 (ALLOW) , Mask = 0x00000001, " +
                                     "\nConvertSidToStringSid() failed with error 8\n\n");
}

// Every prefix of a descriptor, in both layouts: a part that starts beyond the
// bytes makes the descriptor invalid, one that starts inside but does not fit
// shows as its own "Invalid" line, and nothing outside the bytes is read.
TEST(SecurityReport, TruncatedAtEveryBoundary)
{
    Bytes Dacl = Acl({Ace(0, 0x10, 0x1F01FF, Admins), Ace(1, 0, 2, World)});
    const std::string Invalid = Hyphens + "    The security descriptor is invalid\n\n";
    const std::string OwnerLine = "    Owner : S-1-5-21-1-2-3-1001\n";
    const std::string GroupLine = "    Group : S-1-1-0\n";
    const std::string DaclLines = "    DACL  : Inherited, AceCount = 2\n"
                                  "      [0000]: Flags=10 (I), Type = 00 (ALLOW) , Mask = 0x001f01ff, Sid = S-1-5-32-544\n"
                                  "      [0001]: Flags=00    , Type = 01 (DENIED), Mask = 0x00000002, Sid = S-1-1-0\n\n";

    Bytes DaclFirst = Descriptor(0x8004, User, World, Dacl);
    size_t OwnerAt = 20 + Dacl.size(), GroupAt = OwnerAt + User.size();
    for (size_t Length = 0; Length <= DaclFirst.size(); Length++) {
        std::string Expected = Invalid;
        if (Length > GroupAt)
            Expected = Hyphens + OwnerLine + (Length == DaclFirst.size() ? GroupLine : "    Group : Invalid\n") + DaclLines;
        EXPECT_EQ(Report(DaclFirst, Length), Expected) << Length;
    }
    Bytes DaclLast = Descriptor(0x8004, User, World, Dacl, true);
    size_t DaclAt = 20 + User.size() + World.size();
    for (size_t Length = 0; Length <= DaclLast.size(); Length++) {
        std::string Expected = Invalid;
        if (Length > DaclAt)
            Expected = Hyphens + OwnerLine + GroupLine +
                       (Length == DaclLast.size() ? DaclLines : "    DACL  : Inherited, Invalid DACL\n\n");
        EXPECT_EQ(Report(DaclLast, Length), Expected) << Length;
    }
}
