// Printer-class session seen from Java: start inside the read open, the
// buffered read, the buffered count and the stop inside the close.
#include <atomic>
#include <ostream>
#include <thread>

#include "PclsTestSupport.h"
#include "buffer/CircularBuffer.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"

namespace {

class SessionTest : public CPclsTest {
 protected:
  jint BytesAvailableNative() {
    return Java_com_velto_printer_UsbPort_usbGetBytesAvailable(m_Jni.Env(), m_Jni.Self());
  }
};

TEST_F(SessionTest, ReadsTakeStoredBytesUpToTheArrayLengthAndTimeOutWhenEmpty) {
  EXPECT_EQ(BytesAvailableNative(), 0) << "before any read open";
  StartSession();
  EXPECT_NE(ReadHandle(), 0);
  EXPECT_EQ((HANDLE)(intptr_t)ReadHandle(), g_UsbComm.m_hReadPort.load());

  SendAndWaitStored(Bytes("0123456789"));
  EXPECT_EQ(BytesAvailableNative(), 10);
  ASSERT_TRUE(m_Log.WaitFor("1SetEvent(m_hPCLSDataEvent)"));
  EXPECT_TRUE(m_Log.InOrder(
      {"From1 ReceiveData nBytesRead=10", "READ1 30 31 32", "1SetEvent(m_hPCLSDataEvent)"}));

  std::vector<BYTE> got;
  EXPECT_EQ(Read(4, &got), 4);
  EXPECT_EQ(got, Bytes("0123"));
  EXPECT_EQ(m_Log.Count("nBytes1 = 4"), 1u);
  EXPECT_EQ(BytesAvailableNative(), 6);
  EXPECT_EQ(Read(100, &got), 6);
  EXPECT_EQ(got, Bytes("456789"));

  EXPECT_EQ(Read(100, &got), -1) << "empty buffer, nothing arrives";
  EXPECT_TRUE(m_Log.InOrder(
      {"Timeout", "exit", "Left GetPCLSData", "GetPCLSData: 0 return", "GetPCLSData Error="}));

  // A second read open hands out the same handle and starts nothing.
  const jint nHandle = ReadHandle();
  EXPECT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(ReadHandle(), nHandle);
  EXPECT_EQ(m_Log.Count("...Just Returning handle"), 1u);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateThread), 1u);

  EXPECT_EQ(Close(nHandle), 0);
  EXPECT_TRUE(m_Log.InOrder({"WaitForSingleObject default", "wait ret=0", "match close res rv=0",
                             "CloseHandle m_hWorkerThread", "Close Read Handle", "Exit"}));
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(BytesAvailableNative(), 0) << "after the stop";
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// What the printer delivered before the open is stored by the new receiver
// and then discarded by the start, 63 bytes per fetch.
TEST_F(SessionTest, BytesStoredDuringTheStartAreDrained) {
  const std::vector<BYTE> early(100, 0x55);
  ASSERT_TRUE(SimSend(m_Dev, early.data(), (DWORD)early.size()));
  m_Log.HoldAt("ResumeThread succeeded");
  jint nOpened = -1;
  std::thread opener([&] { nOpened = OpenRead(); });
  const bool bHeld = m_Log.WaitHeld();
  const bool bStored = Eventually([] { return g_UsbComm.BytesAvailable() == 100; });
  m_Log.Release();
  opener.join();
  ASSERT_TRUE(bHeld);
  ASSERT_TRUE(bStored);
  EXPECT_EQ(nOpened, USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(g_UsbComm.BytesAvailable(), 0u);
  EXPECT_EQ(m_Log.Count("nNumberOfBytesToRead=63 wait:100"), 2u);
  EXPECT_EQ(Read(64), -1);
  EXPECT_EQ(Close(ReadHandle()), 0);
}

// Every wait of a session is woken by the bytes that arrive during it, not
// only the first: each look into the ring re-arms the receiver's hand-off.
TEST_F(SessionTest, BytesArrivingDuringTheWaitAreDeliveredByTheSameCallEveryTime) {
  StartSession();
  for (size_t nRound = 1; nRound <= 3; ++nRound) {
    BYTE ab[64];
    DWORD nCount = 0xABCD;
    BOOL bResult = 0;
    std::thread reader([&] { bResult = g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 30000); });
    // After the first look the data event is armed: whatever is stored from
    // now on ends the wait.
    const bool bWaiting = m_Log.WaitFor("nBytes1 = 0", nRound);
    if (bWaiting) SimSend(m_Dev, "abc", 3);
    reader.join();
    ASSERT_TRUE(bWaiting);
    EXPECT_EQ(bResult, 1) << "round " << nRound << " ended by its time-out";
    EXPECT_EQ(nCount, 3u);
    EXPECT_EQ(std::vector<BYTE>(ab, ab + 3), Bytes("abc"));
    EXPECT_EQ(m_Log.Count("nBytes2 = 3"), nRound);
  }
}

