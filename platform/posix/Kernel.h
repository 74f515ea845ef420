// Internal kernel of the Win32 emulation.
//
// One process-wide lock guards every emulated object; one condition variable
// is notified whenever any object's state changes, and every blocking call
// waits on it with a deadline on the monotonic clock. That makes multi-object
// waits atomic (no per-object locking, no lost wake-ups) at the price of
// spurious wake-ups, which the waits re-check.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "velto/simprinter.h"
#include "velto/win32emu.h"

namespace emu {

using Clock = std::chrono::steady_clock;
using Guard = std::unique_lock<std::mutex>;

std::mutex &KernelLock();
// Wakes the blocked calls whose condition now holds. Call with the kernel
// lock held after changing object state.
void NotifyAll();

// How long a time-out of nMilliseconds lasts on Windows' timer: exact, or
// rounded up to the granularity SimSetTimerGranularity set (0 stays 0).
Clock::duration TimerSpan(unsigned long long nMilliseconds);
void SetTimerGranularity(DWORD dwMicroseconds);

// Deadline in milliseconds from now (INFINITE: none). After is exact (the
// control API's bounds); Timeout is a Win32 call's time-out, as long as
// Windows' timer makes it.
struct Deadline {
  bool bInfinite;
  Clock::time_point tp;
  static Deadline After(DWORD dwMilliseconds);
  static Deadline Timeout(DWORD dwMilliseconds);
};
// A call blocked in the kernel: a condition variable of its own and the
// condition it waits for, listed while it waits. NotifyAll wakes only the
// calls whose condition holds, as Windows wakes only the waiters of the
// object signalled, instead of every blocked thread at every change; a call
// with a deadline wakes at it by itself. Under the kernel lock.
class CWaiter {
 public:
  std::condition_variable m_Cond;
  bool (*m_pfnReady)(void *) = nullptr;
  void *m_pReady = nullptr;
  CWaiter *m_pPrev = nullptr;
  CWaiter *m_pNext = nullptr;
};
void AddWaiter(CWaiter &waiter);
void RemoveWaiter(CWaiter &waiter);

// Waits until pred() holds or the deadline passes. Returns pred() at the
// end. The lock is held on entry and on return; pred is also called by
// NotifyAll on other threads, under the lock.
template <class Pred>
bool WaitUntil(Guard &lock, const Deadline &dl, Pred pred) {
  if (pred()) return true;
  CWaiter waiter;
  waiter.m_pfnReady = [](void *p) { return (*static_cast<Pred *>(p))(); };
  waiter.m_pReady = &pred;
  AddWaiter(waiter);
  bool bReady = false;
  for (;;) {
    if (pred()) {
      bReady = true;
      break;
    }
    if (dl.bInfinite) {
      waiter.m_Cond.wait(lock);
    } else if (waiter.m_Cond.wait_until(lock, dl.tp) == std::cv_status::timeout) {
      bReady = pred();
      break;
    }
  }
  RemoveWaiter(waiter);
  return bReady;
}

// Something with a deadline that the kernel's timer keeps: a driver's
// time-out on a request in flight. The timer is one thread of the
// emulation's own (never an emulated thread), started on first need, that
// sleeps until the earliest deadline; it holds a weak reference only.
class CTimed;
using TimerQueue = std::multimap<Clock::time_point, std::weak_ptr<CTimed>>;
class CTimed : public std::enable_shared_from_this<CTimed> {
 public:
  virtual ~CTimed() = default;
  // Under the kernel lock, on the timer thread: the deadline armed last has
  // passed (the timer is disarmed already).
  virtual void OnDeadline() = 0;

