// The Windows security descriptor functions that the descriptor report uses,
// over self-relative descriptors held in memory: the descriptor, its owner and
// group SIDs, its access control lists and their entries, and the string form
// of a SID.
//
// One deliberate difference from the Windows signatures: every function that
// is handed a structure also takes the number of bytes that are available at
// that address (the rest of the buffer that holds it, not the structure's own
// size), and every function that hands out a part of a structure also hands
// out the bytes available at the part. Descriptors come from disk, where any
// offset may be damaged; with the lengths nothing outside the caller's bytes is
// ever read. Otherwise the functions follow the documented behaviour: the same
// validity rules, the same results, and the same codes through GetLastError.
//
// All multi-byte fields are little-endian, except the identifier authority of
// a SID, which is a 48-bit big-endian number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32.h"

using HLOCAL = void*;
using LPWSTR = WCHAR*;

// Opaque positions of the structures below; never dereferenced as C++ types.
using PSECURITY_DESCRIPTOR = const void*;
using PSID = const void*;
using PACL = const void*;

// Self-relative SECURITY_DESCRIPTOR: a 20-byte header whose parts are found at
// offsets from the descriptor's start; an offset of 0 means the part is absent.
constexpr size_t SdRevisionOffset = 0x00;    // 1, SECURITY_DESCRIPTOR_REVISION
constexpr size_t SdSbz1Offset = 0x01;        // 1
constexpr size_t SdControlOffset = 0x02;     // 2, SE_* bits
constexpr size_t SdOwnerOffset = 0x04;       // 4, owner SID
constexpr size_t SdGroupOffset = 0x08;       // 4, primary group SID
constexpr size_t SdSaclOffset = 0x0C;        // 4, system ACL
constexpr size_t SdDaclOffset = 0x10;        // 4, discretionary ACL
constexpr size_t SdHeaderLength = 0x14;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;

using SECURITY_DESCRIPTOR_CONTROL = WORD;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_OWNER_DEFAULTED = 0x0001;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_GROUP_DEFAULTED = 0x0002;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PRESENT = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_DEFAULTED = 0x0008;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_PRESENT = 0x0010;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_DEFAULTED = 0x0020;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERIT_REQ = 0x0100;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERIT_REQ = 0x0200;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERITED = 0x0400;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERITED = 0x0800;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PROTECTED = 0x1000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_PROTECTED = 0x2000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_RM_CONTROL_VALID = 0x4000;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SELF_RELATIVE = 0x8000;

// SID: revision, sub-authority count, identifier authority, then the
// sub-authorities (relative identifiers), 4 bytes each.
constexpr size_t SidRevisionOffset = 0x00;          // 1, SID_REVISION
constexpr size_t SidSubAuthorityCountOffset = 0x01; // 1, at most 15
constexpr size_t SidAuthorityOffset = 0x02;         // 6, big-endian
constexpr size_t SidSubAuthorityOffset = 0x08;      // 4 each
constexpr size_t SidHeaderLength = 0x08;
constexpr BYTE SID_REVISION = 1;
constexpr BYTE SID_MAX_SUB_AUTHORITIES = 15;

// ACL: an 8-byte header followed by AceCount entries inside AclSize bytes.
constexpr size_t AclRevisionOffset = 0x00; // 1
constexpr size_t AclSbz1Offset = 0x01;     // 1
constexpr size_t AclSizeOffset = 0x02;     // 2, the whole list, header included
constexpr size_t AclAceCountOffset = 0x04; // 2
constexpr size_t AclSbz2Offset = 0x06;     // 2
constexpr size_t AclHeaderLength = 0x08;
constexpr BYTE ACL_REVISION = 2;
constexpr BYTE ACL_REVISION_DS = 4; // lists that hold object entries
constexpr BYTE MIN_ACL_REVISION = 2;
constexpr BYTE MAX_ACL_REVISION = 4;

// ACE: a 4-byte header; the allowed and denied forms go on with an access mask
// and the trustee's SID.
constexpr size_t AceTypeOffset = 0x00;  // 1
constexpr size_t AceFlagsOffset = 0x01; // 1
constexpr size_t AceSizeOffset = 0x02;  // 2, the whole entry, header included
constexpr size_t AceHeaderLength = 0x04;
constexpr size_t AceMaskOffset = 0x04;  // 4, ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE
constexpr size_t AceSidOffset = 0x08;   // SID, ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE

constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0x0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 0x1;
constexpr BYTE SYSTEM_AUDIT_ACE_TYPE = 0x2;
constexpr BYTE SYSTEM_ALARM_ACE_TYPE = 0x3;
constexpr BYTE ACCESS_ALLOWED_COMPOUND_ACE_TYPE = 0x4;
constexpr BYTE ACCESS_ALLOWED_OBJECT_ACE_TYPE = 0x5;
constexpr BYTE ACCESS_DENIED_OBJECT_ACE_TYPE = 0x6;
constexpr BYTE SYSTEM_AUDIT_OBJECT_ACE_TYPE = 0x7;

