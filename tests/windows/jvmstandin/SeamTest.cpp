// The test build of the library (pipe seam) in the JVM stand-in, against
// simulated printers on named pipes: both USB types end to end on the real
// Win32 API. Only the device enumeration and the opening of device paths go
// through the seam; the reads, writes, overlapped I/O, CancelIo,
// GetOverlappedResult, events and the receiver thread are the system's.
#include <stdio.h>

#include "ImportHook.h"
#include "PipePrinter.h"
#include "StandInTest.h"
#include "usbcomm/UsbComm.h"

namespace {

const jint kGenericRead = static_cast<jint>(0x80000000u);
const jint kGenericWrite = 0x40000000;

class SeamTest : public CStandInTest {
 protected:
  void SetUp() override {
    if (g_SeamDllPath.empty()) GTEST_SKIP() << "no --seam-dll= given";
    ASSERT_TRUE(m_Bus.Start());
    LoadLibraryUnderTest(g_SeamDllPath);
  }
  void TearDown() override {
    CStandInTest::TearDown();
    m_Bus.Stop();
  }

  // An interface path with the first identifier of the device table.
  static std::string PathFor(const GUID &interfaceClass, const char *pszSerial) {
    return std::string("\\\\?\\usb#") + g_apszDevicePatterns[0] + "#" + pszSerial + "#" +
           GuidText(interfaceClass);
  }
  int PlugNative() {
    return m_Bus.Plug(GUID_DEVINTERFACE_NATIVE_PRINTER,
                      PathFor(GUID_DEVINTERFACE_NATIVE_PRINTER, "native01").c_str());
  }
  int PlugPrinterClass() {
    return m_Bus.Plug(GUID_DEVINTERFACE_USBPRINT,
                      PathFor(GUID_DEVINTERFACE_USBPRINT, "pcls01").c_str());
  }

  // A Java read of at most nLength bytes: its result and the bytes read.
  jint Read(jint handle, size_t nLength, std::string *pBytes) {
    jbyteArray array = m_pJvm->NewByteArray(std::string(nLength, '\x55'));
    const jint nRead = m_pJvm->ReadInputPipe(handle, array);
    *pBytes = nRead > 0 ? m_pJvm->Bytes(array).substr(0, (size_t)nRead) : std::string();
    if (nRead >= 0) {
      EXPECT_EQ(m_pJvm->Bytes(array).substr((size_t)nRead), std::string(nLength - nRead, '\x55'))
          << "bytes past the count were touched";
    }
    return nRead;
  }
  // Java reads until nBytes have come (each read waits 100 ms at most in a
  // printer-class session), within the bound.
  std::string ReadAll(jint handle, size_t nBytes) {
    std::string all;
    const ULONGLONG nEnd = GetTickCount64() + kBoundMs;
    while (all.size() < nBytes && GetTickCount64() < nEnd) {
      std::string part;
      if (Read(handle, nBytes - all.size(), &part) > 0) all += part;
    }
    return all;
  }
  jint Write(jint handle, const std::string &bytes) {
    return m_pJvm->WriteOutputPipe(handle, m_pJvm->NewByteArray(bytes));
  }
  bool Traced(const std::string &tag, const std::string &text, size_t nFrom = 0,
              bool bPrefix = false) {
    return CDebugCapture::WaitFor(tag, text, kBoundMs, nFrom, bPrefix) >= 0;
  }

