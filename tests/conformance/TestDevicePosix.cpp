// The conformance device on the emulation: a simulated printer of the USB
// printer class, reached by its bare interface path.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <stdio.h>

#include "Conformance.h"
#include "TestDevice.h"
#include "velto/simprinter.h"

namespace conformance {
namespace {

class CSimDevice : public CTestDevice {
 public:
  CSimDevice(SIMDEV dev, std::string szPath) : m_dev(dev), m_szPath(std::move(szPath)) {}
  ~CSimDevice() override { SimUnplug(m_dev); }
  std::string Path() const override { return m_szPath; }
  bool Send(const void *pData, DWORD nBytes) override {
    return SimSend(m_dev, pData, nBytes) != FALSE;
  }
  std::string Receive(DWORD nBytes) override {
    const DWORD nWanted = m_nReceived + nBytes;
    if (!SimWaitWritten(m_dev, nWanted, kBoundMs)) return std::string();
    std::string s(nWanted, '\0');
    SimWritten(m_dev, &s[0], nWanted);
    m_nReceived = nWanted;
    return s.substr(nWanted - nBytes);
  }
  void Stall(bool bStall) override { SimSetWriteStall(m_dev, bStall ? TRUE : FALSE); }
  void AwaitPendingReads(DWORD nReads) override {
    EXPECT_TRUE(SimWaitPendingReads(m_dev, nReads, kBoundMs));
  }

 private:
  const SIMDEV m_dev;
  const std::string m_szPath;
  DWORD m_nReceived = 0;
};

}  // namespace

bool RunningOnWine() { return false; }

std::unique_ptr<CTestDevice> CTestDevice::Create() {
  static int s_nDevices = 0;
  char szPath[128];
  snprintf(szPath, sizeof szPath,
           "\\\\?\\usb#vid_0000&pid_0000#conformance%04d#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
           ++s_nDevices);
  const SIMDEV dev = SimPlug(SIM_CLASS_PRINTER, nullptr, szPath);
  if (dev == 0) {
    ADD_FAILURE() << "SimPlug failed for " << szPath;
    return nullptr;
  }
  return std::make_unique<CSimDevice>(dev, szPath);
}

}  // namespace conformance
#endif
