// Pipe seam: in the test build of the library (VELTO_PIPE_SEAM), the
// enumeration of device interfaces and the opening of device paths go to a
// device bus that the test process serves on named pipes (SeamBus.h), so that
// the library runs against simulated printers on the real Win32 API. Every
// other call (reads, writes, overlapped I/O, waits) is the system's own.
//
// The test build force-includes this header into the library's sources; the
// production library never sees it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#ifdef __cplusplus
extern "C" {
#endif

HDEVINFO WINAPI SeamSetupDiGetClassDevsA(const GUID *pClassGuid, PCSTR pszEnumerator,
                                         HWND hwndParent, DWORD dwFlags);
BOOL WINAPI SeamSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData,
                                            const GUID *pInterfaceClassGuid, DWORD dwMemberIndex,
                                            PSP_DEVICE_INTERFACE_DATA pInterfaceData);
BOOL WINAPI SeamSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo,
                                                 PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                                                 DWORD dwDetailSize, PDWORD pdwRequiredSize,
                                                 PSP_DEVINFO_DATA pDevInfoData);
BOOL WINAPI SeamSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo);
HANDLE WINAPI SeamCreateFileA(LPCSTR pszFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES pSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile);

#ifdef __cplusplus
}
#endif

#ifndef VELTO_SEAM_IMPL
#undef SetupDiGetClassDevs
#undef SetupDiGetDeviceInterfaceDetail
#undef CreateFile
#define SetupDiGetClassDevsA SeamSetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces SeamSetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA SeamSetupDiGetDeviceInterfaceDetailA
#define SetupDiDestroyDeviceInfoList SeamSetupDiDestroyDeviceInfoList
#define CreateFileA SeamCreateFileA
#define SetupDiGetClassDevs SeamSetupDiGetClassDevsA
#define SetupDiGetDeviceInterfaceDetail SeamSetupDiGetDeviceInterfaceDetailA
#define CreateFile SeamCreateFileA
#endif