  CPipeBus m_Bus;
};

TEST_F(SeamTest, NativeTypeReadsWritesAndClosesOnRealHandles) {
  const int nDevice = PlugNative();
  ASSERT_NE(nDevice, 0);
  jobject port = m_pJvm->NewPort(0);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_NATIVE);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericWrite), USB_TYPE_NATIVE);
  const jint hRead = m_pJvm->PortField(port, "hReadPort");
  const jint hWrite = m_pJvm->PortField(port, "hWritePort");
  EXPECT_NE(hRead, 0);
  EXPECT_NE(hWrite, 0);
  EXPECT_NE(hRead, hWrite);
  EXPECT_TRUE(Traced("usbInitPipe", "IDNATIVETYPE"));
  EXPECT_EQ(m_Bus.OpenCount(nDevice, PIPE_KIND_01), 1u);

  // A second write open hands out the stored handle; a second read open
  // opens anew.
  jobject port2 = m_pJvm->NewPort(0);
  ASSERT_EQ(m_pJvm->InitPipe(port2, kGenericWrite), USB_TYPE_NATIVE);
  EXPECT_EQ(m_pJvm->PortField(port2, "hWritePort"), hWrite);
  EXPECT_EQ(m_Bus.OpenCount(nDevice, PIPE_KIND_01), 1u);
  ASSERT_EQ(m_pJvm->InitPipe(port2, kGenericRead), USB_TYPE_NATIVE);
  const jint hRead2 = m_pJvm->PortField(port2, "hReadPort");
  EXPECT_NE(hRead2, hRead);
  EXPECT_EQ(m_pJvm->ClosePipe(hRead2), 0);

  // Printer to host: one synchronous ReadFile takes what is there.
  ASSERT_TRUE(m_Bus.Send(nDevice, "hello", 5));
  std::string bytes;
  EXPECT_EQ(Read(hRead, 16, &bytes), 5);
  EXPECT_EQ(bytes, "hello");

  // Host to printer, and a status request answered by the printer.
  m_Bus.AddResponder(nDevice, "\x10\x04\x01", "\x12");
  EXPECT_EQ(Write(hWrite, "\x1b@\x10\x04\x01"), 0);
  ASSERT_TRUE(m_Bus.WaitWritten(nDevice, 5, kBoundMs));
  EXPECT_EQ(m_Bus.Written(nDevice), "\x1b@\x10\x04\x01");
  EXPECT_EQ(Read(hRead, 4, &bytes), 1);
  EXPECT_EQ(bytes, "\x12");

  // A pipe is not the native driver: the serial requests fail with the
  // system's own answer for that handle.
  HANDLE hReadHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(hRead));
  COMMTIMEOUTS timeouts = {};
  DWORD n = 0;
  ASSERT_FALSE(DeviceIoControl(hReadHandle, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts,
                               sizeof timeouts, &n, nullptr));
  EXPECT_EQ(m_pJvm->GetCommTimeout(hRead), static_cast<jint>(GetLastError()));

  // Closing the write pipe clears the stored handle: the next write finds none.
  EXPECT_EQ(m_pJvm->ClosePipe(hWrite), 0);
  EXPECT_EQ(Write(hWrite, "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(m_pJvm->ClosePipe(hRead), 0);
  EXPECT_TRUE(m_Bus.WaitLiveConnections(nDevice, 0, kBoundMs)) << "a handle was left open";
}

TEST_F(SeamTest, PrinterClassSessionRunsTheReceiverOnOverlappedReads) {
  const int nDevice = PlugPrinterClass();
  ASSERT_NE(nDevice, 0);
  jobject port = m_pJvm->NewPort(0);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_PRINTER_CLASS);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericWrite), USB_TYPE_PRINTER_CLASS);
  const jint hRead = m_pJvm->PortField(port, "hReadPort");
  const jint hWrite = m_pJvm->PortField(port, "hWritePort");
  EXPECT_EQ(
      Texts("usbInitPipe"),
      (std::vector<std::string>{
          "******Starting******", "******Starting******", "...Called Read Create File",
          "Creating m_hPCLSDataEvent", "Creating m_pCCBuffer", "*****Creating m_hWorkerThread*****",
          "ResumeThread succeeded", "******Starting******", "******Starting******"}));

  // The receiver's 64-byte read pends on the real pipe until bytes come.
  ASSERT_TRUE(Traced("_ReceiveData", "***** ENTER *****"));
  ASSERT_TRUE(Traced("ReadFile", "ERROR_IO_PENDING"));
  size_t nMark = CDebugCapture::Count();
  ASSERT_TRUE(m_Bus.Send(nDevice, "abc", 3));
  EXPECT_TRUE(Traced("ReadFile", "Overlapped event fires", nMark));
  EXPECT_TRUE(Traced("ReceiveData", "From1 ReceiveData nBytesRead=3", nMark));
  EXPECT_TRUE(Traced("ReceiveData", "1SetEvent(m_hPCLSDataEvent)", nMark));
  EXPECT_EQ(ReadAll(hRead, 3), "abc");

  // 100 bytes against a pending 64-byte read: the rest is in the pipe when
  // the next read is issued, which completes at once.
  ASSERT_TRUE(Traced("ReadFile", "ERROR_IO_PENDING", nMark));
  nMark = CDebugCapture::Count();
  std::string block;
  for (int i = 0; i < 100; ++i) block += static_cast<char>(i);
  ASSERT_TRUE(m_Bus.Send(nDevice, block.data(), (DWORD)block.size()));
  EXPECT_TRUE(Traced("ReceiveData", "From1 ReceiveData nBytesRead=64", nMark));
  EXPECT_TRUE(Traced("ReceiveData", "From2 ReceiveData nBytesRead=36", nMark));
  EXPECT_TRUE(Traced("ReceiveData", "ReadFile No error", nMark));
  const ULONGLONG nEnd = GetTickCount64() + kBoundMs;
  while (m_pJvm->GetBytesAvailable() < 100 && GetTickCount64() < nEnd) Sleep(10);
  EXPECT_EQ(m_pJvm->GetBytesAvailable(), 100);
  std::string first;
  EXPECT_EQ(Read(hRead, 10, &first), 10);
  EXPECT_EQ(first, block.substr(0, 10));
  EXPECT_EQ(m_pJvm->GetBytesAvailable(), 90);
  EXPECT_EQ(ReadAll(hRead, 90), block.substr(10));

  // Nothing there: the read waits its 100 ms and fails.
  nMark = CDebugCapture::Count();
  std::string none;
  EXPECT_EQ(Read(hRead, 8, &none), -1);
  EXPECT_TRUE(Traced("GetPCLSData", "Timeout", nMark));

  // Writes go synchronously through the stored write handle.
  EXPECT_EQ(Write(hWrite, "print me"), 0);
  ASSERT_TRUE(m_Bus.WaitWritten(nDevice, 8, kBoundMs));
  EXPECT_EQ(m_Bus.Written(nDevice), "print me");

  // The close stops the receiver: the quit event ends its pending read,
  // which it cancels; then everything is released.
  nMark = CDebugCapture::Count();
  EXPECT_EQ(m_pJvm->ClosePipe(hRead), 0);
  EXPECT_TRUE(Traced("ReadFile", "Quit event fires", nMark));
  EXPECT_TRUE(Traced("_ReceiveData", "***** EXIT *****", nMark));
  EXPECT_TRUE(Traced("usbClosePipe", "match close res rv=0", nMark));
  EXPECT_TRUE(Traced("usbClosePipe", "Close Read Handle", nMark));
  EXPECT_TRUE(Traced("usbClosePipe", "Close Write Handle", nMark));
  EXPECT_EQ(WaitNoLibraryThreads(m_pJvm->Module()), 0) << "the receiver outlived the close";
  EXPECT_EQ(m_pJvm->GetBytesAvailable(), 0);
  EXPECT_TRUE(m_Bus.WaitLiveConnections(nDevice, 0, kBoundMs)) << "a handle was left open";
  EXPECT_EQ(m_pJvm->ClosePipe(hWrite), 0) << "a second close finds no session";
}

