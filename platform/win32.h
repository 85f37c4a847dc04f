// Win32 types, constants, error codes and the subset of the Windows API that
// korvex calls. On Windows these names come from <windows.h>; elsewhere the
// definitions below and the POSIX implementations in posix/ stand in.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The tool's text is char16_t; the API's wchar_t is the same UTF-16 code unit
// here, so names are handed over as they are.
static_assert(sizeof(wchar_t) == 2, "wide API text must be UTF-16 code units");

inline HANDLE CreateFileW(const char16_t* FileName, DWORD DesiredAccess, DWORD ShareMode, void* SecurityAttributes,
                          DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE TemplateFile)
{
    return CreateFileW(reinterpret_cast<const wchar_t*>(FileName), DesiredAccess, ShareMode,
                       static_cast<LPSECURITY_ATTRIBUTES>(SecurityAttributes), CreationDisposition,
                       FlagsAndAttributes, TemplateFile);
}

#else

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOL = int;
using BOOLEAN = uint8_t;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0));

struct LARGE_INTEGER {
    LONGLONG QuadPart;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// Error codes (winerror.h values).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_UNRECOGNIZED_VOLUME = 1005;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_UNKNOWN_REVISION = 1305;
constexpr DWORD ERROR_INVALID_ACL = 1336;
constexpr DWORD ERROR_INVALID_SID = 1337;
constexpr DWORD ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// CreateFileW access, share modes, dispositions and flags.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;

// GetFileType results.
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

constexpr DWORD HEAP_ZERO_MEMORY = 0x8;

// Last-error slot of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD ErrorCode);

// File API.
HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode, void* SecurityAttributes,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE TemplateFile);
BOOL ReadFile(HANDLE File, void* Buffer, DWORD BytesToRead, DWORD* BytesRead, void* Overlapped);
BOOL WriteFile(HANDLE File, const void* Buffer, DWORD BytesToWrite, DWORD* BytesWritten, void* Overlapped);
DWORD SetFilePointer(HANDLE File, LONG DistanceToMove, LONG* DistanceToMoveHigh, DWORD MoveMethod);
BOOL SetEndOfFile(HANDLE File);
BOOL GetFileSizeEx(HANDLE File, LARGE_INTEGER* FileSize);
DWORD GetFileType(HANDLE File);
BOOL CloseHandle(HANDLE Object);

// Process heap.
HANDLE GetProcessHeap();
void* HeapAlloc(HANDLE Heap, DWORD Flags, size_t Bytes);
BOOL HeapFree(HANDLE Heap, DWORD Flags, void* Memory);

// Time conversion.
BOOL FileTimeToLocalFileTime(const FILETIME* FileTime, FILETIME* LocalFileTime);
BOOL FileTimeToSystemTime(const FILETIME* FileTime, SYSTEMTIME* SystemTime);

#endif
