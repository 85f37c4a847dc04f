// "-seid" and "-sehash": the security descriptor report and the listings of
// the security file's $SII and $SDH indexes.
#include "../main.h"

#include "../../platform/console.h"
#include "../../platform/security.h"
#include "../attr.h"
#include "../file.h"
#include "../ntfstool.h"

namespace {

// The SID part of an owner or group line: "NONE", "Invalid", its string form
// (kept in *String for the caller to release) or the conversion's error code.
void PrintDescriptorSid(BOOL Obtained, SidBytes Sid, DWORD SidLength, char16_t** String)
{
    if (!Obtained || Sid == nullptr) {
        Console_Print("NONE\n");
    } else if (!Sid_IsValid(Sid, SidLength)) {
        Console_Print("Invalid\n");
    } else if (Sid_ToString(Sid, SidLength, String)) {
        NTFS_ASSERT(*String != NULL);
        Console_Print("%s\n", *String);
    } else {
        Console_Print("???? (%d)\n", GetLastError());
    }
}

// One DACL entry after its index: flags and type, and for the allowed and
// denied forms the access mask and the trustee. Other forms end without a
// line break, so the next entry follows on the same line.
void PrintAce(const uint8_t* Ace, DWORD AceLength)
{
    LeReader Entry(Ace, AceLength);
    uint8_t Type = Entry.U8(AceTypeOffset);
    uint8_t Flags = Entry.U8(AceFlagsOffset);
    Console_Print("Flags=%.2x ", Flags);
    Console_Print((Flags & AceFlagInherited) != 0 ? "(I), " : "   , ");
    Console_Print("Type = %.2x ", Type);
    if (Type != AceTypeAccessAllowed && Type != AceTypeAccessDenied)
        return;
    // Acl_IsValid has made sure that these two forms hold their mask.
    uint32_t Mask = Entry.U32(AceMaskOffset);
    Console_Print(Type == AceTypeAccessAllowed ? "(ALLOW) , Mask = 0x%.8x, " : "(DENIED), Mask = 0x%.8x, ", Mask);
    DWORD SidLength = AceLength > AceSidOffset ? AceLength - static_cast<DWORD>(AceSidOffset) : 0;
    const uint8_t* Sid = Entry.Bytes(AceSidOffset, SidLength);
    char16_t* StrSidTmp = nullptr;
    if (Sid == nullptr || !Sid_IsValid(Sid, SidLength)) {
        Console_Print("Invalid sid\n");
    } else if (Sid_ToString(Sid, SidLength, &StrSidTmp)) {
        NTFS_ASSERT(StrSidTmp != NULL);
        Console_Print("Sid = %s\n", StrSidTmp);
        Sid_FreeString(StrSidTmp);
    } else {
        Console_Print("\nConvertSidToStringSid() failed with error %d\n", GetLastError());
    }
}

// The DACL line after "    DACL  : " and its inheritance word, then one line
// per entry.
void PrintDacl(const uint8_t* SecurityDescriptor, uint32_t Length)
{
    BOOL DaclPresent = FALSE;
    BOOL DaclDefaulted = FALSE;
    AclBytes Dacl = nullptr;
    DWORD DaclLength = 0;
    if (!Sd_GetDacl(SecurityDescriptor, Length, &DaclPresent, &Dacl, &DaclLength, &DaclDefaulted)) {
        Console_Print("Unable to get DACL (%d)\n", GetLastError());
        return;
    }
    // The caller has seen SdDaclPresent in the same control word.
    NTFS_ASSERT(DaclPresent);
    if (Dacl == nullptr) {
        Console_Print("DACL is NULL (everyone has access)\n");
        return;
    }
    if (!Acl_IsValid(Dacl, DaclLength)) {
        Console_Print("Invalid DACL\n");
        return;
    }
    AclSizeInfo SizeInformation{};
    if (!Acl_GetInformation(Dacl, DaclLength, &SizeInformation, sizeof(SizeInformation), AclSizeInfoClass)) {
        Console_Print("Unable to get the ACL size, error is %d\n", GetLastError());
        return;
    }
    Console_Print("AceCount = %d\n", SizeInformation.AceCount);
    for (DWORD i = 0; i < SizeInformation.AceCount; i++) {
        Console_Print("      [%.4d]: ", i);
        const void* Ace = nullptr;
        DWORD AceLength = 0;
        if (!Acl_GetAce(Dacl, DaclLength, i, &Ace, &AceLength)) {
            Console_Print("GetAce() failed with error %d\n", GetLastError());
            continue;
        }
        PrintAce(static_cast<const uint8_t*>(Ace), AceLength);
    }
}

} // namespace

