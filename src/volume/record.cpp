// The MFT record reader, through the attribute handles of $MFT, and the update
// sequence fixup of multi-sector records.
#include "record.h"

#include <cstring>

#include "../attr/attribute.h"
#include "../file/slots.h"
#include "../ntfstool.h"
#include "clusters.h"

uint64_t NtfsReference_GetSegmentNumber(uint64_t FileReference)
{
    return FileReference & 0x0000FFFFFFFFFFFFull;
}

// Undoes the update sequence protection of a multi-sector record in place:
// the last word of every sector must hold the update sequence number and is
// replaced by the saved word from the array.
DWORD NtfsRecord_ApplyFixup(NtfsVolume* Volume, uint8_t* Buffer, uint32_t Length)
{
    if (!NtfsVolume_IsValid(Volume) || Buffer == nullptr || Length == 0)
        return ERROR_INVALID_PARAMETER;
    uint32_t SectorSize = Volume->BytesPerSector;
    if (SectorSize < 2 || Length % SectorSize != 0)
        return ERROR_INVALID_DATA;
    uint32_t Sectors = Length / SectorSize;
    LeReader Record(Buffer, Length);
    uint32_t ArrayCount = Record.U16(RecordUsaCountOffset);
    uint32_t ArrayOffset = Record.U16(RecordUsaOffsetOffset);
    if (ArrayCount != Sectors + 1)
        return ERROR_INVALID_DATA;
    if (!Record.Has(ArrayOffset, static_cast<size_t>(ArrayCount) * 2))
        return ERROR_INVALID_DATA;
    uint16_t SequenceNumber = Record.U16(ArrayOffset);
    for (uint32_t i = 0; i < Sectors; i++) {
        size_t SectorEnd = static_cast<size_t>(i + 1) * SectorSize - 2;
        if (Record.U16(SectorEnd) != SequenceNumber)
            return ERROR_INVALID_DATA;
        StoreLe16(Buffer + SectorEnd, Record.U16(ArrayOffset + 2 * (i + 1)));
    }
    return ERROR_SUCCESS;
}

// Reads file record Segment (the low 48 bits of FileReference) into the
// caller's 1024 bytes, fixup applied. Record 0 comes straight from MftLcn;
// every other record must be marked in the $MFT bitmap (else
// ERROR_FILE_NOT_FOUND) and is located through the $MFT data runs.
DWORD NtfsVolume_ReadFileRecord(NtfsVolume* Volume, uint64_t FileReference, uint8_t* Buffer)
{
    if (!NtfsVolume_IsValid(Volume) || Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    uint32_t BytesPerCluster = Volume->BytesPerCluster;
    uint32_t ClustersPerRecord;
    if (BytesPerCluster <= MFT_RECORD_SIZE) {
        if (BytesPerCluster == 0 || MFT_RECORD_SIZE % BytesPerCluster != 0)
            return ERROR_INVALID_DATA;
        ClustersPerRecord = MFT_RECORD_SIZE / BytesPerCluster;
    } else {
        if (BytesPerCluster % MFT_RECORD_SIZE != 0)
            return ERROR_INVALID_DATA;
        ClustersPerRecord = 1;
    }
    uint32_t ReadSize = BytesPerCluster * ClustersPerRecord;
    HeapBuffer ReadBuffer;
    if (!ReadBuffer.Allocate(ReadSize))
        return ERROR_OUTOFMEMORY;

    uint64_t Segment = NtfsReference_GetSegmentNumber(FileReference);
    size_t RecordOffset = 0;
    DWORD Error;
    if (Segment == 0) {
        Error = NtfsVolume_ReadClusters(Volume, Volume->MftLcn, ClustersPerRecord, ReadBuffer.Get());
        if (Error != ERROR_SUCCESS)
            return Error;
    } else {
        uint8_t BitmapByte = 0;
        uint32_t BytesRead = 0;
        Error = NtfsAttribute_Read(Volume->Mft_Bitmap$, Segment / 8, 1, &BitmapByte, &BytesRead);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (BytesRead == 0)
            return ERROR_INVALID_DATA;
        if ((BitmapByte & (1u << (Segment % 8))) == 0)
            return ERROR_FILE_NOT_FOUND;
        uint64_t ByteOffset = Segment * MFT_RECORD_SIZE;
        uint64_t Vcn = ByteOffset / BytesPerCluster;
        RecordOffset = static_cast<size_t>(ByteOffset % ReadSize);
        uint32_t Supplied = 0;
        Error = NtfsAttribute_ReadClusters(Volume->Mft_Data$, Vcn, ClustersPerRecord, ReadBuffer.Get(), &Supplied);
        if (Error != ERROR_SUCCESS)
            return Error;
        // A run table that does not map the whole record must not pass an
        // unfilled buffer off as a record.
        if (Supplied != ClustersPerRecord)
            return ERROR_INVALID_DATA;
    }
    memcpy(Buffer, ReadBuffer.Get() + RecordOffset, MFT_RECORD_SIZE);
    return NtfsRecord_ApplyFixup(Volume, Buffer, MFT_RECORD_SIZE);
}
