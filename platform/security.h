// Self-relative security descriptors held in memory, in the published Windows
// layout: the descriptor, its owner and group SIDs, its access control lists
// and their entries, and the string form of a SID. Used on every platform in
// place of the system's functions of the same purpose.
//
// Why our own: the system's functions read a descriptor without knowing its
// length, and descriptors come from disk, where any offset may be damaged.
// Every function here that is handed a structure also takes the number of
// bytes that are available at that address (the rest of the buffer that holds
// it, not the structure's own size), and every function that hands out a part
// of a structure also hands out the bytes available at the part, so nothing
// outside the caller's bytes is ever read. Otherwise they follow the
// documented validity rules, results and error codes (through GetLastError)
// of the system's functions, and the SID string is formatted here, so the
// output is the same on every platform.
//
// All multi-byte fields are little-endian, except the identifier authority of
// a SID, which is a 48-bit big-endian number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32.h"

// Opaque positions of the structures below; never dereferenced as C++ types.
using SdBytes = const void*;
using SidBytes = const void*;
using AclBytes = const void*;

// Self-relative SECURITY_DESCRIPTOR: a 20-byte header whose parts are found at
// offsets from the descriptor's start; an offset of 0 means the part is absent.
constexpr size_t SdRevisionOffset = 0x00;    // 1, SdRevision
constexpr size_t SdSbz1Offset = 0x01;        // 1
constexpr size_t SdControlOffset = 0x02;     // 2, SE_* bits
constexpr size_t SdOwnerOffset = 0x04;       // 4, owner SID
constexpr size_t SdGroupOffset = 0x08;       // 4, primary group SID
constexpr size_t SdSaclOffset = 0x0C;        // 4, system ACL
constexpr size_t SdDaclOffset = 0x10;        // 4, discretionary ACL
constexpr size_t SdHeaderLength = 0x14;
constexpr DWORD SdRevision = 1;

using SdControl = WORD;
constexpr SdControl SdOwnerDefaulted = 0x0001;
constexpr SdControl SdGroupDefaulted = 0x0002;
constexpr SdControl SdDaclPresent = 0x0004;
constexpr SdControl SdDaclDefaulted = 0x0008;
constexpr SdControl SdSaclPresent = 0x0010;
constexpr SdControl SdSaclDefaulted = 0x0020;
constexpr SdControl SdDaclAutoInheritReq = 0x0100;
constexpr SdControl SdSaclAutoInheritReq = 0x0200;
constexpr SdControl SdDaclAutoInherited = 0x0400;
constexpr SdControl SdSaclAutoInherited = 0x0800;
constexpr SdControl SdDaclProtected = 0x1000;
constexpr SdControl SdSaclProtected = 0x2000;
constexpr SdControl SdRmControlValid = 0x4000;
constexpr SdControl SdSelfRelative = 0x8000;

// SID: revision, sub-authority count, identifier authority, then the
// sub-authorities (relative identifiers), 4 bytes each.
constexpr size_t SidRevisionOffset = 0x00;          // 1, SidRevision
constexpr size_t SidSubAuthorityCountOffset = 0x01; // 1, at most 15
constexpr size_t SidAuthorityOffset = 0x02;         // 6, big-endian
constexpr size_t SidSubAuthorityOffset = 0x08;      // 4 each
constexpr size_t SidHeaderLength = 0x08;
constexpr BYTE SidRevision = 1;
constexpr BYTE SidMaxSubAuthorities = 15;

// ACL: an 8-byte header followed by AceCount entries inside AclSize bytes.
constexpr size_t AclRevisionOffset = 0x00; // 1
constexpr size_t AclSbz1Offset = 0x01;     // 1
constexpr size_t AclSizeOffset = 0x02;     // 2, the whole list, header included
constexpr size_t AclAceCountOffset = 0x04; // 2
constexpr size_t AclSbz2Offset = 0x06;     // 2
constexpr size_t AclHeaderLength = 0x08;
constexpr BYTE AclRevision2 = 2;
constexpr BYTE AclRevisionDs = 4; // lists that hold object entries
constexpr BYTE AclRevisionMin = 2;
constexpr BYTE AclRevisionMax = 4;

// ACE: a 4-byte header; the allowed and denied forms go on with an access mask
// and the trustee's SID.
constexpr size_t AceTypeOffset = 0x00;  // 1
constexpr size_t AceFlagsOffset = 0x01; // 1
constexpr size_t AceSizeOffset = 0x02;  // 2, the whole entry, header included
constexpr size_t AceHeaderLength = 0x04;
constexpr size_t AceMaskOffset = 0x04;  // 4, ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE
constexpr size_t AceSidOffset = 0x08;   // SID, ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE

constexpr BYTE AceTypeAccessAllowed = 0x0;
constexpr BYTE AceTypeAccessDenied = 0x1;
constexpr BYTE AceTypeSystemAudit = 0x2;
constexpr BYTE AceTypeSystemAlarm = 0x3;
constexpr BYTE AceTypeAccessAllowedCompound = 0x4;
constexpr BYTE AceTypeAccessAllowedObject = 0x5;
constexpr BYTE AceTypeAccessDeniedObject = 0x6;
constexpr BYTE AceTypeSystemAuditObject = 0x7;

