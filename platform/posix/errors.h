// The one table that turns errno values into Win32 error codes.
#pragma once

#include "../win32.h"

DWORD Win32ErrorFromErrno(int Errno);
