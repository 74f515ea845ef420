// DumpHex line forms, and its buffer limits.
#include <string.h>

#include "NativeTest.h"
#include "trace/Trace.h"

using ::testing::ElementsAre;

namespace {

class DumpHexTest : public CSimTest {
 protected:
  std::vector<std::string> Dump(const char *pszTag, int nLength, int nBytesPerLine = 12) {
    std::vector<BYTE> bytes(nLength > 0 ? nLength : 1);
    for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = (BYTE)(n + 1);
    ClearLines();
    DumpHex(pszTag, bytes.data(), nLength, nBytesPerLine);
    return Lines();
  }
};

TEST_F(DumpHexTest, LinesHoldTheirPairsAndTheTagOnlyFirst) {
  EXPECT_THAT(Dump("READ1", 12), ElementsAre("READ1 01 02 03 04 05 06 07 08 09 0a 0b 0c\n"));
  EXPECT_THAT(Dump("READ1", 13),
              ElementsAre("READ1 01 02 03 04 05 06 07 08 09 0a 0b 0c\n", " 0d\n"));
  EXPECT_THAT(Dump("T", 5, 2), ElementsAre("T 01 02\n", " 03 04\n", " 05\n"));
  EXPECT_THAT(Dump("", 3), ElementsAre(" 01 02 03\n"));
}

TEST_F(DumpHexTest, NothingToDumpSendsTheTagAlone) {
  EXPECT_THAT(Dump("WRITE", 0), ElementsAre("WRITE\n"));
  EXPECT_THAT(Dump("WRITE", -5), ElementsAre("WRITE\n"));
  EXPECT_TRUE(Dump("", 0).empty());
}

TEST_F(DumpHexTest, BytesAreUnsignedLowercasePairs) {
  const BYTE bytes[] = {0xA0, 0xFF, 0x00, 0x7F};
  DumpHex("X", bytes, 4, 12);
  EXPECT_THAT(Lines(), ElementsAre("X a0 ff 00 7f\n"));
}

TEST_F(DumpHexTest, LeavesTheLastErrorAlone) {
  SetLastError(ERROR_WRITE_FAULT);
  Dump("X", 30);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRITE_FAULT);
}

// Obvious fault: a tag or line too long for the 256-byte buffer.

TEST_F(DumpHexTest, LongTagIsCutSoTheLineFits) {
  const std::string szTag(1000, 'T');
  const auto lines = Dump(szTag.c_str(), 31);
  ASSERT_EQ(lines.size(), 3u);
  // 218 tag characters + 12 pairs + line feed fill 255 bytes and the terminator.
  EXPECT_EQ(lines[0], std::string(218, 'T') + " 01 02 03 04 05 06 07 08 09 0a 0b 0c\n");
  EXPECT_EQ(lines[1], " 0d 0e 0f 10 11 12 13 14 15 16 17 18\n");
  EXPECT_EQ(lines[2], " 19 1a 1b 1c 1d 1e 1f\n");
  EXPECT_THAT(Dump(szTag.c_str(), 0), ElementsAre(std::string(218, 'T') + "\n"));
}

TEST_F(DumpHexTest, OverlongLinesAreBrokenWhereTheBufferEnds) {
  const auto lines = Dump("TAG", 200, 200);
  std::string szAll;
  for (const auto &line : lines) {
    EXPECT_LE(line.size(), 255u);
    ASSERT_EQ(line.back(), '\n');
    szAll += line.substr(0, line.size() - 1);
  }
  std::string szExpected = "TAG";
  for (int n = 1; n <= 200; ++n) {
    char sz[4];
    snprintf(sz, sizeof sz, " %.2x", n);
    szExpected += sz;
  }
  EXPECT_EQ(szAll, szExpected);
}

struct CFixedSink {
  char szLast[64];
  int nLines;
};

void KeepLast(const char *pszText, void *pContext) {
  auto *pSink = static_cast<CFixedSink *>(pContext);
  snprintf(pSink->szLast, sizeof pSink->szLast, "%s", pszText);
  ++pSink->nLines;
}

// Every allocation fails, and the dump goes out all the same (to a listener
// that allocates nothing either).
TEST_F(DumpHexTest, NeedsNoAllocation) {
  const BYTE bytes[] = {1, 2, 0xfe};
  CFixedSink sink = {"", 0};
  SimSetDebugListener(KeepLast, &sink);
  SimInjectFailure(SIM_FN_ALLOC, 0, 0xFFFFFFFF, ERROR_NOT_ENOUGH_MEMORY);
  DumpHex("X", bytes, 3, 12);
  SimClearInjections();
  EXPECT_EQ(sink.nLines, 1);
  EXPECT_STREQ(sink.szLast, "X 01 02 fe\n");
}

}  // namespace
