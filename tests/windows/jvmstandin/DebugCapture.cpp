#include "DebugCapture.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace {

const DWORD kDbgPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C

struct CCaptureState {
  CRITICAL_SECTION m_Lock;
  CONDITION_VARIABLE m_Changed;
  std::vector<CTraceLine> m_Lines;
  std::vector<std::string> m_BadLengths;
  CCaptureState() {
    InitializeCriticalSection(&m_Lock);
    InitializeConditionVariable(&m_Changed);
  }
};

CCaptureState &State() {
  static CCaptureState *s_pState = new CCaptureState;
  return *s_pState;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS *pInfo) {
  const EXCEPTION_RECORD *pRecord = pInfo->ExceptionRecord;
  if (pRecord->ExceptionCode != kDbgPrintException || pRecord->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // The native that traced may still report its last error afterwards.
  const DWORD dwError = GetLastError();
  const size_t nLength = (size_t)pRecord->ExceptionInformation[0];
  const char *pszText = (const char *)pRecord->ExceptionInformation[1];
  std::string text = pszText != NULL ? pszText : "";
  CCaptureState &state = State();
  EnterCriticalSection(&state.m_Lock);
  if (pszText == NULL || nLength != text.size() + 1) state.m_BadLengths.push_back(text);
  state.m_Lines.push_back(ParseTraceLine(text));
  LeaveCriticalSection(&state.m_Lock);
  WakeAllConditionVariable(&state.m_Changed);
  SetLastError(dwError);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The viewer: its objects and the thread that hands the buffer back.
struct CViewer {
  HANDLE hBuffer = NULL;
  HANDLE hBufferReady = NULL;
  HANDLE hDataReady = NULL;
  HANDLE hStop = NULL;
  HANDLE hThread = NULL;
};
CViewer g_Viewer;

DWORD WINAPI ServeViewer(LPVOID) {
  const HANDLE ah[2] = {g_Viewer.hDataReady, g_Viewer.hStop};
  while (WaitForMultipleObjects(2, ah, FALSE, INFINITE) == WAIT_OBJECT_0) {
    SetEvent(g_Viewer.hBufferReady);
  }
  return 0;
}

void CloseViewerObjects() {
  for (HANDLE *ph : {&g_Viewer.hBuffer, &g_Viewer.hBufferReady, &g_Viewer.hDataReady,
                     &g_Viewer.hStop, &g_Viewer.hThread}) {
    if (*ph != NULL) CloseHandle(*ph);
    *ph = NULL;
  }
}

}  // namespace

bool CDebugCapture::StartViewer() {
  if (g_Viewer.hThread != NULL) return true;
  g_Viewer.hBuffer =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
  g_Viewer.hBufferReady = CreateEventA(NULL, FALSE, TRUE, "DBWIN_BUFFER_READY");
  g_Viewer.hDataReady = CreateEventA(NULL, FALSE, FALSE, "DBWIN_DATA_READY");
  g_Viewer.hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (g_Viewer.hBuffer != NULL && g_Viewer.hBufferReady != NULL && g_Viewer.hDataReady != NULL &&
      g_Viewer.hStop != NULL) {
    g_Viewer.hThread = CreateThread(NULL, 0, ServeViewer, NULL, 0, NULL);
  }
  if (g_Viewer.hThread == NULL) CloseViewerObjects();
  return g_Viewer.hThread != NULL;
}

void CDebugCapture::StopViewer() {
  if (g_Viewer.hThread == NULL) return;
  SetEvent(g_Viewer.hStop);
  WaitForSingleObject(g_Viewer.hThread, INFINITE);
  CloseViewerObjects();
}

CTraceLine ParseTraceLine(const std::string &raw) {
  CTraceLine line;
  line.m_Raw = raw;
  line.m_Text = raw;
  // "tag(123) text\n": the first "(digits) " splits it.
  for (size_t nOpen = raw.find('('); nOpen != std::string::npos; nOpen = raw.find('(', nOpen + 1)) {
    size_t nPos = nOpen + 1;
    while (nPos < raw.size() && raw[nPos] >= '0' && raw[nPos] <= '9') ++nPos;
    if (nPos > nOpen + 1 && raw.compare(nPos, 2, ") ") == 0) {
      line.m_Tag = raw.substr(0, nOpen);
      line.m_nLine = atoi(raw.c_str() + nOpen + 1);
      line.m_Text = raw.substr(nPos + 2);
      if (!line.m_Text.empty() && line.m_Text.back() == '\n') line.m_Text.pop_back();
      break;
    }
  }
  return line;
}

void CDebugCapture::Install() {
  static PVOID s_pHandler = AddVectoredExceptionHandler(1, OnException);
  (void)s_pHandler;
  StartViewer();
}

void CDebugCapture::Clear() {
  CCaptureState &state = State();
  EnterCriticalSection(&state.m_Lock);
  state.m_Lines.clear();
  state.m_BadLengths.clear();
  LeaveCriticalSection(&state.m_Lock);
}

std::vector<CTraceLine> CDebugCapture::Lines() {
  CCaptureState &state = State();
  EnterCriticalSection(&state.m_Lock);
  std::vector<CTraceLine> lines = state.m_Lines;
  LeaveCriticalSection(&state.m_Lock);
  return lines;
}

std::vector<std::string> CDebugCapture::BadLengths() {
  CCaptureState &state = State();
  EnterCriticalSection(&state.m_Lock);
  std::vector<std::string> bad = state.m_BadLengths;
  LeaveCriticalSection(&state.m_Lock);
  return bad;
}

size_t CDebugCapture::Count() {
  CCaptureState &state = State();
  EnterCriticalSection(&state.m_Lock);
  size_t n = state.m_Lines.size();
  LeaveCriticalSection(&state.m_Lock);
  return n;
}

int CDebugCapture::WaitFor(const std::string &tag, const std::string &text,
                           unsigned long dwTimeoutMs, size_t nFrom, bool bPrefix) {
  CCaptureState &state = State();
  const ULONGLONG nEnd = GetTickCount64() + dwTimeoutMs;
  int nFound = -1;
  EnterCriticalSection(&state.m_Lock);
  for (;;) {
    for (size_t i = nFrom; i < state.m_Lines.size() && nFound < 0; ++i) {
      const CTraceLine &line = state.m_Lines[i];
      if (line.m_Tag == tag &&
          (bPrefix ? line.m_Text.compare(0, text.size(), text) == 0 : line.m_Text == text)) {
        nFound = (int)i;
      }
    }
    const ULONGLONG nNow = GetTickCount64();
    if (nFound >= 0 || nNow >= nEnd) break;
    SleepConditionVariableCS(&state.m_Changed, &state.m_Lock, (DWORD)(nEnd - nNow));
  }
  LeaveCriticalSection(&state.m_Lock);
  return nFound;
}
