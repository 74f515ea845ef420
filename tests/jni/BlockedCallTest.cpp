// A native read or write that the printer leaves blocked (zero time-outs,
// offline printer) never holds up anything but itself: a close or purge of
// its handle ends it, other closes and opens go on beside it.
#include <algorithm>
#include <atomic>
#include <future>

#include "NativeTest.h"

namespace {

constexpr auto kBound = std::chrono::seconds(20);

class BlockedCallTest : public CNativeTest {
 protected:
  void SetUp() override {
    CNativeTest::SetUp();
    m_dev = PlugNative();
    ASSERT_NE(m_dev, 0);
    const COMMTIMEOUTS never = {0, 0, 0, 0, 0};  // reads and writes wait for ever
    ASSERT_TRUE(SimSetTimeouts(m_dev, &never));
    ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
    m_hRead = m_jni.PortField("hReadPort");
    ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
    m_hWrite = m_jni.PortField("hWritePort");
  }
  // Runs a native on its own thread; the result and its last error.
  template <class Fn>
  static std::future<std::pair<jint, DWORD>> Start(Fn fn) {
    return std::async(std::launch::async, [fn] {
      const jint n = fn();
      return std::make_pair(n, GetLastError());
    });
  }
  template <class T>
  static bool Ends(std::future<T> &f) {
    return f.wait_for(kBound) == std::future_status::ready;
  }

  SIMDEV m_dev = 0;
  jint m_hRead = 0;
  jint m_hWrite = 0;
};

// A purge or a close of the handle ends the read blocked on it.
class BlockedReadTest : public BlockedCallTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BlockedReadTest, PurgeOrCloseEndsTheBlockedRead) {
  const bool bClose = GetParam();
  jbyteArray data = m_jni.NewByteArray(8, 0);
  auto read = Start([&] { return Read(m_hRead, data); });
  ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, 20000));
  auto ender = Start([&] {
    return bClose ? Close(m_hRead)
                  : Java_com_velto_printer_UsbPort_usbPurgeRequest(Env(), m_jni.Self(), m_hRead);
  });
  ASSERT_TRUE(Ends(ender)) << "held up by the blocked read";
  ASSERT_TRUE(Ends(read));
  EXPECT_EQ(ender.get().first, 0);
  const auto result = read.get();
  EXPECT_EQ(result.first, -1);
  EXPECT_EQ(result.second, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  if (!bClose) {
    EXPECT_EQ(Close(m_hRead), 0);
  }
  EXPECT_EQ(Close(m_hWrite), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, BlockedReadTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "Close" : "Purge";
                         });

// A reader that reads again after every read a purge ends cannot hold the
// purge off: each purge ends the read in flight and clears the input, also
// with Windows' 15.6 ms timer, where a retry by sleeping would be slow.
TEST_F(BlockedCallTest, PurgeEndsTheReadInFlightWhileTheReaderRetries) {
  SimSetTimerGranularity(15625);
  std::atomic<bool> bStop(false);
  std::atomic<int> nAborted(0);
  jbyteArray data = m_jni.NewByteArray(8, 0);
  auto reader = Start([&] {
    while (!bStop) {
      if (Read(m_hRead, data) < 0 && GetLastError() == ERROR_OPERATION_ABORTED) ++nAborted;
    }
    return 0;
  });
  const int kPurges = 20;
  for (int i = 0; i < kPurges; ++i) {
    ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, 20000));
    EXPECT_EQ(Java_com_velto_printer_UsbPort_usbPurgeRequest(Env(), m_jni.Self(), m_hRead), 0);
  }
  EXPECT_EQ(SimPurgeCount(m_dev), (DWORD)kPurges);
  bStop = true;
  EXPECT_EQ(Close(m_hRead), 0);  // ends the last read
  ASSERT_TRUE(Ends(reader));
  EXPECT_GE(nAborted.load(), kPurges);
  EXPECT_LE(nAborted.load(), 2 * kPurges + 1) << "a purge ends one read, at most two";
  EXPECT_EQ(Close(m_hWrite), 0);
}

// Two closes of one handle at once close it once: the second fails as a
// close of a closed handle does, and never closes the value again (an open
// may have it by then). The read's cancel fails for a while, so that the
// second close comes while the first waits for the read to end.
TEST_F(BlockedCallTest, ConcurrentClosesOfOneHandleCloseItOnce) {
  jbyteArray data = m_jni.NewByteArray(8, 0);
  auto read = Start([&] { return Read(m_hRead, data); });
  ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, 20000));
  SimInjectFailure(SIM_FN_CancelIoEx, 0, 0xFFFFFFFF, ERROR_INVALID_FUNCTION);
  auto first = Start([&] { return Close(m_hRead); });
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_CancelIoEx, 1, 20000));
  auto second = Start([&] { return Close(m_hRead); });
  ASSERT_TRUE(WaitForLine(") ?????", 20000, 2)) << "the second close's trace";
  // Two more of the first close's rounds: the second is waiting by then.
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_CancelIoEx, 3, 20000));
  const DWORD nClosesBefore = SimCallCount(SIM_FN_CloseHandle);
  SimClearInjections();
  ASSERT_TRUE(Ends(first) && Ends(second) && Ends(read));
  EXPECT_EQ(first.get().first, 0);
  EXPECT_EQ(second.get().first, ERROR_INVALID_HANDLE);
  EXPECT_EQ(read.get().second, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(SimCallCount(SIM_FN_CloseHandle) - nClosesBefore, 2u)
      << "the handle once, and the read's own event";
  EXPECT_EQ(SimOpenHandleCount(), 1u) << "the write handle";
  EXPECT_EQ(Close(m_hWrite), 0);
}

TEST_F(BlockedCallTest, WriteToAStalledPrinterHoldsUpOnlyItselfUntilItsHandleCloses) {
  ASSERT_TRUE(SimSetWriteStall(m_dev, TRUE));
  jbyteArray data = m_jni.NewByteArray(std::vector<jbyte>(40, 0x21));
  auto write = Start([&] { return Write(m_hWrite, data); });
  ASSERT_TRUE(SimWaitPendingWrites(m_dev, 1, 20000));

  auto others = Start([&] {
    if (InitPipe(kWrite) != USB_TYPE_NATIVE) return -2;
    return Close(m_hRead);
  });
  ASSERT_TRUE(Ends(others)) << "the open or the read close waited for the write";
  EXPECT_EQ(others.get().first, 0);
  EXPECT_EQ(m_jni.PortField("hWritePort"), m_hWrite);

  auto close = Start([&] { return Close(m_hWrite); });
  ASSERT_TRUE(Ends(close));
  ASSERT_TRUE(Ends(write));
  EXPECT_EQ(close.get().first, 0);
  EXPECT_EQ(write.get().first, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 0u) << "nothing was taken";
}

}  // namespace
