// The debugger output of this process, captured in-process.
//
// Without a debugger attached, OutputDebugStringA raises the exception
// DBG_PRINTEXCEPTION_C (0x40010006) with two parameters: the length of the
// text with its terminator, and the text. A vectored exception handler sees
// it before anyone else, records the text and continues execution, as a
// debugger would.
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
  // Installs the handler once per process.
  static void Install();
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
