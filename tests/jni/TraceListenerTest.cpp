// Trace lines are formatted and sent only while someone listens: a debugger
// (here the emulation's listener) or a debug-output viewer, whose
// DBWIN_BUFFER_READY event the library looks for now and then.
#include "NativeTest.h"
#include "trace/Trace.h"

namespace {

class TraceListenerTest : public CNativeTest {
 protected:
  // Output calls made by one traced native call.
  DWORD LinesOfOneCall() {
    const DWORD nBefore = SimCallCount(SIM_FN_OutputDebugStringA);
    Java_com_velto_printer_UsbPort_usbGetGenericWriteValue(Env(), m_jni.Self());
    return SimCallCount(SIM_FN_OutputDebugStringA) - nBefore;
  }
  // Calls until one makes (bSent) or does not make output, within the bound.
  bool EventuallySends(bool bSent) {
    for (int i = 0; i < 2000; ++i) {
      if ((LinesOfOneCall() != 0) == bSent) return true;
      Sleep(10);
    }
    return false;
  }
};

TEST_F(TraceListenerTest, NothingIsSentWhileNobodyListensAndAViewerIsHeardWhenItStarts) {
  const SIMDEV dev = PlugNative();
  ReadsReturnAtOnce(dev);
  SimSetDebugListener(nullptr, nullptr);
  ASSERT_TRUE(EventuallySends(false));

  // A whole session's worth of traced calls: not one line sent.
  const DWORD nBefore = SimCallCount(SIM_FN_OutputDebugStringA);
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  ASSERT_TRUE(SimSend(dev, "ab", 2));
  EXPECT_EQ(Write(m_jni.PortField("hWritePort"), m_jni.NewByteArray({1, 2, 3})), 0);
  EXPECT_EQ(Read(m_jni.PortField("hReadPort"), m_jni.NewByteArray(8, 0)), 2);
  DumpHex("WRITE", reinterpret_cast<const BYTE *>("abc"), 3, 12);
  EXPECT_EQ(SimCallCount(SIM_FN_OutputDebugStringA), nBefore);

  // A debug viewer starts (its event appears), and goes away again.
  const HANDLE hReady = CreateEventA(nullptr, FALSE, TRUE, "DBWIN_BUFFER_READY");
  ASSERT_NE(hReady, nullptr);
  EXPECT_TRUE(EventuallySends(true));
  CloseHandle(hReady);
  EXPECT_TRUE(EventuallySends(false));

  EXPECT_EQ(Close(m_jni.PortField("hReadPort")), 0);
  EXPECT_EQ(Close(m_jni.PortField("hWritePort")), 0);
}

}  // namespace