TEST_F(SeamTest, FailedSessionOpenLeavesNothingAndTheNextOpenStartsAfresh) {
  const int nDevice = PlugPrinterClass();
  ASSERT_NE(nDevice, 0);
  // The printer goes away between detection (which opened "PIPE00" once)
  // and the session's own open of "PIPE00": that open is refused as for a
  // removed device. Java gets -1 and no handle to close a session with, so
  // the open releases the session it started.
  m_Bus.ScriptOpenError(nDevice, PIPE_KIND_00, 1, ERROR_FILE_NOT_FOUND, true);
  jobject port = m_pJvm->NewPort(0);
  EXPECT_EQ(m_pJvm->InitPipe(port, kGenericRead), -1);
  EXPECT_EQ(m_pJvm->PortWrites(port), 0);
  EXPECT_FALSE(m_Bus.IsPlugged(nDevice));
  EXPECT_EQ(WaitNoLibraryThreads(m_pJvm->Module()), 0) << "the receiver outlived the failed open";

  // Back: the next open starts a session that reads and writes.
  ASSERT_TRUE(m_Bus.Replug(nDevice));
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_PRINTER_CLASS);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericWrite), USB_TYPE_PRINTER_CLASS);
  const jint hRead = m_pJvm->PortField(port, "hReadPort");
  const jint hWrite = m_pJvm->PortField(port, "hWritePort");
  ASSERT_TRUE(Traced("ReadFile", "ERROR_IO_PENDING"));

  ASSERT_TRUE(m_Bus.Send(nDevice, "back", 4));
  EXPECT_EQ(ReadAll(hRead, 4), "back");
  EXPECT_EQ(Write(hWrite, "again"), 0);
  ASSERT_TRUE(m_Bus.WaitWritten(nDevice, 5, kBoundMs));
  EXPECT_EQ(m_Bus.Written(nDevice), "again");

  EXPECT_EQ(m_pJvm->ClosePipe(hRead), 0);
  EXPECT_TRUE(m_Bus.WaitLiveConnections(nDevice, 0, kBoundMs)) << "a handle was left open";
}

