// Self-relative security descriptors in memory. Every read is checked against the bytes the caller
// says are available; see security.h for the one difference in the signatures.
#include "security.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The bytes available at one structure. Reads outside them are refused here,
// so a damaged offset or size can never lead outside the caller's buffer.
class ByteView {
public:
    ByteView(const void* Data, DWORD Length) : Data_(static_cast<const uint8_t*>(Data)), Size_(Data ? Length : 0) {}

    bool Has(size_t Offset, size_t Length) const { return Offset <= Size_ && Length <= Size_ - Offset; }
    // Little-endian value of Length (1 to 4) bytes; 0 when they are not all
    // inside (callers test Has first where 0 would be taken for a value).
    uint32_t Le(size_t Offset, size_t Length) const
    {
        if (!Has(Offset, Length))
            return 0;
        uint32_t Value = 0;
        for (size_t i = Length; i-- > 0;)
            Value = (Value << 8) | Data_[Offset + i];
        return Value;
    }
    uint8_t Byte(size_t Offset) const { return static_cast<uint8_t>(Le(Offset, 1)); }
    // Position of byte Offset; Offset must not exceed the size.
    const uint8_t* At(size_t Offset) const { return Data_ + Offset; }
    DWORD Size() const { return static_cast<DWORD>(Size_); }

private:
    const uint8_t* Data_;
    size_t Size_;
};

struct DescriptorHeader {
    SdControl Control;
    DWORD Revision;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};

// Reads the fixed header. Returns ERROR_SUCCESS, ERROR_INVALID_SECURITY_DESCR
// (header outside the bytes, or not self-relative) or ERROR_UNKNOWN_REVISION.
DWORD ReadDescriptorHeader(const ByteView& Descriptor, DescriptorHeader* Header)
{
    if (!Descriptor.Has(0, SdHeaderLength))
        return ERROR_INVALID_SECURITY_DESCR;
    Header->Revision = Descriptor.Byte(SdRevisionOffset);
    Header->Control = static_cast<SdControl>(Descriptor.Le(SdControlOffset, 2));
    Header->Owner = Descriptor.Le(SdOwnerOffset, 4);
    Header->Group = Descriptor.Le(SdGroupOffset, 4);
    Header->Sacl = Descriptor.Le(SdSaclOffset, 4);
    Header->Dacl = Descriptor.Le(SdDaclOffset, 4);
    if (Header->Revision != SdRevision)
        return ERROR_UNKNOWN_REVISION;
    if ((Header->Control & SdSelfRelative) == 0)
        return ERROR_INVALID_SECURITY_DESCR;
    return ERROR_SUCCESS;
}

// A part named by its offset: absent (0) or starting inside the descriptor.
bool PartStartsInside(const ByteView& Descriptor, DWORD Offset)
{
    return Offset == 0 || Offset < Descriptor.Size();
}

// Position and available bytes of a part; null and 0 when it is absent.
void LocatePart(const ByteView& Descriptor, DWORD Offset, const void** Part, DWORD* PartLength)
{
    *Part = Offset == 0 ? nullptr : Descriptor.At(Offset);
    *PartLength = Offset == 0 ? 0 : Descriptor.Size() - Offset;
}

BOOL Fail(DWORD Error)
{
    SetLastError(Error);
    return FALSE;
}

BOOL GetDescriptorSid(SdBytes SecurityDescriptor, DWORD Length, bool Owner, SidBytes* Sid,
                      DWORD* SidLength, BOOL* Defaulted)
{
    if (SecurityDescriptor == nullptr || Sid == nullptr || SidLength == nullptr || Defaulted == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    ByteView Descriptor(SecurityDescriptor, Length);
    DescriptorHeader Header;
    DWORD Error = ReadDescriptorHeader(Descriptor, &Header);
    if (Error != ERROR_SUCCESS)
        return Fail(Error);
    DWORD Offset = Owner ? Header.Owner : Header.Group;
    if (!PartStartsInside(Descriptor, Offset))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    LocatePart(Descriptor, Offset, Sid, SidLength);
    *Defaulted = (Header.Control & (Owner ? SdOwnerDefaulted : SdGroupDefaulted)) != 0;
    return TRUE;
}

// Steps through the entries of an ACL whose header has been read. Each entry's
// 4-byte header and its whole AceSize must lie inside AclSize, and AceSize
// must cover the header, or the walk could not move on.
class AceWalk {
public:
    AceWalk(const ByteView& List, DWORD AclSize) : List_(List), AclSize_(AclSize) {}

    bool Next(DWORD* Offset, DWORD* Size, BYTE* Type)
    {
        if (Position_ > AclSize_ || AclSize_ - Position_ < AceHeaderLength)
            return false;
        DWORD AceSize = List_.Le(Position_ + AceSizeOffset, 2);
        if (AceSize < AceHeaderLength || AceSize > AclSize_ - Position_)
            return false;
        *Offset = Position_;
        *Size = AceSize;
        *Type = List_.Byte(Position_ + AceTypeOffset);
        Position_ += AceSize;
        return true;
    }
    DWORD Position() const { return Position_; }

private:
    const ByteView& List_;
    DWORD AclSize_;
    DWORD Position_ = AclHeaderLength;
};

struct AclHeader {
    BYTE Revision;
    DWORD AclSize;
    DWORD AceCount;
};

// The header of an ACL whose revision is 2 to 4 and whose AclSize covers the
// header and lies within the available bytes.
bool ReadAclHeader(const ByteView& List, AclHeader* Header)
{
    if (!List.Has(0, AclHeaderLength))
        return false;
    Header->Revision = List.Byte(AclRevisionOffset);
    Header->AclSize = List.Le(AclSizeOffset, 2);
    Header->AceCount = List.Le(AclAceCountOffset, 2);
    return Header->Revision >= AclRevisionMin && Header->Revision <= AclRevisionMax &&
           Header->AclSize >= AclHeaderLength && Header->AclSize <= List.Size();
}

} // namespace

