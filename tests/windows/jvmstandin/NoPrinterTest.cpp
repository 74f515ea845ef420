// The production DLL in a JVM stand-in, with no printer attached: what a
// Java program sees before any device is found, on the real Win32 API.
#include <string.h>

#include <functional>

#include "ImportHook.h"
#include "StandInTest.h"
#include "velto/platform.h"

namespace {

bool StartsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A handle value that no object of this process has.
const jint kBadHandle = 0x7FFFFFF0;

class NoPrinter : public CStandInTest {
 protected:
  void SetUp() override {
    if (g_DllPath.empty()) GTEST_SKIP() << "no --dll= given";
    LoadLibraryUnderTest(g_DllPath);
  }

  // What the system answers for the same call on the same bad handle.
  static DWORD SystemError(BOOL bResult) {
    EXPECT_FALSE(bResult);
    return GetLastError();
  }
};

TEST_F(NoPrinter, EveryNativeIsFoundUnderTheNamesTheJvmTries) {
  for (int i = 0; i < NATIVE_COUNT; ++i) {
    const std::string plain =
        std::string("Java_com_velto_printer_UsbPort_") + g_aNatives[i].m_pszMethod;
    // --kill-at: the plain name, and no decorated one beside it.
    EXPECT_EQ(m_pJvm->FoundName(static_cast<ENative>(i)), plain);
    const std::string decorated = plain + "@" + std::to_string(4 * (2 + g_aNatives[i].m_nJavaArgs));
    EXPECT_EQ(GetProcAddress(m_pJvm->Module(), decorated.c_str()), nullptr) << decorated;
    EXPECT_EQ(GetProcAddress(m_pJvm->Module(), ("_" + decorated).c_str()), nullptr) << decorated;
  }
  // Beside them the printer natives, under their plain names too.
  static const char *const s_apszPrinterNatives[] = {
      "bytesAvailable", "closePipe", "freeSession", "getCommTimeout", "initPipe",
      "lastError",      "list",      "openSession", "purge",          "read",
      "setCommTimeout", "write",     "portStatus",  "deviceId",       "writeTimed"};
  for (const char *pszName : s_apszPrinterNatives) {
    const std::string plain =
        std::string("Java_com_velto_printer_internal_NativePrinters_") + pszName;
    EXPECT_NE(GetProcAddress(m_pJvm->Module(), plain.c_str()), nullptr) << plain;
  }
  // The export directory names those and nothing else.
  const DWORD nExports = NATIVE_COUNT + sizeof s_apszPrinterNatives / sizeof *s_apszPrinterNatives;
  BYTE *pBase = reinterpret_cast<BYTE *>(m_pJvm->Module());
  const IMAGE_NT_HEADERS *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
      pBase + reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase)->e_lfanew);
  const IMAGE_EXPORT_DIRECTORY *pExports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(
      pBase + pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  EXPECT_EQ(pExports->NumberOfNames, nExports);
  EXPECT_EQ(pExports->NumberOfFunctions, nExports);
}

TEST_F(NoPrinter, EveryNativePopsExactlyTheArgumentsOfItsJavaSignature) {
#if !defined(__i386__)
  GTEST_SKIP() << "one calling convention on 64-bit Windows";
#else
  jobject port = m_pJvm->NewPort(0);
  jbyteArray data = m_pJvm->NewByteArray("abc");
  struct {
    const char *pszName;
    std::function<void()> call;
  } calls[] = {
      {"usbGetGenericReadValue", [&] { m_pJvm->GetGenericReadValue(); }},
      {"usbGetGenericWriteValue", [&] { m_pJvm->GetGenericWriteValue(); }},
      {"usbInitPipe", [&] { m_pJvm->InitPipe(port, m_pJvm->GetGenericReadValue()); }},
      {"usbReadInputPipe", [&] { m_pJvm->ReadInputPipe(kBadHandle, data); }},
      {"usbWriteOutputPipe", [&] { m_pJvm->WriteOutputPipe(kBadHandle, data); }},
      {"usbClosePipe", [&] { m_pJvm->ClosePipe(kBadHandle); }},
      {"usbGetBytesAvailable", [&] { m_pJvm->GetBytesAvailable(); }},
      {"usbGetCommTimeout", [&] { m_pJvm->GetCommTimeout(kBadHandle); }},
      {"usbSetCommTimeout", [&] { m_pJvm->SetCommTimeout(kBadHandle, 1, 2, 3, 4, 5); }},
      {"usbPurgeRequest", [&] { m_pJvm->PurgeRequest(kBadHandle); }},
      {"usbGetLastError", [&] { m_pJvm->GetLastErrorNative(); }},
      {"usbGetErrorString", [&] { m_pJvm->GetErrorString(5); }},
  };
  for (auto &call : calls) {
    call.call();
    EXPECT_EQ(m_pJvm->LastStackLeft(), 0) << call.pszName << " left bytes on the stack";
  }
  // The measurement itself: one argument more than usbGetLastError takes
  // stays on the stack.
  m_pJvm->Call(NATIVE_GetLastError, {0});
  EXPECT_EQ(m_pJvm->LastStackLeft(), 4);
  m_pJvm->ForgetStackLeft();
#endif
}