TEST_F(SeamTest, BrokenPipeIsRetriedUntilJavaOpensTheSessionAgain) {
  const int nDevice = PlugPrinterClass();
  ASSERT_NE(nDevice, 0);
  jobject port = m_pJvm->NewPort(0);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_PRINTER_CLASS);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericWrite), USB_TYPE_PRINTER_CLASS);
  jint hRead = m_pJvm->PortField(port, "hReadPort");
  jint hWrite = m_pJvm->PortField(port, "hWritePort");
  ASSERT_TRUE(Traced("ReadFile", "ERROR_IO_PENDING"));

  // Unplugged: the pipe server disconnects. The pending read ends with the
  // system's broken-pipe error, which the receiver does not list: it cancels,
  // pauses and retries on the same handle.
  size_t nMark = CDebugCapture::Count();
  ASSERT_TRUE(m_Bus.Unplug(nDevice));
  const int nDefault = CDebugCapture::WaitFor("Default case", " dwError = ", kBoundMs, nMark, true);
  ASSERT_GE(nDefault, 0);
  const std::string errorText = CDebugCapture::Lines()[(size_t)nDefault].m_Text;
  EXPECT_TRUE(errorText == " dwError = 109" || errorText == " dwError = 233") << errorText;
  EXPECT_TRUE(
      Traced("ReceiveData", "default error - doing Cancel I/O and making retry attempt", nMark));
  EXPECT_NE(Write(hWrite, "lost"), 0);
  std::string none;
  EXPECT_EQ(Read(hRead, 8, &none), -1);

  // Back on the bus; the old handles stay dead, the receiver keeps retrying.
  ASSERT_TRUE(m_Bus.Replug(nDevice));
  nMark = CDebugCapture::Count();
  EXPECT_TRUE(Traced("Default case", " dwError = ", nMark, true));

  // Java closes and opens again: a new session on new handles.
  EXPECT_EQ(m_pJvm->ClosePipe(hRead), 0);
  EXPECT_EQ(WaitNoLibraryThreads(m_pJvm->Module()), 0);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_PRINTER_CLASS);
  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericWrite), USB_TYPE_PRINTER_CLASS);
  hRead = m_pJvm->PortField(port, "hReadPort");
  hWrite = m_pJvm->PortField(port, "hWritePort");
  ASSERT_TRUE(m_Bus.Send(nDevice, "fresh", 5));
  EXPECT_EQ(ReadAll(hRead, 5), "fresh");
  EXPECT_EQ(Write(hWrite, "ok"), 0);
  ASSERT_TRUE(m_Bus.WaitWritten(nDevice, 2, kBoundMs));
  EXPECT_EQ(m_pJvm->ClosePipe(hWrite), 0);
  EXPECT_TRUE(m_Bus.WaitLiveConnections(nDevice, 0, kBoundMs)) << "a handle was left open";
}

// The ring buffer cannot be made: first its object (the module's first
// allocation in the open: operator new throws std::bad_alloc), then its 4 KiB
// of storage (the buffer's own failure code). Each exception must end inside
// the module: on 32-bit Windows one that reached the stand-in's frame would
// end the process. The half session is released, so a later open starts a
// whole one.
TEST_F(SeamTest, RingBufferThatCannotBeAllocatedFailsTheOpenCleanly) {
  const int nDevice = PlugPrinterClass();
  ASSERT_NE(nDevice, 0);
  ASSERT_TRUE(CAllocationFailure::Install(m_pJvm->Module()));
  jobject port = m_pJvm->NewPort(0);
  const struct {
    long nCalls;
    size_t nMinBytes;
  } failures[] = {{1, 0}, {-1, 4096}};
  for (const auto &failure : failures) {
    CAllocationFailure::Begin(failure.nCalls, failure.nMinBytes);
    const jint nResult = m_pJvm->InitPipe(port, kGenericRead);
    CAllocationFailure::End();
    EXPECT_EQ(nResult, -1);
    EXPECT_GT(CAllocationFailure::Refused(), 0);
    EXPECT_EQ(m_pJvm->PortWrites(port), 0);
    EXPECT_EQ(WaitNoLibraryThreads(m_pJvm->Module()), 0) << "a receiver without a session";
  }

  ASSERT_EQ(m_pJvm->InitPipe(port, kGenericRead), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(Traced("ReadFile", "ERROR_IO_PENDING"));
  const jint hRead = m_pJvm->PortField(port, "hReadPort");
  ASSERT_TRUE(m_Bus.Send(nDevice, "mem", 3));
  EXPECT_EQ(ReadAll(hRead, 3), "mem");
  EXPECT_EQ(m_pJvm->ClosePipe(hRead), 0);
  EXPECT_TRUE(m_Bus.WaitLiveConnections(nDevice, 0, kBoundMs)) << "a handle was left open";
}

}  // namespace
