// "-scanmft": the scan of a range of MFT records for security ids.
#include "../main.h"

#include "../../platform/console.h"
#include "../attr.h"
#include "../file.h"
#include "../ntfstool.h"
#include "../volume.h"

namespace {

// A $STANDARD_INFORMATION value holds the security id only in its 72-byte
// form (NTFS 3.0 on); the older 48-byte form ends before it.
constexpr size_t StandardInformationSecurityIdOffset = 0x34;
constexpr uint64_t StandardInformationWithSecurityId = 0x48;
// File references carry 48 bits of segment number: no record lies beyond.
constexpr uint64_t SegmentNumberLimit = 1ull << 48;

enum class ScanResult { NoSecurityId, Corrupted, SecurityId };

// Finds the first $STANDARD_INFORMATION record in the attribute records of a
// record whose header has been checked, and its security id. The walk stops
// quietly at the end marker or at an attribute record whose length does not
// fit; only a value that lies outside its own attribute record is corrupt.
ScanResult FindSecurityId(const uint8_t* Record, uint32_t FirstAttribute, uint32_t BytesInUse, uint32_t* SecurityId)
{
    uint32_t Position = FirstAttribute;
    uint32_t Available = BytesInUse - FirstAttribute;
    uint32_t Length;
    for (;; Position += Length, Available -= Length) {
        // At least 16 bytes, all of them among the bytes in use, or 4 for the
        // end marker, or 0.
        Length = NtfsAttribute_RecordLength(Record + Position, Available);
        if (Length == 0 || Length == 4)
            return ScanResult::NoSecurityId;
        if (LeReader(Record + Position, Length).U32(AttrTypeCodeOffset) == ATTRIBUTE_STANDARD_INFORMATION)
            break;
    }
    LeReader Attribute(Record + Position, Length);
    // The resident value's length and offset; an attribute record too short
    // to hold them cannot hold its value either.
    uint32_t ValueLength = Attribute.U32(AttrValueLengthOffset);
    uint32_t ValueOffset = Attribute.U16(AttrValueOffsetOffset);
    uint64_t ValueEnd = static_cast<uint64_t>(ValueOffset) + ValueLength;
    if (Attribute.Failed || ValueOffset >= Attribute.Size || ValueEnd == 0 || ValueEnd > Attribute.Size)
        return ScanResult::Corrupted;
    if (ValueLength < StandardInformationWithSecurityId)
        return ScanResult::NoSecurityId;
    *SecurityId = Attribute.U32(ValueOffset + StandardInformationSecurityIdOffset);
    return ScanResult::SecurityId;
}

} // namespace

// "-scanmft FIRST LAST": reads every record in use from FIRST to LAST (cut at
// the last record of $MFT, which is stored back into ProgramOptions) and lists
// those whose $STANDARD_INFORMATION security id lies in MinSecurityId to
// MaxSecurityId. Damaged records are reported and skipped; nothing stops the
// scan. Returns the code of a failed $MFT open, else that of the last record
// read (0 when none was read).
namespace {

// The records that the $MFT's run table and the volume can hold at most.
uint64_t ReadableMftRecords(NtfsVolume* Volume, NtfsAttribute* MftData)
{
    uint64_t Clusters = 0;
    for (uint32_t i = 0; i < MftData->RunCount; i++)
        Clusters = MftData->Runs[i].Length > Volume->TotalClusters - Clusters ? Volume->TotalClusters
                                                                               : Clusters + MftData->Runs[i].Length;
    if (Volume->BytesPerCluster < MFT_RECORD_SIZE)
        return Clusters / (MFT_RECORD_SIZE / Volume->BytesPerCluster);
    uint64_t PerCluster = Volume->BytesPerCluster / MFT_RECORD_SIZE;
    return Clusters > UINT64_MAX / PerCluster ? UINT64_MAX : Clusters * PerCluster;
}

} // namespace

DWORD ScanMft(NtfsVolume* Volume, uint32_t MinSecurityId, uint32_t MaxSecurityId)
{
    NtfsFile* MftFile = nullptr;
    DWORD Error = NtfsFile_Open(Volume, 0, &MftFile);
    if (Error != ERROR_SUCCESS) {
        Console_Print("Unable to open $MFT\n");
        return Error;
    }
    do {
        NtfsAttribute* MftData = NtfsFile_FindAttribute(MftFile, ATTRIBUTE_DATA, nullptr, 0);
        if (MftData == nullptr) {
            Console_Print("Unable to locate $MFT's default $DATA attribute\n");
            break;
        }
        uint64_t RecordCount = NtfsAttribute_GetValueLength(MftData) / MFT_RECORD_SIZE;
        Console_Print("Total 0x%I64x recors in $MFT\n", RecordCount);
        if (RecordCount != 0 && ProgramOptions.ScanMftLast >= RecordCount)
            ProgramOptions.ScanMftLast = RecordCount - 1;
        Console_Print("Fileid                 SecurityId\n");
        // A damaged data size may claim more records than file references can
        // name; reading those would show lower records under wrong numbers.
        uint64_t Last = ProgramOptions.ScanMftLast;
        if (Last >= SegmentNumberLimit)
            Last = SegmentNumberLimit - 1;
        // Nor can there be more records than the $MFT's runs map, or than
        // the volume holds: a damaged data size must not make the scan walk
        // billions of records that cannot be read.
        uint64_t Readable = ReadableMftRecords(Volume, MftData);
        if (Readable == 0)
            break;
        if (Last >= Readable)
            Last = Readable - 1;
        if (RecordCount == 0 || ProgramOptions.ScanMftFirst > Last)
            break;

        uint8_t Record[MFT_RECORD_SIZE];
        for (uint64_t Segment = ProgramOptions.ScanMftFirst;; Segment++) {
            Error = NtfsVolume_ReadFileRecord(Volume, Segment, Record);
            if (Error == ERROR_FILE_NOT_FOUND) {
                // not in use
            } else if (Error != ERROR_SUCCESS) {
                Console_Print("Error: Unable to read MFT record, file id is 0x%I64x\n", Segment);
            } else {
                LeReader Header(Record, sizeof(Record));
                uint32_t FirstAttribute = Header.U16(RecordFirstAttributeOffset);
                uint32_t BytesInUse = Header.U32(RecordBytesInUseOffset);
                uint32_t SecurityId = 0;
                if (FirstAttribute >= MFT_RECORD_SIZE || FirstAttribute >= BytesInUse ||
                    BytesInUse > MFT_RECORD_SIZE) {
                    Console_Print("Error: MFT data corruption, file id is 0x%I64x\n", Segment);
                } else {
                    switch (FindSecurityId(Record, FirstAttribute, BytesInUse, &SecurityId)) {
                    case ScanResult::Corrupted:
                        Console_Print("Error: $STANDARD_INFORMATION is corrupted, file id is 0x%I64x\n", Segment);
                        break;
                    case ScanResult::SecurityId:
                        if (SecurityId >= MinSecurityId && SecurityId <= MaxSecurityId)
                            Console_Print("0x%.16I64x     0x%.8x\n", Segment, SecurityId);
                        break;
                    case ScanResult::NoSecurityId:
                        break;
                    }
                }
            }
            if (Segment == Last)
                break;
        }
    } while (false);
    NtfsFile_Close(MftFile);
    return Error;
}
