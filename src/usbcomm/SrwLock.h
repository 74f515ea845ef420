// Scoped holds of a slim reader/writer lock: it needs nothing created,
// cannot fail, and a waiting thread sleeps rather than spins.
#pragma once

#include "velto/platform.h"

class CExclusive {
 public:
  explicit CExclusive(SRWLOCK &lock) : m_Lock(lock) { AcquireSRWLockExclusive(&m_Lock); }
  ~CExclusive() { ReleaseSRWLockExclusive(&m_Lock); }
  CExclusive(const CExclusive &) = delete;
  CExclusive &operator=(const CExclusive &) = delete;

 private:
  SRWLOCK &m_Lock;
};

class CShared {
 public:
  explicit CShared(SRWLOCK &lock) : m_Lock(lock) { AcquireSRWLockShared(&m_Lock); }
  ~CShared() { ReleaseSRWLockShared(&m_Lock); }
  CShared(const CShared &) = delete;
  CShared &operator=(const CShared &) = delete;

 private:
  SRWLOCK &m_Lock;
};
