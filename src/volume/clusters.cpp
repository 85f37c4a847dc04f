// Cluster I/O beneath the attribute layer: device reads through the read-ahead
// window, the recording's marks, and reads of the volume log in replay.
#include "clusters.h"

#include <cstring>

#include "../../platform/device.h"
#include "../ntfstool.h"
#include "log.h"

bool NtfsVolume_IsValid(const NtfsVolume* VolumeHandle)
{
    return VolumeHandle != nullptr && VolumeHandle->Tag == NTFS_VOLUME_TAG;
}

uint32_t NtfsVolume_GetBytesPerSector(NtfsVolume* Volume) { return Volume->BytesPerSector; }
uint32_t NtfsVolume_GetBytesPerCluster(NtfsVolume* Volume) { return Volume->BytesPerCluster; }
uint64_t NtfsVolume_GetMftLcn(NtfsVolume* Volume) { return Volume->MftLcn; }
uint64_t NtfsVolume_ClustersToBytes(NtfsVolume* Volume, uint64_t Clusters) { return Clusters * Volume->BytesPerCluster; }
uint64_t NtfsVolume_BytesToClusters(NtfsVolume* Volume, uint64_t Bytes) { return Bytes / Volume->BytesPerCluster; }

int NtfsVolume_CompareLcn(const void* Lcn1, const void* Lcn2)
{
    uint64_t First = *static_cast<const uint64_t*>(Lcn1);
    uint64_t Second = *static_cast<const uint64_t*>(Lcn2);
    return First > Second ? 1 : First < Second ? -1 : 0;
}

namespace {

// The position of Lcn in the replayed cluster table: binary search.
bool FindLoggedCluster(const NtfsVolume* Volume, uint64_t Lcn, uint32_t* Index)
{
    uint32_t Low = 0;
    uint32_t High = Volume->ClusterTableCount;
    while (Low < High) {
        uint32_t Middle = Low + (High - Low) / 2;
        int Order = NtfsVolume_CompareLcn(&Volume->ClusterTable[Middle], &Lcn);
        if (Order == 0) {
            *Index = Middle;
            return true;
        }
        if (Order < 0)
            Low = Middle + 1;
        else
            High = Middle;
    }
    return false;
}

} // namespace

