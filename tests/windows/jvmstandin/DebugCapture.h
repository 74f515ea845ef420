// The debugger output of this process, captured in-process.
//
// Without a debugger attached, OutputDebugStringA raises the exception
// DBG_PRINTEXCEPTION_C (0x40010006) with two parameters: the length of the
// text with its terminator, and the text. A vectored exception handler sees
// it before anyone else, records the text and continues execution, as a
// debugger would.
//
// The library sends its lines only while someone listens: a debugger, or a
// debug-output viewer, whose DBWIN objects it looks for. So the capture also
// plays a viewer: it creates the DBWIN_BUFFER section and the
// DBWIN_BUFFER_READY and DBWIN_DATA_READY events and serves them (the texts
// of other processes that reach it are dropped); the library's own lines
// still go to the handler first.
#pragma once

#include <string>
#include <vector>

// One captured line. Trace lines "tag(123) text\n" are split; other lines
// (hex dumps) keep their whole text in m_Text with m_nLine -1.
struct CTraceLine {
  std::string m_Raw;
  std::string m_Tag;
  int m_nLine = -1;
  std::string m_Text;
};

CTraceLine ParseTraceLine(const std::string &raw);

class CDebugCapture {
 public:
  // Installs the handler once per process and starts the viewer.
  static void Install();
  // The viewer alone; false when its objects cannot be made.
  static bool StartViewer();
  static void StopViewer();
  static void Clear();
  static std::vector<CTraceLine> Lines();
  // Captured texts whose length parameter did not match the text.
  static std::vector<std::string> BadLengths();
  // Waits until a line with this tag and text (text compared up to its
  // length when bPrefix) is captured after line nFrom; its index, or -1.
  static int WaitFor(const std::string &tag, const std::string &text, unsigned long dwTimeoutMs,
                     size_t nFrom = 0, bool bPrefix = false);
  static size_t Count();
};