TEST_F(NoPrinter, AccessValuesAndTheWriteValuesTrace) {
  EXPECT_EQ(m_pJvm->GetGenericReadValue(), static_cast<jint>(0x80000000u));
  EXPECT_EQ(m_pJvm->GetGenericReadValue(), -2147483647 - 1);
  EXPECT_EQ(CDebugCapture::Count(), 0u) << "the read value traces nothing";
  EXPECT_EQ(m_pJvm->GetGenericWriteValue(), 1073741824);
  std::vector<CTraceLine> lines = CDebugCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].m_Tag, "usbGetGenericWriteValue");
  EXPECT_EQ(lines[0].m_Text, "Entry");
  EXPECT_GT(lines[0].m_nLine, 0);
  EXPECT_EQ(lines[0].m_Raw.back(), '\n');
}

TEST_F(NoPrinter, ErrorStringIsTheSystemsTextOrTheFallback) {
  for (jint code : {2, 5, 6, 995}) {
    char *pszSystem = nullptr;
    DWORD n = FormatMessageA(0x1300, nullptr, static_cast<DWORD>(code), 0x400,
                             reinterpret_cast<LPSTR>(&pszSystem), 0, nullptr);
    ASSERT_NE(n, 0u) << "the system has no text for " << code;
    const std::string expected(pszSystem, n);
    LocalFree(pszSystem);
    jstring text = m_pJvm->GetErrorString(code);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(m_pJvm->Text(text), expected) << "code " << code;
  }

  // A code without system text (customer bit set, facility none).
  const DWORD dwUnknown = 0x2000F00Du;
  char *pszNone = nullptr;
  ASSERT_EQ(FormatMessageA(0x1300, nullptr, dwUnknown, 0x400, reinterpret_cast<LPSTR>(&pszNone), 0,
                           nullptr),
            0u);
  jstring fallback = m_pJvm->GetErrorString(static_cast<jint>(dwUnknown));
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(m_pJvm->Text(fallback), "FormatMessage failed: 0\n");
  EXPECT_EQ(CDebugCapture::Count(), 0u) << "the error text traces nothing";
}

TEST_F(NoPrinter, LastErrorIsTheCallingThreadsValue) {
  SetLastError(1234);
  EXPECT_EQ(m_pJvm->GetLastErrorNative(), 1234);
  SetLastError(0);
  EXPECT_EQ(m_pJvm->GetLastErrorNative(), 0);
}

TEST_F(NoPrinter, NoBytesAvailableWithoutASession) { EXPECT_EQ(m_pJvm->GetBytesAvailable(), 0); }

TEST_F(NoPrinter, OpenFailsAndLeavesThePortAlone) {
  const jint nUntouched = 0x5A5A5A5A;
  jobject port = m_pJvm->NewPort(nUntouched);
  for (jint access : {m_pJvm->GetGenericReadValue(), m_pJvm->GetGenericWriteValue()}) {
    CDebugCapture::Clear();
    EXPECT_EQ(m_pJvm->InitPipe(port, access), -1);
    EXPECT_EQ(m_pJvm->PortField(port, "hReadPort"), nUntouched);
    EXPECT_EQ(m_pJvm->PortField(port, "hWritePort"), nUntouched);
    EXPECT_EQ(m_pJvm->PortWrites(port), 0);
    // Native probe, printer-class probe, then the search for the type that
    // detection falls back to: each ends at an empty interface list.
    std::vector<std::string> expected = {"******Starting******"};
    EXPECT_EQ(Texts("usbInitPipe"), expected);
    expected.assign(3, "ERROR_NO_MORE_ITEMS");
    EXPECT_EQ(Texts("OpenUsbDevice"), expected);
  }
  EXPECT_EQ(m_pJvm->InitPipe(port, 0x1234), -1) << "an access value that names no pipe";
  EXPECT_EQ(m_pJvm->PortWrites(port), 0);
}

