// Whether anyone receives debugger output.
//
// A debugger attached to the process receives every OutputDebugStringA;
// IsDebuggerPresent reads the process's own flag, without a system call, so
// it is asked for every line. Without a debugger, the system hands the text
// to a debug-output viewer (DebugView and the like) through the DBWIN_BUFFER
// section, and only while the viewer's DBWIN_BUFFER_READY event exists.
// Opening that event is a system call: its answer is kept for
// TRACE_VIEWER_REFRESH_MS, so lines reach a viewer that has just started
// within that time.
#include <atomic>

#include "trace/Trace.h"

namespace {

// -1 until the first look; then 0 or 1.
std::atomic<int> g_nViewer(-1);
std::atomic<DWORD> g_dwViewerCheckedAt(0);

bool ViewerRunning() {
  const HANDLE hReady = OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY");
  if (hReady == NULL) return false;
  CloseHandle(hReady);
  return true;
}

}  // namespace

bool TraceListened() {
  if (IsDebuggerPresent()) return true;
  const DWORD dwNow = GetTickCount();
  int nViewer = g_nViewer.load(std::memory_order_relaxed);
  if (nViewer < 0 ||
      dwNow - g_dwViewerCheckedAt.load(std::memory_order_relaxed) >= TRACE_VIEWER_REFRESH_MS) {
    const DWORD dwError = GetLastError();
    nViewer = ViewerRunning() ? 1 : 0;
    SetLastError(dwError);
    g_dwViewerCheckedAt.store(dwNow, std::memory_order_relaxed);
    g_nViewer.store(nViewer, std::memory_order_relaxed);
  }
  return nViewer != 0;
}
