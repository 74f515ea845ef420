#include "PipePrinter.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "SeamBus.h"

namespace {

const int kBusInstances = 4;
const DWORD kPipeBuffer = 4096;

const char *const g_apszKindSuffix[] = {"", "\\PIPE00", "\\PIPE01"};

class CLock {
 public:
  explicit CLock(CRITICAL_SECTION *pLock) : m_pLock(pLock) { EnterCriticalSection(m_pLock); }
  ~CLock() { LeaveCriticalSection(m_pLock); }
  CLock(const CLock &) = delete;
  CLock &operator=(const CLock &) = delete;

 private:
  CRITICAL_SECTION *m_pLock;
};

// Waits for an overlapped operation or the wake event. TRUE when the
// operation completed.
bool WaitIo(HANDLE hIoEvent, HANDLE hWake) {
  HANDLE ah[2] = {hIoEvent, hWake};
  return WaitForMultipleObjects(2, ah, FALSE, INFINITE) == WAIT_OBJECT_0;
}

// Ends an overlapped operation that is still in flight before its record
// and buffer go out of use.
void FinishIo(HANDLE hPipe, OVERLAPPED *pOverlapped) {
  DWORD nDone = 0;
  CancelIoEx(hPipe, pOverlapped);
  GetOverlappedResult(hPipe, pOverlapped, &nDone, TRUE);
}

}  // namespace

std::string GuidText(const GUID &guid) {
  char szGuid[64];
  snprintf(szGuid, sizeof szGuid, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           (unsigned long)guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
           guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
           guid.Data4[7]);
  return szGuid;
}

CPipeBus::CPipeBus() : m_hStop(CreateEventA(NULL, TRUE, FALSE, NULL)) {
  InitializeCriticalSection(&m_Lock);
  InitializeConditionVariable(&m_Changed);
  char szName[64];
  SeamBusName(szName, sizeof szName);
  m_BusName = szName;
}

CPipeBus::~CPipeBus() {
  Stop();
  CloseHandle(m_hStop);
  DeleteCriticalSection(&m_Lock);
}

bool CPipeBus::Start() {
  if (!m_ahBusThreads.empty()) return true;
  ResetEvent(m_hStop);
  // The instances exist before Start returns: the library may ask at once.
  for (int i = 0; i < kBusInstances; ++i) {
    HANDLE hPipe =
        CreateNamedPipeA(m_BusName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                         PIPE_UNLIMITED_INSTANCES, SEAM_MESSAGE_SIZE, SEAM_MESSAGE_SIZE, 0, NULL);
    if (hPipe == INVALID_HANDLE_VALUE) return false;
    HANDLE hThread = CreateThread(NULL, 0, BusThreadProc, new CBusStart{this, hPipe}, 0, NULL);
    if (hThread == NULL) {
      CloseHandle(hPipe);
      return false;
    }
    m_ahBusThreads.push_back(hThread);
  }
  return true;
}

void CPipeBus::Stop() {
  SetEvent(m_hStop);
  for (HANDLE hThread : m_ahBusThreads) {
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
  }
  m_ahBusThreads.clear();
  std::vector<CConnection *> apConnections;
  {
    CLock lock(&m_Lock);
    for (auto &entry : m_Connections) {
      entry.second->m_bDisconnect = true;
      SetEvent(entry.second->m_hWake);
      apConnections.push_back(entry.second);
    }
    m_Connections.clear();
  }
  for (CConnection *pConnection : apConnections) {
    WaitForSingleObject(pConnection->m_hThread, INFINITE);
    CloseHandle(pConnection->m_hThread);
    CloseHandle(pConnection->m_hWake);
    delete pConnection;
  }
}

int CPipeBus::Plug(const GUID &interfaceClass, const char *pszPath) {
  CLock lock(&m_Lock);
  for (auto &entry : m_Devices) {
    if (_stricmp(entry.second.m_Path.c_str(), pszPath) == 0) return 0;
  }
  int nDevice = m_nNextDevice++;
  CDevice &device = m_Devices[nDevice];
  device.m_InterfaceClass = interfaceClass;
  device.m_Path = pszPath;
  return nDevice;
}

bool CPipeBus::Unplug(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice == NULL || !pDevice->m_bPlugged) return false;
  pDevice->m_bPlugged = false;
  DisconnectAll(nDevice);
  return true;
}