BOOL Sd_IsValid(SdBytes SecurityDescriptor, DWORD Length)
{
    ByteView Descriptor(SecurityDescriptor, Length);
    DescriptorHeader Header;
    if (ReadDescriptorHeader(Descriptor, &Header) != ERROR_SUCCESS)
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    // The offset fields of the lists mean nothing while their present bits
    // are clear.
    bool PartsInside = PartStartsInside(Descriptor, Header.Owner) && PartStartsInside(Descriptor, Header.Group) &&
                       ((Header.Control & SdDaclPresent) == 0 || PartStartsInside(Descriptor, Header.Dacl)) &&
                       ((Header.Control & SdSaclPresent) == 0 || PartStartsInside(Descriptor, Header.Sacl));
    if (!PartsInside)
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    return TRUE;
}

BOOL Sd_GetControl(SdBytes SecurityDescriptor, DWORD Length,
                                  SdControl* Control, DWORD* Revision)
{
    if (SecurityDescriptor == nullptr || Control == nullptr || Revision == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    ByteView Descriptor(SecurityDescriptor, Length);
    DescriptorHeader Header;
    DWORD Error = ReadDescriptorHeader(Descriptor, &Header);
    if (Error != ERROR_SUCCESS)
        return Fail(Error);
    *Control = Header.Control;
    *Revision = Header.Revision;
    return TRUE;
}

BOOL Sd_GetOwner(SdBytes SecurityDescriptor, DWORD Length, SidBytes* Owner,
                                DWORD* OwnerLength, BOOL* OwnerDefaulted)
{
    return GetDescriptorSid(SecurityDescriptor, Length, true, Owner, OwnerLength, OwnerDefaulted);
}

BOOL Sd_GetGroup(SdBytes SecurityDescriptor, DWORD Length, SidBytes* Group,
                                DWORD* GroupLength, BOOL* GroupDefaulted)
{
    return GetDescriptorSid(SecurityDescriptor, Length, false, Group, GroupLength, GroupDefaulted);
}

BOOL Sd_GetDacl(SdBytes SecurityDescriptor, DWORD Length, BOOL* DaclPresent,
                               AclBytes* Dacl, DWORD* DaclLength, BOOL* DaclDefaulted)
{
    if (SecurityDescriptor == nullptr || DaclPresent == nullptr || Dacl == nullptr || DaclLength == nullptr ||
        DaclDefaulted == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    ByteView Descriptor(SecurityDescriptor, Length);
    DescriptorHeader Header;
    DWORD Error = ReadDescriptorHeader(Descriptor, &Header);
    if (Error != ERROR_SUCCESS)
        return Fail(Error);
    if ((Header.Control & SdDaclPresent) == 0) {
        *DaclPresent = FALSE;
        return TRUE;
    }
    if (!PartStartsInside(Descriptor, Header.Dacl))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    *DaclPresent = TRUE;
    LocatePart(Descriptor, Header.Dacl, Dacl, DaclLength);
    *DaclDefaulted = (Header.Control & SdDaclDefaulted) != 0;
    return TRUE;
}

BOOL Acl_IsValid(AclBytes Acl, DWORD Length)
{
    ByteView List(Acl, Length);
    AclHeader Header;
    if (!ReadAclHeader(List, &Header))
        return Fail(ERROR_INVALID_ACL);
    AceWalk Walk(List, Header.AclSize);
    for (DWORD i = 0; i < Header.AceCount; i++) {
        DWORD Offset, Size;
        BYTE Type;
        if (!Walk.Next(&Offset, &Size, &Type))
            return Fail(ERROR_INVALID_ACL);
        // The allowed and denied forms carry their access mask right after
        // the header; the SID that follows is judged by Sid_IsValid.
        bool CarriesMask = Type == AceTypeAccessAllowed || Type == AceTypeAccessDenied;
        if (CarriesMask && Size < AceMaskOffset + 4)
            return Fail(ERROR_INVALID_ACL);
    }
    return TRUE;
}

BOOL Acl_GetInformation(AclBytes Acl, DWORD Length, void* AclInformation, DWORD AclInformationLength,
                       AclInformationClass InformationClass)
{
    if (Acl == nullptr || AclInformation == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (InformationClass != AclRevisionInfoClass && InformationClass != AclSizeInfoClass)
        return Fail(ERROR_INVALID_PARAMETER);
    ByteView List(Acl, Length);
    AclHeader Header;
    if (!ReadAclHeader(List, &Header))
        return Fail(ERROR_INVALID_PARAMETER);
    if (InformationClass == AclRevisionInfoClass) {
        if (AclInformationLength < sizeof(AclRevisionInfo))
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        static_cast<AclRevisionInfo*>(AclInformation)->AclRevision = Header.Revision;
        return TRUE;
    }
    if (AclInformationLength < sizeof(AclSizeInfo))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    AceWalk Walk(List, Header.AclSize);
    for (DWORD i = 0; i < Header.AceCount; i++) {
        DWORD Offset, Size;
        BYTE Type;
        if (!Walk.Next(&Offset, &Size, &Type))
            return Fail(ERROR_INVALID_PARAMETER);
    }
    AclSizeInfo* Information = static_cast<AclSizeInfo*>(AclInformation);
    Information->AceCount = Header.AceCount;
    Information->AclBytesInUse = Walk.Position();
    Information->AclBytesFree = Header.AclSize - Walk.Position();
    return TRUE;
}

BOOL Acl_GetAce(AclBytes Acl, DWORD Length, DWORD AceIndex, const void** Ace, DWORD* AceLength)
{
    if (Acl == nullptr || Ace == nullptr || AceLength == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    ByteView List(Acl, Length);
    AclHeader Header;
    if (!ReadAclHeader(List, &Header) || AceIndex >= Header.AceCount)
        return Fail(ERROR_INVALID_PARAMETER);
    AceWalk Walk(List, Header.AclSize);
    DWORD Offset = 0, Size = 0;
    BYTE Type;
    for (DWORD i = 0; i <= AceIndex; i++)
        if (!Walk.Next(&Offset, &Size, &Type))
            return Fail(ERROR_INVALID_PARAMETER);
    *Ace = List.At(Offset);
    *AceLength = Size;
    return TRUE;
}

BOOL Sid_IsValid(SidBytes Sid, DWORD Length)
{
    ByteView Bytes(Sid, Length);
    if (!Bytes.Has(0, SidHeaderLength) || Bytes.Byte(SidRevisionOffset) != SidRevision)
        return Fail(ERROR_INVALID_SID);
    uint32_t Count = Bytes.Byte(SidSubAuthorityCountOffset);
    if (Count > SidMaxSubAuthorities || !Bytes.Has(SidSubAuthorityOffset, Count * 4))
        return Fail(ERROR_INVALID_SID);
    return TRUE;
}

BOOL Sid_ToString(SidBytes Sid, DWORD Length, char16_t** StringSid)
{
    if (Sid == nullptr || StringSid == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!Sid_IsValid(Sid, Length))
        return Fail(ERROR_INVALID_SID);
    ByteView Bytes(Sid, Length);
    uint64_t Authority = 0;
    for (size_t i = 0; i < 6; i++)
        Authority = (Authority << 8) | Bytes.Byte(SidAuthorityOffset + i);

    // "S-", the revision, the authority (at most "0x" and 12 digits) and at
    // most 15 sub-authorities of at most 10 digits each, with their hyphens.
    char Text[8 + 15 + 15 * 11 + 1];
    int Used = snprintf(Text, sizeof(Text), "S-%u-", static_cast<unsigned>(Bytes.Byte(SidRevisionOffset)));
    if (Authority >= (1ull << 32))
        Used += snprintf(Text + Used, sizeof(Text) - static_cast<size_t>(Used), "0x%012" PRIx64, Authority);
    else
        Used += snprintf(Text + Used, sizeof(Text) - static_cast<size_t>(Used), "%" PRIu64, Authority);
    uint32_t Count = Bytes.Byte(SidSubAuthorityCountOffset);
    for (uint32_t i = 0; i < Count; i++)
        Used += snprintf(Text + Used, sizeof(Text) - static_cast<size_t>(Used), "-%" PRIu32,
                         Bytes.Le(SidSubAuthorityOffset + 4 * i, 4));

    size_t Characters = static_cast<size_t>(Used);
    char16_t* String = static_cast<char16_t*>(HeapAlloc(GetProcessHeap(), 0, (Characters + 1) * sizeof(char16_t)));
    if (String == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; i < Characters; i++)
        String[i] = static_cast<char16_t>(Text[i]);
    String[Characters] = 0;
    *StringSid = String;
    return TRUE;
}

void Sid_FreeString(char16_t* String)
{
    if (String != nullptr)
        HeapFree(GetProcessHeap(), 0, String);
}
