// POSIX stand-ins for the Windows file API.
//
// A HANDLE points to a small record holding the descriptor. Share mode 0 asks
// for exclusive use: an advisory flock against other korvex processes, and on
// a block device O_EXCL, which the kernel refuses while the device is mounted.
// Other share modes take a shared lock, so an exclusive opener is refused
// while they are open, as on Windows.
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../device.h"
#include "../faults.h"
#include "../text.h"
#include "../win32.h"
#include "errors.h"

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

// The file position is kept here rather than in the descriptor, so that a
// positioning costs no system call: reads and writes go through pread and
// pwrite at the kept position.
struct PosixFile {
    int Descriptor;           // -1 for a memory file
    bool IsBlockDevice;
    uint64_t Position;
    const uint8_t* Memory;    // the bytes of a memory file, else null
    uint64_t MemorySize;
    uint64_t ReservedEnd = 0; // blocks are allocated ahead up to here
};

struct MemoryFile {
    std::u16string Name;
    const uint8_t* Data;
    size_t Size;
};

std::vector<MemoryFile> MemoryFiles;

struct ErrnoMapping {
    int Errno;
    DWORD Win32Error;
};

constexpr ErrnoMapping ErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_OUTOFMEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {ENXIO, ERROR_NOT_READY},
    {ENODEV, ERROR_NOT_READY},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EIO, ERROR_IO_DEVICE},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
};

PosixFile* FromHandle(HANDLE File)
{
    if (File == nullptr || File == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<PosixFile*>(File);
}

BOOL Fail(DWORD ErrorCode)
{
    LastError = ErrorCode;
    return FALSE;
}

// The size of a file, or of a block device's medium.
bool CurrentSize(const PosixFile* File, uint64_t* Size)
{
    if (File->Descriptor < 0) {
        *Size = File->MemorySize;
        return true;
    }
    if (File->IsBlockDevice)
        return ioctl(File->Descriptor, BLKGETSIZE64, Size) == 0;
    struct stat Status;
    if (fstat(File->Descriptor, &Status) != 0)
        return false;
    *Size = static_cast<uint64_t>(Status.st_size);
    return true;
}

} // namespace

DWORD Win32ErrorFromErrno(int Errno)
{
    for (const ErrnoMapping& Mapping : ErrnoTable)
        if (Mapping.Errno == Errno)
            return Mapping.Win32Error;
    return ERROR_IO_DEVICE;
}

DWORD GetLastError()
{
    return LastError;
}

void SetLastError(DWORD ErrorCode)
{
    LastError = ErrorCode;
}

HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode, void* /*SecurityAttributes*/,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE /*TemplateFile*/)
{
    std::string Path;
    if (FileName == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    for (const MemoryFile& Memory : MemoryFiles) {
        if (Memory.Name != FileName)
            continue;
        if ((DesiredAccess & GENERIC_WRITE) != 0 || CreationDisposition == CREATE_NEW) {
            Fail(CreationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        PosixFile* File = new (std::nothrow) PosixFile{-1, false, 0, Memory.Data, Memory.Size};
        if (File == nullptr) {
            Fail(ERROR_OUTOFMEMORY);
            return INVALID_HANDLE_VALUE;
        }
        LastError = ERROR_SUCCESS;
        return File;
    }
    if (!Text_Utf16ToPath(FileName, &Path) || Path.empty()) {
        Fail(Path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }

    int Flags = O_CLOEXEC;
    bool Reads = (DesiredAccess & GENERIC_READ) != 0;
    bool Writes = (DesiredAccess & GENERIC_WRITE) != 0;
    Flags |= Reads && Writes ? O_RDWR : Writes ? O_WRONLY : O_RDONLY;
    switch (CreationDisposition) {
    case CREATE_NEW: Flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: Flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: Flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: Flags |= O_TRUNC; break;
    default:
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    struct stat Before;
    bool IsBlockDevice = stat(Path.c_str(), &Before) == 0 && S_ISBLK(Before.st_mode);
    if (IsBlockDevice && ShareMode == 0)
        Flags |= O_EXCL;

    // Opening never waits: without O_NONBLOCK the open of a FIFO blocks until
    // the other end is opened, and some devices wait for a carrier. The flag
    // is dropped again below, so reads and writes behave as usual.
    int Descriptor;
    do {
        Descriptor = open(Path.c_str(), Flags | O_NONBLOCK, 0666);
    } while (Descriptor < 0 && errno == EINTR);
    if (Descriptor < 0) {
        DWORD Error = Win32ErrorFromErrno(errno);
        // Windows tells a missing folder on the way from a missing file.
        if (errno == ENOENT) {
            size_t Slash = Path.find_last_of('/');
            std::string Parent = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Path.substr(0, Slash);
            struct stat Folder;
            if (stat(Parent.c_str(), &Folder) != 0 || !S_ISDIR(Folder.st_mode))
                Error = ERROR_PATH_NOT_FOUND;
        }
        Fail(Error);
        return INVALID_HANDLE_VALUE;
    }

    // Windows does not open directories as files.
    struct stat After;
    if (fstat(Descriptor, &After) != 0 || S_ISDIR(After.st_mode)) {
        DWORD Error = S_ISDIR(After.st_mode) ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
        close(Descriptor);
        Fail(Error);
        return INVALID_HANDLE_VALUE;
    }

    int StatusFlags = fcntl(Descriptor, F_GETFL);
    if (StatusFlags < 0 || fcntl(Descriptor, F_SETFL, StatusFlags & ~O_NONBLOCK) != 0) {
        DWORD Error = Win32ErrorFromErrno(errno);
        close(Descriptor);
        Fail(Error);
        return INVALID_HANDLE_VALUE;
    }

    if (flock(Descriptor, (ShareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        DWORD Error = Win32ErrorFromErrno(errno);
        close(Descriptor);
        if (CreationDisposition == CREATE_NEW)
            unlink(Path.c_str());
        Fail(Error);
        return INVALID_HANDLE_VALUE;
    }

    // The name goes at once, so the file is gone when the handle is closed and
    // also when the process dies without closing it.
    if ((FlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0)
        unlink(Path.c_str());

    PosixFile* File = new (std::nothrow) PosixFile{Descriptor, IsBlockDevice, 0, nullptr, 0};
    if (File == nullptr) {
        close(Descriptor);
        Fail(ERROR_OUTOFMEMORY);
        return INVALID_HANDLE_VALUE;
    }
    LastError = ERROR_SUCCESS;
    return File;
}

namespace {

// The pipes of the copies and of the dropped reads, kept for the process once
// made: one per copy would cost more than a short run's copy. A pipe of 1 MiB
// (the default is 64 KiB) lets the destination take large writes, which cost
// the file system far less per byte; where the system refuses the size, the
// copy is the same, only slower.
int CopyPipe[2] = {-1, -1};
constexpr uint64_t CopyBatchBytes = 1 << 20;
int DropPipe[2] = {-1, -1};

// The bytes of deferred copies waiting in CopyPipe, and their destination.
PosixFile* PendingTo = nullptr;
DWORD PendingBytes = 0;

bool OpenPipe(int (&Pipe)[2])
{
    if (Pipe[0] >= 0)
        return true;
    if (pipe2(Pipe, O_CLOEXEC) != 0)
        return false;
    fcntl(Pipe[1], F_SETPIPE_SZ, 1 << 20);
    return true;
}

// Bytes left in a pipe would pass for the next copy's: a pipe whose bytes
// cannot all be passed on is closed, and the next copy makes a new one.
void ClosePipe(int (&Pipe)[2])
{
    close(Pipe[0]);
    close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
    if (&Pipe == &CopyPipe) {
        PendingTo = nullptr;
        PendingBytes = 0;
    }
}

// Writes the waiting bytes at the position of their destination and moves it
// on. ERROR_SUCCESS, or the code of the failed write (the rest is lost).
DWORD WritePending(int* FailedErrno = nullptr)
{
    PosixFile* To = PendingTo;
    if (To == nullptr)
        return ERROR_SUCCESS;
    loff_t Out = static_cast<loff_t>(To->Position);
    DWORD Error = ERROR_SUCCESS;
    while (PendingBytes > 0) {
        ssize_t Put = splice(CopyPipe[0], nullptr, To->Descriptor, &Out, PendingBytes, 0);
        if (Put <= 0) {
            Error = Put < 0 ? Win32ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
            if (FailedErrno != nullptr)
                *FailedErrno = Put < 0 ? errno : 0;
            ClosePipe(CopyPipe);
            break;
        }
        PendingBytes -= static_cast<DWORD>(Put);
    }
    To->Position = static_cast<uint64_t>(Out);
    PendingTo = nullptr;
    return Error;
}

// Any other use of a file first lets its deferred copies land, so that they
// stay invisible but for their timing.
DWORD Settle(const PosixFile* File)
{
    return File != nullptr && File == PendingTo ? WritePending() : ERROR_SUCCESS;
}

} // namespace

// Like Windows, a read returns fewer bytes than asked only at the end of the
// file; interrupted and partial reads are continued.
BOOL ReadFile(HANDLE Handle, void* Buffer, DWORD BytesToRead, DWORD* BytesRead, void* /*Overlapped*/)
{
    PosixFile* File = FromHandle(Handle);
    if (BytesRead != nullptr)
        *BytesRead = 0;
    if (File == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (DWORD Error = Settle(File); Error != ERROR_SUCCESS)
        return Fail(Error);
    if (Buffer == nullptr && BytesToRead != 0)
        return Fail(ERROR_INVALID_PARAMETER);

    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Read, &Kind, &FaultError)) {
        if (Kind == FaultKind::Fail)
            return Fail(FaultError);
        BytesToRead /= 2;
    }

    DWORD Total = 0;
    while (Total < BytesToRead) {
        ssize_t Got;
        if (File->Descriptor < 0) {
            uint64_t At = File->Position + Total;
            uint64_t Left = At < File->MemorySize ? File->MemorySize - At : 0;
            Got = static_cast<ssize_t>(Left < BytesToRead - Total ? Left : BytesToRead - Total);
            if (Got > 0)
                memcpy(static_cast<char*>(Buffer) + Total, File->Memory + At, static_cast<size_t>(Got));
        } else {
            Got = pread(File->Descriptor, static_cast<char*>(Buffer) + Total, BytesToRead - Total,
                        static_cast<off_t>(File->Position + Total));
        }
        if (Got < 0) {
            if (errno == EINTR)
                continue;
            return Fail(Win32ErrorFromErrno(errno));
        }
        if (Got == 0)
            break;
        Total += static_cast<DWORD>(Got);
    }
    File->Position += Total;
    if (BytesRead != nullptr)
        *BytesRead = Total;
    LastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WriteFile(HANDLE Handle, const void* Buffer, DWORD BytesToWrite, DWORD* BytesWritten, void* /*Overlapped*/)
{
    PosixFile* File = FromHandle(Handle);
    if (BytesWritten != nullptr)
        *BytesWritten = 0;
    if (File == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (DWORD Error = Settle(File); Error != ERROR_SUCCESS)
        return Fail(Error);
    if (Buffer == nullptr && BytesToWrite != 0)
        return Fail(ERROR_INVALID_PARAMETER);

    if (File->Descriptor < 0)
        return Fail(ERROR_ACCESS_DENIED);
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Write, &Kind, &FaultError)) {
        if (Kind == FaultKind::Fail)
            return Fail(FaultError);
        BytesToWrite /= 2;
    }

    DWORD Total = 0;
    while (Total < BytesToWrite) {
        ssize_t Put = pwrite(File->Descriptor, static_cast<const char*>(Buffer) + Total, BytesToWrite - Total,
                             static_cast<off_t>(File->Position + Total));
        if (Put < 0) {
            if (errno == EINTR)
                continue;
            return Fail(Win32ErrorFromErrno(errno));
        }
        Total += static_cast<DWORD>(Put);
    }
    File->Position += Total;
    if (BytesWritten != nullptr)
        *BytesWritten = Total;
    LastError = ERROR_SUCCESS;
    return TRUE;
}

// The 64-bit distance is split into a signed low half and, through the pointer,
// a high half; without the pointer the low half alone is a signed distance.
// The new position comes back the same way. INVALID_SET_FILE_POINTER is a
// failure only when the last error is non-zero, since it is also the low half
// of valid positions.
DWORD SetFilePointer(HANDLE Handle, LONG DistanceToMove, LONG* DistanceToMoveHigh, DWORD MoveMethod)
{
    PosixFile* File = FromHandle(Handle);
    if (File == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    if (DWORD Error = Settle(File); Error != ERROR_SUCCESS) {
        Fail(Error);
        return INVALID_SET_FILE_POINTER;
    }
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Seek, &Kind, &FaultError)) {
        Fail(FaultError);
        return INVALID_SET_FILE_POINTER;
    }

    int64_t Distance = DistanceToMove;
    if (DistanceToMoveHigh != nullptr)
        Distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*DistanceToMoveHigh)) << 32) |
                                        static_cast<uint32_t>(DistanceToMove));
    uint64_t Base;
    switch (MoveMethod) {
    case FILE_BEGIN:
        Base = 0;
        break;
    case FILE_CURRENT:
        Base = File->Position;
        break;
    case FILE_END:
        if (!CurrentSize(File, &Base)) {
            Fail(Win32ErrorFromErrno(errno));
            return INVALID_SET_FILE_POINTER;
        }
        break;
    default:
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Positions are signed 64-bit quantities on both systems.
    int64_t Position;
    if (__builtin_add_overflow(static_cast<int64_t>(Base), Distance, &Position) || Position < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    uint64_t NewPosition = static_cast<uint64_t>(Position);
    File->Position = NewPosition;
    if (DistanceToMoveHigh != nullptr)
        *DistanceToMoveHigh = static_cast<LONG>(NewPosition >> 32);
    LastError = ERROR_SUCCESS;
    return static_cast<DWORD>(NewPosition);
}

BOOL SetEndOfFile(HANDLE Handle)
{
    PosixFile* File = FromHandle(Handle);
    if (File == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (DWORD Error = Settle(File); Error != ERROR_SUCCESS)
        return Fail(Error);
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::SetEnd, &Kind, &FaultError))
        return Fail(FaultError);
    if (File->Descriptor < 0)
        return Fail(ERROR_ACCESS_DENIED);
    File->ReservedEnd = 0;
    if (ftruncate(File->Descriptor, static_cast<off_t>(File->Position)) != 0)
        return Fail(Win32ErrorFromErrno(errno));
    LastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE Handle, LARGE_INTEGER* FileSize)
{
    PosixFile* File = FromHandle(Handle);
    if (File == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (FileSize == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::FileSize, &Kind, &FaultError))
        return Fail(FaultError);
    uint64_t Bytes = 0;
    if (!CurrentSize(File, &Bytes))
        return Fail(Win32ErrorFromErrno(errno));
    FileSize->QuadPart = static_cast<LONGLONG>(Bytes);
    LastError = ERROR_SUCCESS;
    return TRUE;
}

// Regular files are FILE_TYPE_DISK, like files and volumes on Windows;
// character devices FILE_TYPE_CHAR; FIFOs and sockets FILE_TYPE_PIPE. A block
// device is FILE_TYPE_UNKNOWN: Windows reaches volumes only by their device
// names, never as a file, so a caller that asks for a file must not take one.
DWORD GetFileType(HANDLE Handle)
{
    PosixFile* File = FromHandle(Handle);
    if (File == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    LastError = ERROR_SUCCESS;
    if (File->Descriptor < 0)
        return FILE_TYPE_DISK;
    struct stat Status;
    if (fstat(File->Descriptor, &Status) != 0) {
        Fail(Win32ErrorFromErrno(errno));
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISREG(Status.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISCHR(Status.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(Status.st_mode) || S_ISSOCK(Status.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL CloseHandle(HANDLE Handle)
{
    PosixFile* File = FromHandle(Handle);
    if (File == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    FaultKind Kind;
    DWORD FaultError;
    bool Spoiled = Fault_Hit(FaultPoint::Close, &Kind, &FaultError);
    // Deferred copies still on their way are written before the file goes,
    // and blocks allocated past its end are given back.
    DWORD PendingError = Settle(File);
    uint64_t Size = 0;
    if (File->ReservedEnd != 0 && CurrentSize(File, &Size) && Size < File->ReservedEnd &&
        ftruncate(File->Descriptor, static_cast<off_t>(Size)) != 0 && PendingError == ERROR_SUCCESS)
        PendingError = Win32ErrorFromErrno(errno);
    int Result = File->Descriptor >= 0 ? close(File->Descriptor) : 0;
    int CloseErrno = errno;
    delete File;
    if (Spoiled)
        return Fail(FaultError);
    if (PendingError != ERROR_SUCCESS)
        return Fail(PendingError);
    // The descriptor is gone even when close reports an error.
    if (Result != 0 && CloseErrno != EINTR)
        return Fail(Win32ErrorFromErrno(CloseErrno));
    LastError = ERROR_SUCCESS;
    return TRUE;
}

// A block device reports its logical sector size; nothing else needs aligned
// reads here.
DWORD Device_SectorSize(HANDLE Handle)
{
    PosixFile* File = FromHandle(Handle);
    int SectorSize = 0;
    if (File == nullptr || !File->IsBlockDevice || ioctl(File->Descriptor, BLKSSZGET, &SectorSize) != 0 ||
        SectorSize <= 0)
        return 1;
    return static_cast<DWORD>(SectorSize);
}


// The kernel moves the bytes from file to file through a pipe: splice links
// the page cache of File into the pipe without copying and copies it once
// into Destination, so the bytes never come up into this process. A
// deferred copy leaves its bytes in the pipe until they reach a megabyte
// boundary of the file, the pipe is full, the copy fails or
// Device_FinishCopies: scattered runs then reach the file in writes of a
// megabyte. The source may be any file or block device. Memory files have no
// descriptor, and without a pipe there is no splice: false, and the caller
// copies through a buffer. The fault points of ReadFile and WriteFile stand
// for the two sides.
bool Device_SystemCopy(HANDLE Source, uint64_t Offset, DWORD Length, DWORD Unit, HANDLE Destination, bool Later,
                       DWORD* Done, BOOL* Copied, CopyFailure* Failed)
{
    PosixFile* From = FromHandle(Source);
    PosixFile* To = FromHandle(Destination);
    if (From == nullptr || To == nullptr || From->Descriptor < 0 || To->Descriptor < 0 || !OpenPipe(CopyPipe))
        return false;
    *Done = 0;
    *Copied = FALSE;
    *Failed = CopyFailure::Write;
    // Bytes waiting for another file go there first.
    if (PendingTo != To) {
        DWORD Error = WritePending();
        if (Error != ERROR_SUCCESS) {
            Fail(Error);
            return true;
        }
    }
    DWORD Asked = Length;
    DWORD Shortened = ERROR_SUCCESS;
    DWORD Failure = ERROR_SUCCESS;
    CopyFailure Side = CopyFailure::None;
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Read, &Kind, &FaultError)) {
        if (Kind == FaultKind::Fail) {
            Failure = FaultError;
            Side = CopyFailure::Read;
            Asked = 0;
        } else {
            Asked /= 2; // the source ends half-way
        }
    }
    if (Failure == ERROR_SUCCESS && Fault_Hit(FaultPoint::Write, &Kind, &FaultError)) {
        if (Kind == FaultKind::Fail) {
            ClosePipe(CopyPipe); // what waited is lost with the write
            Fail(FaultError);
            return true;
        }
        Asked /= 2; // the destination takes half
        Shortened = ERROR_WRITE_FAULT;
    }
    // Blocks allocated ahead spare the file system its delayed allocation;
    // deferred copies allocate whole megabytes, the tail of the last one is
    // given back when the file closes.
    uint64_t Start = To->Position + PendingBytes;
    if (Asked != 0 && Start + Asked > To->ReservedEnd) {
        uint64_t Reserve = Start > To->ReservedEnd ? Start : To->ReservedEnd;
        uint64_t End = Start + Asked;
        if (Later)
            End += (CopyBatchBytes - End % CopyBatchBytes) % CopyBatchBytes;
        if (fallocate(To->Descriptor, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Reserve),
                      static_cast<off_t>(End - Reserve)) == 0)
            To->ReservedEnd = End;
    }
    loff_t In = static_cast<loff_t>(Offset);
    int FailedErrno = 0;
    DWORD Total = 0;
    // No signal handler is installed, so no signal interrupts the copy. An
    // empty pipe takes what fits without waiting; one with bytes in it must
    // not wait for room that only this process could make.
    while (Failure == ERROR_SUCCESS && Total < Asked) {
        // Waiting bytes go out when they reach a megabyte boundary of the
        // file: writes of whole aligned megabytes let the page cache of the
        // destination use its largest pages.
        uint64_t Room = CopyBatchBytes - (To->Position + PendingBytes) % CopyBatchBytes;
        size_t Want = Asked - Total < Room ? Asked - Total : static_cast<size_t>(Room);
        unsigned Flags = PendingBytes != 0 ? SPLICE_F_NONBLOCK : 0;
        ssize_t Taken = splice(From->Descriptor, &In, CopyPipe[1], nullptr, Want, Flags);
        if (Taken < 0 && errno == EAGAIN && PendingBytes != 0) {
            Failure = WritePending();
            Side = CopyFailure::Write;
            continue;
        }
        if (Taken <= 0) {
            FailedErrno = Taken < 0 ? errno : 0;
            Failure = Taken < 0 ? Win32ErrorFromErrno(FailedErrno) : ERROR_SUCCESS;
            Side = CopyFailure::Read;
            break; // failed, or the source ended
        }
        Total += static_cast<DWORD>(Taken);
        PendingBytes += static_cast<DWORD>(Taken);
        PendingTo = To;
        if ((To->Position + PendingBytes) % CopyBatchBytes == 0) {
            Failure = WritePending();
            Side = CopyFailure::Write;
        }
    }
    bool Ended = Failure != ERROR_SUCCESS || Total < Length || Shortened != ERROR_SUCCESS;
    if (Ended || !Later) {
        DWORD Error = WritePending(&FailedErrno);
        if (Failure == ERROR_SUCCESS && Error != ERROR_SUCCESS) {
            Failure = Error;
            Side = CopyFailure::Write;
            Ended = true;
        }
    }
    DWORD Whole = Total;
    if (Ended) {
        // A copy that stopped early ends at its last whole unit: a unit cut
        // short is taken back, and so are the blocks allocated past the end.
        uint64_t Landed = To->Position > Start ? To->Position - Start : 0;
        Whole = static_cast<DWORD>(Landed < Total ? Landed : Total);
        Whole -= Whole % Unit;
        // Earlier copies that did not land whole end the file where they
        // stopped: it never grows past what was written.
        uint64_t End = To->Position < Start ? To->Position : Start + Whole;
        To->ReservedEnd = 0;
        if (ftruncate(To->Descriptor, static_cast<off_t>(End)) != 0 && Failure == ERROR_SUCCESS) {
            Failure = Win32ErrorFromErrno(errno);
            Side = CopyFailure::Write;
        }
        if (To->Position > End)
            To->Position = End;
    }
    // A file that cannot be spliced (a file system without the support, a
    // file opened for appending) refuses the first transfer: nothing was
    // copied, and the caller copies through a buffer.
    if (Whole == 0 && To->Position == Start && FailedErrno == EINVAL)
        return false;
    if (Failure == ERROR_SUCCESS && Shortened != ERROR_SUCCESS) {
        Failure = Shortened;
        Side = CopyFailure::Write;
    }
    *Done = Whole;
    *Copied = Failure == ERROR_SUCCESS;
    *Failed = Failure == ERROR_SUCCESS ? CopyFailure::None : Side;
    LastError = Failure;
    return true;
}

BOOL Device_FinishCopies(HANDLE Destination)
{
    PosixFile* To = FromHandle(Destination);
    if (To == nullptr || To != PendingTo) {
        LastError = ERROR_SUCCESS;
        return TRUE;
    }
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Write, &Kind, &FaultError)) {
        ClosePipe(CopyPipe);
        return Fail(Kind == FaultKind::Fail ? FaultError : ERROR_WRITE_FAULT);
    }
    DWORD Error = WritePending();
    if (Error != ERROR_SUCCESS)
        return Fail(Error);
    LastError = ERROR_SUCCESS;
    return TRUE;
}

// A read whose bytes nobody keeps: splice links the page cache of File into
// a pipe of its own, and from there into /dev/null, which takes the pages
// without touching them. The device still reads every sector (a bad one fails
// the splice), but no byte is copied. False, and the caller reads through a
// buffer, where there is no descriptor, pipe or /dev/null, or the file cannot
// be spliced. The fault point of ReadFile stands for the source.
bool Device_SystemDrop(HANDLE Source, uint64_t Offset, DWORD Length, DWORD* Done, BOOL* Read)
{
    static int Sink = -1;
    PosixFile* From = FromHandle(Source);
    if (From == nullptr || From->Descriptor < 0)
        return false;
    if (Sink < 0 && (Sink = open("/dev/null", O_WRONLY | O_CLOEXEC)) < 0)
        return false;
    if (!OpenPipe(DropPipe))
        return false;
    *Done = 0;
    *Read = FALSE;
    DWORD Asked = Length;
    FaultKind Kind;
    DWORD FaultError;
    if (Fault_Hit(FaultPoint::Read, &Kind, &FaultError)) {
        if (Kind == FaultKind::Fail) {
            Fail(FaultError);
            return true;
        }
        Asked /= 2; // the source ends half-way
    }
    loff_t In = static_cast<loff_t>(Offset);
    DWORD Failure = ERROR_SUCCESS;
    int FailedErrno = 0;
    DWORD Total = 0;
    while (Failure == ERROR_SUCCESS && Total < Asked) {
        ssize_t Taken = splice(From->Descriptor, &In, DropPipe[1], nullptr, Asked - Total, 0);
        if (Taken <= 0) {
            FailedErrno = Taken < 0 ? errno : 0;
            Failure = Taken < 0 ? Win32ErrorFromErrno(FailedErrno) : ERROR_SUCCESS;
            break; // failed, or the source ended
        }
        Total += static_cast<DWORD>(Taken);
        while (Taken > 0) {
            ssize_t Put = splice(DropPipe[0], nullptr, Sink, nullptr, static_cast<size_t>(Taken), 0);
            if (Put <= 0) {
                ClosePipe(DropPipe);
                Failure = Put < 0 ? Win32ErrorFromErrno(errno) : ERROR_READ_FAULT;
                break;
            }
            Taken -= Put;
        }
    }
    if (Total == 0 && FailedErrno == EINVAL)
        return false;
    *Done = Total;
    *Read = Failure == ERROR_SUCCESS;
    LastError = Failure;
    return true;
}

// GetFileSizeEx already measures block devices here.
BOOL Device_GetSize(HANDLE File, LARGE_INTEGER* Size)
{
    return GetFileSizeEx(File, Size);
}

void Platform_AddMemoryFile(const char16_t* Name, const uint8_t* Data, size_t Size)
{
    Platform_RemoveMemoryFile(Name);
    MemoryFiles.push_back({Name, Data, Size});
}

void Platform_RemoveMemoryFile(const char16_t* Name)
{
    for (size_t i = 0; i < MemoryFiles.size(); i++) {
        if (MemoryFiles[i].Name == Name) {
            MemoryFiles.erase(MemoryFiles.begin() + static_cast<long>(i));
            return;
        }
    }
}
