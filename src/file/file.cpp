// File handles: opening a file's base record, its attribute list, and the
// merge of attributes spread over several records.
#include "../file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "../attr/attribute.h"
#include "../ntfstool.h"
#include "../volume/record.h"

static_assert(std::is_trivially_copyable_v<NtfsFile>);

namespace {

// Some 8,000 entries. Each entry costs a record read and a handle, so a
// damaged list must not be walked without end; a real list this long would
// describe a file in several hundred thousand fragments.
constexpr uint32_t MaximumAttributeListSize = 256u << 10;

// Closes every attribute handle of both lists, frees the slot arrays, clears
// the file record and frees it.
void ReleaseFile(NtfsFile* File)
{
    for (uint32_t Index = 0; Index < 2; Index++) {
        for (uint32_t Slot = 0; Slot < File->AttributeSlots[Index]; Slot++)
            if (File->AttributeList[Index][Slot] != nullptr)
                NtfsAttribute_Close(File->AttributeList[Index][Slot]);
        if (File->AttributeList[Index] != nullptr)
            HeapFree(GetProcessHeap(), 0, File->AttributeList[Index]);
    }
    FreeRecord(File, sizeof(NtfsFile));
}

using FileHolder = RecordHolder<NtfsFile, ReleaseFile>;

// Checks the record header bounds used by the attribute walk. A base record
// must leave room after its first attribute and may not be over-full; other
// records may be exactly full. Returns the first attribute offset and the
// bytes available from it.
DWORD CheckRecordHeader(const uint8_t* Record, bool BaseRecord, uint32_t* FirstOffset, uint32_t* Available)
{
    LeReader Header(Record, MFT_RECORD_SIZE);
    uint32_t Offset = Header.U16(RecordFirstAttributeOffset);
    uint32_t BytesInUse = Header.U32(RecordBytesInUseOffset);
    if (Offset >= MFT_RECORD_SIZE || BytesInUse > MFT_RECORD_SIZE)
        return ERROR_INVALID_DATA;
    if (BaseRecord ? Offset >= BytesInUse : Offset > BytesInUse)
        return ERROR_INVALID_DATA;
    *FirstOffset = Offset;
    *Available = BytesInUse - Offset;
    return ERROR_SUCCESS;
}

} // namespace

