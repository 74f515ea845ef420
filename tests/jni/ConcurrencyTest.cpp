// Reads and writes on two Java threads at once: each summary line is the
// call's own.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "NativeTest.h"

namespace {

class ConcurrencyTest : public CNativeTest {};

TEST_F(ConcurrencyTest, SummariesOfConcurrentReadsAndWritesStayIntact) {
  const SIMDEV dev = PlugNative();
  ReadsReturnAtOnce(dev);
  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  const jint hRead = m_jni.PortField("hReadPort");
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hWrite = m_jni.PortField("hWritePort");
  const int kRounds = 300;
  const std::vector<jbyte> payload(40, 0x33);  // no dump: one summary per write
  jbyteArray readArray = m_jni.NewByteArray(7, 0);
  jbyteArray writeArray = m_jni.NewByteArray(payload);
  ClearLines();

  std::thread reader([&] {
    for (int n = 0; n < kRounds; ++n) Read(hRead, readArray);
  });
  std::thread writer([&] {
    for (int n = 0; n < kRounds; ++n) Write(hWrite, writeArray);
  });
  reader.join();
  writer.join();

  char szRead[160];
  snprintf(szRead, sizeof szRead,
           "usbReadInputPipe READ:  nHandle=%p, nData=7, bData[0]=0 nCount=0 bResult=1\n",
           (void *)(intptr_t)hRead);
  const std::regex writeSummary("usbWriteOutputPipe WRITE: nHandle = " + std::to_string(hWrite) +
                                ", outputData = -?[0-9]+, nData = 40, nWritten = 40\n");
  int nReads = 0, nWrites = 0;
  for (const auto &line : Traces()) {
    if (line.find("READ:") != std::string::npos) {
      EXPECT_EQ(line, szRead);
      ++nReads;
    } else if (line.find("WRITE:") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, writeSummary)) << line;
      ++nWrites;
    }
  }
  EXPECT_EQ(nReads, kRounds);
  EXPECT_EQ(nWrites, kRounds);
  EXPECT_EQ(SimWritten(dev, nullptr, 0), (DWORD)(kRounds * payload.size()));
  EXPECT_EQ(Close(hRead), 0);
  EXPECT_EQ(Close(hWrite), 0);
}

// Holds a write in its hex dump (after its summary text is made, before it
// is sent) until a read has made and sent its own summary in between.
struct SInterleave {
  std::mutex lock;
  std::condition_variable cond;
  bool bWriterInDump = false;
  bool bReadSummarySent = false;
  std::vector<std::string> lines;

  static void OnLine(const char *pszText, void *pContext) {
    auto *p = static_cast<SInterleave *>(pContext);
    std::unique_lock<std::mutex> guard(p->lock);
    p->lines.emplace_back(pszText);
    const std::string szLine(pszText);
    if (szLine.compare(0, 6, "WRITE ") == 0) {
      p->bWriterInDump = true;
      p->cond.notify_all();
      p->cond.wait_for(guard, std::chrono::seconds(30), [p] { return p->bReadSummarySent; });
    } else if (szLine.find("READ:") != std::string::npos) {
      p->bReadSummarySent = true;
      p->cond.notify_all();
    }
  }
};

TEST_F(ConcurrencyTest, SummaryMadeBeforeAnotherCallsIsSentUnchanged) {
  const SIMDEV dev = PlugNative();
  ReadsReturnAtOnce(dev);
  ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
  const jint hRead = m_jni.PortField("hReadPort");
  ASSERT_EQ(InitPipe(kWrite), USB_TYPE_NATIVE);
  const jint hWrite = m_jni.PortField("hWritePort");
  jbyteArray readArray = m_jni.NewByteArray(3, 0);
  jbyteArray writeArray = m_jni.NewByteArray({1, 2, 3});

  SInterleave interleave;
  SimSetDebugListener(&SInterleave::OnLine, &interleave);
  std::thread writer([&] { EXPECT_EQ(Write(hWrite, writeArray), 0); });
  {
    std::unique_lock<std::mutex> guard(interleave.lock);
    ASSERT_TRUE(interleave.cond.wait_for(guard, std::chrono::seconds(30),
                                         [&] { return interleave.bWriterInDump; }));
  }
  EXPECT_EQ(Read(hRead, readArray), 0);
  writer.join();
  SimSetDebugListener(nullptr, nullptr);

  int nWriteSummaries = 0;
  for (const auto &line : interleave.lines) {
    if (line.find("WRITE:") == std::string::npos) continue;
    ++nWriteSummaries;
    EXPECT_THAT(WithoutLineNumber(line),
                ::testing::MatchesRegex("usbWriteOutputPipe WRITE: nHandle = [0-9]+, outputData = "
                                        "-?[0-9]+, nData = 3, nWritten = 3\n"));
  }
  EXPECT_EQ(nWriteSummaries, 1);
  EXPECT_EQ(Close(hRead), 0);
  EXPECT_EQ(Close(hWrite), 0);
}

}  // namespace
