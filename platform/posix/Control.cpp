// Lifecycle of the emulation: reset between tests, the leak report and the
// timer's granularity.
#include <string.h>

#include "Kernel.h"

using namespace emu;

extern "C" {

void SimReset(void) {
  InjectReset();
  MiscReset();
  SetTimerGranularity(0);
  Guard lock(KernelLock());
  DevicesReset();
  NotifyAll();
}

void SimSetTimerGranularity(DWORD dwMicroseconds) { SetTimerGranularity(dwMicroseconds); }

DWORD SimOpenHandleCount(void) {
  Guard lock(KernelLock());
  return HandleCount();
}

DWORD SimLiveThreadCount(void) {
  Guard lock(KernelLock());
  return LiveThreadCount();
}

DWORD SimDeviceCount(void) {
  Guard lock(KernelLock());
  return DeviceCount();
}

DWORD SimLeakReport(char *pszReport, DWORD nCap, DWORD dwGraceMs) {
  Guard lock(KernelLock());
  WaitUntil(lock, Deadline::After(dwGraceMs), [] { return LiveThreadCount() == 0; });
  const DWORD nLeaks = HandleCount() + LiveThreadCount() + MemoryBlockCount() +
                       CriticalSectionCount() + DeviceCount() + DeviceInfoSetCount();
  const std::string report = DescribeHandles() + DescribeThreads() + DescribeMemoryBlocks() +
                             DescribeCriticalSections() + DescribeDevices();
  if (pszReport != nullptr && nCap > 0) {
    const size_t n = report.size() < nCap ? report.size() : nCap - 1;
    memcpy(pszReport, report.data(), n);
    pszReport[n] = '\0';
  }
  return nLeaks;
}

}  // extern "C"
