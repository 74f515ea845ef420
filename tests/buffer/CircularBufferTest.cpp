// The byte ring between the receiver thread and the Java read path.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "SimFixture.h"
#include "buffer/CircularBuffer.h"

namespace {

class CircularBufferTest : public CSimTest {};

std::vector<BYTE> Sequence(DWORD nBytes, BYTE first = 0) {
  std::vector<BYTE> bytes(nBytes);
  for (DWORD i = 0; i < nBytes; ++i) bytes[i] = (BYTE)(first + i);
  return bytes;
}

// How many bytes the buffer takes before it refuses more.
DWORD FillToCapacity(CCircularBuffer &buffer) {
  const std::vector<BYTE> block = Sequence(70000);
  const DWORD nStored = buffer.Write(block.data(), (DWORD)block.size());
  EXPECT_EQ(buffer.Write(block.data(), 1), 0u) << "a full buffer took another byte";
  return nStored;
}

std::vector<BYTE> ReadAll(CCircularBuffer &buffer) {
  std::vector<BYTE> out(70000);
  DWORD nCount = 0;
  const DWORD nTaken = buffer.Read(out.data(), (DWORD)out.size(), &nCount);
  EXPECT_EQ(nTaken, nCount);
  out.resize(nTaken);
  return out;
}

TEST_F(CircularBufferTest, CapacityIsClampedPowerOfTwoAndWhollyUsable) {
  const struct {
    DWORD nExponent;
    DWORD nCapacity;
  } cases[] = {{0, 64},
               {5, 64},
               {6, 64},
               {12, 4096},
               {16, 65536},
               {17, 65536},
               {0x7FFFFFFF, 65536},
               {0xFFFFFFFF, 65536}};
  for (const auto &c : cases) {
    CCircularBuffer buffer(c.nExponent);
    EXPECT_EQ(buffer.BytesAvailable(), 0u);
    EXPECT_EQ(FillToCapacity(buffer), c.nCapacity) << "exponent " << c.nExponent;
    EXPECT_EQ(buffer.BytesAvailable(), c.nCapacity) << "exponent " << c.nExponent;
    const std::vector<BYTE> out = ReadAll(buffer);
    EXPECT_EQ(out, Sequence(c.nCapacity)) << "exponent " << c.nExponent;
    EXPECT_EQ(buffer.BytesAvailable(), 0u);
  }
}

TEST_F(CircularBufferTest, ReadOfEmptyBufferLeavesCallersCountAlone) {
  CCircularBuffer buffer(12);
  BYTE ab[8] = {0};
  DWORD nCount = 0xDEADBEEF;
  EXPECT_EQ(buffer.Read(ab, sizeof ab, &nCount), 0u);
  EXPECT_EQ(nCount, 0xDEADBEEFu);

  // Emptied by reading: the same again.
  const BYTE b = 7;
  buffer.Write(&b, 1);
  ASSERT_EQ(buffer.Read(ab, sizeof ab, &nCount), 1u);
  nCount = 0xDEADBEEF;
  EXPECT_EQ(buffer.Read(ab, sizeof ab, &nCount), 0u);
  EXPECT_EQ(nCount, 0xDEADBEEFu);
}

TEST_F(CircularBufferTest, ZeroLengthCallsChangeNothing) {
  CCircularBuffer buffer(6);
  const std::vector<BYTE> in = Sequence(10, 0x40);
  EXPECT_EQ(buffer.Write(in.data(), 0), 0u);
  EXPECT_EQ(buffer.BytesAvailable(), 0u);

  ASSERT_EQ(buffer.Write(in.data(), 10), 10u);
  BYTE ab[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  DWORD nCount = 99;
  EXPECT_EQ(buffer.Read(ab, 0, &nCount), 0u);
  EXPECT_EQ(nCount, 0u) << "a buffer holding bytes reports the 0 taken";
  EXPECT_EQ(ab[0], 0xEE);
  EXPECT_EQ(buffer.BytesAvailable(), 10u);
  EXPECT_EQ(ReadAll(buffer), in);
}

TEST_F(CircularBufferTest, WriteKeepsOldestBytesAndDropsTheSurplus) {
  CCircularBuffer buffer(6);
  const std::vector<BYTE> old = Sequence(34, 0x00);
  const std::vector<BYTE> block = Sequence(100, 0x80);
  ASSERT_EQ(buffer.Write(old.data(), 34), 34u);
  EXPECT_EQ(buffer.Write(block.data(), 100), 30u);
  EXPECT_EQ(buffer.BytesAvailable(), 64u);
  EXPECT_EQ(buffer.Write(block.data(), 100), 0u);

  std::vector<BYTE> expected = old;
  expected.insert(expected.end(), block.begin(), block.begin() + 30);
  EXPECT_EQ(ReadAll(buffer), expected);
}

TEST_F(CircularBufferTest, ReadTakesAtMostWhatIsAskedInOrderAcrossWraps) {
  CCircularBuffer buffer(6);
  const std::vector<BYTE> first = Sequence(50, 0x10);
  const std::vector<BYTE> second = Sequence(40, 0xA0);
  ASSERT_EQ(buffer.Write(first.data(), 50), 50u);
  BYTE ab[64];
  DWORD nCount = 0;
  ASSERT_EQ(buffer.Read(ab, 40, &nCount), 40u);
  EXPECT_EQ(std::vector<BYTE>(ab, ab + 40), std::vector<BYTE>(first.begin(), first.begin() + 40));
  ASSERT_EQ(buffer.Write(second.data(), 40), 40u);  // wraps past position 63
  EXPECT_EQ(buffer.BytesAvailable(), 50u);

  std::vector<BYTE> expected(first.begin() + 40, first.end());
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(buffer.Read(ab, 64, &nCount), 50u) << "more asked than stored";
  EXPECT_EQ(nCount, 50u);
  EXPECT_EQ(std::vector<BYTE>(ab, ab + 50), expected);
  EXPECT_EQ(buffer.BytesAvailable(), 0u);
}

TEST_F(CircularBufferTest, ConstructionFailuresRaiseTheirCodesAndLeaveNothing) {
  // The storage block is the constructor's only allocation.
  SimInjectFailure(SIM_FN_ALLOC, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  try {
    CCircularBuffer buffer(12);
    ADD_FAILURE() << "constructed without storage";
  } catch (long nCode) {
    EXPECT_EQ(nCode, CCB_ERR_NO_MEMORY);
  }

  SimInjectFailure(SIM_FN_InitializeCriticalSectionAndSpinCount, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  try {
    CCircularBuffer buffer(12);
    ADD_FAILURE() << "constructed without a lock";
  } catch (long nCode) {
    EXPECT_EQ(nCode, CCB_ERR_NO_MUTEX);
  }
  // The storage of the half-built buffer went back (leak check at teardown
  // and under ASan); a later buffer works.
  CCircularBuffer buffer(12);
  EXPECT_EQ(FillToCapacity(buffer), 4096u);
}

TEST_F(CircularBufferTest, WriterAndReaderThreadsKeepOrderAndCount) {
  CCircularBuffer buffer(6);  // small, so both sides wrap and meet often
  const DWORD nTotal = 60000;
  std::atomic<bool> bDone(false);
  std::atomic<DWORD> nBadCount(0);

  std::thread writer([&] {
    BYTE block[64];
    DWORD nSent = 0;
    DWORD nBlock = 1;
    while (nSent < nTotal) {
      const DWORD n = std::min<DWORD>(nBlock, nTotal - nSent);
      for (DWORD i = 0; i < n; ++i) block[i] = (BYTE)((nSent + i) * 7 + ((nSent + i) >> 8));
      nSent += buffer.Write(block, n);  // what did not fit is offered again
      nBlock = nBlock % 64 + 1;
    }
  });
  std::thread watcher([&] {
    while (!bDone) {
      if (buffer.BytesAvailable() > 64) ++nBadCount;
      Sleep(0);
    }
  });

  std::vector<BYTE> received;
  received.reserve(nTotal);
  BYTE ab[100];
  DWORD nAsk = 1;
  while (received.size() < nTotal) {
    DWORD nCount = 0xFFFFFFFF;
    const DWORD nTaken = buffer.Read(ab, nAsk, &nCount);
    if (nTaken != 0) {
      ASSERT_EQ(nCount, nTaken);
      ASSERT_LE(nTaken, nAsk);
    }
    received.insert(received.end(), ab, ab + nTaken);
    nAsk = nAsk % 100 + 1;
  }
  writer.join();
  bDone = true;
  watcher.join();

  EXPECT_EQ(nBadCount.load(), 0u);
  EXPECT_EQ(buffer.BytesAvailable(), 0u);
  for (DWORD i = 0; i < nTotal; ++i) {
    ASSERT_EQ(received[i], (BYTE)(i * 7 + (i >> 8))) << "at byte " << i;
  }
}

}  // namespace
