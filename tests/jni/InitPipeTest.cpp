// Opening pipes: access values, detection and location, the handle reuse
// rules, and what a failure leaves in the port object.
#include <string.h>

#include "NativeTest.h"

using ::testing::ElementsAre;

namespace {

class InitPipeTest : public CNativeTest {};

TEST_F(InitPipeTest, AccessValuesAreTheTwoGenericRights) {
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetGenericReadValue(Env(), m_jni.Self()),
            -2147483647 - 1);
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetGenericWriteValue(Env(), m_jni.Self()),
            1073741824);
  EXPECT_THAT(Traces(), ElementsAre("usbGetGenericWriteValue Entry\n"));
}

TEST_F(InitPipeTest, NativeReadOpensANewHandleEveryTime) {
  const SIMDEV dev = PlugNative();
  ASSERT_NE(dev, 0);
  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  const jint hFirst = m_jni.PortField("hReadPort");
  EXPECT_NE(hFirst, 0);
  EXPECT_EQ(std::string(g_szDeviceName), m_szPath + "\\PIPE00");
  EXPECT_THAT(TracesOf("usbInitPipe"),
              ElementsAre("usbInitPipe ******Starting******\n",
                          "usbInitPipe ******Starting******\n", "usbInitPipe IDNATIVETYPE\n"));

  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  const jint hSecond = m_jni.PortField("hReadPort");
  EXPECT_NE(hSecond, hFirst);
  EXPECT_EQ(g_UsbComm.m_hReadPort.load(), nullptr);
  EXPECT_EQ(m_jni.PortFieldWrites("hReadPort"), 2);
  EXPECT_EQ(m_jni.PortFieldWrites("hWritePort"), 0);

  // The handle is the read pipe: bytes sent by the printer come through it.
  ReadsReturnAtOnce(dev);
  ASSERT_TRUE(SimSend(dev, "ok", 2));
  jbyteArray data = m_jni.NewByteArray(4, 0);
  EXPECT_EQ(Read(hSecond, data), 2);
  EXPECT_EQ(Close(hFirst), 0);
  EXPECT_EQ(Close(hSecond), 0);
}

TEST_F(InitPipeTest, WriteHandleIsOpenedOnceAndHandedOutAgain) {
  const SIMDEV dev = PlugNative();
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hWrite = m_jni.PortField("hWritePort");
  EXPECT_EQ(HandleOf(hWrite), g_UsbComm.m_hWritePort.load());
  EXPECT_EQ(std::string(g_szDeviceName), m_szPath + "\\PIPE01");

  ClearLines();
  const DWORD nOpensBefore = SimCallCount(SIM_FN_CreateFileA);
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  EXPECT_EQ(m_jni.PortField("hWritePort"), hWrite);
  EXPECT_EQ(m_jni.PortFieldWrites("hWritePort"), 2);
  // Detection and location still run (interface and probe opens), but no
  // pipe is opened for writing and no trace marks the reuse.
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA) - nOpensBefore, 3u);
  EXPECT_THAT(TracesOf("usbInitPipe"), ElementsAre("usbInitPipe ******Starting******\n",
                                                   "usbInitPipe ******Starting******\n"));

  jbyteArray data = m_jni.NewByteArray({1, 2, 3});
  EXPECT_EQ(Write(hWrite, data), 0);
  EXPECT_EQ(SimWritten(dev, nullptr, 0), 3u);
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(InitPipeTest, ClosedWriteHandleIsReplacedByTheNextOpen) {
  const SIMDEV dev = PlugNative();
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hOld = m_jni.PortField("hWritePort");
  ASSERT_EQ(Close(hOld), 0);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);

  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hNew = m_jni.PortField("hWritePort");
  EXPECT_EQ(HandleOf(hNew), g_UsbComm.m_hWritePort.load());
  jbyteArray data = m_jni.NewByteArray({7});
  EXPECT_EQ(Write(hNew, data), 0);
  EXPECT_EQ(SimWritten(dev, nullptr, 0), 1u);
  EXPECT_EQ(Close(hNew), 0);
}

TEST_F(InitPipeTest, FailedWriteOpenStaysStoredUntilClosed) {
  const SIMDEV dev = PlugNative();
  ASSERT_TRUE(SimScriptOpenError(dev, SIM_PIPE_01, ERROR_ACCESS_DENIED));
  EXPECT_EQ(InitPipe(kWrite), -1);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), INVALID_HANDLE_VALUE);
  // The script is used up, yet the stored failure is handed out again.
  EXPECT_EQ(InitPipe(kWrite), -1);
  EXPECT_EQ(m_jni.PortFieldWrites("hWritePort"), 0);

  // Java passes -1 back: it must match the stored INVALID_HANDLE_VALUE, so
  // that the close clears it and the next open tries the device again.
  // Closing INVALID_HANDLE_VALUE (the process pseudo-handle) succeeds.
  EXPECT_EQ(Close(-1), 0);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  EXPECT_EQ(Close(m_jni.PortField("hWritePort")), 0);
}

