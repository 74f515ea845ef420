// Win32 subset emulated on POSIX (libwin32emu).
//
// Only what veltousb and its tests use. Every function keeps the Win32
// contract: it sets the thread's last-error value on failure (and leaves it
// alone on success unless Windows documents otherwise). Functions that may
// block say so. The kernel behind them is one process-wide lock with one
// condition variable and a monotonic clock; see platform/README.md.
#pragma once

#if defined(_WIN32)
#error "win32emu.h is the POSIX emulation; include velto/platform.h instead"
#endif

#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#if defined(WIN32EMU_BUILD)
#define WIN32EMU_API __attribute__((visibility("default")))
#else
#define WIN32EMU_API
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY

// ---- Types (ILP32 Windows widths on any POSIX data model) ----
typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef BYTE *PBYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef void *PVOID, *LPVOID, *HANDLE, *HLOCAL, *HGLOBAL, *HWND, *HDEVINFO;
typedef const void *LPCVOID;
typedef char *LPSTR, *PSTR;
typedef const char *LPCSTR, *PCSTR;
typedef DWORD *LPDWORD, *PDWORD;
typedef BOOL *LPBOOL;
typedef const HANDLE *LPCHANDLE;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // status: STATUS_PENDING while in flight, else a Win32 error code
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// A critical section: the emulation keeps its lock object in DebugInfo; the
// other fields are there for the layout's sake and stay 0.
typedef struct _RTL_CRITICAL_SECTION {
  void *DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

// A slim reader/writer lock. A waiting exclusive acquisition holds back new
// shared ones, as on Windows, so that a writer is not starved.
typedef struct _RTL_SRWLOCK {
  pthread_rwlock_t Lock;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT \
  { PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP }

// A condition variable. The emulation keeps its counters here (Windows has
// no call that deletes one, so nothing is allocated for it); all stay 0 in a
// fresh one.
typedef struct _RTL_CONDITION_VARIABLE {
  ULONG Entered;     // sleeps begun
  ULONG Wakes;       // sleepers chosen to wake, and sleeps timed out
  ULONG Taken;       // of those, the ones that have left
  ULONG Broadcasts;  // WakeAllConditionVariable calls that found sleepers
} CONDITION_VARIABLE, *PCONDITION_VARIABLE;
#define CONDITION_VARIABLE_INIT \
  { 0, 0, 0, 0 }
#define CONDITION_VARIABLE_LOCKMODE_SHARED 0x1u

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// SetupAPI records. The layout follows the 32-bit Windows one where the
// library depends on it (cbSize of the detail record is its fixed part).
#pragma pack(push, 4)
typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

#pragma pack(push, 1)
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
#pragma pack(pop)

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
#pragma pack(pop)

// The configuration manager's device nodes: a DEVINST names one, a
// CONFIGRET is a CR_* result (the CM_* calls do not set the last error).
typedef DWORD DEVINST, *PDEVINST;
typedef DWORD CONFIGRET;

// ---- Constants ----
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAXDWORD 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STATUS_PENDING 0x00000103u
#define STILL_ACTIVE 0x00000103u
#define THREAD_TERMINATE 0x0001u
#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define CREATE_SUSPENDED 0x00000004u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B001Cu
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0020u
// The printer class driver's: its 1284 status byte and its device id.
#define IOCTL_USBPRINT_GET_LPT_STATUS 0x00220030u
#define IOCTL_USBPRINT_GET_1284_ID 0x00220034u

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

// Device registry properties (SetupDiGetDeviceRegistryPropertyA) and the
// types of their values.
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_MFG 0x0000000Bu
#define SPDRP_FRIENDLYNAME 0x0000000Cu
#define SPDRP_LOCATION_INFORMATION 0x0000000Du
#define SPDRP_LOCATION_PATHS 0x00000023u
#define SPDRP_MAXIMUM_PROPERTY 0x00000025u
#define REG_SZ 1u
#define REG_MULTI_SZ 7u

// Results of the CM_* calls; a device instance id holds at most
// MAX_DEVICE_ID_LEN - 1 characters.
#define CR_SUCCESS 0x00000000u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013u
#define CR_BUFFER_SMALL 0x0000001Au
#define MAX_DEVICE_ID_LEN 200

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define CP_ACP 0u
#define CP_UTF8 65001u
#define MB_PRECOMPOSED 0x00000001u
#define MB_ERR_INVALID_CHARS 0x00000008u

// ---- Error codes ----
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_COMMAND 22L
#define ERROR_CRC 23L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NO_SUCH_DEVICE 433L
#define ERROR_DISCARDED 157L
#define ERROR_NOT_LOCKED 158L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_INVALID_REG_PROPERTY 0x209L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L

#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != STATUS_PENDING)

#ifdef __cplusplus
extern "C" {
#endif

// ---- Last error (per thread; never blocks) ----
WIN32EMU_API DWORD WINAPI GetLastError(void);
WIN32EMU_API void WINAPI SetLastError(DWORD dwErrCode);

// ---- Handles and synchronisation ----
WIN32EMU_API BOOL WINAPI CloseHandle(HANDLE hObject);
// A name makes the event reachable by OpenEventA until its last handle is
// closed; a second create of the name opens the existing event (last error
// ERROR_ALREADY_EXISTS, its state unchanged).
WIN32EMU_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                        BOOL bInitialState, LPCSTR lpName);
// Opens the event of that name. Blocks: no. No such event: NULL
// (ERROR_FILE_NOT_FOUND); NULL name: NULL (ERROR_INVALID_PARAMETER). The
// access mask and inheritance are not checked.
WIN32EMU_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
WIN32EMU_API BOOL WINAPI SetEvent(HANDLE hEvent);
WIN32EMU_API BOOL WINAPI ResetEvent(HANDLE hEvent);
WIN32EMU_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                        LPCSTR lpName);
WIN32EMU_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);
WIN32EMU_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                        SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                        LPVOID lpParameter, DWORD dwCreationFlags,
                                        LPDWORD lpThreadId);