// Reads one cluster from the volume log: binary search in the cluster table,
// then one positioned read of the ".dat" file. A cluster the recording run
// never read is ERROR_READ_FAULT.
DWORD NtfsVolume_ReadLoggedCluster(NtfsVolume* Volume, uint64_t Lcn, void* Buffer)
{
    if (!NtfsVolume_IsValid(Volume))
        return ERROR_INVALID_PARAMETER;
    NtfsVolume* TmpVolumeHandle = Volume;
    NTFS_ASSERT(TmpVolumeHandle->ClusterTable != NULL);
    NTFS_ASSERT(TmpVolumeHandle->AccessedClusterData != INVALID_HANDLE_VALUE);
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;

    uint32_t Index = 0;
    if (!FindLoggedCluster(TmpVolumeHandle, Lcn, &Index))
        return ERROR_READ_FAULT;
    uint64_t Offset = static_cast<uint64_t>(Index) * TmpVolumeHandle->BytesPerCluster;
    DWORD Error = SetFilePosition(TmpVolumeHandle->AccessedClusterData, Offset);
    if (Error != ERROR_SUCCESS)
        return Error;
    DWORD Done = 0;
    if (!ReadFile(TmpVolumeHandle->AccessedClusterData, Buffer, TmpVolumeHandle->BytesPerCluster, &Done, nullptr))
        return LastErrorOfFailedCall();
    if (Done < TmpVolumeHandle->BytesPerCluster)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

namespace {

// One positioned read of Count clusters from the device; without a Buffer
// the clusters are read and dropped.
DWORD ReadDevice(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    DWORD Bytes = Count * Volume->BytesPerCluster;
    DWORD Done = 0;
    uint64_t Offset = NtfsVolume_ClustersToBytes(Volume, Lcn);
    BOOL Read = Buffer != nullptr
                    ? Device_ReadAt(Volume->NtVolumeHandle, Offset, Buffer, Bytes, Volume->DeviceSectorSize, &Done)
                    : Device_ReadAndDrop(Volume->NtVolumeHandle, Offset, Bytes, Volume->DeviceSectorSize, &Done);
    if (!Read)
        return LastErrorOfFailedCall();
    if (Done < Bytes)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

// Serves a small read from the read-ahead window, loading the aligned window
// that holds it when the read continues the previous one. False when the window cannot serve the request
// (too large, no memory, or the window read failed or came back short): the
// caller then reads exactly what was asked, so a bad sector elsewhere in the
// window never fails a good request.
bool ReadThroughWindow(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    uint32_t WindowClusters = ReadAheadBytes / Volume->BytesPerCluster;
    if (WindowClusters < 2 || Count >= WindowClusters)
        return false;
    bool Inside = Volume->ReadAheadClusters != 0 && Lcn >= Volume->ReadAheadLcn &&
                  Lcn - Volume->ReadAheadLcn + Count <= Volume->ReadAheadClusters;
    // A read that repeats or continues the previous one (records of one
    // cluster, one after the other) is part of a sequence.
    bool Sequential = Lcn >= Volume->LastReadStart && Lcn <= Volume->LastReadEnd;
    Volume->LastReadStart = Lcn;
    Volume->LastReadEnd = Lcn + Count;
    if (!Inside && !Sequential)
        return false;
    if (!Inside) {
        if (Volume->ReadAhead == nullptr) {
            Volume->ReadAhead = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, ReadAheadBytes));
            if (Volume->ReadAhead == nullptr)
                return false;
        }
        uint64_t WindowLcn = Lcn - Lcn % WindowClusters;
        uint64_t Available = Volume->TotalClusters - WindowLcn;
        uint32_t Clusters = Available < WindowClusters ? static_cast<uint32_t>(Available) : WindowClusters;
        Volume->ReadAheadClusters = 0;
        if (ReadDevice(Volume, WindowLcn, Clusters, Volume->ReadAhead) != ERROR_SUCCESS)
            return false;
        Volume->ReadAheadLcn = WindowLcn;
        Volume->ReadAheadClusters = Clusters;
        if (Lcn - WindowLcn + Count > Clusters)
            return false;
    }
    if (Buffer != nullptr)
        memcpy(Buffer, Volume->ReadAhead + (Lcn - Volume->ReadAheadLcn) * Volume->BytesPerCluster,
               static_cast<size_t>(Count) * Volume->BytesPerCluster);
    return true;
}

// A range of clusters one request may ask for: on the volume, the volume's
// last cluster included, and of fewer than 4 GiB.
DWORD CheckClusterRange(const NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    if (!NtfsVolume_IsValid(Volume))
        return ERROR_INVALID_PARAMETER;
    if (Lcn >= Volume->TotalClusters || Count > Volume->TotalClusters - Lcn)
        return ERROR_INVALID_PARAMETER;
    if (static_cast<uint64_t>(Count) * Volume->BytesPerCluster > 0xFFFFFFFFull)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Marks clusters just read from the device in the scratch bitmap while the
// run records.
DWORD MarkRead(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    if (Volume->Marks == nullptr || (Volume->Flags & VOLUME_FLAG_RECORDING) == 0)
        return ERROR_SUCCESS;
    uint64_t Before = Volume->Marks->Count;
    DWORD Error = BitmapMarks_Set(Volume->Marks, Lcn, Count);
    LogAhead_NoteMarks(Volume, Lcn, Count, Error, Volume->Marks->Count != Before);
    return Error;
}

// NtfsVolume_ReadClusters, and with a null Buffer NtfsVolume_ReadAndDropClusters.
DWORD ReadOrDropClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, uint8_t* Buffer)
{
    DWORD Checked = CheckClusterRange(Volume, Lcn, Count);
    if (Checked != ERROR_SUCCESS || Count == 0)
        return Checked;

    if (Volume->NtVolumeHandle == INVALID_HANDLE_VALUE) {
        // The log holds a cluster per entry; a dropped one still has to be
        // found and read, through a cluster of scratch.
        HeapBuffer Scratch;
        if (Buffer == nullptr && !Scratch.Allocate(Volume->BytesPerCluster))
            return ERROR_OUTOFMEMORY;
        for (uint32_t i = 0; i < Count; i++) {
            uint8_t* Destination = Buffer != nullptr ? Buffer + static_cast<size_t>(i) * Volume->BytesPerCluster
                                                     : Scratch.Get();
            DWORD Error = NtfsVolume_ReadLoggedCluster(Volume, Lcn + i, Destination);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        return ERROR_SUCCESS;
    }

    // Clusters the log ahead of this read copied from the device were read
    // then; reading them again would only cost the time.
    if (Buffer == nullptr && LogAhead_Holds(Volume, Lcn, Count))
        return MarkRead(Volume, Lcn, Count);

    DWORD Error = ERROR_SUCCESS;
    if (!ReadThroughWindow(Volume, Lcn, Count, Buffer)) {
        Error = ReadDevice(Volume, Lcn, Count, Buffer);
        if (Error != ERROR_SUCCESS)
            return Error;
    }

    return MarkRead(Volume, Lcn, Count);
}

} // namespace

// Reads Count clusters from Lcn: from the device (marking each in the bitmap
// file while recording) or, in replay, from the volume log cluster by cluster.
// The range must lie on the volume, the volume's last cluster included.
DWORD NtfsVolume_ReadClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, void* Buffer)
{
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    return ReadOrDropClusters(Volume, Lcn, Count, static_cast<uint8_t*>(Buffer));
}