// Prints the owner, group and DACL of a self-relative security descriptor of
// Length bytes, one line per DACL entry, between a line of hyphens and an
// empty line. Every part is located and checked against Length before it is
// read, so a damaged descriptor shows as invalid (as a whole, or the part that
// does not fit) rather than being read past its end. The SACL is not shown.
void PrintSecurityDescriptor(const uint8_t* SecurityDescriptor, uint32_t Length)
{
    char16_t* StrSidOwner = nullptr;
    char16_t* StrSidGroup = nullptr;
    Console_Print("----------------------------------------------------------------\n");
    do {
        if (SecurityDescriptor == nullptr || !Sd_IsValid(SecurityDescriptor, Length)) {
            Console_Print("    The security descriptor is invalid\n");
            break;
        }
        // A descriptor that passed the test above always yields its control.
        SdControl Control = 0;
        DWORD Revision = 0;
        Sd_GetControl(SecurityDescriptor, Length, &Control, &Revision);

        SidBytes SidOwner = nullptr;
        SidBytes SidGroup = nullptr;
        DWORD OwnerLength = 0;
        DWORD GroupLength = 0;
        BOOL Defaulted = FALSE;
        Console_Print("    Owner : ");
        BOOL Obtained = Sd_GetOwner(SecurityDescriptor, Length, &SidOwner, &OwnerLength, &Defaulted);
        PrintDescriptorSid(Obtained, SidOwner, OwnerLength, &StrSidOwner);
        Console_Print("    Group : ");
        Obtained = Sd_GetGroup(SecurityDescriptor, Length, &SidGroup, &GroupLength, &Defaulted);
        PrintDescriptorSid(Obtained, SidGroup, GroupLength, &StrSidGroup);

        if ((Control & SdDaclPresent) == 0) {
            Console_Print("    DACL not present\n");
            break;
        }
        Console_Print("    DACL  : ");
        Console_Print((Control & SdDaclProtected) != 0 ? "Not inherited, " : "Inherited, ");
        PrintDacl(SecurityDescriptor, Length);
    } while (false);
    Console_Print("\n");
    if (StrSidOwner != nullptr)
        Sid_FreeString(StrSidOwner);
    if (StrSidGroup != nullptr)
        Sid_FreeString(StrSidGroup);
}

namespace {

// The 20 bytes that are both the data part of every "$SII" and "$SDH" index
// entry and the header of every "$SDS" entry; the descriptor follows the
// latter.
constexpr size_t SecurityEntryHashOffset = 0x00;       // 4
constexpr size_t SecurityEntrySecurityIdOffset = 0x04; // 4
constexpr size_t SecurityEntryOffsetOffset = 0x08;     // 8, of the "$SDS" entry in the stream
constexpr size_t SecurityEntryLengthOffset = 0x10;     // 4, of the "$SDS" entry, this header included
constexpr uint32_t SecurityEntryHeaderLength = 0x14;
constexpr uint64_t SecureFileReference = 9;

// Reads the "$SDS" entry of Length bytes at Offset and reports the descriptor
// that follows its header: only the bytes actually read, so an entry shorter
// than its header, or cut short by the end of the stream, shows as invalid
// rather than as whatever the buffer held. ERROR_OUTOFMEMORY stops the
// listing; a read error is reported here and the listing goes on.
DWORD PrintSdsEntry(NtfsAttribute* Sds, uint64_t Offset, uint32_t Length)
{
    // "$SDS" is written in 256 KiB blocks that no entry crosses; a longer
    // length is damage, and only the bytes a block can hold are read.
    constexpr uint32_t SdsBlockSize = 0x40000;
    if (Length > SdsBlockSize)
        Length = SdsBlockSize;
    HeapBuffer Entry;
    if (!Entry.Allocate(Length))
        return ERROR_OUTOFMEMORY;
    uint32_t BytesRead = 0;
    DWORD Error = NtfsAttribute_Read(Sds, Offset, Length, Entry.Get(), &BytesRead);
    if (Error != ERROR_SUCCESS) {
        Console_Print("Unable to read data from $SECURE::$SDS ($DATA) attribute, error is %d\n", Error);
        return ERROR_SUCCESS;
    }
    LeReader Read(Entry.Get(), BytesRead);
    uint32_t DescriptorLength = BytesRead > SecurityEntryHeaderLength ? BytesRead - SecurityEntryHeaderLength : 0;
    PrintSecurityDescriptor(Read.Bytes(SecurityEntryHeaderLength, DescriptorLength), DescriptorLength);
    return ERROR_SUCCESS;
}

} // namespace