WIN32EMU_API DWORD WINAPI ResumeThread(HANDLE hThread);
WIN32EMU_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WIN32EMU_API DWORD WINAPI GetCurrentThreadId(void);
// A new handle to the thread with id dwThreadId: one made by CreateThread or
// any other thread that has called into the emulation and not yet ended.
// Blocks: no. Unknown id: NULL (ERROR_INVALID_PARAMETER).
WIN32EMU_API HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId);
// Ends the synchronous I/O request that thread hThread is blocked in (or
// waits to start on a synchronous file object) with ERROR_OPERATION_ABORTED.
// Blocks: no. No such request: FALSE (ERROR_NOT_FOUND); not a thread:
// FALSE (ERROR_INVALID_HANDLE).
WIN32EMU_API BOOL WINAPI CancelSynchronousIo(HANDLE hThread);
// At least dwMilliseconds, rounded up to the timer's granularity when one is
// set (SimSetTimerGranularity); 0 yields. Blocks: yes.
WIN32EMU_API void WINAPI Sleep(DWORD dwMilliseconds);

// ---- User-space locks (never block in the kernel lock; recursive critical
// sections, non-recursive SRW locks; a critical section not deleted counts
// as a leak) ----
WIN32EMU_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// FALSE only by injection (SIM_FN_InitializeCriticalSectionAndSpinCount).
WIN32EMU_API BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                               DWORD dwSpinCount);
WIN32EMU_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32EMU_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32EMU_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32EMU_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32EMU_API void WINAPI InitializeSRWLock(PSRWLOCK SRWLock);
WIN32EMU_API void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock);
WIN32EMU_API void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock);
WIN32EMU_API void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock);
WIN32EMU_API void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock);
WIN32EMU_API BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock);
WIN32EMU_API BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock);
// Condition variables with SRW locks. SleepConditionVariableSRW releases the
// lock (held shared with CONDITION_VARIABLE_LOCKMODE_SHARED in Flags, else
// exclusive), sleeps until woken or the time-out passes, and takes the lock
// again in the same mode; FALSE with ERROR_TIMEOUT on time-out. Blocks: yes.
// Wakes may be spurious, as on Windows: callers re-check their condition.
WIN32EMU_API void WINAPI InitializeConditionVariable(PCONDITION_VARIABLE ConditionVariable);
WIN32EMU_API BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE ConditionVariable,
                                                   PSRWLOCK SRWLock, DWORD dwMilliseconds,
                                                   ULONG Flags);