// Appends Count clusters from Lcn to the end of File, read as
// NtfsVolume_ReadClusters reads them (and recorded alike), but copied by the
// system where it can, without passing through this process: from the device,
// or in replay from ".dat", where clusters of consecutive numbers lie side by
// side. The bytes may wait on their way until NtfsVolume_FinishCopies.
// *WriteFailed tells a failure of File from one of the reading.
DWORD NtfsVolume_CopyClustersToFile(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count, HANDLE File, bool* WriteFailed)
{
    *WriteFailed = false;
    DWORD Checked = CheckClusterRange(Volume, Lcn, Count);
    if (Checked != ERROR_SUCCESS || Count == 0)
        return Checked;

    HANDLE Source = Volume->NtVolumeHandle;
    uint64_t Offset = NtfsVolume_ClustersToBytes(Volume, Lcn);
    DWORD SectorSize = Volume->DeviceSectorSize;
    uint32_t Present = Count;
    if (Source == INVALID_HANDLE_VALUE) {
        uint32_t Index = 0;
        if (!FindLoggedCluster(Volume, Lcn, &Index))
            return ERROR_READ_FAULT;
        Present = 1;
        while (Present < Count && Index + Present < Volume->ClusterTableCount &&
               Volume->ClusterTable[Index + Present] == Lcn + Present)
            Present++;
        Source = Volume->AccessedClusterData;
        Offset = NtfsVolume_ClustersToBytes(Volume, Index);
        SectorSize = 1;
    }
    DWORD Length = Present * Volume->BytesPerCluster;
    DWORD Done = 0;
    CopyFailure Side = CopyFailure::None;
    if (!Device_CopyToFile(Source, Offset, Length, SectorSize, Volume->BytesPerCluster, File, true, &Done, &Side)) {
        *WriteFailed = Side == CopyFailure::Write;
        return LastErrorOfFailedCall();
    }
    if (Done < Length || Present < Count)
        return ERROR_READ_FAULT;
    return MarkRead(Volume, Lcn, Count);
}

// Writes what NtfsVolume_CopyClustersToFile left on its way to File.
DWORD NtfsVolume_FinishCopies(HANDLE File)
{
    return Device_FinishCopies(File) ? ERROR_SUCCESS : LastErrorOfFailedCall();
}

// Reads Count clusters from Lcn as NtfsVolume_ReadClusters does (and records
// them alike) without delivering them: for a reader that only checks that
// they can be read.
DWORD NtfsVolume_ReadAndDropClusters(NtfsVolume* Volume, uint64_t Lcn, uint32_t Count)
{
    return ReadOrDropClusters(Volume, Lcn, Count, nullptr);
}
