// A lock of static storage that needs nothing created and cannot fail: a
// flag taken in turn, yielding the processor while another thread holds it.
// Only for short sections that never wait on the printer.
#pragma once

#include <atomic>

#include "velto/platform.h"

class CSpinTurn {
 public:
  explicit CSpinTurn(std::atomic_flag &bBusy) : m_bBusy(bBusy) {
    while (m_bBusy.test_and_set(std::memory_order_acquire)) Sleep(0);
  }
  ~CSpinTurn() { m_bBusy.clear(std::memory_order_release); }
  CSpinTurn(const CSpinTurn &) = delete;
  CSpinTurn &operator=(const CSpinTurn &) = delete;

 private:
  std::atomic_flag &m_bBusy;
};