bool CPipeBus::Replug(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice == NULL || pDevice->m_bPlugged) return false;
  pDevice->m_bPlugged = true;
  WakeAllConditionVariable(&m_Changed);
  return true;
}

bool CPipeBus::IsPlugged(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  return pDevice != NULL && pDevice->m_bPlugged;
}

bool CPipeBus::Send(int nDevice, const void *pData, DWORD nBytes) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice == NULL || !pDevice->m_bPlugged) return false;
  pDevice->m_ToHost.append(static_cast<const char *>(pData), nBytes);
  Dispatch(nDevice);
  return true;
}

std::string CPipeBus::Written(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  return pDevice == NULL ? std::string() : pDevice->m_Written;
}

void CPipeBus::ClearWritten(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice != NULL) pDevice->m_Written.clear();
}

size_t CPipeBus::HeldToHost(int nDevice) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  size_t nHeld = pDevice == NULL ? 0 : pDevice->m_ToHost.size();
  for (auto &entry : m_Connections) {
    const CConnection *p = entry.second;
    if (p->m_nDevice == nDevice) nHeld += p->m_Outbound.size() + p->m_nWriting;
  }
  return nHeld;
}

void CPipeBus::AddResponder(int nDevice, const std::string &request, const std::string &reply) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice != NULL) pDevice->m_Responders.emplace_back(request, reply);
}

void CPipeBus::ScriptOpenError(int nDevice, int nKind, DWORD nSkip, DWORD dwError, bool bUnplug) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice != NULL) pDevice->m_Scripts.push_back(CScript{nKind, nSkip, dwError, bUnplug});
}

DWORD CPipeBus::OpenCount(int nDevice, int nKind) {
  CLock lock(&m_Lock);
  CDevice *pDevice = Find(nDevice);
  if (pDevice == NULL) return 0;
  if (nKind == PIPE_KIND_ANY) {
    return pDevice->m_anOpens[0] + pDevice->m_anOpens[1] + pDevice->m_anOpens[2];
  }
  return pDevice->m_anOpens[nKind];
}

bool CPipeBus::WaitWritten(int nDevice, size_t nBytes, DWORD dwTimeoutMs) {
  CLock lock(&m_Lock);
  return WaitLocked(dwTimeoutMs, &CPipeBus::HasWritten, nDevice, (DWORD)nBytes, 0);
}

bool CPipeBus::WaitLiveConnections(int nDevice, DWORD nConnections, DWORD dwTimeoutMs) {
  CLock lock(&m_Lock);
  return WaitLocked(dwTimeoutMs, &CPipeBus::HasLiveConnections, nDevice, nConnections, 0);
}

bool CPipeBus::WaitLocked(DWORD dwTimeoutMs, bool (CPipeBus::*pfnDone)(int, DWORD, int),
                          int nDevice, DWORD nValue, int nKind) {
  ULONGLONG nEnd = GetTickCount64() + dwTimeoutMs;
  while (!(this->*pfnDone)(nDevice, nValue, nKind)) {
    ULONGLONG nNow = GetTickCount64();
    if (nNow >= nEnd) return false;
    SleepConditionVariableCS(&m_Changed, &m_Lock, (DWORD)(nEnd - nNow));
  }
  return true;
}

bool CPipeBus::HasWritten(int nDevice, DWORD nBytes, int) {
  CDevice *pDevice = Find(nDevice);
  return pDevice != NULL && pDevice->m_Written.size() >= nBytes;
}

bool CPipeBus::HasLiveConnections(int nDevice, DWORD nConnections, int) {
  DWORD nLive = 0;
  for (auto &entry : m_Connections) {
    const CConnection *p = entry.second;
    if (p->m_nDevice == nDevice && p->m_bConnected && !p->m_bClosed) ++nLive;
  }
  return nLive == nConnections;
}

CPipeBus::CDevice *CPipeBus::Find(int nDevice) {
  auto it = m_Devices.find(nDevice);
  return it == m_Devices.end() ? NULL : &it->second;
}

