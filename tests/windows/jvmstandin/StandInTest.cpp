#include "StandInTest.h"

#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>

std::string g_DllPath;
std::string g_SeamDllPath;

int LibraryThreadCount(HMODULE hModule) {
  typedef LONG(WINAPI * PQUERY)(HANDLE, int, PVOID, ULONG, PULONG);
  const int kThreadQuerySetWin32StartAddress = 9;
  static PQUERY s_pfnQuery = reinterpret_cast<PQUERY>(reinterpret_cast<void (*)(void)>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  if (s_pfnQuery == NULL || hModule == NULL) return -1;
  const BYTE *pBase = reinterpret_cast<const BYTE *>(hModule);
  const IMAGE_NT_HEADERS *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
      pBase + reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase)->e_lfanew);
  const BYTE *pEnd = pBase + pNt->OptionalHeader.SizeOfImage;

  HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (hSnap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL b = Thread32First(hSnap, &entry); b; b = Thread32Next(hSnap, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (hThread == NULL) continue;
    const BYTE *pStart = NULL;
    if (s_pfnQuery(hThread, kThreadQuerySetWin32StartAddress, &pStart, sizeof pStart, NULL) == 0 &&
        pStart >= pBase && pStart < pEnd) {
      ++n;
    }
    CloseHandle(hThread);
  }
  CloseHandle(hSnap);
  return n;
}

int WaitNoLibraryThreads(HMODULE hModule) {
  // A thread that has ended may show in a snapshot for a moment longer.
  int nThreads = LibraryThreadCount(hModule);
  for (int i = 0; i < 200 && nThreads != 0; ++i) {
    Sleep(100);
    nThreads = LibraryThreadCount(hModule);
  }
  return nThreads;
}

void CStandInTest::LoadLibraryUnderTest(const std::string &path) {
  CDebugCapture::Install();
  CDebugCapture::Clear();
  m_pJvm.reset(new CJvmStandIn);
  ASSERT_TRUE(m_pJvm->Load(path)) << m_pJvm->Error();
  ASSERT_EQ(LibraryThreadCount(m_pJvm->Module()), 0);
}

void CStandInTest::TearDown() {
  if (!m_pJvm) return;
  // The library's debugger output tells what happened.
  if (HasFailure() || getenv("VELTO_STANDIN_TRACE") != NULL) {
    for (const CTraceLine &line : CDebugCapture::Lines()) printf("  | %s", line.m_Raw.c_str());
  }
  EXPECT_EQ(m_pJvm->WorstStackLeft(), 0) << "a native did not pop exactly its arguments";
  for (const std::string &fault : m_pJvm->Faults()) ADD_FAILURE() << "JNI misuse: " << fault;
  EXPECT_EQ(m_pJvm->OutstandingElements(), 0) << "array elements never released";
  for (const std::string &text : CDebugCapture::BadLengths()) {
    ADD_FAILURE() << "debugger output length parameter wrong for: " << text;
  }
  // A receiver thread that outlives its session would run in an unloaded
  // module: the library is unloaded only when none is left.
  const int nThreads = WaitNoLibraryThreads(m_pJvm->Module());
  EXPECT_EQ(nThreads, 0) << "threads of the library left running";
  if (nThreads == 0) m_pJvm->Unload();
}

std::vector<std::string> CStandInTest::Texts(const std::string &tag, size_t nFrom) {
  std::vector<std::string> texts;
  std::vector<CTraceLine> lines = CDebugCapture::Lines();
  for (size_t i = nFrom; i < lines.size(); ++i) {
    if (lines[i].m_Tag == tag) texts.push_back(lines[i].m_Text);
  }
  return texts;
}