TEST_F(NoPrinter, TransferAndLineControlOnABadHandleGiveTheSystemsErrors) {
  HANDLE hBad = reinterpret_cast<HANDLE>(static_cast<intptr_t>(kBadHandle));
  BYTE ab[8];
  DWORD n = 0;
  COMMTIMEOUTS timeouts = {};

  // Read: -1, the array untouched, the read's error left for usbGetLastError.
  const DWORD dwReadError = SystemError(ReadFile(hBad, ab, sizeof ab, &n, nullptr));
  jbyteArray data = m_pJvm->NewByteArray("12345678");
  EXPECT_EQ(m_pJvm->ReadInputPipe(kBadHandle, data), -1);
  EXPECT_EQ(m_pJvm->GetLastErrorNative(), static_cast<jint>(dwReadError));
  EXPECT_EQ(m_pJvm->Bytes(data), "12345678");
  EXPECT_EQ(m_pJvm->JniCalls(JNIFN_SetByteArrayRegion), 0);
  std::vector<std::string> read = Texts("usbReadInputPipe");
  ASSERT_EQ(read.size(), 6u);
  EXPECT_EQ(read[0], "Entering usbReadInputPipe, nData=8");
  EXPECT_EQ(read[1], "Entering ReadFile (Nat)");
  EXPECT_EQ(read[2], "Left ReadFile (Nat)");
  EXPECT_TRUE(StartsWith(read[3], "READ:  nHandle=")) << read[3];
  EXPECT_TRUE(EndsWith(read[3], ", nData=8, bData[0]=0 nCount=0 bResult=0")) << read[3];
  EXPECT_EQ(read[4], "Case 2");
  EXPECT_EQ(read[5], "Leaving usbReadInputPipe");

  // Write before any write open: the stored write handle is none.
  const DWORD dwWriteError = SystemError(WriteFile(nullptr, "abc", 3, &n, nullptr));
  CDebugCapture::Clear();
  jbyteArray out = m_pJvm->NewByteArray("\x01\x02\xa0");
  EXPECT_EQ(m_pJvm->WriteOutputPipe(kBadHandle, out), static_cast<jint>(dwWriteError));
  EXPECT_EQ(m_pJvm->GetLastErrorNative(), static_cast<jint>(dwWriteError));
  std::vector<CTraceLine> lines = CDebugCapture::Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].m_Text, "Entering Writefile");
  EXPECT_EQ(lines[1].m_Raw, "WRITE 01 02 a0\n");
  EXPECT_EQ(lines[2].m_Tag, "usbWriteOutputPipe");
  EXPECT_TRUE(StartsWith(lines[2].m_Text, "WRITE: nHandle = 2147483632, outputData = "))
      << lines[2].m_Text;
  EXPECT_TRUE(EndsWith(lines[2].m_Text, ", nData = 3, nWritten = 0")) << lines[2].m_Text;
  EXPECT_EQ(lines[3].m_Text, "Left Writefile");
  EXPECT_EQ(lines[4].m_Text, "After ReleaseByteArrayElements");

  // Close, time-outs and purge report what the system reports.
  const DWORD dwCloseError = SystemError(CloseHandle(hBad));
  CDebugCapture::Clear();
  EXPECT_EQ(m_pJvm->ClosePipe(kBadHandle), static_cast<jint>(dwCloseError));
  EXPECT_EQ(Texts("usbClosePipe"), (std::vector<std::string>{"Entry", "?????"}));
  const DWORD dwGetError = SystemError(DeviceIoControl(hBad, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0,
                                                       &timeouts, sizeof timeouts, &n, nullptr));
  EXPECT_EQ(m_pJvm->GetCommTimeout(kBadHandle), static_cast<jint>(dwGetError));
  const DWORD dwSetError = SystemError(DeviceIoControl(hBad, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts,
                                                       sizeof timeouts, nullptr, 0, &n, nullptr));
  EXPECT_EQ(m_pJvm->SetCommTimeout(kBadHandle, -1, -1, -1, -1, -1), static_cast<jint>(dwSetError));
  const DWORD dwPurgeError = SystemError(PurgeComm(hBad, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(m_pJvm->PurgeRequest(kBadHandle), static_cast<jint>(dwPurgeError));
  for (DWORD dw : {dwReadError, dwWriteError, dwCloseError, dwGetError, dwSetError, dwPurgeError}) {
    EXPECT_EQ(dw, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(NoPrinter, FailedJniCallsEndTheNativeWithoutAnotherCall) {
  jobject port = m_pJvm->NewPort(7);
  m_pJvm->FailJni(JNIFN_GetObjectClass);
  EXPECT_EQ(m_pJvm->InitPipe(port, m_pJvm->GetGenericReadValue()), -1);
  EXPECT_TRUE(m_pJvm->ExceptionPending());
  m_pJvm->ClearException();

  m_pJvm->FailJni(JNIFN_GetFieldID);
  EXPECT_EQ(m_pJvm->InitPipe(port, m_pJvm->GetGenericWriteValue()), -1);
  m_pJvm->ClearException();
  EXPECT_EQ(m_pJvm->PortWrites(port), 0);

  // A write copies the array out and never takes its elements.
  jbyteArray data = m_pJvm->NewByteArray(std::string(5000, 'a'));
  m_pJvm->FailJni(JNIFN_GetByteArrayElements);
  EXPECT_NE(m_pJvm->WriteOutputPipe(kBadHandle, data), static_cast<jint>(ERROR_NOT_ENOUGH_MEMORY));
  m_pJvm->ClearException();

  m_pJvm->FailJni(JNIFN_NewStringUTF);
  EXPECT_EQ(m_pJvm->GetErrorString(5), nullptr);
  m_pJvm->ClearException();
  // Faults (JNI calls under a pending exception) are checked at TearDown.
}

TEST_F(NoPrinter, NullArraysAreRefused) {
  EXPECT_EQ(m_pJvm->ReadInputPipe(kBadHandle, nullptr), -1);
  EXPECT_NE(m_pJvm->WriteOutputPipe(kBadHandle, nullptr), 0);
}

TEST_F(NoPrinter, ReadBufferThatCannotBeAllocatedFailsTheRead) {
  // A JVM array of 2^31-1 bytes: 32-bit Windows cannot give the native a
  // buffer that long; 64-bit may, and the read on the bad handle fails.
  jbyteArray huge = m_pJvm->NewHugeByteArray(0x7FFFFFFF);
  EXPECT_EQ(m_pJvm->ReadInputPipe(kBadHandle, huge), -1);
  EXPECT_EQ(m_pJvm->JniCalls(JNIFN_SetByteArrayRegion), 0);

  // Every allocation of the module refused: an array up to 4 KiB needs
  // none, a longer one fails the read untouched.
  ASSERT_TRUE(CAllocationFailure::Install(m_pJvm->Module()))
      << "the module imports no malloc from msvcrt.dll";
  jbyteArray small = m_pJvm->NewByteArray("xyz");
  jbyteArray data = m_pJvm->NewByteArray(std::string(5000, 'x'));
  CAllocationFailure::Begin(-1, 0);
  const jint nSmall = m_pJvm->ReadInputPipe(kBadHandle, small);
  const long nRefusedForSmall = CAllocationFailure::Refused();
  const jint nRead = m_pJvm->ReadInputPipe(kBadHandle, data);
  CAllocationFailure::End();
  EXPECT_EQ(nSmall, -1);  // the bad handle
  EXPECT_EQ(nRefusedForSmall, 0);
  EXPECT_EQ(nRead, -1);
  EXPECT_GT(CAllocationFailure::Refused(), 0);
  EXPECT_EQ(m_pJvm->Bytes(small), "xyz");
  EXPECT_EQ(m_pJvm->Bytes(data), std::string(5000, 'x'));
}

}  // namespace

namespace {

// Captured lines added by one traced call.
size_t LinesOfOneCall(CJvmStandIn &jvm) {
  const size_t nBefore = CDebugCapture::Count();
  jvm.GetGenericWriteValue();
  return CDebugCapture::Count() - nBefore;
}

bool EventuallySends(CJvmStandIn &jvm, bool bSent) {
  for (int i = 0; i < 2000; ++i) {
    if ((LinesOfOneCall(jvm) != 0) == bSent) return true;
    Sleep(10);
  }
  return false;
}

// Without a debugger and without a debug viewer the library sends nothing
// (OutputDebugStringA is not even called); a viewer that starts is heard.
TEST_F(NoPrinter, TraceLinesGoOutOnlyWhileAViewerRuns) {
  CDebugCapture::StopViewer();
  const HANDLE hOther = OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY");
  if (hOther != NULL) {
    CloseHandle(hOther);
    CDebugCapture::StartViewer();
    GTEST_SKIP() << "another debug viewer runs in this session";
  }
  ASSERT_TRUE(EventuallySends(*m_pJvm, false));
  const size_t nBefore = CDebugCapture::Count();
  jobject port = m_pJvm->NewPort(0);
  EXPECT_EQ(m_pJvm->InitPipe(port, m_pJvm->GetGenericReadValue()), -1);
  EXPECT_NE(m_pJvm->WriteOutputPipe(kBadHandle, m_pJvm->NewByteArray("abc")), 0);
  EXPECT_EQ(m_pJvm->ClosePipe(kBadHandle), static_cast<jint>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(CDebugCapture::Count(), nBefore);

  ASSERT_TRUE(CDebugCapture::StartViewer());
  EXPECT_TRUE(EventuallySends(*m_pJvm, true));
}

}  // namespace
