// Files on simulated printers: which paths open, blocking reads, unplug and
// replug, scripted pipe results and responders.
#include "DeviceTest.h"

namespace {

class FileTest : public DeviceTest {};

TEST_F(FileTest, InterfacePathOpensBareAndWithEitherPipeNameInAnyCase) {
  const std::string sPath = PathOf("open1");
  Plug(SIM_CLASS_PRINTER, sPath);
  for (const char *pszSuffix : {"", "\\PIPE00", "\\PIPE01", "\\pipe00", "\\Pipe01"}) {
    EXPECT_NE(Open(sPath + pszSuffix), INVALID_HANDLE_VALUE) << pszSuffix;
  }
  std::string sUpper = sPath;
  for (char &c : sUpper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const std::string &sBad : {sUpper, sPath + "\\PIPE02", sPath + "\\", sPath + "PIPE00",
                                  sPath + "\\PIPE00\\PIPE00", PathOf("other")}) {
    SetLastError(0);
    EXPECT_EQ(Open(sBad), INVALID_HANDLE_VALUE) << sBad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << sBad;
  }
}

TEST_F(FileTest, BytesFromThePrinterReachPipe00AndTheBarePathOnly) {
  const std::string sPath = PathOf("route");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE hBare = Open(sPath);
  HANDLE h00 = Open(sPath + "\\PIPE00");
  HANDLE h01 = Open(sPath + "\\PIPE01", FILE_FLAG_OVERLAPPED);
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[8];
  ASSERT_FALSE(ReadFile(h01, ab, sizeof ab, nullptr, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  Send(dev, "abcde");
  EXPECT_EQ(Read(hBare, 2).sData, "ab");
  EXPECT_EQ(Read(h00, 8).sData, "cde");
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT) << "PIPE01 got bytes";
  EXPECT_TRUE(CancelIo(h01));

  // Host bytes from every file land in one log, in order.
  EXPECT_TRUE(Write(hBare, "1"));
  EXPECT_TRUE(Write(h00, "2"));
  EXPECT_TRUE(Write(h01, "3"));
  EXPECT_EQ(Written(dev), "123");
}

TEST_F(FileTest, PrinterClassSynchronousReadBlocksUntilBytesCome) {
  const std::string sPath = PathOf("block");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE h = Open(sPath + "\\PIPE00");
  auto read = ReadAsync(h, 64);
  ASSERT_TRUE(SimWaitPendingReads(dev, 1, kBoundMs));
  Send(dev, "xy");
  const CReadResult r = Await(read);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "xy");
  EXPECT_EQ(SimPendingReads(dev), 0u);
}

TEST_F(FileTest, ZeroByteReadCompletesAtOnceWithoutTakingBytes) {
  const std::string sPath = PathOf("zero");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE hOv = Open(sPath, FILE_FLAG_OVERLAPPED);
  HANDLE hSync = Open(sPath);
  OVERLAPPED ov{};
  ov.hEvent = Event();
  char ab[1];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(hOv, ab, 0, &n, &ov));
  EXPECT_EQ(n, 0u);
  auto read = ReadAsync(hSync, 0);
  EXPECT_TRUE(Await(read).bOk) << "a printer-class read of nothing waited for bytes";
  Send(dev, "q");
  EXPECT_TRUE(ReadFile(hOv, ab, 0, &n, &ov));
  EXPECT_EQ(SimPendingToHost(dev), 1u);
}

// An overlapped file's close cancels its reads; a synchronous one's close
// waits for the request in progress, which CancelSynchronousIo can end.
TEST_F(FileTest, ClosingTheLastHandleCancelsOverlappedReadsButWaitsForSynchronousOnes) {
  const std::string sPath = PathOf("closeblocked");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE hOv = Open(sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  HANDLE hSync = Open(sPath + "\\PIPE00");
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[8];
  ASSERT_FALSE(ReadFile(hOv, ab, sizeof ab, nullptr, &ov));
  ASSERT_TRUE(CloseHandle(hOv));
  ASSERT_EQ(WaitForSingleObject(hEvent, kBoundMs), WAIT_OBJECT_0);
  EXPECT_EQ(ov.Internal, static_cast<ULONG_PTR>(ERROR_OPERATION_ABORTED));

  auto read = ReadAsync(hSync, 64);
  ASSERT_TRUE(SimWaitPendingReads(dev, 1, kBoundMs));
  const DWORD nClosesBefore = SimCallCount(SIM_FN_CloseHandle);
  auto close = std::async(std::launch::async, [hSync] { return CloseHandle(hSync); });
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_CloseHandle, nClosesBefore + 1, kBoundMs));
  EXPECT_EQ(SimPendingReads(dev), 1u) << "the close must not end the read";
  Send(dev, "late");
  EXPECT_EQ(Await(read).sData, "late");
  EXPECT_TRUE(close.get());
}