// Hands the bytes towards the host to the oldest open read connection.
void CPipeBus::Dispatch(int nDevice) {
  CDevice *pDevice = Find(nDevice);
  if (pDevice != NULL && !pDevice->m_ToHost.empty()) {
    for (auto &entry : m_Connections) {
      CConnection *p = entry.second;
      if (p->m_nDevice == nDevice && !p->m_bClosed && !p->m_bDisconnect &&
          p->m_nKind != PIPE_KIND_01) {
        p->m_Outbound += pDevice->m_ToHost;
        pDevice->m_ToHost.clear();
        SetEvent(p->m_hWake);
        break;
      }
    }
  }
  WakeAllConditionVariable(&m_Changed);
}

void CPipeBus::DisconnectAll(int nDevice) {
  CDevice *pDevice = Find(nDevice);
  if (pDevice != NULL) pDevice->m_ToHost.clear();
  for (auto &entry : m_Connections) {
    CConnection *p = entry.second;
    if (p->m_nDevice == nDevice && !p->m_bClosed) {
      p->m_bDisconnect = true;
      p->m_Outbound.clear();
      SetEvent(p->m_hWake);
    }
  }
  WakeAllConditionVariable(&m_Changed);
}

DWORD WINAPI CPipeBus::BusThreadProc(LPVOID pParameter) {
  CBusStart *pStart = static_cast<CBusStart *>(pParameter);
  CPipeBus *pBus = pStart->m_pBus;
  HANDLE hPipe = pStart->m_hPipe;
  delete pStart;
  pBus->ServeBus(hPipe);
  return 0;
}

DWORD WINAPI CPipeBus::ConnectionThreadProc(LPVOID pParameter) {
  CConnectionStart *pStart = static_cast<CConnectionStart *>(pParameter);
  CPipeBus *pBus = pStart->m_pBus;
  CConnection *pConnection = pStart->m_pConnection;
  delete pStart;
  pBus->ServeConnection(pConnection);
  return 0;
}

void CPipeBus::ServeBus(HANDLE hPipe) {
  HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  OVERLAPPED ov;
  std::vector<char> buffer(SEAM_MESSAGE_SIZE + 1);
  for (;;) {
    memset(&ov, 0, sizeof ov);
    ov.hEvent = hEvent;
    DWORD n = 0;
    if (!ConnectNamedPipe(hPipe, &ov)) {
      DWORD dwError = GetLastError();
      if (dwError == ERROR_IO_PENDING) {
        if (!WaitIo(hEvent, m_hStop)) {
          FinishIo(hPipe, &ov);
          break;
        }
      } else if (dwError != ERROR_PIPE_CONNECTED) {
        break;
      }
    }
    memset(&ov, 0, sizeof ov);
    ov.hEvent = hEvent;
    BOOL bRead = ReadFile(hPipe, buffer.data(), SEAM_MESSAGE_SIZE, NULL, &ov);
    if (!bRead && GetLastError() == ERROR_IO_PENDING) {
      if (!WaitIo(hEvent, m_hStop)) {
        FinishIo(hPipe, &ov);
        break;
      }
      bRead = TRUE;
    }
    if (bRead && GetOverlappedResult(hPipe, &ov, &n, FALSE)) {
      std::string reply = Answer(std::string(buffer.data(), n));
      memset(&ov, 0, sizeof ov);
      ov.hEvent = hEvent;
      if (WriteFile(hPipe, reply.data(), (DWORD)reply.size(), NULL, &ov) ||
          GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(hPipe, &ov, &n, TRUE);
        // The client closes once it has the reply; disconnecting earlier
        // would discard the reply.
        memset(&ov, 0, sizeof ov);
        ov.hEvent = hEvent;
        if (ReadFile(hPipe, buffer.data(), SEAM_MESSAGE_SIZE, NULL, &ov) ||
            GetLastError() == ERROR_IO_PENDING) {
          if (!WaitIo(hEvent, m_hStop)) {
            FinishIo(hPipe, &ov);
            break;
          }
          GetOverlappedResult(hPipe, &ov, &n, FALSE);
        }
      }
    }
    DisconnectNamedPipe(hPipe);
  }
  DisconnectNamedPipe(hPipe);
  CloseHandle(hPipe);
  CloseHandle(hEvent);
}