// Opens the file whose base record FileReference names: list 0 gets a handle
// for every attribute record of the base record; when there is an
// $ATTRIBUTE_LIST, list 1 gets a handle for every attribute it names, with the
// pieces of fragmented attributes merged. *FileHandle is null on failure.
DWORD NtfsFile_Open(NtfsVolume* VolumeHandle, uint64_t FileReference, NtfsFile** FileHandle)
{
    if (FileHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    *FileHandle = nullptr;
    if (VolumeHandle == nullptr)
        return ERROR_INVALID_PARAMETER;

    NtfsFile* Record = AllocateRecord<NtfsFile>();
    if (Record == nullptr)
        return ERROR_OUTOFMEMORY;
    Record->Tag = NTFS_FILE_TAG;
    Record->FileReference = FileReference;
    Record->VolumeHandle = VolumeHandle;
    FileHolder TmpFileHandle(Record);

    DWORD Error = NtfsVolume_ReadFileRecord(VolumeHandle, FileReference, Record->Record);
    if (Error != ERROR_SUCCESS)
        return Error;
    uint32_t Position = 0;
    uint32_t Available = 0;
    Error = CheckRecordHeader(Record->Record, true, &Position, &Available);
    if (Error != ERROR_SUCCESS)
        return Error;

    NtfsAttribute* AttributeList = nullptr;
    while (true) {
        NtfsAttribute* Attribute = nullptr;
        uint32_t Length = 0;
        Error = NtfsAttribute_Open(Record, FileReference, Record->Record + Position, Available, &Attribute, &Length, 0);
        if (Error != ERROR_SUCCESS)
            return Error;
        if (Attribute == nullptr)
            break;
        if (Attribute->TypeCode == ATTRIBUTE_ATTRIBUTE_LIST)
            AttributeList = Attribute;
        Position += Length;
        Available -= Length;
    }

    if (AttributeList != nullptr) {
        uint32_t ListSize = static_cast<uint32_t>(AttributeList->ValueLength);
        // Each entry names an attribute record of another MFT record; a list
        // longer than the largest a volume could need is damage, and must not
        // make the open allocate and walk gigabytes.
        if (ListSize > MaximumAttributeListSize)
            return ERROR_INVALID_DATA;
        if (ListSize != 0) {
            HeapBuffer List;
            if (!List.Allocate(ListSize))
                return ERROR_OUTOFMEMORY;
            uint32_t BytesRead = 0;
            Error = NtfsAttribute_Read(AttributeList, 0, ListSize, List.Get(), &BytesRead);
            if (Error != ERROR_SUCCESS)
                return Error;
            LeReader Entries(List.Get(), BytesRead);
            size_t Offset = 0;
            while (Entries.Has(Offset, ListEntryLengthOffset + 2)) {
                uint32_t EntryLength = Entries.U16(Offset + ListEntryLengthOffset);
                if (!Entries.Has(Offset, EntryLength))
                    break;
                // A shorter entry would be read past its end, and a zero one
                // would never advance.
                if (EntryLength < ListEntryMinimumLength)
                    return ERROR_INVALID_DATA;
                uint64_t Reference = Entries.U64(Offset + ListEntryReferenceOffset);
                uint16_t Instance = Entries.U16(Offset + ListEntryInstanceOffset);
                NtfsAttribute* Piece = nullptr;
                Error = NtfsAttribute_OpenInRecord(Record, Reference, Instance, &Piece, 1);
                if (Error != ERROR_SUCCESS)
                    return Error;
                Offset += EntryLength;
            }
            Error = NtfsFile_MergeAttributes(Record, 1);
            if (Error != ERROR_SUCCESS)
                return Error;
        }
    }

    *FileHandle = TmpFileHandle.Detach();
    return ERROR_SUCCESS;
}

DWORD NtfsFile_Close(NtfsFile* FileHandle)
{
    if (!NtfsFile_IsValid(FileHandle))
        return ERROR_INVALID_PARAMETER;
    ReleaseFile(FileHandle);
    return ERROR_SUCCESS;
}

// Opens, into list Index, the attribute with the given instance number from
// the record FileReference names.
DWORD NtfsAttribute_OpenInRecord(NtfsFile* FileHandle, uint64_t FileReference, uint16_t Instance,
                                 NtfsAttribute** AttributeHandle, uint32_t Index)
{
    if (FileHandle == nullptr || AttributeHandle == nullptr || Index > 1)
        return ERROR_INVALID_PARAMETER;
    *AttributeHandle = nullptr;
    HeapBuffer Record;
    if (!Record.Allocate(MFT_RECORD_SIZE))
        return ERROR_OUTOFMEMORY;
    DWORD Error = NtfsVolume_ReadFileRecord(FileHandle->VolumeHandle, FileReference, Record.Get());
    if (Error != ERROR_SUCCESS)
        return Error;
    uint32_t Position = 0;
    uint32_t Available = 0;
    Error = CheckRecordHeader(Record.Get(), false, &Position, &Available);
    if (Error != ERROR_SUCCESS)
        return Error;
    while (true) {
        uint32_t Length = NtfsAttribute_RecordLength(Record.Get() + Position, Available);
        if (Length == 4)
            return ERROR_FILE_NOT_FOUND;
        if (Length == 0)
            return ERROR_INVALID_DATA;
        LeReader Attribute(Record.Get() + Position, Length);
        if (Attribute.U16(AttrInstanceOffset) == Instance) {
            uint32_t OpenedLength = 0;
            return NtfsAttribute_Open(FileHandle, FileReference, Record.Get() + Position, Available, AttributeHandle,
                                      &OpenedLength, Index);
        }
        Position += Length;
        Available -= Length;
    }
}

namespace {

// The non-resident handles of one list ordered by type code, name and lowest
// VCN (slot order among equals), so that the piece continuing an attribute
// is found by a binary search: a file in thousands of fragments merges in
// n log n rather than a scan of every slot per piece. The keys are copied,
// since merged pieces are closed while the index is in use.
class PieceIndex {
public:
    // False when memory runs out.
    bool Build(NtfsFile* File, uint32_t Index)
    {
        File_ = File;
        Index_ = Index;
        size_t Count = 0;
        size_t NameUnits = 0;
        for (uint32_t Slot = 0; Slot < File->AttributeSlots[Index]; Slot++) {
            const NtfsAttribute* Handle = File->AttributeList[Index][Slot];
            if (IsPiece(Handle)) {
                Count++;
                NameUnits += Handle->Name != nullptr ? std::char_traits<char16_t>::length(Handle->Name) + 1 : 0;
            }
        }
        if (!TryResize(&Entries_, Count) || !TryResize(&Skip_, Count + 1) || !TryResize(&Names_, NameUnits))
            return false;
        Count = 0;
        NameUnits = 0;
        for (uint32_t Slot = 0; Slot < File->AttributeSlots[Index]; Slot++) {
            NtfsAttribute* Handle = File->AttributeList[Index][Slot];
            if (!IsPiece(Handle))
                continue;
            Entry& Item = Entries_[Count++];
            Item = {Handle, Slot, Handle->TypeCode, Handle->LowestVcn, Unnamed};
            if (Handle->Name != nullptr) {
                size_t Units = std::char_traits<char16_t>::length(Handle->Name) + 1;
                memcpy(&Names_[NameUnits], Handle->Name, Units * sizeof(char16_t));
                Item.Name = NameUnits;
                NameUnits += Units;
            }
        }
        std::sort(Entries_.begin(), Entries_.end(), [this](const Entry& Left, const Entry& Right) {
            int Order = Compare(Left, Right.TypeCode, NameOf(Right), Right.LowestVcn);
            return Order != 0 ? Order < 0 : Left.Slot < Right.Slot;
        });
        for (size_t Position = 0; Position <= Count; Position++)
            Skip_[Position] = static_cast<uint32_t>(Position);
        return true;
    }

    // The first piece in slot order, other than Attribute, whose lowest VCN
    // is one past HighestVcn (modulo 2^64, like the VCN fields themselves),
    // with Attribute's type and name, that is still open and not taken
    // before; taken from now on. Null when there is none.
    NtfsAttribute* Take(const NtfsAttribute* Attribute, uint64_t HighestVcn)
    {
        uint64_t Vcn = HighestVcn + 1;
        auto First = std::lower_bound(Entries_.begin(), Entries_.end(), Attribute,
                                      [this, Vcn](const Entry& Item, const NtfsAttribute* Key) {
                                          return Compare(Item, Key->TypeCode, Key->Name, Vcn) < 0;
                                      });
        for (uint32_t Position = Live(static_cast<uint32_t>(First - Entries_.begin())); Position < Entries_.size();
             Position = Live(Position + 1)) {
            const Entry& Item = Entries_[Position];
            if (Compare(Item, Attribute->TypeCode, Attribute->Name, Vcn) != 0)
                return nullptr;
            if (Item.Handle == Attribute)
                continue;
            Skip_[Position] = Position + 1;
            // Closed by someone else since the index was built.
            if (File_->AttributeList[Index_][Item.Slot] != Item.Handle)
                continue;
            return Item.Handle;
        }
        return nullptr;
    }

private:
    static constexpr size_t Unnamed = SIZE_MAX;

    struct Entry {
        NtfsAttribute* Handle; // compared by address only: it may be closed
        uint32_t Slot;
        uint32_t TypeCode;
        uint64_t LowestVcn;
        size_t Name; // offset in Names_, or Unnamed
    };

    static bool IsPiece(const NtfsAttribute* Handle) { return Handle != nullptr && !Handle->Resident; }

    const char16_t* NameOf(const Entry& Item) const { return Item.Name == Unnamed ? nullptr : &Names_[Item.Name]; }

    int Compare(const Entry& Item, uint32_t TypeCode, const char16_t* Name, uint64_t LowestVcn) const
    {
        if (Item.TypeCode != TypeCode)
            return Item.TypeCode < TypeCode ? -1 : 1;
        int Order = CompareText(NameOf(Item), Name);
        if (Order != 0)
            return Order;
        return Item.LowestVcn == LowestVcn ? 0 : (Item.LowestVcn < LowestVcn ? -1 : 1);
    }

    // The first entry at or after Position not yet taken; taken entries point
    // onwards, and the walk shortens the chains it follows, so runs of taken
    // entries are crossed once rather than at every search.
    uint32_t Live(uint32_t Position)
    {
        uint32_t Root = Position;
        while (Skip_[Root] != Root)
            Root = Skip_[Root];
        while (Skip_[Position] != Root) {
            uint32_t Next = Skip_[Position];
            Skip_[Position] = Root;
            Position = Next;
        }
        return Root;
    }

    NtfsFile* File_ = nullptr;
    uint32_t Index_ = 0;
    std::vector<Entry> Entries_;
    std::vector<char16_t> Names_;
    // One more than the entries, the last being the end: it never moves.
    std::vector<uint32_t> Skip_;
};

// Appends to Attribute the runs of every piece that continues it, piece
// after piece, in one allocation, and closes the pieces.
DWORD MergeChain(NtfsAttribute* Attribute, PieceIndex* Pieces)
{
    std::vector<NtfsAttribute*> Chain;
    uint64_t Total = Attribute->RunCount;
    uint64_t HighestVcn = Attribute->HighestVcn;
    while (NtfsAttribute* Piece = Pieces->Take(Attribute, HighestVcn)) {
        if (!TryResize(&Chain, Chain.size() + 1))
            return ERROR_OUTOFMEMORY;
        Chain.back() = Piece;
        Total += Piece->RunCount;
        HighestVcn = Piece->HighestVcn;
    }
    if (Chain.empty())
        return ERROR_SUCCESS;
    if (Total > 0xFFFFFFFFull)
        return ERROR_INVALID_DATA;
    if (Total != Attribute->RunCount) {
        NtfsRun* Runs = static_cast<NtfsRun*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(Total) * sizeof(NtfsRun)));
        if (Runs == nullptr)
            return ERROR_OUTOFMEMORY;
        size_t Count = Attribute->RunCount;
        if (Count != 0)
            memcpy(Runs, Attribute->Runs, Count * sizeof(NtfsRun));
        for (NtfsAttribute* Piece : Chain) {
            if (Piece->RunCount != 0)
                memcpy(Runs + Count, Piece->Runs, Piece->RunCount * sizeof(NtfsRun));
            Count += Piece->RunCount;
        }
        if (Attribute->Runs != nullptr)
            HeapFree(GetProcessHeap(), 0, Attribute->Runs);
        Attribute->Runs = Runs;
        Attribute->RunCount = static_cast<uint32_t>(Total);
    }
    Attribute->HighestVcn = HighestVcn;
    for (NtfsAttribute* Piece : Chain) {
        DWORD Error = NtfsAttribute_Close(Piece);
        NTFS_ASSERT(Error != ERROR_FILE_NOT_FOUND);
        if (Error != ERROR_SUCCESS)
            return Error;
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD NtfsFile_MergeAttributes(NtfsFile* FileHandle, uint32_t Index)
{
    if (FileHandle == nullptr || Index > 1)
        return ERROR_INVALID_PARAMETER;
    PieceIndex Pieces;
    if (!Pieces.Build(FileHandle, Index))
        return ERROR_OUTOFMEMORY;
    uint32_t Slots = FileHandle->AttributeSlots[Index];
    for (uint32_t Slot = 0; Slot < Slots; Slot++) {
        NtfsAttribute* Attribute = FileHandle->AttributeList[Index][Slot];
        if (Attribute == nullptr || Attribute->LowestVcn != 0)
            continue;
        DWORD Error = MergeChain(Attribute, &Pieces);
        if (Error != ERROR_SUCCESS)
            return Error;
    }
    return ERROR_SUCCESS;
}

DWORD NtfsAttribute_MergeAll(NtfsAttribute* AttributeHandle)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || AttributeHandle->FileHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    PieceIndex Pieces;
    if (!Pieces.Build(AttributeHandle->FileHandle, AttributeHandle->Index))
        return ERROR_OUTOFMEMORY;
    return MergeChain(AttributeHandle, &Pieces);
}

// Appends the runs of the piece that continues this attribute (same type and
// name, lowest VCN one past this highest VCN) and closes the piece.
DWORD NtfsAttribute_MergeNext(NtfsAttribute* AttributeHandle)
{
    if (!NtfsAttribute_IsValid(AttributeHandle) || AttributeHandle->FileHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    NtfsFile* File = AttributeHandle->FileHandle;
    uint32_t Index = AttributeHandle->Index;
    NtfsAttribute* Piece = nullptr;
    for (uint32_t Slot = 0; Slot < File->AttributeSlots[Index] && Piece == nullptr; Slot++) {
        NtfsAttribute* Candidate = File->AttributeList[Index][Slot];
        if (Candidate != nullptr && Candidate != AttributeHandle && !Candidate->Resident &&
            Candidate->TypeCode == AttributeHandle->TypeCode &&
            NtfsAttribute_CompareNames(Candidate, AttributeHandle) == 0 &&
            Candidate->LowestVcn - AttributeHandle->HighestVcn == 1)
            Piece = Candidate;
    }
    if (Piece == nullptr)
        return ERROR_FILE_NOT_FOUND;

    uint64_t Total = static_cast<uint64_t>(AttributeHandle->RunCount) + Piece->RunCount;
    if (Total > 0xFFFFFFFFull)
        return ERROR_INVALID_DATA;
    if (Piece->RunCount != 0) {
        NtfsRun* Runs = static_cast<NtfsRun*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(Total) * sizeof(NtfsRun)));
        if (Runs == nullptr)
            return ERROR_OUTOFMEMORY;
        if (AttributeHandle->RunCount != 0)
            memcpy(Runs, AttributeHandle->Runs, AttributeHandle->RunCount * sizeof(NtfsRun));
        memcpy(Runs + AttributeHandle->RunCount, Piece->Runs, Piece->RunCount * sizeof(NtfsRun));
        if (AttributeHandle->Runs != nullptr)
            HeapFree(GetProcessHeap(), 0, AttributeHandle->Runs);
        AttributeHandle->Runs = Runs;
        AttributeHandle->RunCount = static_cast<uint32_t>(Total);
    }
    AttributeHandle->HighestVcn = Piece->HighestVcn;
    DWORD Error = NtfsAttribute_Close(Piece);
    NTFS_ASSERT(Error != ERROR_FILE_NOT_FOUND);
    return Error;
}

DWORD NtfsFile_IsRootDirectory(NtfsFile* FileHandle, BOOLEAN* IsRoot)
{
    if (!NtfsFile_IsValid(FileHandle) || IsRoot == nullptr)
        return ERROR_INVALID_PARAMETER;
    *IsRoot = NtfsReference_GetSegmentNumber(FileHandle->FileReference) == 5 ? 1 : 0;
    return ERROR_SUCCESS;
}
