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
#include <memory>
#include <mutex>
#include <string>

#include "velto/simprinter.h"
#include "velto/win32emu.h"

namespace emu {

using Clock = std::chrono::steady_clock;
using Guard = std::unique_lock<std::mutex>;

std::mutex &KernelLock();
std::condition_variable &KernelCond();
// Wakes every blocked call so that it re-checks its condition. Call with the
// kernel lock held after changing object state.
void NotifyAll();

// Deadline for a Win32 time-out in milliseconds (INFINITE: none).
struct Deadline {
  bool bInfinite;
  Clock::time_point tp;
  static Deadline After(DWORD dwMilliseconds);
};
// Waits on the kernel condition until pred() holds or the deadline passes.
// Returns pred() at the end. The lock is held on entry and on return.
template <class Pred>
bool WaitUntil(Guard &lock, const Deadline &dl, Pred pred) {
  while (!pred()) {
    if (dl.bInfinite) {
      KernelCond().wait(lock);
    } else if (KernelCond().wait_until(lock, dl.tp) == std::cv_status::timeout) {
      return pred();
    }
  }
  return true;
}

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

// CreateThread allocates the new thread's id; the thread adopts it first.
DWORD NewThreadId();
void AdoptThreadId(DWORD dwTid);
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
