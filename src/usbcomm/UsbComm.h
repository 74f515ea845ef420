// One opened printer: discovery and type detection, its device handles and
// the requests in flight on them, the printer-class session with its ring
// buffer, and the receiver thread. The twelve natives serve one default
// printer, g_UsbComm, which finds its printer through the device table; the
// sessions of the printer natives (jni/Sessions.h) are bound to one interface
// path each.
#pragma once

#include <atomic>

#include "usbcomm/Requests.h"
#include "velto/platform.h"

class CCircularBuffer;

#define USB_TYPE_UNKNOWN (-1)
#define USB_TYPE_NATIVE 0
#define USB_TYPE_PRINTER_CLASS 1

// Size of every device path buffer, terminator included.
#define USB_PATH_SIZE 256
// Room an interface path keeps in such a buffer for "\PIPE0x".
#define USB_PIPE_SUFFIX_LENGTH (1 + 6)

class CUsbComm {
 public:
  CUsbComm();
  // A session bound to one printer: every field starts cleared, and every
  // search (the opens, the receiver's reopen) yields pszInterfacePath of
  // type nUsbType, whether or not the table accepts it.
  CUsbComm(const char *pszInterfacePath, int nUsbType);
  virtual ~CUsbComm();  // releases nothing: usbClosePipe does

  // Discovery (DeviceDiscovery.cpp). A search that finds no printer it can
  // open leaves in m_dwMatchOpenError why the first one the table accepts
  // did not open (0: none was found).
  HANDLE OpenUsbDevice(const GUID *pInterfaceClass, char *outNameBuf, DWORD nSize);
  // *pdwMatchOpenError gets the open's error of a printer the table accepts
  // that did not open, unless it holds one already.
  HANDLE OpenInterface(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData, char *pszBuffer,
                       DWORD nSize, DWORD *pdwMatchOpenError = nullptr);
  int LocateDevice(int nUsbType, char *pszBuffer, DWORD nSize);
  // This session's printer: the bound path, else LocateDevice.
  int LocateOwnDevice(int nUsbType, char *pszBuffer, DWORD nSize);
  bool IsBound() const { return m_szBoundPath[0] != '\0'; }
  HANDLE OpenPipe(int nUsbType, const char *pszPipeName);

  // Printer-class session (PclsSession.cpp).
  // Steps after the overlapped read open of usbInitPipe: events, ring buffer,
  // receiver thread, drain. Returns the handle value usbInitPipe hands on:
  // m_hReadPort, or INVALID_HANDLE_VALUE when the session could not start.
  HANDLE StartPCLSSession();
  // The printer-class fetch of usbReadInputPipe: GetPCLSData until it fails
  // or delivers a byte. Returns the read result; *pnCount the bytes delivered.
  BOOL ReadPCLS(BYTE *pBuffer, DWORD nNumberOfBytesToRead, DWORD *pnCount);
  // The printer-class read open of usbInitPipe: the running session's read
  // handle, or a new session on pszPath. INVALID_HANDLE_VALUE on failure,
  // with nothing of a session left behind.
  HANDLE OpenPCLSReadPipe(const char *pszPath);
  // A printer-class session exists from its start until its close.
  bool HasSession() const;
  // The printer-class close: stops the receiver and releases the session
  // with both stored handles. Returns 0, or 1 when waiting for the receiver
  // failed or a write blocked on the write handle could not be ended (the
  // write handle then stays stored, for a later close).
  int StopPCLSSession(HANDLE hPassed);
  int StopSessionLocked(HANDLE hPassed, bool bTrace);
  BOOL GetPCLSData(BYTE *pBuffer, DWORD nNumberOfBytesToRead, DWORD *pnBytesRead, DWORD dwTimeout);
  DWORD BytesAvailable();

  // Receiver (Receiver.cpp).
  int ReceiveData();
  int ReopenCom();

  // Fields, in this order. The Java threads and the receiver share them
  // without a lock: each is one lock-free 32-bit (or 8-bit, or pointer)
  // value, read and written whole.
  std::atomic<int> m_nUsbType;
  char m_szDevicePath[USB_PATH_SIZE];
  std::atomic<LONG> m_bThreadActive;
  std::atomic<HANDLE> m_QuitEvent;
  std::atomic<BYTE> m_bPCLSPowerStatus;
  std::atomic<HANDLE> m_hPCLSDataEvent;
  std::atomic<LONG> m_bKeepReading;
  std::atomic<CCircularBuffer *> m_pCCBuffer;
  std::atomic<HANDLE> m_hReadPort;
  std::atomic<HANDLE> m_hWritePort;
  std::atomic<LONG> m_bHandlesValid;
  std::atomic<HANDLE> m_hWorkerThread;
  // What the receiver last heard from a printer that is gone or not powered
  // (0 while it reads): a printer-class read that fails leaves it as the
  // last error, WAIT_TIMEOUT when the printer simply sent nothing in time.
  std::atomic<DWORD> m_dwDeviceError;
  // Room for the receiver's next block: it reads from the printer only when
  // the ring can take a whole block, so no byte is dropped; the bytes that
  // do not fit stay in the device. While it waits for room m_bAwaitingRoom is
  // 1, and a reader that takes bytes sets m_hPCLSRoomEvent (manual reset,
  // created and closed with the session's other events).
  std::atomic<HANDLE> m_hPCLSRoomEvent;
  std::atomic<LONG> m_bAwaitingRoom;
  // 1 while m_hPCLSDataEvent is known to be set since a reader last reset
  // it: the receiver sets it again only after a reset (one system call less
  // per block while the reader is busy).
  std::atomic<LONG> m_bDataSignalled;
  // Set by the receiver thread as it ends (and cleared by the start): reads
  // of a session whose receiver is gone fail instead of timing out at once.
  std::atomic<LONG> m_bReceiverEnded;
  std::atomic<DWORD> m_dwMatchOpenError;
  // The interface path of a bound session (empty: search by the table).
  char m_szBoundPath[USB_PATH_SIZE];

  // Every read, write and control request on the session's device handles.
  CRequests m_Requests;
  // Threads inside GetPCLSData or BytesAvailable hold m_SessionReaders
  // shared; the stop takes it exclusively once, after detaching the session
  // fields, so that it releases nothing a reader may still use. Starts and
  // stops of the session hold m_SessionBusy, so that they exclude each other.
  SRWLOCK m_SessionReaders;
  SRWLOCK m_SessionBusy;
};

extern CUsbComm g_UsbComm;
extern char g_szDeviceName[USB_PATH_SIZE];
extern char g_szTraceLine[128];

// Device identification (DeviceTable.cpp): the native driver's interface
// class, the printer class interface, and the vendor/product patterns.
extern const GUID GUID_DEVINTERFACE_NATIVE_PRINTER;
extern const GUID GUID_DEVINTERFACE_USBPRINT;
extern const char *const g_apszDevicePatterns[];

// Whether the device table accepts an interface path (a case-sensitive
// substring match, as the search makes it).
bool MatchesDevicePattern(const char *pszPath);

// Opens a device path for reading and writing, overlapped (DeviceDiscovery.cpp).
HANDLE OpenDevicePath(const char *pszPath);

// Probes the native class, then the printer class; writes the description of
// the winning type into pszText.
int DetectUsbType(char *pszText, DWORD nSize);

// Receiver thread entry (Receiver.cpp); its parameter is the session.
DWORD WINAPI ReadThreadProc(LPVOID pParameter);