std::string CPipeBus::Answer(const std::string &request) {
  if (request.compare(0, 5, "ENUM ") == 0) {
    std::string reply = "OK";
    CLock lock(&m_Lock);
    for (auto &entry : m_Devices) {
      char szGuid[64];
      SeamFormatGuid(&entry.second.m_InterfaceClass, szGuid, sizeof szGuid);
      if (entry.second.m_bPlugged && _stricmp(szGuid, request.c_str() + 5) == 0) {
        reply += "\n" + entry.second.m_Path;
      }
    }
    return reply;
  }
  if (request.compare(0, 5, "OPEN ") == 0) {
    char *pszEnd = NULL;
    DWORD dwFlags = (DWORD)strtoul(request.c_str() + 5, &pszEnd, 16);
    if (pszEnd != NULL && *pszEnd == ' ') {
      return AnswerOpen(dwFlags, std::string(pszEnd + 1));
    }
  }
  return "ERR 87";
}

std::string CPipeBus::AnswerOpen(DWORD, const std::string &path) {
  CLock lock(&m_Lock);
  int nDevice = 0;
  int nKind = PIPE_KIND_BARE;
  for (auto &entry : m_Devices) {
    for (int k = PIPE_KIND_BARE; k <= PIPE_KIND_01; ++k) {
      if (_stricmp((entry.second.m_Path + g_apszKindSuffix[k]).c_str(), path.c_str()) == 0) {
        nDevice = entry.first;
        nKind = k;
      }
    }
  }
  if (nDevice == 0) {
    // Another interface path: no such device. Anything else is not ours.
    return path.compare(0, 4, "\\\\?\\") == 0 ? "ERR 2" : "PASS";
  }
  CDevice &device = m_Devices[nDevice];
  device.m_anOpens[nKind]++;
  WakeAllConditionVariable(&m_Changed);
  for (size_t i = 0; i < device.m_Scripts.size(); ++i) {
    CScript &script = device.m_Scripts[i];
    if (script.m_nKind != PIPE_KIND_ANY && script.m_nKind != nKind) continue;
    if (script.m_nSkip > 0) {
      script.m_nSkip--;
      continue;
    }
    CScript fired = script;
    device.m_Scripts.erase(device.m_Scripts.begin() + (long)i);
    if (fired.m_bUnplug && device.m_bPlugged) {
      device.m_bPlugged = false;
      DisconnectAll(nDevice);
    }
    return "ERR " + std::to_string(fired.m_dwError);
  }
  if (!device.m_bPlugged) return "ERR 2";

  // Prune connections whose threads have finished.
  for (auto it = m_Connections.begin(); it != m_Connections.end();) {
    CConnection *p = it->second;
    if (p->m_bClosed && WaitForSingleObject(p->m_hThread, 0) == WAIT_OBJECT_0) {
      CloseHandle(p->m_hThread);
      CloseHandle(p->m_hWake);
      delete p;
      it = m_Connections.erase(it);
    } else {
      ++it;
    }
  }

  CConnection *pConnection = new CConnection;
  pConnection->m_nId = m_nNextConnection++;
  pConnection->m_nDevice = nDevice;
  pConnection->m_nKind = nKind;
  char szName[96];
  snprintf(szName, sizeof szName, "%s-%d", m_BusName.c_str(), pConnection->m_nId);
  pConnection->m_hPipe = CreateNamedPipeA(
      szName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBuffer, kPipeBuffer, 0, NULL);
  if (pConnection->m_hPipe == INVALID_HANDLE_VALUE) {
    DWORD dwError = GetLastError();
    delete pConnection;
    return "ERR " + std::to_string(dwError);
  }
  pConnection->m_hWake = CreateEventA(NULL, FALSE, FALSE, NULL);
  pConnection->m_hThread =
      CreateThread(NULL, 0, ConnectionThreadProc, new CConnectionStart{this, pConnection}, 0, NULL);
  m_Connections[pConnection->m_nId] = pConnection;
  return std::string("PIPE ") + szName;
}

