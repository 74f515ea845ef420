// Native-type reads, writes and closes: results, what reaches the Java array
// and the printer, and the trace lines.
#include <stdio.h>

#include <algorithm>
#include <regex>

#include "NativeTest.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::MatchesRegex;

namespace {

class TransferTest : public CNativeTest {
 protected:
  void SetUp() override {
    CNativeTest::SetUp();
    m_dev = PlugNative();
    ASSERT_NE(m_dev, 0);
    ReadsReturnAtOnce(m_dev);
  }

  jint OpenRead() {
    EXPECT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
    return m_jni.PortField("hReadPort");
  }
  jint OpenWrite() {
    EXPECT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
    return m_jni.PortField("hWritePort");
  }

  static std::string ReadSummary(jint nHandle, int nData, const char *pszFirst, int nCount,
                                 int bResult) {
    char sz[160];
    snprintf(sz, sizeof sz,
             "usbReadInputPipe READ:  nHandle=%p, nData=%i, bData[0]=%s nCount=%d bResult=%d\n",
             (void *)(intptr_t)nHandle, nData, pszFirst, nCount, bResult);
    return sz;
  }

  SIMDEV m_dev = 0;
};

TEST_F(TransferTest, ReadStoresOnlyTheBytesRead) {
  const jint hRead = OpenRead();
  const BYTE sent[] = {0xA0, 0x01, 0x7F};
  ASSERT_TRUE(SimSend(m_dev, sent, sizeof sent));
  jbyteArray data = m_jni.NewByteArray(6, 0x55);
  ClearLines();

  EXPECT_EQ(Read(hRead, data), 3);
  EXPECT_THAT(m_jni.Bytes(data), ElementsAre(-96, 1, 127, 0x55, 0x55, 0x55));
  EXPECT_THAT(
      Traces(),
      ElementsAre("usbReadInputPipe Entering usbReadInputPipe, nData=6\n",
                  "usbReadInputPipe Entering ReadFile (Nat)\n",
                  "usbReadInputPipe Left ReadFile (Nat)\n", ReadSummary(hRead, 6, "ffffffa0", 3, 1),
                  "usbReadInputPipe Case 1\n", "usbReadInputPipe Leaving usbReadInputPipe\n"));
  EXPECT_EQ(Close(hRead), 0);
}

TEST_F(TransferTest, ReadWithoutDataReturnsZeroAndLeavesTheArray) {
  const jint hRead = OpenRead();
  jbyteArray data = m_jni.NewByteArray(4, 9);
  ClearLines();
  EXPECT_EQ(Read(hRead, data), 0);
  EXPECT_THAT(m_jni.Bytes(data), ElementsAre(9, 9, 9, 9));
  EXPECT_EQ(m_jni.CallCount(FAKEJNI_SetByteArrayRegion), 0u);
  const auto lines = Traces();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], ReadSummary(hRead, 4, "0", 0, 1));
  EXPECT_EQ(lines[4], "usbReadInputPipe Case 2\n");

  // A driver that completes with nothing: the same.
  ASSERT_TRUE(SimScriptZeroRead(m_dev, SIM_PIPE_00));
  ASSERT_TRUE(SimSend(m_dev, "x", 1));
  EXPECT_EQ(Read(hRead, data), 0);
  EXPECT_THAT(m_jni.Bytes(data), ElementsAre(9, 9, 9, 9));
  EXPECT_EQ(Read(hRead, data), 1);
  EXPECT_EQ(Close(hRead), 0);
}

TEST_F(TransferTest, ReadIntoAnEmptyArrayAsksForNothing) {
  const jint hRead = OpenRead();
  ASSERT_TRUE(SimSend(m_dev, "z", 1));
  jbyteArray data = m_jni.NewByteArray(0, 0);
  EXPECT_EQ(Read(hRead, data), 0);
  EXPECT_EQ(SimPendingToHost(m_dev), 1u);
  EXPECT_EQ(Traces()[Traces().size() - 2], "usbReadInputPipe Case 2\n");
  EXPECT_EQ(Close(hRead), 0);
}

TEST_F(TransferTest, FailedReadReturnsMinusOneAndLeavesTheArray) {
  const jint hRead = OpenRead();
  ASSERT_TRUE(SimScriptReadError(m_dev, SIM_PIPE_00, ERROR_GEN_FAILURE));
  ASSERT_TRUE(SimSend(m_dev, "abc", 3));
  jbyteArray data = m_jni.NewByteArray(4, 1);
  ClearLines();
  EXPECT_EQ(Read(hRead, data), -1);
  EXPECT_THAT(m_jni.Bytes(data), ElementsAre(1, 1, 1, 1));
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetLastError(Env(), m_jni.Self()), ERROR_GEN_FAILURE);
  const auto lines = Traces();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], ReadSummary(hRead, 4, "0", 0, 0));
  EXPECT_EQ(lines[4], "usbReadInputPipe Case 2\n");

  // A bad handle fails the same way, and so does none at all: a port whose
  // read pipe was never opened reads nothing from the write pipe.
  EXPECT_EQ(Read(hRead + 4000, data), -1);
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  EXPECT_EQ(Read(0, data), -1);
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetLastError(Env(), m_jni.Self()),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(SimPendingToHost(m_dev), 3u) << "the bytes stay for the read pipe";
  EXPECT_EQ(Close(m_jni.PortField("hWritePort")), 0);
  EXPECT_EQ(Close(hRead), 0);
}