TEST_F(SessionTest, DataSignalWithoutBytesWaitsAgain) {
  StartSession();
  BYTE ab[64];
  DWORD nCount = 0xABCD;
  BOOL bResult = 0;
  std::thread reader([&] { bResult = g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 60000); });
  ASSERT_TRUE(m_Log.WaitFor("nBytes1 = 0"));
  SetEvent(g_UsbComm.m_hPCLSDataEvent);
  ASSERT_TRUE(m_Log.WaitFor("Zero bytes read; resetting m_hPCLSDataEvent"));
  ASSERT_TRUE(m_Log.WaitFor("nBytes1 = 0", 2));
  ASSERT_TRUE(SimSend(m_Dev, "Z", 1));
  reader.join();
  EXPECT_EQ(bResult, 1);
  EXPECT_EQ(nCount, 1u);
  EXPECT_EQ(ab[0], 'Z');
}

TEST_F(SessionTest, FailedResetOrWaitEndsTheFetchWithTheDocumentedResult) {
  StartSession();
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_WaitForMultipleObjects, 1, 20000));  // receiver waits
  BYTE ab[8];

  // Reset fails in the first pass: 0, count untouched.
  DWORD nCount = 0xABCD;
  SimInjectFailure(SIM_FN_ResetEvent, 0, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 60000), 0);
  EXPECT_EQ(nCount, 0xABCDu);
  EXPECT_EQ(m_Log.Count("ResetEvent failed"), 1u);

  // Reset fails after a pass that found nothing after a data signal: 1,
  // count untouched (the Java read then asks again).
  SimInjectFailure(SIM_FN_ResetEvent, 1, 1, ERROR_INVALID_HANDLE);
  BOOL bResult = 0;
  std::thread reader([&] { bResult = g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 60000); });
  ASSERT_TRUE(m_Log.WaitFor("nBytes1 = 0"));
  SetEvent(g_UsbComm.m_hPCLSDataEvent);
  reader.join();
  EXPECT_EQ(bResult, 1);
  EXPECT_EQ(nCount, 0xABCDu);
  EXPECT_EQ(m_Log.Count("ResetEvent failed"), 2u);

  // The wait itself fails.
  SimInjectFailure(SIM_FN_WaitForMultipleObjects, 0, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 60000), 0);
  EXPECT_EQ(nCount, 0xABCDu);
  EXPECT_TRUE(m_Log.InOrder({"After WaitForMultipleObjects", "default", "exit"}));
}

TEST_F(SessionTest, CloseWithAnotherHandleClosesBothSessionHandlesButNotThePassedOne) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  const HANDLE hOther =
      CreateFileA((std::string(kPrinterPath) + "\\PIPE01").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hOther, INVALID_HANDLE_VALUE);

  EXPECT_EQ(Close((jint)(intptr_t)hOther), 0);
  EXPECT_EQ(m_Log.Count("differ close res rv=0"), 1u);
  EXPECT_EQ(m_Log.Count("Close Read Handle"), 0u);
  EXPECT_EQ(m_Log.Count("Close Write Handle"), 0u);
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  EXPECT_EQ(SimOpenHandleCount(), 1u) << "only the passed handle stays open";
  EXPECT_TRUE(CloseHandle(hOther));
}

