// The attribute value reader: clusters through the run table, bytes of the
// value, and compressed $DATA through its compression units.
#include "attribute.h"

#include <cstring>
#include <vector>

#include "../file/slots.h"
#include "../ntfstool.h"
#include "../volume/clusters.h"

namespace {

// The unnamed $STANDARD_INFORMATION of the handle's base record decides
// whether non-resident data is stored compressed.
DWORD GetFileCompressed(NtfsAttribute* Attribute, bool* Compressed)
{
    NtfsAttribute* Information =
        NtfsFile_FindAttribute(Attribute->FileHandle, ATTRIBUTE_STANDARD_INFORMATION, nullptr, 0);
    if (Information == nullptr || !Information->Resident)
        return ERROR_INVALID_DATA;
    LeReader Value(Information->Value, Information->Value != nullptr ? Information->ValueLength : 0);
    uint32_t FileAttributes = Value.U32(StandardInformationFileAttributesOffset);
    if (Value.Failed)
        return ERROR_INVALID_DATA;
    *Compressed = (FileAttributes & StandardInformationCompressed) != 0;
    return ERROR_SUCCESS;
}

// Only $DATA is stored compressed; other attributes of a compressed file (an
// attribute list, an index) lie on the volume as they are.
DWORD GetValueCompressed(NtfsAttribute* Attribute, bool* Compressed)
{
    DWORD Error = GetFileCompressed(Attribute, Compressed);
    *Compressed = *Compressed && Attribute->TypeCode == ATTRIBUTE_DATA;
    return Error;
}

uint64_t SaturatingAdd(uint64_t First, uint64_t Second)
{
    return Second > ~0ull - First ? ~0ull : First + Second;
}

// The run to start a walk for Vcn from: the remembered one when it does not
// lie beyond Vcn, else the first.
void WalkStart(const NtfsAttribute* Attribute, uint64_t Vcn, uint32_t* Run, uint64_t* RunStart)
{
    if (Attribute->HintRun < Attribute->RunCount && Attribute->HintRunStart <= Vcn) {
        *Run = Attribute->HintRun;
        *RunStart = Attribute->HintRunStart;
    } else {
        *Run = 0;
        *RunStart = 0;
    }
}

// Number of clusters of [Vcn, Vcn + Count) that the run table maps to disk
// (not sparse, not past the last run).
uint64_t StoredClusters(const NtfsAttribute* Attribute, uint64_t Vcn, uint64_t Count)
{
    uint64_t Stored = 0;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(Attribute, Vcn, &First, &RunStart);
    uint64_t Last = SaturatingAdd(Vcn, Count) - 1;
    for (uint32_t i = First; i < Attribute->RunCount && Count != 0; i++) {
        const NtfsRun& Run = Attribute->Runs[i];
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (Run.Length != 0 && (Run.Flags & NTFS_RUN_SPARSE) == 0)
            Stored += RangeOverlap(RunStart, RunEnd - 1, Vcn, Last);
        if (RunEnd > Last)
            break;
        RunStart = RunEnd;
    }
    return Stored;
}

// Where the value reader puts what it reads: at Buffer, appended to File, or,
// with neither, nowhere (the bytes are only read).
struct ValueSink {
    uint8_t* Buffer = nullptr;
    HANDLE File = INVALID_HANDLE_VALUE;
    bool WriteFailed = false; // the failure was File's
};

// Appends Length bytes to the sink's file; zeros when Data is null.
DWORD WriteToSink(ValueSink& Sink, const uint8_t* Data, size_t Length)
{
    static const uint8_t Zeros[65536] = {};
    while (Length != 0) {
        DWORD Piece = Length < sizeof(Zeros) ? static_cast<DWORD>(Length) : sizeof(Zeros);
        DWORD Written = 0;
        BOOL Wrote = WriteFile(Sink.File, Data != nullptr ? Data : Zeros, Piece, &Written, nullptr);
        if (!Wrote || Written < Piece) {
            // A short write that reports success carries no code of its own.
            Sink.WriteFailed = true;
            return Wrote ? ERROR_WRITE_FAULT : LastErrorOfFailedCall();
        }
        if (Data != nullptr)
            Data += Piece;
        Length -= Piece;
    }
    return ERROR_SUCCESS;
}

// NtfsAttribute_ReadClusters into any sink.
DWORD ReadRuns(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, ValueSink& Sink,
               uint32_t* ClustersSupplied)
{
    NtfsVolume* Volume = NtfsAttribute_GetVolume(AttributeHandle);
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(Volume);
    uint8_t* Output = Sink.Buffer;
    bool ToFile = Output == nullptr && Sink.File != INVALID_HANDLE_VALUE;
    uint32_t Remaining = Count;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(AttributeHandle, Vcn, &First, &RunStart);
    DWORD Error = ERROR_SUCCESS;
    for (uint32_t i = First; i < AttributeHandle->RunCount && Remaining != 0; i++) {
        const NtfsRun& Run = AttributeHandle->Runs[i];
        if (RunStart > Vcn)
            break;
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (RunEnd <= Vcn) {
            RunStart = RunEnd;
            continue;
        }
        AttributeHandle->HintRun = i;
        AttributeHandle->HintRunStart = RunStart;
        uint32_t Take = RunEnd - Vcn < Remaining ? static_cast<uint32_t>(RunEnd - Vcn) : Remaining;
        size_t Bytes = static_cast<size_t>(Take) * BytesPerCluster;
        if ((Run.Flags & NTFS_RUN_SPARSE) != 0) {
            if (Output != nullptr)
                memset(Output, 0, Bytes);
            else if (ToFile)
                Error = WriteToSink(Sink, nullptr, Bytes);
        } else {
            uint64_t Lcn = static_cast<uint64_t>(Run.Lcn) + (Vcn - RunStart);
            if (Output != nullptr)
                Error = NtfsVolume_ReadClusters(Volume, Lcn, Take, Output);
            else if (ToFile)
                Error = NtfsVolume_CopyClustersToFile(Volume, Lcn, Take, Sink.File, &Sink.WriteFailed);
            else
                Error = NtfsVolume_ReadAndDropClusters(Volume, Lcn, Take);
        }
        if (Error != ERROR_SUCCESS)
            break;
        if (Output != nullptr)
            Output += Bytes;
        Vcn += Take;
        Remaining -= Take;
        RunStart = RunEnd;
    }
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = Count - Remaining;
    return Error;
}

} // namespace

