// Volume devices on Windows: the sector size and the size come from the disk
// driver, since a volume handle is not a file.
#include "../device.h"

// After <windows.h>, which it builds on.
#include <winioctl.h>

DWORD Device_SectorSize(HANDLE File)
{
    // A file refuses the query; its reads need no alignment. The caller's
    // last error stays as it was.
    DWORD Error = GetLastError();
    DISK_GEOMETRY Geometry{};
    DWORD Returned = 0;
    BOOL Known = DeviceIoControl(File, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &Geometry, sizeof(Geometry),
                                 &Returned, nullptr);
    SetLastError(Error);
    if (!Known || Returned < sizeof(Geometry) || Geometry.BytesPerSector == 0)
        return 1;
    return Geometry.BytesPerSector;
}

// GetFileSizeEx measures files; on a volume device it fails (or finds
// nothing), and the disk driver's length is the size.
BOOL Device_GetSize(HANDLE File, LARGE_INTEGER* Size)
{
    BOOL Measured = GetFileSizeEx(File, Size);
    if (Measured && Size->QuadPart > 0)
        return TRUE;
    DWORD Error = GetLastError();
    GET_LENGTH_INFORMATION Length{};
    DWORD Returned = 0;
    if (DeviceIoControl(File, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &Length, sizeof(Length), &Returned, nullptr) &&
        Returned >= sizeof(Length)) {
        Size->QuadPart = Length.Length.QuadPart;
        return TRUE;
    }
    SetLastError(Error);
    return Measured;
}

// Windows has no copy from a volume handle to a file that skips the process,
// so every copy goes through the aligned buffer, at once.
bool Device_SystemCopy(HANDLE /*File*/, uint64_t /*Offset*/, DWORD /*Length*/, DWORD /*Unit*/, HANDLE /*Destination*/,
                       bool /*Later*/, DWORD* /*Done*/, BOOL* /*Copied*/, CopyFailure* /*Failed*/)
{
    return false;
}

BOOL Device_FinishCopies(HANDLE /*Destination*/)
{
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Nor one that reads without delivering: a dropped read goes through a buffer.
bool Device_SystemDrop(HANDLE /*File*/, uint64_t /*Offset*/, DWORD /*Length*/, DWORD* /*Done*/, BOOL* /*Read*/)
{
    return false;
}