// Obvious faults: input the JVM would crash or throw on.

TEST_F(TransferTest, ReadIntoNullArrayMakesNoJniCall) {
  EXPECT_EQ(Read(0, nullptr), -1);
  EXPECT_EQ(m_jni.CallCount(), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_ReadFile), 0u);
}

// Arrays up to 4 KiB need no allocation; a longer one whose buffer cannot be
// had fails the read before anything is touched.
TEST_F(TransferTest, ReadWithoutBufferTouchesNothing) {
  const jint hRead = OpenRead();
  SimSetDebugListener(nullptr, nullptr);  // the fixture's recorder allocates
  ASSERT_TRUE(SimSend(m_dev, "abc", 3));
  jbyteArray big = m_jni.NewByteArray(4097, 1);
  jbyteArray small = m_jni.NewByteArray(4096, 1);
  const size_t nCallsBefore = m_jni.CallCount();
  SimInjectFailure(SIM_FN_ALLOC, 0, 0xFFFFFFFF, ERROR_NOT_ENOUGH_MEMORY);
  const jint nBig = Read(hRead, big);
  const jint nSmall = Read(hRead, small);
  SimClearInjections();
  EXPECT_EQ(nBig, -1);
  EXPECT_EQ(m_jni.CallCount() - nCallsBefore, 1u + 2u);  // the length only; then length, region
  EXPECT_EQ(SimCallCount(SIM_FN_ReadFile), 1u);
  EXPECT_EQ(m_jni.Bytes(big), std::vector<jbyte>(4097, 1));
  EXPECT_EQ(nSmall, 3);
  const std::vector<jbyte> got = m_jni.Bytes(small);
  EXPECT_THAT(std::vector<jbyte>(got.begin(), got.begin() + 4), ElementsAre('a', 'b', 'c', 1));
  EXPECT_EQ(Close(hRead), 0);
}

TEST_F(TransferTest, WriteGoesThroughTheStoredHandle) {
  const jint hWrite = OpenWrite();
  jbyteArray data = m_jni.NewByteArray({0x1b, 0x40, -96, 0x0a, 0x00});
  ClearLines();
  // The handle Java passes is only shown in the summary.
  EXPECT_EQ(Write(12345, data), 0);
  BYTE written[8] = {};
  ASSERT_EQ(SimWritten(m_dev, written, sizeof written), 5u);
  EXPECT_THAT(std::vector<BYTE>(written, written + 5), ElementsAre(0x1b, 0x40, 0xa0, 0x0a, 0x00));
  EXPECT_THAT(m_jni.Bytes(data), ElementsAre(0x1b, 0x40, -96, 0x0a, 0x00));

  const auto lines = Traces();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "usbWriteOutputPipe Entering Writefile\n");
  EXPECT_EQ(lines[1], "WRITE 1b 40 a0 0a 00\n");
  EXPECT_THAT(lines[2], MatchesRegex("usbWriteOutputPipe WRITE: nHandle = 12345, outputData = "
                                     "-?[0-9]+, nData = 5, nWritten = 5\n"));
  EXPECT_EQ(lines[3], "usbWriteOutputPipe Left Writefile\n");
  EXPECT_EQ(lines[4], "usbWriteOutputPipe After ReleaseByteArrayElements\n");
  // A short array is copied out, nothing is taken or copied back.
  EXPECT_EQ(m_jni.Calls().back().nFn, FAKEJNI_GetByteArrayRegion);
  EXPECT_EQ(m_jni.CallCount(FAKEJNI_GetByteArrayElements), 0u);
  EXPECT_EQ(Close(hWrite), 0);
}