// "-seid MIN MAX" (mode 0, "$SII", keys of one 32-bit word) and "-sehash MIN
// MAX" (mode 1, "$SDH", hash then security id): lists, from the first key at
// or above StartKey up to and including EndKey, each descriptor's security
// id, "$SDS" position, length and hash, and with -v the descriptor itself.
// The 8 little-endian bytes of each 64-bit key are the key words. Returns
// ERROR_SUCCESS when a key above EndKey ended the listing, ERROR_FILE_NOT_FOUND
// when the index ran out (or held no key at or above StartKey, or there is no
// "$SDS"), else the code of the failed step.
DWORD ListSecurityIds(NtfsVolume* Volume, uint64_t StartKey, uint64_t EndKey, uint32_t Mode)
{
    if (Mode != ListSecurityIdsBySecurityId && Mode != ListSecurityIdsByHash)
        return ERROR_INVALID_PARAMETER;
    NtfsFile* SecureFile = nullptr;
    DWORD Error = NtfsFile_Open(Volume, SecureFileReference, &SecureFile);
    if (Error != ERROR_SUCCESS)
        return Error;
    NtfsIndex Index{};
    HeapBuffer Entry;
    do {
        NtfsAttribute* Sds = NtfsFile_FindDataAttribute(SecureFile, ATTRIBUTE_DATA, u"$SDS");
        if (Sds == nullptr) {
            Error = ERROR_FILE_NOT_FOUND;
            break;
        }
        Console_Print("SecurityId    Location             Length       Hash\n");
        Error = NtfsIndex_Open(SecureFile, Mode == ListSecurityIdsBySecurityId ? u"$SII" : u"$SDH", &Index);
        if (Error != ERROR_SUCCESS)
            break;
        uint32_t EntryBufferSize = NtfsIndex_GetEntryBufferSize(&Index);
        if (!Entry.Allocate(EntryBufferSize)) {
            Error = ERROR_OUTOFMEMORY;
            break;
        }
        uint32_t KeyLength = Mode == ListSecurityIdsBySecurityId ? 4 : 8;
        uint8_t Start[8];
        uint8_t End[8];
        StoreLe64(Start, StartKey);
        StoreLe64(End, EndKey);
        Error = NtfsIndex_Seek(&Index, Start, KeyLength);
        while (Error == ERROR_SUCCESS) {
            uint32_t EntryLength = EntryBufferSize;
            Error = NtfsIndex_Next(&Index, Entry.Get(), &EntryLength);
            LeReader View(Entry.Get(), EntryLength < EntryBufferSize ? EntryLength : EntryBufferSize);
            // An entry must hold its key and its data part; one that does
            // not ends the listing as damaged data.
            const uint8_t* Key = nullptr;
            const uint8_t* Data = nullptr;
            if (Error == ERROR_SUCCESS) {
                Key = View.Bytes(IndexEntryKeyOffset, KeyLength);
                Data = View.Bytes(View.U16(IndexEntryDataOffsetOffset), SecurityEntryHeaderLength);
                if (View.Failed)
                    Error = ERROR_INVALID_DATA;
            }
            if (Error != ERROR_SUCCESS) {
                if (Error != ERROR_FILE_NOT_FOUND)
                    Console_Print("Error occured during listing files, error is %d\n", Error);
                break;
            }
            if (NtfsIndex_CompareUlongs(Key, End, KeyLength) > 0)
                break;
            LeReader Header(Data, SecurityEntryHeaderLength);
            uint64_t Offset = Header.U64(SecurityEntryOffsetOffset);
            uint32_t Length = Header.U32(SecurityEntryLengthOffset);
            Console_Print("0x%.8x    0x%.16I64x   0x%.8x   0x%.8x\n", Header.U32(SecurityEntrySecurityIdOffset), Offset,
                          Length, Header.U32(SecurityEntryHashOffset));
            if (ProgramOptions.Verbose)
                Error = PrintSdsEntry(Sds, Offset, Length);
        }
    } while (false);
    NtfsIndex_Release(&Index);
    NtfsFile_Close(SecureFile);
    return Error;
}