// Maps [Vcn, Vcn + Count) through the run table and reads it: sparse runs as
// zeros, stored runs with one volume read per run. A range past the last run
// ends early with success; *ClustersSupplied says how far it got and is
// written on every path.
DWORD NtfsAttribute_ReadClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                 uint32_t* ClustersSupplied)
{
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = 0;
    if (!NtfsAttribute_IsValid(AttributeHandle) || AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    if (Count == 0)
        return ERROR_SUCCESS;
    if (Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    ValueSink Sink{static_cast<uint8_t*>(Buffer)};
    return ReadRuns(AttributeHandle, Vcn, Count, Sink, ClustersSupplied);
}

DWORD NtfsAttribute_RangeHasSparseRun(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, BOOLEAN* HasSparse)
{
    if (HasSparse == nullptr || !NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    *HasSparse = 0;
    if (Count == 0)
        return ERROR_SUCCESS;
    uint64_t Last = SaturatingAdd(Vcn, Count) - 1;
    uint32_t First = 0;
    uint64_t RunStart = 0;
    WalkStart(AttributeHandle, Vcn, &First, &RunStart);
    for (uint32_t i = First; i < AttributeHandle->RunCount; i++) {
        const NtfsRun& Run = AttributeHandle->Runs[i];
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (Run.Length != 0 && (Run.Flags & NTFS_RUN_SPARSE) != 0 && RangeOverlap(RunStart, RunEnd - 1, Vcn, Last) != 0) {
            *HasSparse = 1;
            return ERROR_SUCCESS;
        }
        if (RunEnd > Last)
            break;
        RunStart = RunEnd;
    }
    return ERROR_SUCCESS;
}

uint64_t RangeOverlap(uint64_t First1, uint64_t Last1, uint64_t First2, uint64_t Last2)
{
    uint64_t Low = First1 > First2 ? First1 : First2;
    uint64_t High = Last1 < Last2 ? Last1 : Last2;
    return High < Low ? 0 : High - Low + 1;
}

// The most bytes of whole clusters that one request of the value reader asks
// the volume for, so that a long read never becomes one 4 GiB request.
constexpr uint32_t MaximumBytesPerRead = 1u << 20;

namespace {

// NtfsAttribute_Read into any sink. Whole stored clusters of an uncompressed
// value go to a file, or nowhere, without passing through memory here;
// compressed ones still have to be decoded, through the cluster buffer, since
// a unit that does not decode is a failed read.
DWORD ReadValue(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, ValueSink& Sink, uint32_t* BytesRead)
{
    if (Length == 0) {
        if (BytesRead != nullptr)
            *BytesRead = 0;
        return ERROR_SUCCESS;
    }
    bool ReadCompressed = false;
    DWORD Error = GetValueCompressed(AttributeHandle, &ReadCompressed);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint8_t* Output = Sink.Buffer;
    bool ToFile = Output == nullptr && Sink.File != INVALID_HANDLE_VALUE;

    if (AttributeHandle->Resident) {
        uint32_t Count = 0;
        if (Offset < AttributeHandle->ValueLength) {
            uint64_t Left = AttributeHandle->ValueLength - Offset;
            Count = Left < Length ? static_cast<uint32_t>(Left) : Length;
            if (Output != nullptr)
                memcpy(Output, AttributeHandle->Value + Offset, Count);
            else if (ToFile && (Error = WriteToSink(Sink, AttributeHandle->Value + Offset, Count)) != ERROR_SUCCESS)
                return Error;
        }
        if (BytesRead != nullptr)
            *BytesRead = Count;
        return ERROR_SUCCESS;
    }

    if (Offset >= AttributeHandle->FileSize) {
        if (BytesRead != nullptr)
            *BytesRead = 0;
        return ERROR_SUCCESS;
    }
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(NtfsAttribute_GetVolume(AttributeHandle));
    if (AttributeHandle->ClusterCache == nullptr) {
        AttributeHandle->ClusterCache = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, BytesPerCluster));
        if (AttributeHandle->ClusterCache == nullptr)
            return ERROR_OUTOFMEMORY;
        AttributeHandle->ClusterCacheValid = false;
    }
    uint8_t* Cluster = AttributeHandle->ClusterCache;
    uint64_t Left = AttributeHandle->FileSize - Offset;
    uint32_t Total = Left < Length ? static_cast<uint32_t>(Left) : Length;
    uint64_t Vcn = Offset / BytesPerCluster;
    uint32_t Skip = static_cast<uint32_t>(Offset % BytesPerCluster);
    uint32_t Delivered = 0;
    while (Delivered < Total) {
        uint32_t Due = Total - Delivered;
        // Whole clusters go straight to the sink; a partial first or last
        // cluster passes through the cluster buffer.
        uint32_t Whole = Skip == 0 && (Output != nullptr || !ReadCompressed) ? Due / BytesPerCluster : 0;
        if (Whole > MaximumBytesPerRead / BytesPerCluster)
            Whole = MaximumBytesPerRead / BytesPerCluster;
        uint32_t Count = Whole != 0 ? Whole : 1;
        bool Cached = Whole == 0 && AttributeHandle->ClusterCacheValid && AttributeHandle->ClusterCacheVcn == Vcn;
        if (!Cached) {
            if (Whole == 0)
                AttributeHandle->ClusterCacheValid = false;
            ValueSink Target = Whole == 0 ? ValueSink{Cluster}
                                          : ValueSink{Output != nullptr ? Output + Delivered : nullptr, Sink.File};
            uint32_t Supplied = 0;
            if (ReadCompressed)
                Error = NtfsAttribute_ReadCompressedClusters(AttributeHandle, Vcn, Count, Target.Buffer, &Supplied);
            else
                Error = ReadRuns(AttributeHandle, Vcn, Count, Target, &Supplied);
            Sink.WriteFailed = Target.WriteFailed;
            if (Error != ERROR_SUCCESS)
                return Error;
            // A cluster the run table does not map has no data to deliver.
            if (Supplied != Count)
                return ERROR_INVALID_DATA;
            if (Whole == 0) {
                AttributeHandle->ClusterCacheVcn = Vcn;
                AttributeHandle->ClusterCacheValid = true;
            }
        }
        if (Whole != 0) {
            Delivered += Whole * BytesPerCluster;
        } else {
            uint32_t Chunk = BytesPerCluster - Skip < Due ? BytesPerCluster - Skip : Due;
            if (Output != nullptr)
                memcpy(Output + Delivered, Cluster + Skip, Chunk);
            else if (ToFile && (Error = WriteToSink(Sink, Cluster + Skip, Chunk)) != ERROR_SUCCESS)
                return Error;
            Delivered += Chunk;
            Skip = 0;
        }
        Vcn += Count;
    }
    if (BytesRead != nullptr)
        *BytesRead = Total;
    return ERROR_SUCCESS;
}

} // namespace

// Reads Length bytes of the value from Offset, cut at the end of the value.
// Non-resident values are read one cluster per request, through the
// decompressor when the file is compressed. *BytesRead is written on success.
DWORD NtfsAttribute_Read(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, void* Buffer,
                         uint32_t* BytesRead)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || (Buffer == nullptr && Length != 0))
        return ERROR_INVALID_PARAMETER;
    ValueSink Sink{static_cast<uint8_t*>(Buffer)};
    return ReadValue(AttributeHandle, Offset, Length, Sink, BytesRead);
}

