// The session object and the library's global text buffers.
#include "usbcomm/UsbComm.h"

#include "usbcomm/TextBuffer.h"

// Only what the session start and the close manage is set here; the other
// fields rely on g_UsbComm's zero-initialised static storage. A temporary
// instance (type detection) leaves them undefined and never reads them.
// g_UsbComm is constructed at load, before any native runs.
CUsbComm::CUsbComm()
    : m_bThreadActive(0),
      m_QuitEvent(nullptr),
      m_hPCLSDataEvent(nullptr),
      m_pCCBuffer(nullptr),
      m_hReadPort(nullptr),
      m_hWritePort(nullptr),
      m_dwDeviceError(0),
      m_hPCLSRoomEvent(nullptr),
      m_bAwaitingRoom(0),
      m_bDataSignalled(0),
      m_bReceiverEnded(0),
      m_dwMatchOpenError(0) {
  m_szBoundPath[0] = '\0';
  InitializeSRWLock(&m_SessionReaders);
  InitializeSRWLock(&m_SessionBusy);
}

CUsbComm::CUsbComm(const char *pszInterfacePath, int nUsbType) : CUsbComm() {
  m_nUsbType = nUsbType;
  m_szDevicePath[0] = '\0';
  m_bPCLSPowerStatus = 0;
  m_bKeepReading = 0;
  m_bHandlesValid = 0;
  m_hWorkerThread = nullptr;
  CopyText(m_szBoundPath, sizeof m_szBoundPath, pszInterfacePath);
}

// Handles, events, the receiver thread and the ring buffer belong to the
// session, which only usbClosePipe ends; unloading the library leaves them.
CUsbComm::~CUsbComm() {}

CUsbComm g_UsbComm;
char g_szDeviceName[USB_PATH_SIZE];
char g_szTraceLine[128];
