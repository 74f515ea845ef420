// GoogleTest fixture for every test that runs on the simulated printers.
//
// SetUp resets the emulation, keeps the host's printers out of it and records
// the debugger output line by line;
// TearDown fails the test when a handle, thread, memory block or device was
// left behind, then resets again.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "velto/simprinter.h"

class CSimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Every OutputDebugStringA text so far, in order (a copy).
  std::vector<std::string> Lines();
  void ClearLines();
  // Waits until nTimes recorded lines contain szSub; true when found in time.
  bool WaitForLine(const std::string &szSub, DWORD dwTimeoutMs, size_t nTimes = 1);

 private:
  static void OnDebugString(const char *pszText, void *pContext);

  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::vector<std::string> m_Lines;
};
