// Reads and size of a volume device, the one place where a raw disk differs
// from a file: a device accepts only reads whose offset and length are whole
// sectors, and the size query for files may not apply to it.
#pragma once

#include <cstdint>

#include "win32.h"

// The unit in which reads of File must be aligned: the logical sector size of
// a disk or volume device, 1 for anything else (files, images, logs).
DWORD Device_SectorSize(HANDLE File);

// The size in bytes of a file or a volume device. Failure: FALSE with the code
// of the failed query through GetLastError.
BOOL Device_GetSize(HANDLE File, LARGE_INTEGER* Size);

// Reads Length bytes at byte Offset of File into Buffer. When Offset or Length
// is not a multiple of SectorSize, reads the whole sectors that hold the range
// into an aligned block of its own and copies the asked part out, so that the
// device only ever sees aligned requests. *Done: the bytes delivered (fewer
// than Length only at the end of the device). Failure: FALSE with the code of
// the failed positioning or read through GetLastError, ERROR_OUTOFMEMORY when
// the aligned block cannot be allocated, ERROR_INVALID_PARAMETER for a range
// that cannot be rounded out.
BOOL Device_ReadAt(HANDLE File, uint64_t Offset, void* Buffer, DWORD Length, DWORD SectorSize, DWORD* Done);

// Which side of a failed copy failed.
enum class CopyFailure { None, Read, Write };

// Appends to Destination, at its current position, the Length bytes at byte
// Offset of File, Unit bytes at a time: a unit is appended only when all of it
// was read, so after a failed or short read Destination ends with the last
// whole unit before it. Length must be a multiple of Unit. Where the system
// can, the bytes go from file to file without passing through this process;
// elsewhere through an aligned buffer, read as Device_ReadAt reads. *Done: the
// bytes appended (whole units, unless a write failed part-way). TRUE when all
// were copied or File ended first (*Done < Length); FALSE with the code
// through GetLastError when a read, a write or the buffer failed,
// ERROR_WRITE_FAULT when a write took fewer bytes than asked; *Failed (may be
// null) says which side failed.
//
// With Later, the system may keep the bytes on their way, with those of
// earlier such copies to Destination (about a megabyte in all), and write
// them together: many short copies then cost the file system a few large
// writes. They land before anything else reads, writes, moves or closes
// Destination, at Device_FinishCopies, or when a copy ends early (which then
// leaves Destination as described above).
BOOL Device_CopyToFile(HANDLE File, uint64_t Offset, DWORD Length, DWORD SectorSize, DWORD Unit, HANDLE Destination,
                       bool Later, DWORD* Done, CopyFailure* Failed);

// Writes the bytes of deferred copies still on their way to Destination.
// Failure: FALSE with the code of the failed write through GetLastError.
BOOL Device_FinishCopies(HANDLE Destination);

// Reads Length bytes at byte Offset of File as Device_ReadAt does, without
// delivering them: for a caller that needs only to know that they can be read.
// Where the system can, the bytes never enter this process; elsewhere they
// pass through an aligned buffer. *Done and the result as for Device_ReadAt.
BOOL Device_ReadAndDrop(HANDLE File, uint64_t Offset, DWORD Length, DWORD SectorSize, DWORD* Done);

// The system's own copy behind Device_CopyToFile, with its contract: false
// when the system cannot copy between these two handles (then nothing was
// done), else true with the copy's result in *Copied.
bool Device_SystemCopy(HANDLE File, uint64_t Offset, DWORD Length, DWORD Unit, HANDLE Destination, bool Later,
                       DWORD* Done, BOOL* Copied, CopyFailure* Failed);

// The system's own dropped read behind Device_ReadAndDrop, with the same
// contract: false when the system cannot read File so (nothing was read), else
// true with the read's result in *Read.
bool Device_SystemDrop(HANDLE File, uint64_t Offset, DWORD Length, DWORD* Done, BOOL* Read);
