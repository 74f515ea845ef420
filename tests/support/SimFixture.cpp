#include "SimFixture.h"

#include <chrono>

void CSimTest::SetUp() {
  SimReset();
  // A printer on the desk of whoever runs the tests must not take part.
  SimUseHostPrinters(FALSE);
  SimSetDebugListener(&CSimTest::OnDebugString, this);
}

void CSimTest::TearDown() {
  // Detaching waits for listener calls in progress, so none outlives us.
  SimSetDebugListener(nullptr, nullptr);
  char szReport[4096];
  const DWORD nLeaks = SimLeakReport(szReport, sizeof szReport, 5000);
  if (nLeaks != 0) ADD_FAILURE() << nLeaks << " item(s) leaked:\n" << szReport;
  SimReset();
}

void CSimTest::OnDebugString(const char *pszText, void *pContext) {
  auto *pThis = static_cast<CSimTest *>(pContext);
  std::lock_guard<std::mutex> lock(pThis->m_Lock);
  pThis->m_Lines.emplace_back(pszText);
  pThis->m_Cond.notify_all();
}

std::vector<std::string> CSimTest::Lines() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Lines;
}

void CSimTest::ClearLines() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Lines.clear();
}

bool CSimTest::WaitForLine(const std::string &szSub, DWORD dwTimeoutMs, size_t nTimes) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [&] {
    size_t nSeen = 0;
    for (const auto &line : m_Lines) {
      if (line.find(szSub) != std::string::npos && ++nSeen == nTimes) return true;
    }
    return false;
  });
}