 private:
  friend void ArmTimer(CTimed &timed, Clock::time_point tp);
  friend void DisarmTimer(CTimed &timed);
  friend void TimerMain();
  bool m_bArmed = false;
  TimerQueue::iterator m_itDue;
};
// Under the kernel lock: starts the timer thread unless it runs; false when
// no thread can be made. Call it before a request that needs a deadline.
bool StartTimer();
// Under the kernel lock: the timer calls timed.OnDeadline() at tp, instead
// of at the deadline armed before; timed must be owned by a shared_ptr.
void ArmTimer(CTimed &timed, Clock::time_point tp);
void DisarmTimer(CTimed &timed);

// Process: the current-process pseudo-handle, INVALID_HANDLE_VALUE's other
// meaning on Windows (never signalled; closing it is a no-op).
enum class ObjType { Event, Mutex, Thread, File, Process };

// A kernel object. Handles and in-progress waits or I/O each hold a
// shared_ptr, so an object outlives a handle closed while it is in use.
struct Object {
  explicit Object(ObjType t) : type(t) {}
  virtual ~Object() = default;
  // Under the kernel lock: would a wait by thread dwTid be satisfied now?
  virtual bool IsSignalled(DWORD dwTid) const = 0;
  // Under the kernel lock: the wait by dwTid is satisfied by this object
  // (auto-reset events reset, mutexes are acquired).
  virtual void Satisfy(DWORD dwTid) { (void)dwTid; }
  // Under the kernel lock, by CloseHandle of the last handle, before
  // OnLastHandleClosed: may wait (releasing the lock meanwhile).
  virtual void WaitBeforeLastClose(Guard &lock) { (void)lock; }
  // Under the kernel lock: the last handle to the object is being closed.
  virtual void OnLastHandleClosed() {}
  // Under the kernel lock: one line for the leak report, without handle value.
  virtual std::string Describe() const;
  const ObjType type;
  // Handles that refer to the object; maintained by the handle table.
  DWORD nHandles = 0;
};
using ObjectPtr = std::shared_ptr<Object>;

// Handle table (all under the kernel lock). Handle values are small
// multiples of 4 that fit into 32 bits; a freed value is handed out again at
// once (the most recently freed first), as on Windows.
// InsertHandle returns NULL (last error ERROR_NO_SYSTEM_RESOURCES) only when
// the table is full. RemoveHandle calls OnLastHandleClosed() when the
// object's last handle goes; the table's reference is dropped at once, so
// callers that must not run an object's destructor under the lock keep a
// copy of the LookupHandle result until they unlock.
HANDLE InsertHandle(const ObjectPtr &obj);
ObjectPtr LookupHandle(HANDLE h);  // null for a bad or closed handle; -1: the process
bool RemoveHandle(HANDLE h);       // false for a bad or closed handle
// Removes the handle without calling OnLastHandleClosed; returns the object
// (null for a bad handle) with its handle count already lowered.
ObjectPtr DetachHandle(HANDLE h);
DWORD HandleCount();
std::string DescribeHandles();  // one line per open handle

// The calling thread's emulated thread id (stable, nonzero, a multiple of 4).
DWORD CurrentThreadId();

// Thread ids are handed out again once free, the most recently freed first,
// as on Windows. An id is held by its thread until the thread ends and by
// its thread object while that exists; it is free when the last hold goes.
// Own lock: callable with or without the kernel lock.
// CreateThread allocates the new thread's id (held for the thread); the
// thread adopts it first, and the thread drops its hold as it ends
// (ReleaseThreadId and AdoptThreadId(0)).
DWORD NewThreadId();
void AdoptThreadId(DWORD dwTid);
void HoldThreadId(DWORD dwTid);
void ReleaseThreadId(DWORD dwTid);
// A thread not made by CreateThread got its id: OpenThread can reach it until
// it ends. Takes its own lock, so it may be called with or without the
// kernel lock held.
void RegisterOtherThread(DWORD dwTid);
// Under the kernel lock, by a thread as it ends (an emulated one as its
// function returns): the mutexes it still owns become free and their next
// wait reports WAIT_ABANDONED.
void AbandonOwnedMutexes(DWORD dwTid);
// Under the kernel lock: the emulated thread id of a thread handle (0 when
// the handle is not a thread).
DWORD ThreadIdOfHandle(HANDLE h);

// A synchronous I/O request of one thread (Files.cpp), found by
// CancelSynchronousIo. Under the kernel lock.
struct CSyncRequest {
  bool m_bCancelled = false;
  // Ends the request's blocked I/O with ERROR_OPERATION_ABORTED; empty while
  // the request waits for its turn on the file.
  std::function<void()> m_fnCancel;
};
// The request thread dwTid is in, or null.
CSyncRequest *SyncRequestOf(DWORD dwTid);

// Sets the last error and returns r: `return Fail(FALSE, ERROR_X);`.
template <class R>
R Fail(R r, DWORD dwError) {
  SetLastError(dwError);
  return r;
}

// Under the kernel lock: sets or resets an event object directly, as I/O
// completion does on Windows (not counted, not injectable). Other objects
// are ignored.
void SignalEventObject(const ObjectPtr &pEvent);
void ResetEventObject(const ObjectPtr &pEvent);

// Failure injection: counts the call of nFn; when an injected failure is due
// sets the last error to the scripted code and returns true. Call it first,
// so that a failing call does nothing else. Takes its own lock, never the
// kernel lock, so it is safe with or without the kernel lock held.
bool InjectedFailure(int nFn);
// The same for calls that return their error instead of setting the last
// error (the CM_* calls): true with the scripted code in *pdwCode.
bool InjectedResult(int nFn, DWORD *pdwCode);
void InjectReset();  // clears injections and call counts

// A block that LocalFree releases (takes the kernel lock itself).
void *LocalAllocBlock(SIZE_T nBytes);

// Kernel-side pieces of the leak report and reset (under the kernel lock).
DWORD LiveThreadCount();
std::string DescribeThreads();
DWORD MemoryBlockCount();  // global and local blocks not freed
std::string DescribeMemoryBlocks();
// Critical sections initialised and not deleted (Locks.cpp; takes its own
// lock, never the kernel lock, so it may be called under it).
DWORD CriticalSectionCount();
std::string DescribeCriticalSections();
// Detaches the debug listener and drops message overrides. Takes its own
// locks: call it without the kernel lock.
void MiscReset();

// The device side (simulated printers, files, SetupAPI) answers these for
// SimReset and the leak report. Called under the kernel lock.
void DevicesReset();
DWORD DeviceCount();
DWORD DeviceInfoSetCount();
std::string DescribeDevices();

}  // namespace emu