constexpr BYTE OBJECT_INHERIT_ACE = 0x01;
constexpr BYTE CONTAINER_INHERIT_ACE = 0x02;
constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x04;
constexpr BYTE INHERIT_ONLY_ACE = 0x08;
constexpr BYTE INHERITED_ACE = 0x10;
constexpr BYTE SUCCESSFUL_ACCESS_ACE_FLAG = 0x40;
constexpr BYTE FAILED_ACCESS_ACE_FLAG = 0x80;

enum ACL_INFORMATION_CLASS { AclRevisionInformation = 1, AclSizeInformation = 2 };

struct ACL_REVISION_INFORMATION {
    DWORD AclRevision;
};

struct ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse; // header and entries
    DWORD AclBytesFree;  // AclSize less the bytes in use
};
static_assert(sizeof(ACL_SIZE_INFORMATION) == 12);

// Nonzero when the descriptor's header lies within the Length bytes, its
// revision is 1, it is self-relative (on disk there are only offsets, never
// the pointers of the absolute form), and every part it names starts within
// the Length bytes (the DACL and SACL only when their present bits are set).
// What lies at the parts is judged by IsValidSid and IsValidAcl as the caller
// comes to them, so that a damaged owner still leaves the group and the DACL
// readable. Failure: ERROR_INVALID_SECURITY_DESCR.
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD Length);

// The control word and the revision. Failure: ERROR_INVALID_PARAMETER for a
// missing output, ERROR_INVALID_SECURITY_DESCR for a header outside the Length
// bytes, ERROR_UNKNOWN_REVISION for a revision other than 1.
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD Length,
                                  SECURITY_DESCRIPTOR_CONTROL* Control, DWORD* Revision);

// The owner (group) SID, or null when the descriptor has none, with the bytes
// available at it and its defaulted flag. Failures as for the control, and
// ERROR_INVALID_SECURITY_DESCR for a SID that starts outside the Length bytes;
// the outputs are written only on success.
BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD Length, PSID* Owner,
                                DWORD* OwnerLength, BOOL* OwnerDefaulted);
BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD Length, PSID* Group,
                                DWORD* GroupLength, BOOL* GroupDefaulted);

// Whether the descriptor has a DACL (SE_DACL_PRESENT) and, when it has, the
// DACL with the bytes available at it (null for a NULL DACL, which grants
// everyone every access) and its defaulted flag; when it has not, only
// *DaclPresent is written. Failures as for the owner.
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD Length, BOOL* DaclPresent,
                               PACL* Dacl, DWORD* DaclLength, BOOL* DaclDefaulted);

// Nonzero when the ACL's revision is 2 to 4, its AclSize covers its header and
// lies within the Length bytes, and its AceCount entries lie one after the
// other inside AclSize, each with a size that covers its header (and, for the
// allowed and denied forms, its access mask). Failure: ERROR_INVALID_ACL.
BOOL IsValidAcl(PACL Acl, DWORD Length);

// AclRevisionInformation or AclSizeInformation of the ACL. Failure:
// ERROR_INVALID_PARAMETER for an unknown class, a missing output or an ACL
// whose revision or entries are not as IsValidAcl requires;
// ERROR_INSUFFICIENT_BUFFER for an output shorter than the class's record.
BOOL GetAclInformation(PACL Acl, DWORD Length, void* AclInformation, DWORD AclInformationLength,
                       ACL_INFORMATION_CLASS InformationClass);

// Entry AceIndex (from 0) of the ACL and its size (AceSize; all of it inside
// the list). Failure: ERROR_INVALID_PARAMETER for an index at or past
// AceCount, a revision outside 2 to 4, or an entry that does not lie inside
// the list.
BOOL GetAce(PACL Acl, DWORD Length, DWORD AceIndex, const void** Ace, DWORD* AceLength);

// Nonzero when the SID's revision is 1, it has at most 15 sub-authorities and
// all of them lie within the Length bytes. Failure: ERROR_INVALID_SID.
BOOL IsValidSid(PSID Sid, DWORD Length);

// The string form "S-1-<authority>-<sub-authority>..." of a valid SID in a
// block to be released with LocalFree. The authority is in decimal below 2^32
// and otherwise "0x" with twelve hexadecimal digits; sub-authorities are in
// decimal. Failure: ERROR_INVALID_PARAMETER without an output,
// ERROR_INVALID_SID for a SID that IsValidSid refuses, ERROR_NOT_ENOUGH_MEMORY
// when the block cannot be allocated.
BOOL ConvertSidToStringSidW(PSID Sid, DWORD Length, LPWSTR* StringSid);

// Releases a block handed out by ConvertSidToStringSidW; null on success.
HLOCAL LocalFree(HLOCAL Memory);