// A long array is copied out like a short one, into a block kept for the
// next long write: never taken as elements (nothing to copy back), and a
// longer array than the kept block gets a larger one.
TEST_F(TransferTest, LongWritesCopyTheArrayOutIntoAKeptBlock) {
  const jint hWrite = OpenWrite();
  std::vector<BYTE> expected;
  // Whether the write allocates: only when the kept block is too small.
  const std::pair<size_t, bool> kWrites[] = {
      {5000, true}, {5000, false}, {8000, true}, {70000, true}};
  for (const auto &write : kWrites) {
    std::vector<jbyte> bytes(write.first);
    for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = (jbyte)(n * 7 + write.first);
    jbyteArray array = m_jni.NewByteArray(bytes);
    const DWORD nAllocs = SimCallCount(SIM_FN_ALLOC);
    EXPECT_EQ(Write(hWrite, array), 0);
    EXPECT_EQ(SimCallCount(SIM_FN_ALLOC) != nAllocs, write.second) << write.first << " bytes";
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  std::vector<BYTE> written(expected.size());
  ASSERT_EQ(SimWritten(m_dev, written.data(), (DWORD)written.size()), expected.size());
  EXPECT_EQ(written, expected);
  EXPECT_EQ(m_jni.CallCount(FAKEJNI_GetByteArrayElements), 0u);
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(TransferTest, WriteDumpsOnlyShortBlocks) {
  const jint hWrite = OpenWrite();
  std::vector<jbyte> bytes(32);
  for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = (jbyte)n;

  ClearLines();
  EXPECT_EQ(Write(hWrite, m_jni.NewByteArray(std::vector<jbyte>(bytes.begin(), bytes.end() - 1))),
            0);
  auto lines = Traces();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1], "WRITE 00 01 02 03 04 05 06 07 08 09 0a 0b\n");
  EXPECT_EQ(lines[2], " 0c 0d 0e 0f 10 11 12 13 14 15 16 17\n");
  EXPECT_EQ(lines[3], " 18 19 1a 1b 1c 1d 1e\n");

  ClearLines();
  EXPECT_EQ(Write(hWrite, m_jni.NewByteArray(bytes)), 0);
  lines = Traces();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[1], MatchesRegex(".*WRITE: .* nData = 32, nWritten = 32\n"));

  ClearLines();
  EXPECT_EQ(Write(hWrite, m_jni.NewByteArray(0, 0)), 0);
  lines = Traces();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "WRITE\n");
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 63u);
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(TransferTest, ShortWriteCountsAsSuccess) {
  const jint hWrite = OpenWrite();
  ASSERT_TRUE(SimScriptShortWrite(m_dev, SIM_PIPE_01, 2));
  ClearLines();
  EXPECT_EQ(Write(hWrite, m_jni.NewByteArray({1, 2, 3, 4})), 0);
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 2u);
  EXPECT_THAT(Traces()[2], MatchesRegex(".*nData = 4, nWritten = 2\n"));
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(TransferTest, FailedWriteReportsItsCodeAfterEveryTrace) {
  const jint hWrite = OpenWrite();
  ASSERT_TRUE(SimScriptWriteError(m_dev, SIM_PIPE_01, ERROR_WRITE_FAULT));
  jbyteArray data = m_jni.NewByteArray({1, 2});
  ClearLines();
  EXPECT_EQ(Write(hWrite, data), ERROR_WRITE_FAULT);
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetLastError(Env(), m_jni.Self()), ERROR_WRITE_FAULT);
  EXPECT_EQ(Traces().size(), 5u);
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 0u);
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(TransferTest, WriteWithoutWriteHandleFails) {
  // No write-access open yet: the stored handle is 0.
  EXPECT_EQ(Write(0, m_jni.NewByteArray({1})), ERROR_INVALID_HANDLE);
  // Nor after the write handle was closed.
  const jint hWrite = OpenWrite();
  EXPECT_EQ(Close(hWrite), 0);
  EXPECT_EQ(Write(hWrite, m_jni.NewByteArray({1})), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 0u);
}

TEST_F(TransferTest, WriteOfNullArrayOrWithoutMemoryWritesNothing) {
  const jint hWrite = OpenWrite();
  // Longer than any block kept from earlier writes.
  const jbyteArray aLong = m_jni.NewByteArray(300000, 3);
  const size_t nCallsBefore = m_jni.CallCount();
  EXPECT_EQ(Write(hWrite, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(m_jni.CallCount(), nCallsBefore);

  SimInjectFailure(SIM_FN_ALLOC, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Write(hWrite, aLong), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(m_jni.CallCount() - nCallsBefore, 1u) << "the array's length only";
  EXPECT_EQ(SimCallCount(SIM_FN_WriteFile), 0u);
  EXPECT_EQ(SimWritten(m_dev, nullptr, 0), 0u);
  EXPECT_EQ(Close(hWrite), 0);
}

TEST_F(TransferTest, NativeCloseClosesThePassedHandle) {
  const jint hRead = OpenRead();
  const jint hWrite = OpenWrite();
  ClearLines();
  EXPECT_EQ(Close(hRead), 0);
  EXPECT_THAT(Traces(), ElementsAre("usbClosePipe Entry\n", "usbClosePipe ?????\n"));
  // Closing a read handle leaves the write handle stored.
  EXPECT_EQ(HandleOf(hWrite), g_UsbComm.m_hWritePort.load());
  EXPECT_EQ(Close(hRead), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Close(hWrite), 0);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
}

TEST_F(TransferTest, FailedCloseOfTheWriteHandleStillForgetsIt) {
  const jint hWrite = OpenWrite();
  SimInjectFailure(SIM_FN_CloseHandle, 0, 1, ERROR_GEN_FAILURE);
  EXPECT_EQ(Close(hWrite), ERROR_GEN_FAILURE);
  EXPECT_EQ(g_UsbComm.m_hWritePort.load(), nullptr);
  EXPECT_TRUE(CloseHandle(HandleOf(hWrite)));
}

}  // namespace
