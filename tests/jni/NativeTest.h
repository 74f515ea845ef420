// Fixture for calling the natives on simulated printers through the
// stand-in JNIEnv.
#pragma once

#include <gmock/gmock.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "FakeJni.h"
#include "SimFixture.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"
#include "velto/simprinter.h"

// Interface paths as the two drivers report them, around a device pattern.
inline std::string NativePath(const std::string &szIds, const std::string &szInstance = "1") {
  return "\\\\?\\usb#" + szIds + "#6&1f2e3d4c&0&" + szInstance +
         "#{6e3b1a52-94d7-4c2e-b5a8-3f71d0c9e846}";
}
inline std::string PrinterClassPath(const std::string &szIds, const std::string &szInstance = "1") {
  return "\\\\?\\usb#" + szIds + "#7&2a3b4c5d&0&" + szInstance +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

inline HANDLE HandleOf(jint nHandle) { return (HANDLE)(intptr_t)nHandle; }
inline jint JavaHandle(HANDLE h) { return (jint)(intptr_t)h; }

class CNativeTest : public CSimTest {
 protected:
  void TearDown() override {
    EXPECT_TRUE(m_jni.Faults().empty())
        << "JNI misuse: " << ::testing::PrintToString(m_jni.Faults());
    EXPECT_EQ(m_jni.OutstandingElements(), 0);
    for (SIMDEV dev : m_devices) SimUnplug(dev);
    CSimTest::TearDown();
  }

  SIMDEV PlugNative(const std::string &szIds = "vid_fa1c&pid_0a01") {
    m_szPath = NativePath(szIds);
    return Plugged(SimPlug(SIM_CLASS_NATIVE, &GUID_DEVINTERFACE_NATIVE_PRINTER, m_szPath.c_str()));
  }
  SIMDEV PlugPrinterClass(const std::string &szIds = "VID_FB2D&PID_1B10") {
    m_szPath = PrinterClassPath(szIds);
    return Plugged(SimPlug(SIM_CLASS_PRINTER, &SIM_GUID_DEVINTERFACE_USBPRINT, m_szPath.c_str()));
  }
  // Devices are unplugged at the end of the test.
  SIMDEV Plugged(SIMDEV dev) {
    if (dev != 0) m_devices.push_back(dev);
    return dev;
  }

  JNIEnv *Env() { return m_jni.Env(); }
  jint InitPipe(jint nAccess) {
    return Java_com_velto_printer_UsbPort_usbInitPipe(Env(), m_jni.Self(), m_jni.Port(), nAccess);
  }
  jint Read(jint nHandle, jbyteArray data) {
    return Java_com_velto_printer_UsbPort_usbReadInputPipe(Env(), m_jni.Self(), nHandle, data);
  }
  jint Write(jint nHandle, jbyteArray data) {
    return Java_com_velto_printer_UsbPort_usbWriteOutputPipe(Env(), m_jni.Self(), nHandle, data);
  }
  jint Close(jint nHandle) {
    return Java_com_velto_printer_UsbPort_usbClosePipe(Env(), m_jni.Self(), nHandle);
  }
  // Reads on the native driver return at once with what has arrived.
  void ReadsReturnAtOnce(SIMDEV dev) {
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SimSetTimeouts(dev, &timeouts));
  }

  // Captured debugger lines without source line numbers.
  std::vector<std::string> Traces() { return WithoutLineNumbers(Lines()); }
  // Only the lines under one tag.
  std::vector<std::string> TracesOf(const std::string &szTag) {
    std::vector<std::string> result;
    for (const auto &line : Traces()) {
      if (line.compare(0, szTag.size() + 1, szTag + " ") == 0) result.push_back(line);
    }
    return result;
  }

  CFakeJni m_jni;
  std::string m_szPath;
  std::vector<SIMDEV> m_devices;
};

const jint kRead = (jint)GENERIC_READ;
const jint kWrite = (jint)GENERIC_WRITE;