TEST_F(InitPipeTest, StoredReadHandleIsReturnedWithoutOpening) {
  const SIMDEV dev = PlugNative();
  ASSERT_NE(dev, 0);
  const std::string szPipe = m_szPath + "\\PIPE00";
  HANDLE hStored = CreateFileA(szPipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hStored, INVALID_HANDLE_VALUE);
  g_UsbComm.m_hReadPort = hStored;

  EXPECT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  EXPECT_EQ(HandleOf(m_jni.PortField("hReadPort")), hStored);
  EXPECT_THAT(TracesOf("usbInitPipe"), ElementsAre("usbInitPipe ******Starting******\n",
                                                   "usbInitPipe ******Starting******\n",
                                                   "usbInitPipe ...Just Returning handle\n"));
  g_UsbComm.m_hReadPort = nullptr;
  EXPECT_TRUE(CloseHandle(hStored));
}

TEST_F(InitPipeTest, WithoutPrinterNothingIsStored) {
  EXPECT_EQ(InitPipe(kRead), -1);
  EXPECT_EQ(InitPipe(kWrite), -1);
  EXPECT_EQ(g_UsbComm.m_nUsbType.load(), USB_TYPE_NATIVE);
  EXPECT_EQ(m_jni.PortFieldWrites("hReadPort"), 0);
  EXPECT_EQ(m_jni.PortFieldWrites("hWritePort"), 0);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
}

TEST_F(InitPipeTest, PrinterClassWriteOpenReportsItsType) {
  const SIMDEV dev = PlugPrinterClass();
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(g_UsbComm.m_nUsbType.load(), USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(std::string(g_szDeviceName), m_szPath + "\\PIPE01");
  const jint hWrite = m_jni.PortField("hWritePort");
  jbyteArray data = m_jni.NewByteArray({0x1b, 0x40});
  EXPECT_EQ(Write(hWrite, data), 0);
  EXPECT_EQ(SimWritten(dev, nullptr, 0), 2u);
  // The printer-class close belongs to the session; release the handle here.
  g_UsbComm.m_hWritePort = nullptr;
  EXPECT_TRUE(CloseHandle(HandleOf(hWrite)));
}

TEST_F(InitPipeTest, NativeInterfaceFoundAfterItsProbeFailed) {
  // The probe of PIPE00 fails and there is no printer-class device, so the
  // type falls back to native; the interface is still there and opens.
  const SIMDEV dev = PlugNative();
  ASSERT_TRUE(SimScriptOpenError(dev, SIM_PIPE_00, ERROR_BUSY));
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  EXPECT_EQ(Close(m_jni.PortField("hWritePort")), 0);
}

// Obvious faults: an access value that names no pipe, and JNI calls that fail.

TEST_F(InitPipeTest, OtherAccessValueIsRefusedBeforeAnyWork) {
  PlugNative();
  for (jint nAccess : {0, 1, (jint)(GENERIC_READ | GENERIC_WRITE), -1}) {
    EXPECT_EQ(InitPipe(nAccess), -1) << nAccess;
  }
  EXPECT_EQ(m_jni.CallCount(), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_SetupDiGetClassDevsA), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA), 0u);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  for (const auto &line : Traces()) EXPECT_EQ(line, "usbInitPipe ******Starting******\n");
}

TEST_F(InitPipeTest, NullPortObjectIsRefused) {
  PlugNative();
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbInitPipe(Env(), m_jni.Self(), nullptr, kWrite), -1);
  EXPECT_EQ(m_jni.CallCount(), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA), 0u);
}

TEST_F(InitPipeTest, FailedGetObjectClassEndsTheCall) {
  PlugNative();
  m_jni.Fail(FAKEJNI_GetObjectClass);
  EXPECT_EQ(InitPipe(kWrite), -1);
  EXPECT_EQ(m_jni.CallCount(), 1u);
  EXPECT_EQ(m_jni.CallsAfterFailure(), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA), 0u);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
}

TEST_F(InitPipeTest, FailedGetFieldIdEndsTheCall) {
  PlugNative();
  m_jni.Fail(FAKEJNI_GetFieldID);
  EXPECT_EQ(InitPipe(kRead), -1);
  EXPECT_EQ(m_jni.CallCount(), 2u);
  EXPECT_EQ(m_jni.CallsAfterFailure(), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA), 0u);
}

TEST_F(InitPipeTest, FieldLookupNamesTheFieldOfThePipe) {
  PlugNative();
  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  const jint hRead = m_jni.PortField("hReadPort");
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hWrite = m_jni.PortField("hWritePort");
  std::vector<std::string> names;
  for (const auto &call : m_jni.Calls()) {
    if (call.nFn == FAKEJNI_GetFieldID) names.push_back(call.szText);
  }
  EXPECT_THAT(names, ElementsAre("hReadPort", "hWritePort"));
  EXPECT_EQ(Close(hRead), 0);
  EXPECT_EQ(Close(hWrite), 0);
}

}  // namespace