TEST_F(SessionTest, ClosingTheWritePipeStopsTheSessionAndLaterWritesFindNoHandle) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(Write(Bytes("hello")), 0);
  EXPECT_EQ(Close(WriteHandle()), 0);
  EXPECT_TRUE(
      m_Log.InOrder({"match close res rv=0", "Close Read Handle", "Close Write Handle", "Exit"}));
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(SimPendingReads(m_Dev), 0u);
  EXPECT_NE(Write(Bytes("lost")), 0);

  // A second close finds nothing to wait for and nothing to release.
  const size_t nWaits = m_Log.Count("WaitForSingleObject");
  EXPECT_EQ(Close(WriteHandle()), 0);
  EXPECT_EQ(m_Log.Count("WaitForSingleObject"), nWaits);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

TEST_F(SessionTest, FailedWaitForTheReceiverReleasesNothingAndALaterCloseDoes) {
  StartSession();
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_WaitForMultipleObjects, 1, 20000));
  SimInjectFailure(SIM_FN_WaitForSingleObject, 0, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Close(ReadHandle()), 1);
  EXPECT_TRUE(m_Log.InOrder(
      {"WaitForSingleObject", "WaitForSingleObject m_ReadThreadTerminated failed", "Exit"}));
  EXPECT_NE(g_UsbComm.m_pCCBuffer.load(), nullptr);
  EXPECT_NE(g_UsbComm.m_QuitEvent.load(), nullptr);
  EXPECT_NE(g_UsbComm.m_hReadPort.load(), nullptr);

  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// The receiver has ended on its own (its read event could not be reset):
// stored bytes are still delivered, then reads fail at once, and a close
// without any reader passing the quit on still returns.
TEST_F(SessionTest, AfterTheReceiverEndedReadsDrainTheBufferAndTheCloseReturns) {
  StartSession();
  SendAndWaitStored(Bytes("left"));
  SimInjectFailure(SIM_FN_ResetEvent, 0, 1, ERROR_INVALID_HANDLE);
  ASSERT_TRUE(SimSend(m_Dev, "x", 1));
  ASSERT_TRUE(m_Log.WaitFor("***** EXIT *****"));
  EXPECT_TRUE(m_Log.InOrder({"Reset event failed", "Exit", "***** EXIT *****"}));
  EXPECT_EQ(m_Log.Count("Terminating Read Thread"), 0u);

  std::vector<BYTE> got;
  EXPECT_EQ(Read(64, &got), 4);
  EXPECT_EQ(got, Bytes("left"));
  EXPECT_EQ(Read(64, &got), -1);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY) << "not a time-out: nothing more will come";
  EXPECT_EQ(m_Log.Count("Timeout"), 0u) << "the quit event ends the wait, not the time-out";

  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

