// The registry of the printer natives' sessions.
#include "jni/Sessions.h"

#include <string.h>

#include <map>
#include <new>

#include "usbcomm/SrwLock.h"
#include "usbcomm/UsbComm.h"

namespace {

// Both live until the module is unloaded; a session left running (its
// receiver could not be stopped) is never freed under its thread.
SRWLOCK g_SessionsLock = SRWLOCK_INIT;
std::map<jlong, std::shared_ptr<CUsbComm>> *g_pSessions;
jlong g_nLastSession;

}  // namespace

jlong AddSession(const char *pszInterfacePath, int nUsbType) {
  if (pszInterfacePath == nullptr || pszInterfacePath[0] == '\0' ||
      strlen(pszInterfacePath) + USB_PIPE_SUFFIX_LENGTH >= USB_PATH_SIZE ||
      (nUsbType != USB_TYPE_NATIVE && nUsbType != USB_TYPE_PRINTER_CLASS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    auto pComm = std::make_shared<CUsbComm>(pszInterfacePath, nUsbType);
    CExclusive hold(g_SessionsLock);
    if (g_pSessions == nullptr) g_pSessions = new std::map<jlong, std::shared_ptr<CUsbComm>>;
    const jlong nSession = ++g_nLastSession;
    g_pSessions->emplace(nSession, std::move(pComm));
    return nSession;
  } catch (const std::bad_alloc &) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

std::shared_ptr<CUsbComm> FindSession(jlong nSession) {
  {
    CShared hold(g_SessionsLock);
    if (g_pSessions != nullptr) {
      auto it = g_pSessions->find(nSession);
      if (it != g_pSessions->end()) return it->second;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

DWORD FreeSession(jlong nSession) {
  std::shared_ptr<CUsbComm> pDoomed;  // released after the lock
  CExclusive hold(g_SessionsLock);
  if (g_pSessions == nullptr) return ERROR_INVALID_HANDLE;
  auto it = g_pSessions->find(nSession);
  if (it == g_pSessions->end()) return ERROR_INVALID_HANDLE;
  CUsbComm &comm = *it->second;
  if (comm.HasSession() || comm.m_hReadPort != nullptr || comm.m_hWritePort != nullptr) {
    return ERROR_BUSY;
  }
  pDoomed = std::move(it->second);
  g_pSessions->erase(it);
  return 0;
}
