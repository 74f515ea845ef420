// The receiver thread: completions, the error rows, its ways out (each
// followed by a close that returns), and the reopen of the handles.
#include <atomic>
#include <future>
#include <ostream>
#include <thread>

#include "PclsTestSupport.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"

extern std::atomic<LONG> g_bFileNotFoundTraced;

namespace {

class ReceiverTest : public CPclsTest {};

TEST_F(ReceiverTest, ImmediateCompletionsAreStoredAndAnnouncedEvenWithoutBytes) {
  ASSERT_TRUE(SimScriptZeroRead(m_Dev, SIM_PIPE_00));
  StartSession();
  EXPECT_TRUE(m_Log.InOrder({"From2 ReceiveData nBytesRead=0", "2SetEvent(m_hPCLSDataEvent)",
                             "ReadFile No error", "Loop top"}));
  EXPECT_EQ(WaitForSingleObject(g_UsbComm.m_hPCLSDataEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Close(ReadHandle()), 0);
}

TEST_F(ReceiverTest, BytesWaitingBeforeTheReadCompleteItAtOnce) {
  ASSERT_TRUE(SimSend(m_Dev, "\x01\x02\xa0", 3));
  StartSession();
  EXPECT_EQ(m_Log.Count("From2 ReceiveData nBytesRead=3"), 1u);
  EXPECT_EQ(m_Log.Count("READ2 01 02 a0\n"), 1u);
  EXPECT_EQ(Close(ReadHandle()), 0);
}

TEST_F(ReceiverTest, PendingReadEndingWithoutBytesIsAFalsePositive) {
  StartSession();
  ASSERT_TRUE(SimScriptZeroRead(m_Dev, SIM_PIPE_00));
  ASSERT_TRUE(m_Log.WaitFor("False positive, no data"));
  EXPECT_TRUE(m_Log.InOrder(
      {"Overlapped event fires", "From1 ReceiveData nBytesRead=0", "False positive, no data"}));
  EXPECT_EQ(WaitForSingleObject(g_UsbComm.m_hPCLSDataEvent, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(g_UsbComm.BytesAvailable(), 0u);
  ASSERT_TRUE(m_Log.WaitFor("ERROR_IO_PENDING", 2));
  EXPECT_EQ(Close(ReadHandle()), 0);
}

TEST_F(ReceiverTest, QuitDuringAPendingReadEndsInTheDocumentedOrder) {
  StartSession();
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(m_Log.InOrder({"Quit event fires", "SetEvent(m_ReadThreadTerminated)", "Exit",
                             "***** EXIT *****", "match close res rv=0"}));
  EXPECT_EQ(SimPendingReads(m_Dev), 0u);
}

TEST_F(ReceiverTest, UnlistedErrorCancelsPausesAndReadsAgain) {
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_CRC);
  StartSession();
  ASSERT_TRUE(m_Log.WaitFor("ERROR_IO_PENDING"));
  EXPECT_TRUE(
      m_Log.InOrder({" dwError = 23", "default error - doing Cancel I/O and making retry attempt",
                     "Loop top", "ERROR_IO_PENDING"}));
  EXPECT_EQ(SimCallCount(SIM_FN_CancelIo), 1u);
  EXPECT_EQ(Close(ReadHandle()), 0);
}

TEST_F(ReceiverTest, FileNotFoundIsTracedOncePerLoad) {
  for (int nSession = 0; nSession < 2; ++nSession) {
    SimInjectFailure(SIM_FN_ReadFile, 0, 3, ERROR_FILE_NOT_FOUND);
    StartSession();
    EXPECT_EQ(Close(ReadHandle()), 0);
  }
  EXPECT_EQ(SimCallCount(SIM_FN_ReadFile), 8u);
  EXPECT_EQ(m_Log.Count("File not found????"), 1u);
  EXPECT_EQ(g_bFileNotFoundTraced.load(), 1);
}

// Every way out of the read loop is followed by a close that returns and
// releases the session.
struct SWayOut {
  const char *pszName;
  DWORD dwReadError;       // lasting ReadFile failure, or 0
  const char *pszLooping;  // a line that shows the loop is running
  const char *pszEnd;      // the line the loop ends with, or null
};

void PrintTo(const SWayOut &w, std::ostream *pOut) { *pOut << w.pszName; }

class ReceiverWayOutTest : public ReceiverTest, public ::testing::WithParamInterface<SWayOut> {};

TEST_P(ReceiverWayOutTest, CloseReturnsAndReleasesTheSession) {
  const SWayOut &w = GetParam();
  SimInjectFailure(SIM_FN_ReadFile, 0, MAXDWORD, w.dwReadError);
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(m_Log.WaitFor(w.pszLooping, 2));
  EXPECT_EQ(Close(ReadHandle()), 0);
  if (w.pszEnd != nullptr) {
    EXPECT_TRUE(m_Log.InOrder({w.pszEnd, "Exit", "***** EXIT *****"}));
  }
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    LastingErrors, ReceiverWayOutTest,
    ::testing::Values(
        SWayOut{"AccessDenied", ERROR_ACCESS_DENIED, "Handles Valid",
                "Terminating Read Thread(EAD)"},
        SWayOut{"InvalidHandle", ERROR_INVALID_HANDLE, "Handles Valid",
                "Terminating Read Thread(EIH)"},
        SWayOut{"Unlisted", ERROR_CRC, "making retry attempt", "Terminating Read Thread(EIH)"},
        // A removed printer: reopened at the handle row's pace, not retried.
        SWayOut{"DeviceGone", ERROR_DEVICE_NOT_CONNECTED, "Handles Valid",
                "Terminating Read Thread(EIH)"},
        SWayOut{"GenFailure", ERROR_GEN_FAILURE, "Handles Valid", "Terminating Read Thread(EIH)"},
        // These two rows used to retry at once, without looking at the quit
        // event: the close waited for ever.
        SWayOut{"FileNotFound", ERROR_FILE_NOT_FOUND, "Loop top", nullptr},
        SWayOut{"HandleEof", ERROR_HANDLE_EOF, "ERROR_HANDLE_EOF", nullptr}),
    [](const ::testing::TestParamInfo<SWayOut> &param) { return param.param.pszName; });

TEST_F(ReceiverTest, AccessErrorReopensBeforeItEndsOnTheQuit) {
  SimInjectFailure(SIM_FN_ReadFile, 0, MAXDWORD, ERROR_ACCESS_DENIED);
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(
      m_Log.InOrder({"ERROR_ACCESS_DENIED Error", "Invalidate Handles", "Handles Valid",
                     "Setting PCLSPowerStatus TRUE", "Terminating Read Thread(EAD)", "Exit"}));
  EXPECT_EQ(m_Log.Count("Calling ReopenCom"), 0u);
}

TEST_F(ReceiverTest, KeepReadingClearedElsewhereEndsTheLoopAndTheCloseStillReturns) {
  SimInjectFailure(SIM_FN_ReadFile, 0, MAXDWORD, ERROR_HANDLE_EOF);
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(m_Log.WaitFor("ERROR_HANDLE_EOF", 2));
  g_UsbComm.m_bKeepReading = 0;  // as a reader that saw the quit event does
  ASSERT_TRUE(m_Log.WaitFor("***** EXIT *****"));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

TEST_F(ReceiverTest, ReadEventThatCannotBeCreatedEndsTheReceiverAndTheCloseStillReturns) {
  // Quit, data and room events come first; the fourth is the read event.
  SimInjectFailure(SIM_FN_CreateEventA, 3, 1, ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(m_Log.WaitFor("***** EXIT *****"));
  EXPECT_TRUE(m_Log.InOrder({"Event creation failed", "***** EXIT *****"}));
  EXPECT_EQ(m_Log.Count("Loop top"), 0u);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

// The two-handle wait fails while the read is in flight: the read is
// cancelled and over before the next read reuses the buffer and the record;
// bytes it took before the cancel took effect are kept.
class FailedWaitTest : public ReceiverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FailedWaitTest, DoesNotLeaveTheReadInFlightNorLoseItsBytes) {
  const bool bBytesFirst = GetParam();
  SimInjectFailure(SIM_FN_WaitForMultipleObjects, 0, 1, ERROR_INVALID_HANDLE);
  if (bBytesFirst) m_Log.HoldAt("***Problem with GetOverlappedResult");
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  if (bBytesFirst) {
    // The read completes with bytes between the failed look and the cancel.
    const bool bHeld = m_Log.WaitHeld();
    SimSend(m_Dev, "early", 5);
    m_Log.Release();
    ASSERT_TRUE(bHeld);
    std::vector<BYTE> got;
    EXPECT_EQ(Read(16, &got), 5);
    EXPECT_EQ(got, Bytes("early"));
  }
  ASSERT_TRUE(m_Log.WaitFor("Loop top", 2));  // the receiver's next read
  EXPECT_TRUE(m_Log.InOrder({"WaitForMultipleObjects completed", "default Error=6",
                             "***Problem with GetOverlappedResult", "Loop top"}));
  ASSERT_TRUE(WaitReceiverPending());

  SendAndWaitStored(Bytes("after"));
  std::vector<BYTE> got;
  EXPECT_EQ(Read(16, &got), 5);
  EXPECT_EQ(got, Bytes("after"));
  EXPECT_EQ(Close(ReadHandle()), 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, FailedWaitTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "BeforeTheCancel" : "None";
                         });

// The quit arrives while a read is pending and the cancel fails once: the
// receiver still ends only once the read is over.
TEST_F(ReceiverTest, ReceiverEndsOnlyWhenTheCancelledReadIsOver) {
  StartSession();
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_WaitForMultipleObjects, 1, 20000));
  SimInjectFailure(SIM_FN_CancelIo, 0, 1, ERROR_INVALID_HANDLE);
  // A failed wait keeps this close from releasing anything, so the read
  // handle stays open and only the receiver can end its read.
  SimInjectFailure(SIM_FN_WaitForSingleObject, 0, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Close(ReadHandle()), 1);
  ASSERT_TRUE(m_Log.WaitFor("***** EXIT *****"));
  EXPECT_EQ(SimPendingReads(m_Dev), 0u);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

TEST_F(ReceiverTest, UnplugAndReplugWhileBytesStreamIn) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  std::vector<BYTE> got;
  std::vector<BYTE> all;
  for (const char *psz : {"one", "two", "three"}) {
    SendAndWaitStored(Bytes(psz));
    ASSERT_GT(Read(64, &got), 0);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(all, Bytes("onetwothree"));

  // The pending read takes this block before the printer goes away.
  ASSERT_TRUE(SimSend(m_Dev, "four", 4));
  ASSERT_TRUE(SimUnplug(m_Dev));
  // The receiver tries to reopen the printer that went away.
  ASSERT_TRUE(m_Log.WaitFor("Handles Invalid"));
  EXPECT_EQ(Read(64, &got), 4);
  EXPECT_EQ(got, Bytes("four"));
  EXPECT_NE(Write(Bytes("nowhere")), 0);
  EXPECT_FALSE(SimSend(m_Dev, "gone", 4));

  ASSERT_TRUE(SimReplug(m_Dev));
  const HANDLE hOldRead = g_UsbComm.m_hReadPort;
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_ACCESS_DENIED);
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  ASSERT_TRUE(WaitReceiverPending());
  EXPECT_NE(g_UsbComm.m_hReadPort.load(), hOldRead);

  all.clear();
  for (const char *psz : {"five", "six"}) {
    SendAndWaitStored(Bytes(psz));
    ASSERT_GT(Read(64, &got), 0);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(all, Bytes("fivesix"));
  SimClearWritten(m_Dev);
  EXPECT_EQ(Write(Bytes("again")), 0) << "writes go through the reopened handle";
  BYTE abWritten[8];
  EXPECT_EQ(SimWritten(m_Dev, abWritten, sizeof abWritten), 5u);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// A driver that reports a removed printer as access denied: the receiver
// reopens by itself, keeps trying while the printer is away, and delivers
// what the printer sends once it is back, with no scripted error.
TEST_F(ReceiverTest, PrinterAwayAndBackIsRecoveredWhenTheDriverDeniesAccess) {
  ASSERT_TRUE(SimSetRemovalError(m_Dev, ERROR_ACCESS_DENIED));
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  std::vector<BYTE> got;
  SendAndWaitStored(Bytes("before"));
  ASSERT_EQ(Read(64, &got), 6);

  ASSERT_TRUE(SimUnplug(m_Dev));
  ASSERT_TRUE(m_Log.WaitFor("ERROR_ACCESS_DENIED Error"));
  ASSERT_TRUE(m_Log.WaitFor("Handles Invalid"));
  EXPECT_NE(Write(Bytes("nowhere")), 0);

  ASSERT_TRUE(SimReplug(m_Dev));
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  ASSERT_TRUE(WaitReceiverPending());
  SendAndWaitStored(Bytes("after"));
  ASSERT_EQ(Read(64, &got), 5);
  EXPECT_EQ(got, Bytes("after"));
  SimClearWritten(m_Dev);
  EXPECT_EQ(Write(Bytes("again")), 0);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// A Java write that comes while the receiver reopens the handles (held
// here after the old write handle was closed) waits for the new handle
// instead of going to the closed one.
TEST_F(ReceiverTest, WriteDuringAReopenGoesToTheNewHandle) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  m_Log.HoldAt("Printer found.");
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SimSend(m_Dev, "k", 1));  // ends the pending read; the next one fails
  const bool bHeld = m_Log.WaitHeld();
  std::atomic<bool> bWritten(false);
  jint nResult = -1;
  std::thread writer([&] {
    nResult = Write(Bytes("during"));
    bWritten = true;
  });
  // Only gives a write that does not wait for the reopen the time to fail.
  Eventually([&] { return bWritten.load(); }, 500);
  m_Log.Release();
  writer.join();
  ASSERT_TRUE(bHeld);
  EXPECT_EQ(nResult, 0);
  BYTE ab[16];
  EXPECT_EQ(SimWritten(m_Dev, ab, sizeof ab), 6u);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// Every write blocked on a stalled printer when the receiver reopens the
// handles ends (995): none is left behind on the retired handle.
TEST_F(ReceiverTest, ReopenEndsEveryWriteBlockedOnTheOldHandle) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(SimSetWriteStall(m_Dev, TRUE));
  std::vector<std::future<jint>> writes;
  for (int i = 0; i < 2; ++i) {
    writes.push_back(std::async(std::launch::async, [&] { return Write(Bytes("stalled")); }));
  }
  // One write is with the printer; the other waits for the file object.
  ASSERT_TRUE(SimWaitPendingWrites(m_Dev, 1, 20000));
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_WriteFile, 2, 20000));
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SimSend(m_Dev, "k", 1));  // ends the pending read; the next one fails
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  for (auto &write : writes) {
    ASSERT_EQ(write.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(write.get(), (jint)ERROR_OPERATION_ABORTED);
  }
  ASSERT_TRUE(SimSetWriteStall(m_Dev, FALSE));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

class ReopenTest : public ReceiverTest {
 protected:
  void TearDown() override {
    for (auto *p : {&g_UsbComm.m_hReadPort, &g_UsbComm.m_hWritePort}) {
      const HANDLE h = p->exchange(nullptr);
      if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    ReceiverTest::TearDown();
  }
};

TEST_F(ReopenTest, ReadOpenFailingWithAGoodWriteOpenStillCountsAsValid) {
  g_UsbComm.m_nUsbType = USB_TYPE_PRINTER_CLASS;
  // The device is found; the read open that follows fails.
  m_Log.ArmAt("Printer found.", SIM_FN_CreateFileA, 0, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(g_UsbComm.ReopenCom(), 1);
  EXPECT_EQ(g_UsbComm.m_hReadPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_NE(g_UsbComm.m_hWritePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_UsbComm.m_bHandlesValid.load(), 1);
  EXPECT_TRUE(m_Log.InOrder({"Invalidate Handles", "ReopenCom - CreateFile(", "Handles Valid"}));
  EXPECT_EQ(m_Log.Count(") "
                        " h = INVALID_HANDLE_VALUE\n"),
            1u)
      << "the text begins with a blank";
  EXPECT_EQ(std::string(g_UsbComm.m_szDevicePath), kPrinterPath) << "the bare interface path";
}

TEST_F(ReopenTest, NoDeviceLeavesTheHandlesInvalid) {
  g_UsbComm.m_nUsbType = USB_TYPE_PRINTER_CLASS;
  g_UsbComm.m_hWritePort = CreateFileA(kPrinterPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(SimUnplug(m_Dev));
  EXPECT_EQ(g_UsbComm.ReopenCom(), 0);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(m_Log.Count("Handles Invalid"), 1u);
  EXPECT_EQ(SimOpenHandleCount(), 0u) << "the old write handle was closed";
}

TEST_F(ReopenTest, UnknownTypeOnlyClosesTheHandles) {
  g_UsbComm.m_nUsbType = USB_TYPE_UNKNOWN;
  g_UsbComm.m_hReadPort = CreateFileA(kPrinterPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(g_UsbComm.ReopenCom(), 0);
  EXPECT_EQ(g_UsbComm.m_hReadPort.load(), nullptr);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
  EXPECT_EQ(m_Log.Count("Handles Valid") + m_Log.Count("Handles Invalid"), 0u);
}

TEST_F(ReopenTest, NativeTypeKeepsNoReadHandle) {
  const SIMDEV native = SimPlug(SIM_CLASS_NATIVE, &GUID_DEVINTERFACE_NATIVE_PRINTER,
                                "\\\\?\\usb#vid_fb2d&pid_1b10#9&0a&0&1#"
                                "{6e3b1a52-94d7-4c2e-b5a8-3f71d0c9e846}");
  ASSERT_NE(native, 0);
  g_UsbComm.m_nUsbType = USB_TYPE_NATIVE;
  EXPECT_EQ(g_UsbComm.ReopenCom(), 1);
  EXPECT_EQ(m_Log.Count("usbInitPipe"), 1u);
  EXPECT_EQ(m_Log.Count("IDNATIVETYPE"), 1u);
  EXPECT_EQ(g_UsbComm.m_hReadPort.load(), nullptr);
  EXPECT_EQ(SimOpenHandleCount(), 1u) << "the write handle alone";
  EXPECT_EQ(SimPurgeCount(native), 2u);
  SimUnplug(native);
}

}  // namespace
