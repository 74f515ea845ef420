// Fixture of the device tests: plugs printers, opens their files, runs
// blocking reads on helper threads, and unplugs and closes what it made
// before the leak check of CSimTest.
#pragma once

#include <future>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "velto/platform.h"

constexpr DWORD kBoundMs = 10000;

// Interface class of the test's native-class printers.
const GUID g_guidTestNative = {
    0x0E4B7A10, 0x3C55, 0x4F21, {0x8A, 0x61, 0x27, 0xD9, 0x0B, 0x54, 0xE1, 0x6C}};

struct CReadResult {
  BOOL bOk = FALSE;
  DWORD dwError = 0;
  std::string sData;
  bool bPended = false;  // an overlapped read that did not complete at once
};

class DeviceTest : public CSimTest {
 protected:
  void TearDown() override {
    for (HANDLE h : m_handles) CloseHandle(h);  // those the test closed fail harmlessly
    for (SIMDEV dev : m_devices) SimUnplug(dev);
    CSimTest::TearDown();
  }

  SIMDEV Plug(int nClass, const std::string &sPath) {
    const SIMDEV dev =
        SimPlug(nClass, nClass == SIM_CLASS_NATIVE ? &g_guidTestNative : nullptr, sPath.c_str());
    EXPECT_NE(dev, 0) << sPath;
    m_devices.push_back(dev);
    return dev;
  }
  HANDLE Open(const std::string &sPath, DWORD dwFlags = 0) {
    HANDLE h =
        CreateFileA(sPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, dwFlags, nullptr);
    if (h != INVALID_HANDLE_VALUE) m_handles.push_back(h);
    return h;
  }
  HANDLE Event() {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_handles.push_back(h);
    return h;
  }
  // A read of up to nBytes on another thread.
  static std::future<CReadResult> ReadAsync(HANDLE h, DWORD nBytes, bool bOverlapped = false) {
    return std::async(std::launch::async,
                      [h, nBytes, bOverlapped] { return Read(h, nBytes, bOverlapped); });
  }
  // A synchronous read, or an overlapped one (h opened with the flag) that
  // is then waited for.
  static CReadResult Read(HANDLE h, DWORD nBytes, bool bOverlapped = false) {
    CReadResult r;
    std::string s(nBytes, '\0');
    DWORD nRead = 0;
    OVERLAPPED ov{};
    ov.hEvent = bOverlapped ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    r.bOk = ReadFile(h, &s[0], nBytes, &nRead, bOverlapped ? &ov : nullptr);
    r.bPended = !r.bOk && GetLastError() == ERROR_IO_PENDING;
    if (r.bPended) r.bOk = GetOverlappedResult(h, &ov, &nRead, TRUE);
    r.dwError = r.bOk ? 0 : GetLastError();
    r.sData = s.substr(0, nRead);
    if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
    return r;
  }
  static CReadResult Await(std::future<CReadResult> &f) {
    if (f.wait_for(std::chrono::milliseconds(kBoundMs)) != std::future_status::ready) {
      ADD_FAILURE() << "read did not end";
      SimReset();  // ends every read, so that the helper thread can be joined
    }
    return f.get();
  }
  // A synchronous write, or an overlapped one that is then waited for.
  static BOOL Write(HANDLE h, const std::string &s, DWORD *pnWritten = nullptr,
                    bool bOverlapped = false) {
    DWORD n = 0;
    OVERLAPPED ov{};
    BOOL bOk =
        WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, bOverlapped ? &ov : nullptr);
    if (!bOk && GetLastError() == ERROR_IO_PENDING) bOk = GetOverlappedResult(h, &ov, &n, TRUE);
    if (pnWritten != nullptr) *pnWritten = n;
    return bOk;
  }
  static std::string Written(SIMDEV dev) {
    std::string s(SimWritten(dev, nullptr, 0), '\0');
    SimWritten(dev, &s[0], static_cast<DWORD>(s.size()));
    return s;
  }
  static void Send(SIMDEV dev, const std::string &s) {
    ASSERT_TRUE(SimSend(dev, s.data(), static_cast<DWORD>(s.size())));
  }

  std::vector<SIMDEV> m_devices;
  std::vector<HANDLE> m_handles;
};

// Interface paths of the tests' printers.
inline std::string PathOf(const char *pszSerial) {
  return std::string("\\\\?\\usb#vid_04b8&pid_0e15#") + pszSerial +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}