TEST_F(SessionTest, CloseWithoutAnyReaderAfterTheReceiverEndedReturns) {
  StartSession();
  SimInjectFailure(SIM_FN_ResetEvent, 0, 1, ERROR_INVALID_HANDLE);
  ASSERT_TRUE(SimSend(m_Dev, "x", 1));
  ASSERT_TRUE(m_Log.WaitFor("***** EXIT *****"));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

// The start does not look at ResumeThread's result: a receiver left
// suspended by a failed resume would never end, and the close waits for it.
TEST_F(SessionTest, CloseResumesAReceiverThatTheStartCouldNotResume) {
  SimInjectFailure(SIM_FN_ResumeThread, 0, 1, ERROR_ACCESS_DENIED);
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(m_Log.Count("ResumeThread succeeded"), 1u);
  EXPECT_EQ(m_Log.Count("***** ENTER *****"), 0u) << "the receiver never ran";
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(m_Log.Count("***** EXIT *****"), 1u);
  EXPECT_TRUE(SessionReleased());
}

// A reader that has seen the quit event but not yet left is held there:
// the close must not release the session before the reader is out.
TEST_F(SessionTest, CloseReleasesNothingWhileAReaderIsStillInside) {
  StartSession();
  m_Log.HoldAt("WaitForMultipleObjects returned");
  BOOL bResult = 1;
  std::thread reader([&] {
    BYTE ab[8];
    DWORD nCount = 0;
    bResult = g_UsbComm.GetPCLSData(ab, sizeof ab, &nCount, 60000);
  });
  ASSERT_TRUE(m_Log.WaitFor("Before WaitForMultipleObjects"));
  const jint nHandle = ReadHandle();
  jint nClosed = -1;
  std::thread closer([&] { nClosed = Close(nHandle); });
  const bool bHeld = m_Log.WaitHeld();
  // Only gives a close that does not wait for its readers the time to
  // release; a sound close waits here for the reader.
  m_Log.WaitFor("CloseHandle m_hWorkerThread", 1, 500);
  m_Log.Release();
  closer.join();
  reader.join();
  ASSERT_TRUE(bHeld);
  EXPECT_EQ(nClosed, 0);
  EXPECT_EQ(bResult, 0);
  EXPECT_TRUE(
      m_Log.InOrder({"WaitForMultipleObjects returned", ") exit", "CloseHandle m_hWorkerThread"}));
  EXPECT_TRUE(SessionReleased());
}

TEST_F(SessionTest, JavaReadsRacingTheCloseEndCleanly) {
  StartSession();
  std::atomic<bool> bStop(false);
  std::atomic<int> nReads(0);
  jbyteArray array = m_Jni.NewByteArray(32, 0);
  std::thread reader([&] {
    while (!bStop) {
      Java_com_velto_printer_UsbPort_usbReadInputPipe(m_Jni.Env(), m_Jni.Self(), 0, array);
      ++nReads;
    }
  });
  std::thread sender([&] {
    for (int i = 0; i < 50 && !bStop; ++i) SimSend(m_Dev, "data", 4);
  });
  ASSERT_TRUE(Eventually([&] { return nReads.load() >= 3; }));
  EXPECT_EQ(Close(ReadHandle()), 0);
  bStop = true;
  sender.join();
  reader.join();
  EXPECT_TRUE(SessionReleased());
}

TEST_F(SessionTest, RepeatedSessionsLeaveNothingBehind) {
  for (int nCycle = 0; nCycle < 15; ++nCycle) {
    SCOPED_TRACE(nCycle);
    StartSession();
    ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
    SendAndWaitStored(Bytes("ping"));
    std::vector<BYTE> got;
    EXPECT_EQ(Read(16, &got), 4);
    EXPECT_EQ(Write(Bytes("pong")), 0);
    EXPECT_EQ(Close(nCycle % 2 ? ReadHandle() : WriteHandle()), 0);
    EXPECT_TRUE(SessionReleased());
    EXPECT_EQ(SimOpenHandleCount(), 0u);
    EXPECT_TRUE(Eventually([] { return SimLiveThreadCount() == 0; }));
  }
  EXPECT_EQ(SimCallCount(SIM_FN_CreateThread), 15u);
}

// The receiver reads only while the ring can take a whole block. With the
// reader paused the ring fills and the rest waits in the printer, no read
// pending; then every byte comes through in order. A close ends the wait
// for room.
TEST_F(SessionTest, PausedReaderLosesNothingTheRestWaitsInThePrinter) {
  StartSession();
  std::vector<BYTE> sent(65536);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = (BYTE)(i * 131 + (i >> 9));
  ASSERT_TRUE(SimSend(m_Dev, sent.data(), (DWORD)sent.size()));
  ASSERT_TRUE(Eventually([] { return g_UsbComm.BytesAvailable() == 4096; }));
  EXPECT_EQ(SimPendingToHost(m_Dev), 65536u - 4096u);
  EXPECT_EQ(SimPendingReads(m_Dev), 0u) << "a read without room for its block";

  std::vector<BYTE> got;
  for (int nEmpty = 0; got.size() < sent.size() && nEmpty < 200;) {
    std::vector<BYTE> part;
    if (Read(1000, &part) > 0) {
      got.insert(got.end(), part.begin(), part.end());
      nEmpty = 0;
    } else {
      ++nEmpty;
    }
  }
  EXPECT_TRUE(got == sent) << got.size() << " bytes in, of " << sent.size();

  ASSERT_TRUE(SimSend(m_Dev, sent.data(), 8192));
  ASSERT_TRUE(Eventually([] { return g_UsbComm.BytesAvailable() == 4096; }));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

// With someone listening, a traced read and write still need no memory:
// each line is formatted once, on the stack.
TEST_F(SessionTest, TracedReadAndWriteAllocateNothing) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  SendAndWaitStored(Bytes("abc"));
  jbyteArray in = m_Jni.NewByteArray(16, 0);
  jbyteArray out = m_Jni.NewByteArray(std::vector<jbyte>{1, 2, 3});
  const jint hRead = ReadHandle();
  const jint hWrite = WriteHandle();
  SimInjectFailure(SIM_FN_ALLOC, 0, 0xFFFFFFFF, ERROR_NOT_ENOUGH_MEMORY);
  const jint nRead =
      Java_com_velto_printer_UsbPort_usbReadInputPipe(m_Jni.Env(), m_Jni.Self(), hRead, in);
  const jint nWrite =
      Java_com_velto_printer_UsbPort_usbWriteOutputPipe(m_Jni.Env(), m_Jni.Self(), hWrite, out);
  SimClearInjections();
  EXPECT_EQ(nRead, 3);
  EXPECT_EQ(nWrite, 0);
  EXPECT_TRUE(m_Log.InOrder({"nBytes1 = 3", "READ:  nHandle=", "Case 1", "Entering Writefile",
                             "WRITE 01 02 03", "WRITE: nHandle = ", "Left Writefile"}));
  EXPECT_EQ(Close(hRead), 0);
}

// A failure in any step of the start: the open fails, everything the start
// created is released together with the read handle, and the next open
// starts a complete session.
struct SStartFailure {
  const char *pszName;
  const char *pszArmAt;
  int nFn;
  DWORD nSkip;
  const char *pszTrace;  // expected trace, or null
};

void PrintTo(const SStartFailure &f, std::ostream *pOut) { *pOut << f.pszName; }

class SessionStartFailureTest : public SessionTest,
                                public ::testing::WithParamInterface<SStartFailure> {};

TEST_P(SessionStartFailureTest, ReleasesThePartialSessionAndTheNextOpenStartsAfresh) {
  const SStartFailure &f = GetParam();
  m_Log.ArmAt(f.pszArmAt, f.nFn, f.nSkip, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(OpenRead(), -1);
  EXPECT_EQ(m_Jni.PortFieldWrites("hReadPort"), 0);
  if (f.pszTrace != nullptr) {
    EXPECT_EQ(m_Log.Count(f.pszTrace), 1u) << f.pszTrace;
  }
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(SimOpenHandleCount(), 0u);
  EXPECT_TRUE(Eventually([] { return SimLiveThreadCount() == 0; }));
  SimClearInjections();

  StartSession();
  SendAndWaitStored(Bytes("fresh"));
  std::vector<BYTE> got;
  EXPECT_EQ(Read(16, &got), 5);
  EXPECT_EQ(got, Bytes("fresh"));
  EXPECT_EQ(Close(ReadHandle()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SessionStartFailureTest,
    ::testing::Values(
        SStartFailure{"QuitEvent", "...Called Read Create File", SIM_FN_CreateEventA, 0,
                      "m_QuitEvent Error=8"},
        SStartFailure{"DataEvent", "Creating m_hPCLSDataEvent", SIM_FN_CreateEventA, 0, nullptr},
        SStartFailure{"RoomEvent", "Creating m_hPCLSDataEvent", SIM_FN_CreateEventA, 1, nullptr},
        SStartFailure{"BufferObject", "Creating m_pCCBuffer", SIM_FN_ALLOC, 0, nullptr},
        SStartFailure{"BufferStorage", "Creating m_pCCBuffer", SIM_FN_ALLOC, 1, nullptr},
        SStartFailure{"BufferLock", "Creating m_pCCBuffer",
                      SIM_FN_InitializeCriticalSectionAndSpinCount, 0, nullptr},
        SStartFailure{"Thread", "*****Creating m_hWorkerThread*****", SIM_FN_CreateThread, 0,
                      "CreateThread failed. Status=8"}),
    [](const ::testing::TestParamInfo<SStartFailure> &param) { return param.param.pszName; });

// A later open that detects another type (here none: the printer is away)
// does not switch the running session: its receiver still reopens the
// printer-class pipes, and its close still stops it.
TEST_F(SessionTest, LaterDetectionDoesNotSwitchTheTypeUnderTheSession) {
  StartSession();
  ASSERT_TRUE(SimUnplug(m_Dev));
  EXPECT_EQ(OpenWrite(), -1);
  // The receiver still reopens the printer-class pipes when it comes back.
  ASSERT_TRUE(SimReplug(m_Dev));
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  ASSERT_TRUE(WaitReceiverPending());
  SendAndWaitStored(Bytes("back"));
  EXPECT_EQ(Read(8), 4);
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(m_Log.Count("close res rv=0"), 1u) << "the printer-class close";
  EXPECT_TRUE(SessionReleased());
}

// While the receiver reopens the printer, a read open finds the running
// session and starts no second one.
TEST_F(SessionTest, ReadOpenDuringTheReopenReusesTheSession) {
  StartSession();
  m_Log.HoldAt("Printer found.");
  // The read after this block fails: the receiver reopens.
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SimSend(m_Dev, "x", 1));
  ASSERT_TRUE(m_Log.WaitHeld());
  const jint nOpened = OpenRead();
  m_Log.Release();
  EXPECT_EQ(nOpened, USB_TYPE_PRINTER_CLASS);
  EXPECT_EQ(SimCallCount(SIM_FN_CreateThread), 1u) << "no second receiver";
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_TRUE(SessionReleased());
}

// A failed read tells "nothing in time" (WAIT_TIMEOUT) from "the printer is
// gone" (its device error), and the session comes back by itself.
TEST_F(SessionTest, FailedReadTellsSilenceFromAbsenceAndTheSessionRecovers) {
  StartSession();
  EXPECT_EQ(Read(8), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SimUnplug(m_Dev));
  ASSERT_TRUE(m_Log.WaitFor("Handles Invalid"));
  EXPECT_EQ(Read(8), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Write(Bytes("x")), ERROR_DEVICE_NOT_CONNECTED);

  ASSERT_TRUE(SimReplug(m_Dev));
  ASSERT_TRUE(m_Log.WaitFor("Handles Valid"));
  ASSERT_TRUE(WaitReceiverPending());
  SendAndWaitStored(Bytes("back"));
  std::vector<BYTE> got;
  EXPECT_EQ(Read(8, &got), 4);
  EXPECT_EQ(got, Bytes("back"));
  EXPECT_EQ(Close(ReadHandle()), 0);
}

// Java gets no handle to close a session started behind a failed open with:
// the open releases it, and the next open starts afresh. The write pipe Java
// opened before stays open and working.
TEST_F(SessionTest, FailedReadOpenLeavesNoSessionBehind) {
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  m_Log.ArmAt("...Called Read Create File", SIM_FN_CreateFileA, 0, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenRead(), -1);
  EXPECT_EQ(m_Jni.PortFieldWrites("hReadPort"), 0);
  EXPECT_TRUE(SessionReleased());
  EXPECT_EQ(g_UsbComm.m_hReadPort.load(), nullptr);
  EXPECT_EQ(Write(Bytes("still")), 0);
  EXPECT_EQ(SimOpenHandleCount(), 1u) << "the write handle";

  EXPECT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  SendAndWaitStored(Bytes("back"));
  std::vector<BYTE> got;
  EXPECT_EQ(Read(16, &got), 4);
  EXPECT_EQ(got, Bytes("back"));
  EXPECT_EQ(Close(ReadHandle()), 0);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// A write blocked on a printer that takes nothing, whose cancel does not take:
// the close says so and keeps the write handle for a later close, which ends
// the write and releases everything.
TEST_F(SessionTest, CloseThatCannotEndABlockedWriteReportsItAndKeepsTheHandle) {
  StartSession();
  ASSERT_EQ(OpenWrite(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(SimSetWriteStall(m_Dev, TRUE));
  std::thread writer([&] { EXPECT_EQ(Write(Bytes("stuck")), ERROR_OPERATION_ABORTED); });
  ASSERT_TRUE(SimWaitPendingWrites(m_Dev, 1, 20000));
  SimInjectFailure(SIM_FN_CancelIoEx, 0, 0xFFFFFFFF, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Close(ReadHandle()), 1);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), (HANDLE)(intptr_t)WriteHandle());
  SimClearInjections();
  EXPECT_EQ(Close(WriteHandle()), 0);
  writer.join();
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

}  // namespace
