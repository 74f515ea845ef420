// Conformance of synchronous file objects (opened without
// FILE_FLAG_OVERLAPPED): one request at a time, a close that waits for the
// request in progress, CancelSynchronousIo; writes that block while the
// device takes nothing; and handle values that come back at once. Win32
// names only.
//
// Wine differs from documented Windows behaviour in places; those cases say
// so and follow the documentation ("Synchronous and Asynchronous I/O",
// "CancelSynchronousIo", "CloseHandle" on learn.microsoft.com).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Conformance.h"
#include "TestDevice.h"

namespace conformance {
namespace {

// Long enough for a request that is not blocked to have ended; a correct
// emulation passes whatever the machine's speed.
constexpr DWORD kStillBlockedMs = 200;

class SyncIoConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pDevice = CTestDevice::Create();
    ASSERT_TRUE(m_pDevice);
    m_hFile = CreateFileA(m_pDevice->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(m_hFile, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  }
  void TearDown() override {
    m_pDevice->Stall(false);
    for (HANDLE h : m_threads) {
      EXPECT_EQ(WaitForSingleObject(h, kBoundMs), WAIT_OBJECT_0) << "a request never ended";
      Close(h);
    }
    if (m_hFile != INVALID_HANDLE_VALUE) Close(m_hFile);
  }

  // A synchronous read of up to 8 bytes on a thread of its own.
  HANDLE StartRead() {
    HANDLE h = StartThread([this] {
      DWORD n = 0;
      m_bReadOk = ReadFile(m_hFile, m_abRead, sizeof m_abRead, &n, nullptr);
      m_dwReadError = m_bReadOk ? 0 : GetLastError();
      m_nRead = n;
      return DWORD{0};
    });
    m_threads.push_back(h);
    return h;
  }
  HANDLE StartWrite(DWORD nBytes) {
    m_write.assign(nBytes, 'w');
    HANDLE h = StartThread([this] {
      DWORD n = 0;
      const BOOL bOk =
          WriteFile(m_hFile, m_write.data(), static_cast<DWORD>(m_write.size()), &n, nullptr);
      m_dwWriteError = bOk ? 0 : GetLastError();
      return static_cast<DWORD>(bOk);
    });
    m_threads.push_back(h);
    return h;
  }
  // Cancels the synchronous request of thread hThread once it is in one.
  static bool CancelOnceBlocked(HANDLE hThread) {
    for (DWORD i = 0; i < kBoundMs; ++i) {
      if (CancelSynchronousIo(hThread)) return true;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
      Sleep(1);
    }
    return false;
  }

  std::unique_ptr<CTestDevice> m_pDevice;
  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  std::vector<HANDLE> m_threads;
  BYTE m_abRead[8] = {};
  BOOL m_bReadOk = FALSE;
  DWORD m_dwReadError = 0;
  DWORD m_nRead = 0;
  std::string m_write;
  DWORD m_dwWriteError = 0;
};

TEST_F(SyncIoConformance, CancelSynchronousIoEndsTheBlockedReadAndFindsNothingElse) {
  HANDLE hSelf = OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, GetCurrentThreadId());
  ASSERT_NE(hSelf, nullptr) << "error " << GetLastError();
  EXPECT_FALSE(CancelSynchronousIo(hSelf));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  Close(hSelf);

  HANDLE hReader = StartRead();
  ASSERT_TRUE(CancelOnceBlocked(hReader));
  ASSERT_EQ(WaitForSingleObject(hReader, kBoundMs), WAIT_OBJECT_0);
  EXPECT_FALSE(m_bReadOk);
  EXPECT_EQ(m_dwReadError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // The file works on afterwards.
  ASSERT_TRUE(m_pDevice->Send("ok", 2));
  DWORD n = 0;
  BYTE ab[2];
  ASSERT_TRUE(ReadFile(m_hFile, ab, sizeof ab, &n, nullptr));
  EXPECT_EQ(n, 2u);
}

TEST_F(SyncIoConformance, SecondRequestFromAnotherThreadWaitsForTheOneInProgress) {
  HANDLE hReader = StartRead();
  m_pDevice->AwaitPendingReads(1);
  HANDLE hWriter = StartWrite(3);
  if (RunningOnWine() && WaitForSingleObject(hWriter, kStillBlockedMs) == WAIT_OBJECT_0) {
    m_pDevice->Send("r", 1);
    GTEST_SKIP() << "Wine runs requests on one synchronous file object side by side";
  }
  EXPECT_EQ(WaitForSingleObject(hWriter, kStillBlockedMs), WAIT_TIMEOUT)
      << "the write ran beside the blocked read";
  ASSERT_TRUE(m_pDevice->Send("r", 1));
  ASSERT_EQ(WaitForSingleObject(hReader, kBoundMs), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(hWriter, kBoundMs), WAIT_OBJECT_0);
  EXPECT_EQ(m_dwWriteError, 0u);
  EXPECT_EQ(m_pDevice->Receive(3), "www");
}

TEST_F(SyncIoConformance, CloseOfTheLastHandleWaitsForTheRequestInProgress) {
  HANDLE hReader = StartRead();
  m_pDevice->AwaitPendingReads(1);
  const HANDLE hFile = m_hFile;
  m_hFile = INVALID_HANDLE_VALUE;
  HANDLE hCloser = StartThread([hFile] { return static_cast<DWORD>(CloseHandle(hFile)); });
  m_threads.push_back(hCloser);
  if (RunningOnWine() && WaitForSingleObject(hCloser, kStillBlockedMs) == WAIT_OBJECT_0) {
    GTEST_SKIP() << "Wine closes at once and fails the blocked read (error 109)";
  }
  EXPECT_EQ(WaitForSingleObject(hCloser, kStillBlockedMs), WAIT_TIMEOUT)
      << "the close did not wait for the read";
  ASSERT_TRUE(m_pDevice->Send("r", 1));
  ASSERT_EQ(WaitForSingleObject(hReader, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(m_bReadOk);
  ASSERT_EQ(WaitForSingleObject(hCloser, kBoundMs), WAIT_OBJECT_0);
  DWORD dwClosed = 0;
  EXPECT_TRUE(GetExitCodeThread(hCloser, &dwClosed) && dwClosed);
}

TEST_F(SyncIoConformance, WriteBlocksWhileTheDeviceTakesNothing) {
  m_pDevice->Stall(true);
  HANDLE hWriter = StartWrite(kStallWriteBytes);
  EXPECT_EQ(WaitForSingleObject(hWriter, kStillBlockedMs), WAIT_TIMEOUT);
  ASSERT_TRUE(CancelOnceBlocked(hWriter));
  ASSERT_EQ(WaitForSingleObject(hWriter, kBoundMs), WAIT_OBJECT_0);
  EXPECT_EQ(m_dwWriteError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST(HandleConformance, FreedValueIsHandedOutAgainAtOnce) {
  HANDLE hFirst = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(hFirst, nullptr);
  Close(hFirst);
  HANDLE hSecond = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(hSecond, hFirst);
  Close(hSecond);
}

}  // namespace
}  // namespace conformance
