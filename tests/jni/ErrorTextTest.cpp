// Error texts: the system's text as it comes, the fallback, and text outside
// ASCII handed to the JVM as modified UTF-8.
#include "NativeTest.h"
#include "jni/JniText.h"

namespace {

class ErrorTextTest : public CNativeTest {
 protected:
  std::string ErrorText(jint nCode) {
    jstring str = Java_com_velto_printer_UsbPort_usbGetErrorString(Env(), m_jni.Self(), nCode);
    EXPECT_NE(str, nullptr);
    return str ? m_jni.StringBytes(str) : std::string();
  }
};

TEST_F(ErrorTextTest, SystemTextIsReturnedUntrimmed) {
  EXPECT_EQ(ErrorText(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(SimCallCount(SIM_FN_LocalFree), 1u);
}

TEST_F(ErrorTextTest, CodeWithoutTextGetsTheFallback) {
  SetLastError(0);
  EXPECT_EQ(ErrorText(0x7654321), "FormatMessage failed: 0\n");
  SimInjectFailure(SIM_FN_FormatMessageA, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ErrorText(ERROR_ACCESS_DENIED), "FormatMessage failed: 0\n");
  EXPECT_TRUE(Traces().empty());
}

TEST_F(ErrorTextTest, AnsiTextBecomesModifiedUtf8) {
  // Windows-1252: a-umlaut, euro sign, y-diaeresis.
  SimSetMessageText(ERROR_ACCESS_DENIED, "Zugriff verweigert: \xE4 \x80 \xFF\r\n");
  const std::string szText = ErrorText(ERROR_ACCESS_DENIED);
  EXPECT_EQ(szText, "Zugriff verweigert: \xC3\xA4 \xE2\x82\xAC \xC3\xBF\r\n");
  EXPECT_TRUE(IsModifiedUtf8(szText.c_str()));
}

TEST_F(ErrorTextTest, UnconvertibleTextIsStillValid) {
  SimSetMessageText(ERROR_ACCESS_DENIED, "Zugriff \xE4\xE4 verweigert\r\n");
  SimInjectFailure(SIM_FN_MultiByteToWideChar, 0, 1, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorText(ERROR_ACCESS_DENIED), "Zugriff ?? verweigert\r\n");

  SimInjectFailure(SIM_FN_ALLOC, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  jstring str =
      Java_com_velto_printer_UsbPort_usbGetErrorString(Env(), m_jni.Self(), ERROR_ACCESS_DENIED);
  SimClearInjections();
  ASSERT_NE(str, nullptr);
  EXPECT_EQ(m_jni.StringBytes(str), "Zugriff ?? verweigert\r\n");
  EXPECT_EQ(SimCallCount(SIM_FN_LocalFree), 2u);
}

TEST(ModifiedUtf8Test, EncodesEveryRangeOfUtf16) {
  const WCHAR text[] = {0x41, 0x0000, 0x00E4, 0x07FF, 0x0800, 0x20AC, 0xD83D, 0xDE00, 0xFFFF};
  const size_t nUnits = sizeof text / sizeof text[0];
  ASSERT_EQ(ModifiedUtf8Length(text, nUnits), 1u + 2 + 2 + 2 + 3 + 3 + 3 + 3 + 3);
  char szOut[32];
  EncodeModifiedUtf8(text, nUnits, szOut);
  EXPECT_EQ(
      std::string(szOut),
      "A\xC0\x80\xC3\xA4\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80\xEF\xBF\xBF");
  EXPECT_TRUE(IsModifiedUtf8(szOut));
}

}  // namespace
