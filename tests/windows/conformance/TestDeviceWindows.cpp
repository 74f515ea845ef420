// The conformance device on Windows: the server end of a byte-mode named
// pipe, served by a thread of the test process. The cases open the pipe's
// path with the system's CreateFileA and run the real overlapped I/O on it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "Conformance.h"
#include "TestDevice.h"

namespace conformance {
namespace {

class CPipeDevice : public CTestDevice {
 public:
  CPipeDevice() {
    InitializeCriticalSection(&m_Lock);
    InitializeConditionVariable(&m_Changed);
  }
  ~CPipeDevice() override {
    if (m_hThread != nullptr) {
      SetEvent(m_hRun);
      SetEvent(m_hStop);
      WaitForSingleObject(m_hThread, INFINITE);
      CloseHandle(m_hThread);
    }
    if (m_hPipe != INVALID_HANDLE_VALUE) {
      DisconnectNamedPipe(m_hPipe);
      CloseHandle(m_hPipe);
    }
    if (m_hStop != nullptr) CloseHandle(m_hStop);
    if (m_hRun != nullptr) CloseHandle(m_hRun);
    DeleteCriticalSection(&m_Lock);
  }

  bool Start(int nDevice) {
    char szPath[96];
    snprintf(szPath, sizeof szPath, "\\\\.\\pipe\\velto-conformance-%lu-%d",
             (unsigned long)GetCurrentProcessId(), nDevice);
    m_szPath = szPath;
    m_hPipe = CreateNamedPipeA(
        szPath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hRun = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (m_hPipe == INVALID_HANDLE_VALUE || m_hStop == nullptr || m_hRun == nullptr) return false;
    m_hThread = CreateThread(nullptr, 0, ServeProc, this, 0, nullptr);
    return m_hThread != nullptr;
  }

  std::string Path() const override { return m_szPath; }

  bool Send(const void *pData, DWORD nBytes) override {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD nWritten = 0;
    BOOL bOk = WriteFile(m_hPipe, pData, nBytes, &nWritten, &ov);
    if (!bOk && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(ov.hEvent, kBoundMs) != WAIT_OBJECT_0) CancelIoEx(m_hPipe, &ov);
      bOk = GetOverlappedResult(m_hPipe, &ov, &nWritten, TRUE);
    }
    CloseHandle(ov.hEvent);
    return bOk && nWritten == nBytes;
  }

  void Stall(bool bStall) override {
    if (bStall) {
      ResetEvent(m_hRun);
    } else {
      SetEvent(m_hRun);
    }
  }
  void AwaitPendingReads(DWORD) override { Sleep(200); }

  std::string Receive(DWORD nBytes) override {
    EnterCriticalSection(&m_Lock);
    const ULONGLONG nEnd = GetTickCount64() + kBoundMs;
    while (m_Written.size() < m_nReceived + nBytes && GetTickCount64() < nEnd) {
      SleepConditionVariableCS(&m_Changed, &m_Lock, 100);
    }
    std::string s;
    if (m_Written.size() >= m_nReceived + nBytes) {
      s = m_Written.substr(m_nReceived, nBytes);
      m_nReceived += nBytes;
    }
    LeaveCriticalSection(&m_Lock);
    return s;
  }

 private:
  static DWORD WINAPI ServeProc(LPVOID pParameter) {
    static_cast<CPipeDevice *>(pParameter)->Serve();
    return 0;
  }

  // Takes in what the host writes until the host closes or the device goes.
  void Serve() {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE ah[2] = {ov.hEvent, m_hStop};
    DWORD n = 0;
    bool bPending = false;
    // The host has usually connected already (ERROR_PIPE_CONNECTED), and may
    // even have gone again (ERROR_NO_DATA).
    bool bConnected = ConnectNamedPipe(m_hPipe, &ov) != FALSE;
    if (!bConnected) {
      const DWORD dwError = GetLastError();
      bConnected = dwError == ERROR_PIPE_CONNECTED;
      if (dwError == ERROR_IO_PENDING) {
        bPending = true;
        if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) == WAIT_OBJECT_0) {
          bPending = false;
          bConnected = GetOverlappedResult(m_hPipe, &ov, &n, FALSE) != FALSE;
        }
      }
    }
    char ab[4096];
    HANDLE ahRun[2] = {m_hRun, m_hStop};
    while (bConnected) {
      // Stalled: take nothing until the stall ends, so the pipe fills up.
      if (WaitForMultipleObjects(2, ahRun, FALSE, INFINITE) != WAIT_OBJECT_0) break;
      ResetEvent(ov.hEvent);
      if (!ReadFile(m_hPipe, ab, sizeof ab, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        break;
      }
      bPending = true;
      if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) != WAIT_OBJECT_0) break;
      bPending = false;
      if (!GetOverlappedResult(m_hPipe, &ov, &n, FALSE)) break;
      EnterCriticalSection(&m_Lock);
      m_Written.append(ab, n);
      LeaveCriticalSection(&m_Lock);
      WakeAllConditionVariable(&m_Changed);
    }
    if (bPending) {
      CancelIoEx(m_hPipe, &ov);
      GetOverlappedResult(m_hPipe, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
  }

  std::string m_szPath;
  HANDLE m_hPipe = INVALID_HANDLE_VALUE;
  HANDLE m_hStop = nullptr;
  HANDLE m_hRun = nullptr;  // reset while stalled
  HANDLE m_hThread = nullptr;
  CRITICAL_SECTION m_Lock;
  CONDITION_VARIABLE m_Changed;
  std::string m_Written;
  size_t m_nReceived = 0;
};

}  // namespace

bool RunningOnWine() {
  HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
  return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

std::unique_ptr<CTestDevice> CTestDevice::Create() {
  static int s_nDevices = 0;
  auto pDevice = std::make_unique<CPipeDevice>();
  if (!pDevice->Start(++s_nDevices)) {
    ADD_FAILURE() << "named pipe device cannot be made, error " << GetLastError();
    return nullptr;
  }
  return pDevice;
}

}  // namespace conformance