WIN32EMU_API void WINAPI WakeConditionVariable(PCONDITION_VARIABLE ConditionVariable);
WIN32EMU_API void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable);
WIN32EMU_API DWORD WINAPI GetTickCount(void);
WIN32EMU_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WIN32EMU_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles,
                                                 BOOL bWaitAll, DWORD dwMilliseconds);

// ---- Files on simulated devices ----
WIN32EMU_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                       DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                       HANDLE hTemplateFile);
WIN32EMU_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                  LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WIN32EMU_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                   LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32EMU_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                             LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WIN32EMU_API BOOL WINAPI CancelIo(HANDLE hFile);
// Ends the requests in flight on hFile's file object, whoever issued them:
// the one of lpOverlapped, or all (synchronous ones too) when it is NULL,
// with ERROR_OPERATION_ABORTED. Blocks: no. Nothing matched (a request that
// completed already): FALSE (ERROR_NOT_FOUND); a bad handle: FALSE
// (ERROR_INVALID_HANDLE).
WIN32EMU_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
WIN32EMU_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                         DWORD nInBufferSize, LPVOID lpOutBuffer,
                                         DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                         LPOVERLAPPED lpOverlapped);
WIN32EMU_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);

// ---- SetupAPI over the simulated devices ----
WIN32EMU_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator,
                                                  HWND hwndParent, DWORD Flags);
WIN32EMU_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                     PSP_DEVINFO_DATA DeviceInfoData,
                                                     const GUID *InterfaceClassGuid,
                                                     DWORD MemberIndex,
                                                     PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WIN32EMU_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
WIN32EMU_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// A property of the device element DeviceInfoData (filled by
// SetupDiGetDeviceInterfaceDetailA): its type and bytes, the text with its
// terminator. *RequiredSize and *PropertyRegDataType are set whenever the
// property exists. Absent: FALSE (ERROR_INVALID_DATA); buffer too small:
// FALSE (ERROR_INSUFFICIENT_BUFFER), nothing written.
WIN32EMU_API BOOL WINAPI
SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                  DWORD PropertyBufferSize, PDWORD RequiredSize);
// The device element's instance id; *RequiredSize counts the terminator.
WIN32EMU_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet,
                                                     PSP_DEVINFO_DATA DeviceInfoData,
                                                     PSTR DeviceInstanceId,
                                                     DWORD DeviceInstanceIdSize,
                                                     PDWORD RequiredSize);

// ---- Configuration manager: the device tree above an interface ----
// The parent of device node dnDevInst; CR_NO_SUCH_DEVNODE at the root.
WIN32EMU_API CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
// The node's instance id. As on Windows, an id that fills BufferLen exactly
// comes back without its terminator and CR_SUCCESS; a longer one is cut to
// BufferLen characters, also unterminated, with CR_BUFFER_SMALL.
WIN32EMU_API CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen,
                                                ULONG ulFlags);

// ---- Memory and messages ----
WIN32EMU_API HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
WIN32EMU_API LPVOID WINAPI GlobalLock(HGLOBAL hMem);
WIN32EMU_API BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
WIN32EMU_API HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);
WIN32EMU_API HLOCAL WINAPI LocalFree(HLOCAL hMem);
WIN32EMU_API DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                         DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                         va_list *Arguments);
WIN32EMU_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
// TRUE while a debug listener is attached (SimSetDebugListener): the
// emulation's listener plays the debugger that receives OutputDebugStringA.
WIN32EMU_API BOOL WINAPI IsDebuggerPresent(void);
// CP_ACP is Windows-1252 here (the ANSI code page of a western system).
typedef uint16_t WCHAR;
typedef WCHAR *LPWSTR;
WIN32EMU_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                            int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

#ifdef __cplusplus
}
#endif
