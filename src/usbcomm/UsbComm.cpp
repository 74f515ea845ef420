// The session object and the library's global text buffers.
#include "usbcomm/UsbComm.h"

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
  InitializeSRWLock(&m_SessionReaders);
  InitializeSRWLock(&m_SessionBusy);
}

// Handles, events, the receiver thread and the ring buffer belong to the
// session, which only usbClosePipe ends; unloading the library leaves them.
CUsbComm::~CUsbComm() {}

CUsbComm g_UsbComm;
char g_szDeviceName[USB_PATH_SIZE];
char g_szTraceLine[128];