// CancelIoEx reaches synchronous requests and writes too, and no request of
// another handle to the same printer.
TEST_F(FileTest, CancelIoExEndsRequestsOfItsFileObjectOnly) {
  const std::string sPath = PathOf("cancelex");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE hSync = Open(sPath);
  HANDLE hOv = Open(sPath, FILE_FLAG_OVERLAPPED);
  auto read = ReadAsync(hSync, 8);
  ASSERT_TRUE(SimWaitPendingReads(dev, 1, kBoundMs));
  ASSERT_TRUE(SimSetWriteStall(dev, TRUE));
  OVERLAPPED ov{};
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(hOv, "w", 1, &n, &ov));
  ASSERT_TRUE(CancelIoEx(hSync, nullptr));
  EXPECT_EQ(Await(read).dwError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(SimWaitPendingWrites(dev, 1, 0)) << "the other file's write ended";
  ASSERT_TRUE(CancelIoEx(hOv, &ov));
  EXPECT_FALSE(GetOverlappedResult(hOv, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(FileTest, UnplugKillsOpenFilesAndReplugBringsTheDeviceBackForNewOpensOnly) {
  const std::string sPath = PathOf("unplug");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE hOld = Open(sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  HANDLE hSync = Open(sPath + "\\PIPE00");
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[8];
  ASSERT_FALSE(ReadFile(hOld, ab, sizeof ab, nullptr, &ov));
  auto blocked = ReadAsync(hSync, 8);
  ASSERT_TRUE(SimWaitPendingReads(dev, 2, kBoundMs));
  ASSERT_TRUE(SimUnplug(dev));
  EXPECT_FALSE(SimSend(dev, "lost", 4)) << "nobody is there";
  EXPECT_EQ(SimPendingToHost(dev), 0u);

  ASSERT_EQ(WaitForSingleObject(hEvent, kBoundMs), WAIT_OBJECT_0);
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(hOld, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Await(blocked).dwError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(Write(hOld, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Open(sPath), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(SimUnplug(dev));

  ASSERT_TRUE(SimReplug(dev));
  EXPECT_FALSE(SimReplug(dev));
  HANDLE hNew = Open(sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(hNew, INVALID_HANDLE_VALUE);
  Send(dev, "back");
  EXPECT_FALSE(ReadFile(hOld, ab, sizeof ab, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  ASSERT_TRUE(ReadFile(hNew, ab, sizeof ab, &n, &ov));
  EXPECT_EQ(std::string(ab, n), "back");
}

TEST_F(FileTest, RemovalErrorIsWhatDeadFilesAndAbortedReadsReport) {
  const std::string sPath = PathOf("denied");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  EXPECT_FALSE(SimSetRemovalError(dev, ERROR_SUCCESS));
  EXPECT_FALSE(SimSetRemovalError(dev + 1000, ERROR_ACCESS_DENIED));
  ASSERT_TRUE(SimSetRemovalError(dev, ERROR_ACCESS_DENIED));
  HANDLE h = Open(sPath + "\\PIPE00");
  auto blocked = ReadAsync(h, 8);
  ASSERT_TRUE(SimWaitPendingReads(dev, 1, kBoundMs));
  ASSERT_TRUE(SimUnplug(dev));
  EXPECT_EQ(Await(blocked).dwError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(Write(h, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(sPath), INVALID_HANDLE_VALUE) << "new opens still find nothing";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(SimReplug(dev));
  EXPECT_FALSE(Write(h, "x")) << "kept across replug";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, PlugRefusesBadArgumentsAndAPathAlreadyPlugged) {
  const std::string sPath = PathOf("dup");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  EXPECT_EQ(SimPlug(SIM_CLASS_PRINTER, nullptr, sPath.c_str()), 0);
  EXPECT_EQ(SimPlug(SIM_CLASS_NATIVE, nullptr, PathOf("noguid").c_str()), 0);
  EXPECT_EQ(SimPlug(SIM_CLASS_PRINTER, nullptr, ""), 0);
  EXPECT_EQ(SimPlug(SIM_CLASS_PRINTER, nullptr, std::string(1024, 'p').c_str()), 0);
  EXPECT_EQ(SimPlug(7, &g_guidTestNative, PathOf("badclass").c_str()), 0);
  // Another printer may take the path of an unplugged one, which then
  // cannot come back while it is there.
  ASSERT_TRUE(SimUnplug(dev));
  const SIMDEV other = Plug(SIM_CLASS_PRINTER, sPath);
  EXPECT_FALSE(SimReplug(dev));
  ASSERT_TRUE(SimUnplug(other));
  EXPECT_TRUE(SimReplug(dev));
}

TEST_F(FileTest, ScriptedResultsApplyToTheirPipeOnceEachInOrder) {
  const std::string sPath = PathOf("script");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  ASSERT_TRUE(SimScriptOpenError(dev, SIM_PIPE_01, ERROR_ACCESS_DENIED));
  EXPECT_NE(Open(sPath + "\\PIPE00"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(sPath + "\\PIPE01"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE h01 = Open(sPath + "\\PIPE01");
  HANDLE h00 = Open(sPath + "\\PIPE00");
  ASSERT_NE(h01, INVALID_HANDLE_VALUE);

  ASSERT_TRUE(SimScriptWriteError(dev, SIM_PIPE_01, ERROR_GEN_FAILURE));
  ASSERT_TRUE(SimScriptShortWrite(dev, SIM_PIPE_ANY, 2));
  DWORD n = 99;
  EXPECT_TRUE(Write(h00, "abcd", &n)) << "the PIPE01 error is not for PIPE00";
  EXPECT_EQ(n, 2u);
  EXPECT_FALSE(Write(h01, "efgh", &n));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(Write(h01, "ij", &n));
  EXPECT_EQ(Written(dev), "abij");

  Send(dev, "data");
  ASSERT_TRUE(SimScriptReadError(dev, SIM_PIPE_ANY, ERROR_CRC));
  ASSERT_TRUE(SimScriptZeroRead(dev, SIM_PIPE_00));
  CReadResult r = Read(h00, 8);
  EXPECT_EQ(r.dwError, static_cast<DWORD>(ERROR_CRC));
  r = Read(h00, 8);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "") << "zero read";
  EXPECT_EQ(Read(h00, 8).sData, "data") << "scripts take no bytes";
}

TEST_F(FileTest, ScriptedReadResultEndsAReadAlreadyWaiting) {
  const std::string sPath = PathOf("scriptpending");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE h = Open(sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, ab, sizeof ab, &n, &ov));
  ASSERT_TRUE(SimScriptReadError(dev, SIM_PIPE_01, ERROR_CRC));  // another pipe: waits
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ASSERT_TRUE(SimScriptReadError(dev, SIM_PIPE_00, ERROR_GEN_FAILURE));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

  ASSERT_FALSE(ReadFile(h, ab, sizeof ab, &n, &ov));
  ASSERT_TRUE(SimScriptZeroRead(dev, SIM_PIPE_ANY));
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 0u);
}

TEST_F(FileTest, ResponderAnswersARequestEvenWhenWrittenInPieces) {
  const std::string sPath = PathOf("respond");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  ASSERT_TRUE(SimAddResponder(dev, "\x1b?", 2, "old", 3));
  ASSERT_TRUE(SimAddResponder(dev, "\x1b?", 2, "OK", 2));  // replaces the reply
  // Two file objects: a synchronous one runs one request at a time.
  HANDLE hRead = Open(sPath);
  HANDLE h = Open(sPath);
  auto read = ReadAsync(hRead, 16);
  ASSERT_TRUE(SimWaitPendingReads(dev, 1, kBoundMs));
  EXPECT_TRUE(Write(h, "xx\x1b"));
  EXPECT_EQ(SimPendingReads(dev), 1u);
  EXPECT_TRUE(Write(h, "?"));
  EXPECT_EQ(Await(read).sData, "OK");
  EXPECT_TRUE(Write(h, "\x1b?zz"));  // request not at the end: no answer
  EXPECT_EQ(SimPendingToHost(dev), 0u);

  for (int i = 1; i < 16; ++i) {
    const char cRequest = static_cast<char>('a' + i);
    ASSERT_TRUE(SimAddResponder(dev, &cRequest, 1, "r", 1)) << i;
  }
  EXPECT_FALSE(SimAddResponder(dev, "!", 1, "r", 1)) << "a 17th responder";
}

TEST_F(FileTest, ResetForgetsDevicesButLeavesTheirHandlesOpenAsLeaks) {
  const std::string sPath = PathOf("reset");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE h = Open(sPath, FILE_FLAG_OVERLAPPED);
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[4];
  ASSERT_FALSE(ReadFile(h, ab, sizeof ab, nullptr, &ov));
  SimReset();
  EXPECT_EQ(SimDeviceCount(), 0u);
  EXPECT_FALSE(SimIsPlugged(dev));
  EXPECT_EQ(SimOpenHandleCount(), 2u);
  char szReport[512];
  EXPECT_EQ(SimLeakReport(szReport, sizeof szReport, 0), 2u);
  EXPECT_NE(std::string(szReport).find(sPath), std::string::npos) << szReport;
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Open(sPath), INVALID_HANDLE_VALUE);
}

}  // namespace