void CPipeBus::ServeConnection(CConnection *pConnection) {
  HANDLE hPipe = pConnection->m_hPipe;
  HANDLE hReadEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE hWriteEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  OVERLAPPED ovRead, ovWrite;
  memset(&ovRead, 0, sizeof ovRead);
  memset(&ovWrite, 0, sizeof ovWrite);
  ovRead.hEvent = hReadEvent;
  ovWrite.hEvent = hWriteEvent;
  std::vector<char> input(kPipeBuffer);
  std::string writing;
  bool bReadPending = false;
  bool bWritePending = false;
  bool bConnected = false;

  if (ConnectNamedPipe(hPipe, &ovRead)) {
    bConnected = true;
  } else {
    DWORD dwError = GetLastError();
    if (dwError == ERROR_PIPE_CONNECTED) {
      bConnected = true;
    } else if (dwError == ERROR_IO_PENDING) {
      for (;;) {
        if (WaitIo(hReadEvent, pConnection->m_hWake)) {
          DWORD n = 0;
          bConnected = GetOverlappedResult(hPipe, &ovRead, &n, FALSE) != FALSE;
          break;
        }
        CLock lock(&m_Lock);
        if (pConnection->m_bDisconnect) {
          FinishIo(hPipe, &ovRead);
          break;
        }
      }
    }
  }
  {
    CLock lock(&m_Lock);
    pConnection->m_bConnected = bConnected && !pConnection->m_bDisconnect;
    if (pConnection->m_bConnected) Dispatch(pConnection->m_nDevice);
  }

  while (bConnected) {
    if (!bReadPending) {
      memset(&ovRead, 0, sizeof ovRead);
      ovRead.hEvent = hReadEvent;
      if (!ReadFile(hPipe, input.data(), kPipeBuffer, NULL, &ovRead) &&
          GetLastError() != ERROR_IO_PENDING) {
        break;  // the client has gone
      }
      bReadPending = true;
    }
    {
      CLock lock(&m_Lock);
      if (pConnection->m_bDisconnect) break;
      if (!bWritePending && !pConnection->m_Outbound.empty()) {
        writing.swap(pConnection->m_Outbound);
        pConnection->m_Outbound.clear();
        pConnection->m_nWriting = writing.size();
      }
    }
    if (!bWritePending && !writing.empty()) {
      memset(&ovWrite, 0, sizeof ovWrite);
      ovWrite.hEvent = hWriteEvent;
      if (!WriteFile(hPipe, writing.data(), (DWORD)writing.size(), NULL, &ovWrite) &&
          GetLastError() != ERROR_IO_PENDING) {
        break;
      }
      bWritePending = true;
    }
    HANDLE ah[3] = {hReadEvent, pConnection->m_hWake, hWriteEvent};
    DWORD dwWait = WaitForMultipleObjects(bWritePending ? 3 : 2, ah, FALSE, INFINITE);
    if (dwWait == WAIT_OBJECT_0) {
      DWORD n = 0;
      bReadPending = false;
      if (!GetOverlappedResult(hPipe, &ovRead, &n, FALSE)) break;  // closed by the client
      CLock lock(&m_Lock);
      CDevice *pDevice = Find(pConnection->m_nDevice);
      if (pDevice != NULL && n > 0) {
        pDevice->m_Written.append(input.data(), n);
        for (auto &responder : pDevice->m_Responders) {
          const std::string &request = responder.first;
          const std::string &log = pDevice->m_Written;
          if (log.size() >= request.size() &&
              log.compare(log.size() - request.size(), request.size(), request) == 0) {
            pDevice->m_ToHost += responder.second;
          }
        }
        Dispatch(pConnection->m_nDevice);
      }
    } else if (dwWait == WAIT_OBJECT_0 + 2) {
      DWORD n = 0;
      bWritePending = false;
      if (!GetOverlappedResult(hPipe, &ovWrite, &n, FALSE)) break;
      writing.erase(0, n);
      CLock lock(&m_Lock);
      pConnection->m_nWriting = writing.size();
      WakeAllConditionVariable(&m_Changed);
    } else if (dwWait != WAIT_OBJECT_0 + 1) {
      break;
    }
  }

  if (bReadPending) FinishIo(hPipe, &ovRead);
  if (bWritePending) FinishIo(hPipe, &ovWrite);
  DisconnectNamedPipe(hPipe);
  CloseHandle(hPipe);
  CloseHandle(hReadEvent);
  CloseHandle(hWriteEvent);
  CLock lock(&m_Lock);
  pConnection->m_bClosed = true;
  // Bytes not yet written go to the next reader; after an unplug there are none.
  CDevice *pDevice = Find(pConnection->m_nDevice);
  if (pDevice != NULL && !pConnection->m_bDisconnect) {
    pDevice->m_ToHost.insert(0, pConnection->m_Outbound);
  }
  pConnection->m_Outbound.clear();
  Dispatch(pConnection->m_nDevice);
}
