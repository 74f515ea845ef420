// The library's only door to the operating system.
//
// On Windows this is the real Win32 API. Elsewhere it is our emulation of the
// few Win32 calls the library makes (libwin32emu), with the same names, types,
// constants and results, so that the library's sources compile unchanged for
// both.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// After windows.h, which they build on.
#include <cfgmgr32.h>
#include <setupapi.h>

// Serial time-out requests: defined by the driver kit, not by the SDK headers.
#ifndef IOCTL_SERIAL_SET_TIMEOUTS
#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B001CUL
#endif
// Not in every SDK's winerror.h.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif
#ifndef IOCTL_SERIAL_GET_TIMEOUTS
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0020UL
#endif
// The USB printer class requests of usbprint.sys: usbprint.h is a driver kit
// header. CTL_CODE(FILE_DEVICE_UNKNOWN, 12 and 13, METHOD_BUFFERED,
// FILE_ANY_ACCESS).
#ifndef IOCTL_USBPRINT_GET_LPT_STATUS
#define IOCTL_USBPRINT_GET_LPT_STATUS 0x00220030UL
#endif
#ifndef IOCTL_USBPRINT_GET_1284_ID
#define IOCTL_USBPRINT_GET_1284_ID 0x00220034UL
#endif
#else
#include "velto/win32emu.h"
#endif