// Reads the range as NtfsAttribute_Read does, with the same failures and the
// same clusters read (and recorded), but keeps none of it: for a read that
// only checks that the range can be read.
DWORD NtfsAttribute_ReadAndDrop(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, uint32_t* BytesRead)
{
    if (!NtfsAttribute_IsValid(AttributeHandle))
        return ERROR_INVALID_PARAMETER;
    ValueSink Sink;
    return ReadValue(AttributeHandle, Offset, Length, Sink, BytesRead);
}

// Before a read of the range that keeps nothing: a recording run has the
// volume log written now, the clusters the read will take included, so that
// the read and the log's copy from the device are one (NtfsVolume_LogAhead).
// Only for a value stored as it is, whose run table maps the whole range;
// whatever the outcome, the read that follows has the same results.
void NtfsAttribute_LogAhead(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || AttributeHandle->Resident || Length == 0 ||
        Offset >= AttributeHandle->FileSize)
        return;
    NtfsVolume* Volume = NtfsAttribute_GetVolume(AttributeHandle);
    bool Compressed = false;
    if (!NtfsVolume_CanLogAhead(Volume) || GetValueCompressed(AttributeHandle, &Compressed) != ERROR_SUCCESS ||
        Compressed)
        return;
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(Volume);
    uint64_t Left = AttributeHandle->FileSize - Offset;
    uint64_t Vcn = Offset / BytesPerCluster;
    uint64_t End = (Offset + (Left < Length ? Left : Length) - 1) / BytesPerCluster + 1;
    // At most one piece of each run.
    std::vector<ClusterRun> Runs;
    if (!TryResize(&Runs, AttributeHandle->RunCount))
        return;
    size_t Stored = 0;
    uint64_t RunStart = 0;
    for (uint32_t i = 0; i < AttributeHandle->RunCount && Vcn < End; i++) {
        const NtfsRun& Run = AttributeHandle->Runs[i];
        uint64_t RunEnd = SaturatingAdd(RunStart, Run.Length);
        if (RunEnd > Vcn) {
            uint64_t Take = (RunEnd < End ? RunEnd : End) - Vcn;
            if ((Run.Flags & NTFS_RUN_SPARSE) == 0)
                Runs[Stored++] = {static_cast<uint64_t>(Run.Lcn) + (Vcn - RunStart), Take};
            Vcn += Take;
        }
        RunStart = RunEnd;
    }
    Runs.resize(Stored);
    if (Vcn == End)
        NtfsVolume_LogAhead(Volume, &Runs);
}

