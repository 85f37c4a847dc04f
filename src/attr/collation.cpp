// Collation: the key orders of the indexes and the order of attribute names.
#include "attribute.h"

#include "../ntfstool.h"

namespace {

// $FILE_NAME value, as index keys of the directory indexes carry it.

// Null and INDEX_KEY_HIGHEST bound every key. Returns true with the ordering
// in *Result when either key is one of them.
bool CompareSentinels(const void* Key1, const void* Key2, int* Result)
{
    if (Key1 == nullptr) {
        *Result = Key2 == nullptr ? 0 : -1;
        return true;
    }
    if (Key1 == INDEX_KEY_HIGHEST) {
        *Result = Key2 == INDEX_KEY_HIGHEST ? 0 : 1;
        return true;
    }
    if (Key2 == nullptr) {
        *Result = 1;
        return true;
    }
    if (Key2 == INDEX_KEY_HIGHEST) {
        *Result = -1;
        return true;
    }
    return false;
}

uint8_t FileNameLength(const void* Key)
{
    return LeReader(Key, FileNameLengthOffset + 1).U8(FileNameLengthOffset);
}

} // namespace

// Orders two $FILE_NAME keys by name, code unit by code unit as unsigned
// 16-bit values (no case folding); a name that is a prefix of the other sorts
// first. Keys may be unaligned; each holds at least 0x42 + 2 * length bytes.
int NtfsIndex_CompareFileNames(const void* Key1, const void* Key2)
{
    int Result = 0;
    if (CompareSentinels(Key1, Key2, &Result))
        return Result;

    uint32_t Length1 = FileNameLength(Key1);
    uint32_t Length2 = FileNameLength(Key2);
    LeReader Name1(Key1, FileNameNameOffset + 2 * Length1);
    LeReader Name2(Key2, FileNameNameOffset + 2 * Length2);
    uint32_t Common = Length1 < Length2 ? Length1 : Length2;
    for (uint32_t k = 0; k < Common; k++) {
        uint16_t Unit1 = Name1.U16(FileNameNameOffset + 2 * k);
        uint16_t Unit2 = Name2.U16(FileNameNameOffset + 2 * k);
        if (Unit1 != Unit2)
            return Unit1 < Unit2 ? -1 : 1;
    }
    if (Length1 != Length2)
        return Length1 < Length2 ? -1 : 1;
    return 0;
}

// Orders two keys of KeyLength bytes as sequences of unsigned 32-bit
// little-endian words, first word most significant. KeyLength must be a
// non-zero multiple of 4.
int NtfsIndex_CompareUlongs(const void* Key1, const void* Key2, uint32_t KeyLength)
{
    int Result = 0;
    if (CompareSentinels(Key1, Key2, &Result))
        return Result;
    NTFS_ASSERT(KeyLength != 0);
    NTFS_ASSERT((KeyLength % 4) == 0);

    LeReader Reader1(Key1, KeyLength);
    LeReader Reader2(Key2, KeyLength);
    for (uint32_t Offset = 0; Offset < KeyLength; Offset += 4) {
        uint32_t Word1 = Reader1.U32(Offset);
        uint32_t Word2 = Reader2.U32(Offset);
        if (Word1 != Word2)
            return Word1 < Word2 ? -1 : 1;
    }
    return 0;
}

// Orders two attributes by name: unnamed first, then code unit by code unit
// as unsigned 16-bit values with exact case; a prefix sorts first.
int NtfsAttribute_CompareNames(const NtfsAttribute* Attribute1, const NtfsAttribute* Attribute2)
{
    return CompareText(Attribute1->Name, Attribute2->Name);
}