constexpr BYTE AceFlagObjectInherit = 0x01;
constexpr BYTE AceFlagContainerInherit = 0x02;
constexpr BYTE AceFlagNoPropagateInherit = 0x04;
constexpr BYTE AceFlagInheritOnly = 0x08;
constexpr BYTE AceFlagInherited = 0x10;
constexpr BYTE AceFlagSuccessfulAccess = 0x40;
constexpr BYTE AceFlagFailedAccess = 0x80;

enum AclInformationClass { AclRevisionInfoClass = 1, AclSizeInfoClass = 2 };

struct AclRevisionInfo {
    DWORD AclRevision;
};

struct AclSizeInfo {
    DWORD AceCount;
    DWORD AclBytesInUse; // header and entries
    DWORD AclBytesFree;  // AclSize less the bytes in use
};
static_assert(sizeof(AclSizeInfo) == 12);

// Nonzero when the descriptor's header lies within the Length bytes, its
// revision is 1, it is self-relative (on disk there are only offsets, never
// the pointers of the absolute form), and every part it names starts within
// the Length bytes (the DACL and SACL only when their present bits are set).
// What lies at the parts is judged by Sid_IsValid and Acl_IsValid as the caller
// comes to them, so that a damaged owner still leaves the group and the DACL
// readable. Failure: ERROR_INVALID_SECURITY_DESCR.
BOOL Sd_IsValid(SdBytes SecurityDescriptor, DWORD Length);

// The control word and the revision. Failure: ERROR_INVALID_PARAMETER for a
// missing output, ERROR_INVALID_SECURITY_DESCR for a header outside the Length
// bytes, ERROR_UNKNOWN_REVISION for a revision other than 1.
BOOL Sd_GetControl(SdBytes SecurityDescriptor, DWORD Length,
                                  SdControl* Control, DWORD* Revision);

// The owner (group) SID, or null when the descriptor has none, with the bytes
// available at it and its defaulted flag. Failures as for the control, and
// ERROR_INVALID_SECURITY_DESCR for a SID that starts outside the Length bytes;
// the outputs are written only on success.
BOOL Sd_GetOwner(SdBytes SecurityDescriptor, DWORD Length, SidBytes* Owner,
                                DWORD* OwnerLength, BOOL* OwnerDefaulted);
BOOL Sd_GetGroup(SdBytes SecurityDescriptor, DWORD Length, SidBytes* Group,
                                DWORD* GroupLength, BOOL* GroupDefaulted);

// Whether the descriptor has a DACL (SdDaclPresent) and, when it has, the
// DACL with the bytes available at it (null for a NULL DACL, which grants
// everyone every access) and its defaulted flag; when it has not, only
// *DaclPresent is written. Failures as for the owner.
BOOL Sd_GetDacl(SdBytes SecurityDescriptor, DWORD Length, BOOL* DaclPresent,
                               AclBytes* Dacl, DWORD* DaclLength, BOOL* DaclDefaulted);

// Nonzero when the ACL's revision is 2 to 4, its AclSize covers its header and
// lies within the Length bytes, and its AceCount entries lie one after the
// other inside AclSize, each with a size that covers its header (and, for the
// allowed and denied forms, its access mask). Failure: ERROR_INVALID_ACL.
BOOL Acl_IsValid(AclBytes Acl, DWORD Length);

// AclRevisionInfoClass or AclSizeInfoClass of the ACL. Failure:
// ERROR_INVALID_PARAMETER for an unknown class, a missing output or an ACL
// whose revision or entries are not as Acl_IsValid requires;
// ERROR_INSUFFICIENT_BUFFER for an output shorter than the class's record.
BOOL Acl_GetInformation(AclBytes Acl, DWORD Length, void* AclInformation, DWORD AclInformationLength,
                       AclInformationClass InformationClass);

// Entry AceIndex (from 0) of the ACL and its size (AceSize; all of it inside
// the list). Failure: ERROR_INVALID_PARAMETER for an index at or past
// AceCount, a revision outside 2 to 4, or an entry that does not lie inside
// the list.
BOOL Acl_GetAce(AclBytes Acl, DWORD Length, DWORD AceIndex, const void** Ace, DWORD* AceLength);

// Nonzero when the SID's revision is 1, it has at most 15 sub-authorities and
// all of them lie within the Length bytes. Failure: ERROR_INVALID_SID.
BOOL Sid_IsValid(SidBytes Sid, DWORD Length);

// The string form "S-1-<authority>-<sub-authority>..." of a valid SID in a
// block to be released with Sid_FreeString. The authority is in decimal below
// 2^32 and otherwise "0x" with twelve hexadecimal digits (the whole 48 bits,
// whatever the top bit); sub-authorities are in decimal. Failure: ERROR_INVALID_PARAMETER without an output,
// ERROR_INVALID_SID for a SID that Sid_IsValid refuses, ERROR_NOT_ENOUGH_MEMORY
// when the block cannot be allocated.
BOOL Sid_ToString(SidBytes Sid, DWORD Length, char16_t** StringSid);

// Releases a string handed out by Sid_ToString; null is ignored.
void Sid_FreeString(char16_t* String);