// Appends the range to the end of File as NtfsAttribute_Read would deliver
// it, with the same failures and the same clusters read (and recorded); whole
// clusters stored as they are go from the volume to the file without passing
// through this process where the system can copy so. *WriteFailed tells a
// failure to write File from one to read the value. On success *BytesRead
// bytes were appended; after a failure, some of the range may have been.
DWORD NtfsAttribute_ReadToFile(NtfsAttribute* AttributeHandle, uint64_t Offset, uint32_t Length, HANDLE File,
                               uint32_t* BytesRead, bool* WriteFailed)
{
    *WriteFailed = false;
    if (!NtfsAttribute_IsValid(AttributeHandle) || File == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_PARAMETER;
    ValueSink Sink{nullptr, File};
    DWORD Error = ReadValue(AttributeHandle, Offset, Length, Sink, BytesRead);
    // Copies still on their way land now, so that a failed write is this
    // range's and the file is whole when the call returns.
    DWORD Finished = NtfsVolume_FinishCopies(File);
    if (Error == ERROR_SUCCESS && Finished != ERROR_SUCCESS) {
        Sink.WriteFailed = true;
        Error = Finished;
    }
    *WriteFailed = Sink.WriteFailed;
    return Error;
}

// Whether NtfsAttribute_ReadToFile can move most of the value without it
// passing through this process: a value stored on the volume as it is.
bool NtfsAttribute_CopiesToFile(NtfsAttribute* AttributeHandle)
{
    bool Compressed = false;
    return NtfsAttribute_IsValid(AttributeHandle) && !AttributeHandle->Resident &&
           GetValueCompressed(AttributeHandle, &Compressed) == ERROR_SUCCESS && !Compressed;
}

namespace {

constexpr uint32_t Lznt1ChunkSize = 4096;

// Decodes one compression unit's stored bytes into Output (a whole unit
// window) and zero-fills it up to Limit. Each chunk stands for the next 4096
// bytes of the unit; a chunk that decodes to less is padded with zeros. A zero
// header ends the stored data: the rest of the unit is zeros.
DWORD DecodeUnit(const uint8_t* Stored, uint32_t UnitSize, uint8_t* Output, uint32_t Limit)
{
    uint32_t Consumed = 0;
    uint32_t Produced = 0;
    while (Produced < Limit) {
        LeReader Header(Stored + Consumed, UnitSize - Consumed);
        if (!Header.Has(0, 2) || Header.U16(0) == 0) {
            memset(Output + Produced, 0, UnitSize - Produced);
            Produced = UnitSize;
            break;
        }
        uint32_t ChunkConsumed = 0;
        uint32_t ChunkProduced = 0;
        DWORD Error = Lznt1_DecompressChunk(Stored + Consumed, UnitSize - Consumed, Output + Produced,
                                            UnitSize - Produced, &ChunkConsumed, &ChunkProduced);
        if (Error != ERROR_SUCCESS)
            return Error;
        Consumed += ChunkConsumed;
        Produced += ChunkProduced;
        uint32_t ChunkEnd = (Produced + Lznt1ChunkSize - 1) / Lznt1ChunkSize * Lznt1ChunkSize;
        if (ChunkProduced < Lznt1ChunkSize && ChunkEnd > Produced && ChunkEnd <= UnitSize) {
            memset(Output + Produced, 0, ChunkEnd - Produced);
            Produced = ChunkEnd;
        }
        if (Consumed >= UnitSize)
            break;
    }
    if (Produced < Limit)
        return ERROR_INVALID_DATA;
    if (Produced < UnitSize)
        memset(Output + Produced, 0, UnitSize - Produced);
    return ERROR_SUCCESS;
}

} // namespace

// Reads Count clusters of a compressed $DATA from Vcn, uncompressed. A
// 16-cluster unit that touches a sparse run holds LZNT1 chunks; one with no
// sparse run holds its data as is; one that is all sparse is a hole. The last
// decompressed unit stays with the handle, so a sequential read decompresses
// every unit once.
DWORD NtfsAttribute_ReadCompressedClusters(NtfsAttribute* AttributeHandle, uint64_t Vcn, uint32_t Count, void* Buffer,
                                           uint32_t* ClustersSupplied)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || Buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    bool Compressed = false;
    DWORD Error = GetValueCompressed(AttributeHandle, &Compressed);
    if (Error != ERROR_SUCCESS)
        return Error;
    if (!Compressed || AttributeHandle->Resident)
        return ERROR_INVALID_PARAMETER;
    uint32_t BytesPerCluster = NtfsVolume_GetBytesPerCluster(NtfsAttribute_GetVolume(AttributeHandle));
    uint32_t UnitSize = COMPRESSION_UNIT_CLUSTERS * BytesPerCluster;
    if (AttributeHandle->UnitCache == nullptr) {
        AttributeHandle->UnitCache = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, 2 * static_cast<size_t>(UnitSize)));
        if (AttributeHandle->UnitCache == nullptr)
            return ERROR_OUTOFMEMORY;
        AttributeHandle->UnitCacheValid = false;
    }
    uint8_t* DecodedUnit = AttributeHandle->UnitCache;
    uint8_t* StoredUnit = AttributeHandle->UnitCache + UnitSize;

    uint64_t FileSize = AttributeHandle->FileSize;
    uint64_t FileClusters = FileSize / BytesPerCluster + (FileSize % BytesPerCluster != 0 ? 1 : 0);
    if (Vcn >= FileClusters)
        Count = 0;
    else if (Count > FileClusters - Vcn)
        Count = static_cast<uint32_t>(FileClusters - Vcn);

    uint8_t* Output = static_cast<uint8_t*>(Buffer);
    uint32_t Done = 0;
    while (Done < Count) {
        uint64_t Current = Vcn + Done;
        uint32_t OffsetInUnit = static_cast<uint32_t>(Current % COMPRESSION_UNIT_CLUSTERS);
        uint64_t UnitStart = Current - OffsetInUnit;
        uint64_t UnitBytes = FileSize - UnitStart * BytesPerCluster;
        uint32_t Limit = UnitBytes < UnitSize ? static_cast<uint32_t>(UnitBytes) : UnitSize;
        bool Cached = AttributeHandle->UnitCacheValid && AttributeHandle->UnitCacheStart == UnitStart;
        BOOLEAN HasSparse = 0;
        if (!Cached) {
            Error = NtfsAttribute_RangeHasSparseRun(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS, &HasSparse);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
        uint32_t Take;
        if (Cached || HasSparse) {
            if (!Cached) {
                AttributeHandle->UnitCacheValid = false;
                if (StoredClusters(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS) == 0) {
                    memset(DecodedUnit, 0, UnitSize);
                } else {
                    uint32_t Supplied = 0;
                    Error = NtfsAttribute_ReadClusters(AttributeHandle, UnitStart, COMPRESSION_UNIT_CLUSTERS, StoredUnit,
                                                       &Supplied);
                    if (Error != ERROR_SUCCESS)
                        return Error;
                    if (Supplied != COMPRESSION_UNIT_CLUSTERS)
                        return ERROR_INVALID_DATA;
                    Error = DecodeUnit(StoredUnit, UnitSize, DecodedUnit, Limit);
                    if (Error != ERROR_SUCCESS)
                        return Error;
                }
                AttributeHandle->UnitCacheStart = UnitStart;
                AttributeHandle->UnitCacheValid = true;
            }
            uint32_t Available = (Limit + BytesPerCluster - 1) / BytesPerCluster;
            Take = Available > OffsetInUnit ? Available - OffsetInUnit : 0;
            if (Take > Count - Done)
                Take = Count - Done;
            if (Take == 0)
                return ERROR_INVALID_DATA;
            memcpy(Output + static_cast<size_t>(Done) * BytesPerCluster,
                   DecodedUnit + static_cast<size_t>(OffsetInUnit) * BytesPerCluster,
                   static_cast<size_t>(Take) * BytesPerCluster);
        } else {
            Take = COMPRESSION_UNIT_CLUSTERS - OffsetInUnit;
            if (Take > Count - Done)
                Take = Count - Done;
            uint32_t Supplied = 0;
            Error = NtfsAttribute_ReadClusters(AttributeHandle, Current, Take,
                                               Output + static_cast<size_t>(Done) * BytesPerCluster, &Supplied);
            if (Error != ERROR_SUCCESS)
                return Error;
            if (Supplied < Take)
                return ERROR_INVALID_DATA;
        }
        Done += Take;
    }
    if (ClustersSupplied != nullptr)
        *ClustersSupplied = Done;
    return ERROR_SUCCESS;
}
