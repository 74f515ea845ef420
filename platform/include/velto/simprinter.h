// Control API of the simulated printers (POSIX emulation only).
//
// A test, the demo or the Java binding plugs in printers of either interface
// class, scripts what they send and how their pipes fail, injects failures
// into any emulated Win32 call, listens to the debugger output, and checks at
// teardown that nothing leaked. Plain C linkage so that every front end
// (C++, JNI, tools) shares it. Documented in platform/README.md.
#pragma once

#include "velto/win32emu.h"

#ifdef __cplusplus
extern "C" {
#endif

// The USB printer class interface (as on Windows) and the interface class
// under which the simulator registers native-class printers.
WIN32EMU_API extern const GUID
    SIM_GUID_DEVINTERFACE_USBPRINT;  // {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}

typedef int SIMDEV;  // device id, > 0; 0 is "no device"

// Interface classes of a simulated printer.
#define SIM_CLASS_NATIVE 0   // answers the serial time-out and purge requests
#define SIM_CLASS_PRINTER 1  // USB printer class: refuses them

// Which file of a device a script applies to. A device is reached by its bare
// interface path or by "<path>\PIPE00" / "<path>\PIPE01".
#define SIM_PIPE_ANY (-1)
#define SIM_PIPE_BARE 0
#define SIM_PIPE_00 1
#define SIM_PIPE_01 2

// ---- Devices ----
// Plugs in a printer of class nClass under interface class *pInterfaceClass
// (NULL: SIM_GUID_DEVINTERFACE_USBPRINT for SIM_CLASS_PRINTER; for
// SIM_CLASS_NATIVE the class must be given) with the interface path pszPath.
// Returns 0 if the path is empty, too long (over 1023 chars) or already plugged.
WIN32EMU_API SIMDEV SimPlug(int nClass, const GUID *pInterfaceClass, const char *pszPath);
// Simulated and real printers never mix: while any simulated printer is known
// (plugged since the last SimReset), SetupAPI lists and CreateFileA opens the
// simulated ones only; otherwise the host's printers (on Linux the USB
// printer-class printers of the kernel's usblp driver). FALSE keeps the host's
// printers out even then, so that a test sees no printer on the desk;
// SimReset lets them in again.
WIN32EMU_API void SimUseHostPrinters(BOOL bUse);
// Removes the device: open handles fail with ERROR_DEVICE_NOT_CONNECTED, pending
// reads end with it, new opens fail with ERROR_FILE_NOT_FOUND, SetupAPI stops
// listing it. Bytes queued towards the host are dropped.
WIN32EMU_API BOOL SimUnplug(SIMDEV dev);
// Brings an unplugged device back under the same path. Handles opened before
// the unplug stay dead; new opens work.
WIN32EMU_API BOOL SimReplug(SIMDEV dev);
WIN32EMU_API BOOL SimIsPlugged(SIMDEV dev);
// What the driver answers for a file of the device once it has been removed
// (reads, writes, requests, and the reads pending at the unplug): by default
// ERROR_DEVICE_NOT_CONNECTED. A driver that reports a removed device as
// ERROR_ACCESS_DENIED (a delete pending on the device) is modelled with
// ERROR_ACCESS_DENIED. Kept across unplug and replug. FALSE for an unknown
// device or the code 0.
WIN32EMU_API BOOL SimSetRemovalError(SIMDEV dev, DWORD dwError);

// What the printer tells about itself, as SetupAPI and the configuration
// manager report it: the manufacturer (SPDRP_MFG), the product
// (SPDRP_DEVICEDESC), the serial number (the last segment of the USB device's
// instance id) and the location (SPDRP_LOCATION_INFORMATION, and the port
// of a made-up instance id). A NULL text leaves that property absent; a NULL
// serial makes a device without one, whose instance id Windows makes up.
// Until set: "Velto", "Simulated printer" ("Simulated native printer" for the
// native class), "SIM" and the id in 4 digits, "1-" and the id. Sets listed
// before keep what they saw. FALSE for an unknown device, or a serial Windows
// would not take (empty, over 126 characters, not printable ASCII, or with
// '#', '\', ',' or '/').
WIN32EMU_API BOOL SimSetIdentity(SIMDEV dev, const char *pszManufacturer, const char *pszProduct,
                                 const char *pszSerial, const char *pszLocation);

// ---- Printer class requests ----
// What a printer-class printer answers to IOCTL_USBPRINT_GET_LPT_STATUS: its
// 1284 status byte (0x20 paper empty, 0x10 selected, 0x08 no error). Until
// set: 0x18. FALSE for an unknown device.
WIN32EMU_API BOOL SimSetPortStatus(SIMDEV dev, BYTE bStatus);
// What it answers to IOCTL_USBPRINT_GET_1284_ID: nBytes raw bytes, the
// big-endian length prefix included (taken as given, so that a malformed id
// can be played). NULL makes the printer not answer: the request fails with
// ERROR_GEN_FAILURE. Until set: a well-formed id built from the identity,
// "MFG:<manufacturer>;MDL:<product>;CMD:ESC/POS;CLS:PRINTER;". FALSE for an
// unknown device or more than 65535 bytes.
WIN32EMU_API BOOL SimSetDeviceId(SIMDEV dev, const void *pRaw, DWORD nBytes);
// The next printer class request (status or device id) on that pipe fails
// with dwError, as a printer that stalls it.
WIN32EMU_API BOOL SimScriptControlError(SIMDEV dev, int nPipe, DWORD dwError);

// ---- Data ----
// Bytes from the printer to the host, in order, delivered to pending or later
// reads of PIPE00 or the bare path, never more than a read asks for.
WIN32EMU_API BOOL SimSend(SIMDEV dev, const void *pData, DWORD nBytes);
// Bytes queued towards the host and not yet read.
WIN32EMU_API DWORD SimPendingToHost(SIMDEV dev);
// Bytes queued towards the host that unplugs dropped, in all (the byte
// accounting of a stream that the printer's removal cut).
WIN32EMU_API DWORD SimBytesDropped(SIMDEV dev);
// Everything the host wrote, in order (any pipe). Copies up to nCap bytes from
// the start of the log; returns the log's full length.
WIN32EMU_API DWORD SimWritten(SIMDEV dev, void *pBuf, DWORD nCap);
WIN32EMU_API void SimClearWritten(SIMDEV dev);
// When the host's written bytes end with pRequest, the reply is queued towards
// the host. Up to 16 responders per device; replacing one with the same
// request changes its reply.
WIN32EMU_API BOOL SimAddResponder(SIMDEV dev, const void *pRequest, DWORD nRequest,
                                  const void *pReply, DWORD nReply);

// ---- Scripted results, consumed one by one in the order added ----
// The next CreateFileA of that pipe fails with dwError.
WIN32EMU_API BOOL SimScriptOpenError(SIMDEV dev, int nPipe, DWORD dwError);
// The next read on that pipe fails with dwError (a pending read ends with it).
WIN32EMU_API BOOL SimScriptReadError(SIMDEV dev, int nPipe, DWORD dwError);
// The next read on that pipe completes successfully with 0 bytes.
WIN32EMU_API BOOL SimScriptZeroRead(SIMDEV dev, int nPipe);
// The next write on that pipe fails with dwError, writing nothing.
WIN32EMU_API BOOL SimScriptWriteError(SIMDEV dev, int nPipe, DWORD dwError);
// The next write on that pipe succeeds but takes only nBytes.
WIN32EMU_API BOOL SimScriptShortWrite(SIMDEV dev, int nPipe, DWORD nBytes);

// ---- Writes that block ----
// While a device is stalled (offline, out of paper, slow) its writes take
// nothing and block: a synchronous write blocks its caller, an overlapped one
// pends. Ending the stall completes them in order; an unplug ends them with
// the removal error. On the native class a blocked synchronous write honours
// the driver's write time-outs (multiplier x bytes + constant; 0 and 0: no
// limit) and then succeeds with the bytes taken so far (a short count).
WIN32EMU_API BOOL SimSetWriteStall(SIMDEV dev, BOOL bStall);
// Waits (blocks) until at least nWrites writes are blocked on the device, or
// dwTimeoutMs passes. TRUE when reached.
WIN32EMU_API BOOL SimWaitPendingWrites(SIMDEV dev, DWORD nWrites, DWORD dwTimeoutMs);

// ---- Native driver state ----
WIN32EMU_API BOOL SimGetTimeouts(SIMDEV dev, COMMTIMEOUTS *pTimeouts);
WIN32EMU_API BOOL SimSetTimeouts(SIMDEV dev, const COMMTIMEOUTS *pTimeouts);
WIN32EMU_API DWORD SimPurgeCount(SIMDEV dev);
WIN32EMU_API DWORD SimLastPurgeFlags(SIMDEV dev);

// ---- Observation without timing ----
// Reads now waiting on the device (pending overlapped or blocked synchronous).
WIN32EMU_API DWORD SimPendingReads(SIMDEV dev);
// Waits (blocks) until at least nReads reads are pending on the device, or
// dwTimeoutMs passes. TRUE when reached.
WIN32EMU_API BOOL SimWaitPendingReads(SIMDEV dev, DWORD nReads, DWORD dwTimeoutMs);
// Waits (blocks) until the write log holds at least nBytes, or dwTimeoutMs passes.
WIN32EMU_API BOOL SimWaitWritten(SIMDEV dev, DWORD nBytes, DWORD dwTimeoutMs);
// Waits (blocks) until the bytes queued towards the host are all read.
WIN32EMU_API BOOL SimWaitDrained(SIMDEV dev, DWORD dwTimeoutMs);
// Waits (blocks) until the number of calls to emulated function nFn reaches nCalls.
WIN32EMU_API BOOL SimWaitCallCount(int nFn, DWORD nCalls, DWORD dwTimeoutMs);

// ---- Failure injection ----
// Emulated calls that can be made to fail. SIM_FN_ALLOC is memory allocation
// (malloc and operator new) by the veltousb module.
enum {
  SIM_FN_CreateEventA,
  SIM_FN_SetEvent,
  SIM_FN_ResetEvent,
  SIM_FN_CreateMutexA,
  SIM_FN_ReleaseMutex,
  SIM_FN_CreateThread,
  SIM_FN_ResumeThread,
  SIM_FN_WaitForSingleObject,
  SIM_FN_WaitForMultipleObjects,
  SIM_FN_CloseHandle,
  SIM_FN_CreateFileA,
  SIM_FN_ReadFile,
  SIM_FN_WriteFile,
  SIM_FN_GetOverlappedResult,
  SIM_FN_CancelIo,
  SIM_FN_DeviceIoControl,
  SIM_FN_PurgeComm,
  SIM_FN_SetupDiGetClassDevsA,
  SIM_FN_SetupDiEnumDeviceInterfaces,
  SIM_FN_SetupDiGetDeviceInterfaceDetailA,
  SIM_FN_SetupDiDestroyDeviceInfoList,
  SIM_FN_GlobalAlloc,
  SIM_FN_GlobalLock,
  SIM_FN_GlobalUnlock,
  SIM_FN_GlobalFree,
  SIM_FN_FormatMessageA,
  SIM_FN_LocalFree,
  SIM_FN_MultiByteToWideChar,
  SIM_FN_OpenThread,
  SIM_FN_CancelSynchronousIo,
  SIM_FN_InitializeCriticalSectionAndSpinCount,
  SIM_FN_OutputDebugStringA,  // counted; an injected failure drops the text
  SIM_FN_CancelIoEx,
  SIM_FN_SetupDiGetDeviceRegistryPropertyA,
  SIM_FN_SetupDiGetDeviceInstanceIdA,
  SIM_FN_CM_Get_Parent,  // CM_*: the injected code is the CONFIGRET (0: CR_FAILURE)
  SIM_FN_CM_Get_Device_IDA,
  SIM_FN_ALLOC,
  SIM_FN_COUNT
};
// The calls of nFn after the next nSkip ones fail, nCalls of them, with
// dwError as the last-error value (and the function's failure result). The
// failing call does nothing else. nCalls 0xFFFFFFFF: until cleared.
WIN32EMU_API void SimInjectFailure(int nFn, DWORD nSkip, DWORD nCalls, DWORD dwError);
WIN32EMU_API void SimClearInjections(void);
// Calls of nFn since the last reset (failed ones included).
WIN32EMU_API DWORD SimCallCount(int nFn);
WIN32EMU_API const char *SimFnName(int nFn);
// Used by the veltousb module's allocation hooks: TRUE when this allocation
// is to fail.
WIN32EMU_API BOOL SimAllocShouldFail(void);

// ---- Debugger output ----
// Receives the text of every OutputDebugStringA call exactly, on the calling
// thread. NULL detaches (output is then dropped, as without a debugger).
typedef void (*SIM_DEBUG_LISTENER)(const char *pszText, void *pContext);
WIN32EMU_API void SimSetDebugListener(SIM_DEBUG_LISTENER pfnListener, void *pContext);

// ---- System message table ----
// Overrides (or, with NULL, restores) the text FormatMessageA gives for a
// code, e.g. to stand for a localised system. Text is in the ANSI code page.
WIN32EMU_API void SimSetMessageText(DWORD dwCode, const char *pszText);

// ---- Timer ----
// Makes every time-out last as Windows' timer makes it: while dwMicroseconds
// is not 0, Sleep(n), the time-outs of WaitForSingleObject,
// WaitForMultipleObjects and SleepConditionVariableSRW, and the native
// driver's time-outs last at least n ms rounded up to the next multiple of
// dwMicroseconds (15625 is Windows' default 15.625 ms tick). 0, the default
// and SimReset's, is exact.
WIN32EMU_API void SimSetTimerGranularity(DWORD dwMicroseconds);

// ---- Lifecycle ----
// Forgets every device, script, injection, responder and listener, the call
// counts and the timer's granularity. Handles still open stay counted as
// leaks.
WIN32EMU_API void SimReset(void);
// Open handles of any kind, emulated threads still running, devices plugged.
WIN32EMU_API DWORD SimOpenHandleCount(void);
WIN32EMU_API DWORD SimLiveThreadCount(void);
WIN32EMU_API DWORD SimDeviceCount(void);
// Describes what is still open (one line per handle/thread/device) into
// pszReport; returns how many items leaked. Waits up to dwGraceMs for threads
// that are already ending.
WIN32EMU_API DWORD SimLeakReport(char *pszReport, DWORD nCap, DWORD dwGraceMs);

#ifdef __cplusplus
}
#endif
