// Conformance of files on a device: overlapped reads that pend or complete at
// once, GetOverlappedResult, CancelIo, CancelIoEx, a close with a read in
// flight, and the order of bytes in both directions. Win32 names only; the device's other end
// is a CTestDevice.
#include <gtest/gtest.h>

#include <string>

#include "Conformance.h"
#include "TestDevice.h"

namespace conformance {
namespace {

class DeviceConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pDevice = CTestDevice::Create();
    ASSERT_TRUE(m_pDevice);
    m_hFile = CreateFileA(m_pDevice->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(m_hFile, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    // Signalled at first: a read that pends must reset it.
    m_hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(m_hEvent, nullptr);
    m_ov.hEvent = m_hEvent;
  }
  void TearDown() override {
    if (m_hFile != INVALID_HANDLE_VALUE) Close(m_hFile);
    if (m_hEvent != nullptr) Close(m_hEvent);
  }

  // Starts a read that must pend (on m_hFile unless another file is given).
  void StartPendingRead(DWORD nBytes, OVERLAPPED *pOv, BYTE *pBuffer, HANDLE hFile = nullptr) {
    DWORD nRead = 12345;
    EXPECT_FALSE(ReadFile(hFile ? hFile : m_hFile, pBuffer, nBytes, &nRead, pOv));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(pOv->Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
  }
  void Write(const std::string &s) {
    OVERLAPPED ov{};
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov.hEvent = hEvent;
    DWORD nWritten = 0;
    BOOL bOk = WriteFile(m_hFile, s.data(), static_cast<DWORD>(s.size()), &nWritten, &ov);
    if (!bOk && GetLastError() == ERROR_IO_PENDING) {
      bOk = GetOverlappedResult(m_hFile, &ov, &nWritten, TRUE);
    }
    EXPECT_TRUE(bOk) << "error " << GetLastError();
    EXPECT_EQ(nWritten, s.size());
    Close(hEvent);
  }
  std::string Text(DWORD n) const { return std::string(reinterpret_cast<const char *>(m_ab), n); }

  std::unique_ptr<CTestDevice> m_pDevice;
  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  HANDLE m_hEvent = nullptr;
  OVERLAPPED m_ov{};
  BYTE m_ab[64] = {};
};

TEST_F(DeviceConformance, ReadPendsUntilBytesArriveThenCompletesWithThem) {
  StartPendingRead(sizeof m_ab, &m_ov, m_ab);
  EXPECT_EQ(WaitForSingleObject(m_hEvent, 0), WAIT_TIMEOUT) << "event not reset";
  DWORD nRead = 0;
  EXPECT_FALSE(GetOverlappedResult(m_hFile, &m_ov, &nRead, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  ASSERT_TRUE(m_pDevice->Send("abc", 3));
  ASSERT_EQ(WaitForSingleObject(m_hEvent, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(HasOverlappedIoCompleted(&m_ov));
  EXPECT_EQ(m_ov.Internal, 0u);
  EXPECT_EQ(m_ov.InternalHigh, 3u);
  ASSERT_TRUE(GetOverlappedResult(m_hFile, &m_ov, &nRead, FALSE));
  EXPECT_EQ(nRead, 3u);
  EXPECT_EQ(Text(nRead), "abc");
}

TEST_F(DeviceConformance, ReadCompletesAtOnceWithQueuedBytesButNoMoreThanAsked) {
  ASSERT_TRUE(m_pDevice->Send("0123456789", 10));
  ASSERT_TRUE(ResetEvent(m_hEvent));
  DWORD nRead = 0;
  ASSERT_TRUE(ReadFile(m_hFile, m_ab, 4, &nRead, &m_ov)) << "error " << GetLastError();
  EXPECT_EQ(nRead, 4u);
  EXPECT_EQ(Text(4), "0123");
  EXPECT_EQ(m_ov.InternalHigh, 4u);
  EXPECT_EQ(WaitForSingleObject(m_hEvent, 0), WAIT_OBJECT_0) << "event of a finished read not set";

  ASSERT_TRUE(ReadFile(m_hFile, m_ab, sizeof m_ab, &nRead, &m_ov));
  EXPECT_EQ(Text(nRead), "456789");
}

TEST_F(DeviceConformance, PendingReadsTakeBytesInIssueOrder) {
  OVERLAPPED ov2{};
  HANDLE hEvent2 = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ov2.hEvent = hEvent2;
  BYTE ab2[64] = {};
  StartPendingRead(3, &m_ov, m_ab);
  StartPendingRead(sizeof ab2, &ov2, ab2);

  ASSERT_TRUE(m_pDevice->Send("12345", 5));
  DWORD nRead = 0;
  ASSERT_TRUE(GetOverlappedResult(m_hFile, &m_ov, &nRead, TRUE));
  EXPECT_EQ(Text(nRead), "123");
  ASSERT_TRUE(GetOverlappedResult(m_hFile, &ov2, &nRead, TRUE));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ab2), nRead), "45");
  Close(hEvent2);
}

TEST_F(DeviceConformance, GetOverlappedResultWithWaitBlocksUntilCompletion) {
  StartPendingRead(sizeof m_ab, &m_ov, m_ab);
  CTestDevice *pDevice = m_pDevice.get();
  HANDLE hThread = StartThread([pDevice] { return pDevice->Send("xyz", 3) ? 0u : 1u; });
  DWORD nRead = 0;
  ASSERT_TRUE(GetOverlappedResult(m_hFile, &m_ov, &nRead, TRUE)) << "error " << GetLastError();
  EXPECT_EQ(Text(nRead), "xyz");
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  Close(hThread);
}

TEST_F(DeviceConformance, CancelIoAbortsTheCallingThreadsRead) {
  StartPendingRead(sizeof m_ab, &m_ov, m_ab);
  ASSERT_TRUE(CancelIo(m_hFile));
  ASSERT_EQ(WaitForSingleObject(m_hEvent, kBoundMs), WAIT_OBJECT_0);
  DWORD nRead = 1;
  EXPECT_FALSE(GetOverlappedResult(m_hFile, &m_ov, &nRead, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(nRead, 0u);

  // The file stays usable.
  ASSERT_TRUE(m_pDevice->Send("ok", 2));
  ASSERT_TRUE(ReadFile(m_hFile, m_ab, sizeof m_ab, &nRead, &m_ov));
  EXPECT_EQ(Text(nRead), "ok");
}

TEST_F(DeviceConformance, CancelIoOnAnotherThreadLeavesTheReadPending) {
  StartPendingRead(sizeof m_ab, &m_ov, m_ab);
  HANDLE hFile = m_hFile;
  HANDLE hThread = StartThread([hFile] { return CancelIo(hFile) ? 0u : 1u; });
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 99;
  EXPECT_TRUE(GetExitCodeThread(hThread, &dwExit));
  EXPECT_EQ(dwExit, 0u);
  Close(hThread);

  DWORD nRead = 0;
  EXPECT_FALSE(GetOverlappedResult(m_hFile, &m_ov, &nRead, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ASSERT_TRUE(m_pDevice->Send("k", 1));
  ASSERT_TRUE(GetOverlappedResult(m_hFile, &m_ov, &nRead, TRUE));
  EXPECT_EQ(Text(nRead), "k");
}

// CancelIoEx ends, from any thread, the request of its OVERLAPPED, or with
// NULL all of its handle's, never another handle's; an ended one is not found.
TEST_F(DeviceConformance, CancelIoExEndsExactlyTheRequestsItNames) {
  std::unique_ptr<CTestDevice> pOther = CTestDevice::Create();
  ASSERT_TRUE(pOther);
  HANDLE hOther = CreateFileA(pOther->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(hOther, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  OVERLAPPED aov[4] = {};
  BYTE ab[4][8];
  for (int i = 0; i < 4; ++i) {
    aov[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartPendingRead(sizeof ab[i], &aov[i], ab[i], i < 3 ? m_hFile : hOther);
  }
  auto result = [&](int i) {  // the count, or the error
    DWORD n = 0;
    if (WaitForSingleObject(aov[i].hEvent, kBoundMs) != WAIT_OBJECT_0) return DWORD{WAIT_TIMEOUT};
    return GetOverlappedResult(i < 3 ? m_hFile : hOther, &aov[i], &n, FALSE) ? n : GetLastError();
  };
  HANDLE hThread = StartThread([&] { return CancelIoEx(m_hFile, &aov[0]) ? 0u : GetLastError(); });
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  Close(hThread);
  EXPECT_EQ(result(0), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(CancelIoEx(m_hFile, &aov[0]));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  ASSERT_TRUE(m_pDevice->Send("a", 1));
  EXPECT_EQ(result(1), 1u) << "the next read did not stay pending";
  ASSERT_TRUE(CancelIoEx(m_hFile, nullptr)) << "error " << GetLastError();
  EXPECT_EQ(result(2), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  ASSERT_TRUE(pOther->Send("b", 1));
  EXPECT_EQ(result(3), 1u) << "another handle's read ended";
  for (OVERLAPPED &ov : aov) Close(ov.hEvent);
  Close(hOther);
}

TEST_F(DeviceConformance, ClosingTheHandleAbortsItsPendingRead) {
  StartPendingRead(sizeof m_ab, &m_ov, m_ab);
  const HANDLE hClosed = m_hFile;
  m_hFile = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(CloseHandle(hClosed));
  ASSERT_EQ(WaitForSingleObject(m_hEvent, kBoundMs), WAIT_OBJECT_0);
  // A finished record is read without its (closed) handle.
  DWORD nRead = 1;
  EXPECT_FALSE(GetOverlappedResult(hClosed, &m_ov, &nRead, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(DeviceConformance, WrittenBytesArriveInOrder) {
  Write("abc");
  Write("defg");
  EXPECT_EQ(m_pDevice->Receive(7), "abcdefg");
}

}  // namespace
}  // namespace conformance
