// The fault sweep: each scenario runs once clean, counting the calls of
// every emulated function and of the module's allocations; then once per
// injection point (function F, call index k of F in the clean run) with the
// k-th call of F failing once ("once"), or with every call of F from the
// k-th on failing ("onward"). After each run: no crash, every native back
// within its bound (the watchdog), no success reported for a failed write,
// no byte invented or reordered, and after the final close nothing left
// open. Usage: velto_sweep SCENARIO once|onward [SHARD/SHARDS] [--sample N]
//          velto_sweep --count   (injection points per scenario)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "Driver.h"

namespace {

constexpr DWORD kInjectedError = ERROR_GEN_FAILURE;

// What a run did, for the checks after it.
struct CRun {
  SIMDEV dev = 0;
  SIMDEV dev2 = 0;       // a second printer, on a session of its own
  std::string written2;  // what writes reported done to it
  std::string sent;      // bytes the printer sent, in order
  std::string received;  // bytes the reads delivered, in order
  std::string written;   // payloads of the writes that reported success
  // Handles Java got and has not closed successfully, with their session (0:
  // the default printer's).
  std::vector<std::pair<jlong, jint>> open;
  std::vector<jlong> sessions;  // to free at the end
  std::string failure;          // the first broken promise

  void Opened(jint nType, jint nHandle, jlong nSession = 0) {
    if (nType >= 0 && nHandle != 0) open.emplace_back(nSession, nHandle);
  }
  void Closed(jint nHandle, jint nResult) {
    if (nResult != 0) return;
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (it->second == nHandle) {
        open.erase(it);
        return;
      }
    }
  }
  void Write(CDriver &driver, jint nHandle, const std::string &s, std::string *pLog = nullptr) {
    if (driver.Write(nHandle, s) == 0) (pLog != nullptr ? *pLog : written) += s;
  }
  void Send(const std::string &s) {
    if (SimSend(dev, s.data(), (DWORD)s.size())) sent += s;
  }
  // Reads until nWanted more bytes came or nTries reads gave nothing.
  void ReadSome(CDriver &driver, jint nHandle, size_t nWanted, int nTries) {
    const size_t nGoal = received.size() + nWanted;
    for (int nFailed = 0; received.size() < nGoal && nFailed < nTries;) {
      std::string got;
      if (driver.Read(nHandle, 97, &got) > 0) {
        received += got;
      } else {
        ++nFailed;
      }
    }
  }
};

std::string Pattern(size_t n, unsigned nSeed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)(i * 7 + nSeed + (i >> 8));
  return s;
}

void NativeScenario(CRun &run) {
  CDriver driver;
  jint hRead = 0, hWrite = 0;
  run.Opened(driver.Open(true, &hRead), hRead);
  run.Opened(driver.Open(false, &hWrite), hWrite);
  run.Write(driver, hWrite, "\x10\x04\x01 status");
  run.Send(Pattern(40, 1));
  run.ReadSome(driver, hRead, 40, 2);
  driver.GetTimeout(hRead);
  driver.SetTimeouts(hRead);
  driver.Purge(hRead);
  driver.ErrorText(ERROR_ACCESS_DENIED);
  driver.ErrorText(0x7FFF0001);
  run.Closed(hRead, driver.Close(hRead));
  run.Closed(hWrite, driver.Close(hWrite));
}

void PrinterClassScenario(CRun &run) {
  CDriver driver;
  jint hRead = 0, hWrite = 0;
  run.Opened(driver.Open(true, &hRead), hRead);
  run.Opened(driver.Open(false, &hWrite), hWrite);
  run.Write(driver, hWrite, "\x10\x04\x01");
  for (unsigned n = 0; n < 3; ++n) {
    run.Send(Pattern(700, n));
    run.ReadSome(driver, hRead, 700, 2);
  }
  // Back before the receiver notices: it reopens at once, then reads again
  // after its pause.
  SimUnplug(run.dev);
  SimReplug(run.dev);
  SimWaitPendingReads(run.dev, 1, 1500);
  run.Send("again");
  run.ReadSome(driver, hRead, 5, 3);
  driver.BytesAvailable();
  run.Closed(hRead, driver.Close(hRead));
  run.Closed(hWrite, driver.Close(hWrite));
}

// Two printers at once, each on a session of its own: a printer-class one
// streams while a native one prints; nothing of one reaches the other.
void TwoSessionsScenario(CRun &run) {
  run.dev2 = PlugPrinter(false);
  const jlong nClass = OpenSession(ClassPrinterPath(), true);
  const jlong nNative = OpenSession(NativePrinterPath(), false);
  for (jlong n : {nClass, nNative}) {
    if (n != 0) run.sessions.push_back(n);
  }
  // A session that could not be made is a clean failure; 0 would name the
  // default printer.
  if (nClass == 0 || nNative == 0) return;
  CDriver cls(nClass), nat(nNative);
  jint hRead = 0, hWrite = 0, hNativeRead = 0, hNativeWrite = 0;
  run.Opened(cls.Open(true, &hRead), hRead, nClass);
  run.Opened(nat.Open(true, &hNativeRead), hNativeRead, nNative);
  run.Opened(cls.Open(false, &hWrite), hWrite, nClass);
  run.Opened(nat.Open(false, &hNativeWrite), hNativeWrite, nNative);
  run.Write(cls, hWrite, "\x10\x04\x01");
  run.Write(nat, hNativeWrite, "kitchen ticket", &run.written2);
  run.Send(Pattern(300, 1));
  run.ReadSome(cls, hRead, 300, 2);
  nat.SetTimeouts(hNativeRead);
  nat.Purge(hNativeRead);
  run.Closed(hRead, cls.Close(hRead));
  run.Closed(hNativeRead, nat.Close(hNativeRead));
  run.Closed(hNativeWrite, nat.Close(hNativeWrite));
}

// A close from one thread while another reads (for ever, on the native type).
void CloseRacingReadScenario(CRun &run, bool bPrinterClass) {
  CDriver driver;
  jint hRead = 0;
  run.Opened(driver.Open(true, &hRead), hRead);
  if (!bPrinterClass) {
    const COMMTIMEOUTS never = {0, 0, 0, 0, 0};
    SimSetTimeouts(run.dev, &never);
  }
  std::atomic<bool> bStop{false};
  std::atomic<bool> bDone{false};
  // The printer-class reader reads as a Java loop does, a few times (each
  // read waits up to 100 ms); the native one blocks until the close.
  std::thread reader([&] {
    CDriver java;
    for (int n = 0; n < 3 && !bStop; ++n) {
      std::string got;
      java.Read(hRead, 64, &got);
      if (!bPrinterClass) break;
    }
    bDone = true;
  });
  for (int i = 0; !bPrinterClass && i < 2000 && !bDone && SimPendingReads(run.dev) == 0; ++i) {
    Sleep(1);
  }
  jint nClosed = driver.Close(hRead);
  if (nClosed != 0) {
    // Java tries again; by then nothing fails any more.
    SimClearInjections();
    nClosed = driver.Close(hRead);
  }
  run.Closed(hRead, nClosed);
  bStop = true;
  reader.join();
}

struct CScenario {
  const char *pszName;
  bool bPrinterClass;
  std::function<void(CRun &)> fnRun;
};

const std::vector<CScenario> &Scenarios() {
  static const std::vector<CScenario> s_scenarios = {
      {"native", false, NativeScenario},
      {"printer-class", true, PrinterClassScenario},
      {"native-close-race", false, [](CRun &run) { CloseRacingReadScenario(run, false); }},
      {"printer-class-close-race", true, [](CRun &run) { CloseRacingReadScenario(run, true); }},
      {"two-sessions", true, TwoSessionsScenario},
  };
  return s_scenarios;
}

// One run: the scenario under the injection, then the checks and the final
// close. Returns the broken promise, or an empty text.
// A failed close or release leaves its object behind by definition: so many
// leaks are the injection's, not the library's.
DWORD AllowedLeaks(int nFn, DWORD nCalls) {
  const bool bRelease = nFn == SIM_FN_CloseHandle || nFn == SIM_FN_SetupDiDestroyDeviceInfoList ||
                        nFn == SIM_FN_GlobalFree || nFn == SIM_FN_LocalFree;
  return bRelease ? nCalls : 0;
}

std::string RunOnce(const CScenario &scenario, int nFn, DWORD nSkip, DWORD nCalls,
                    std::vector<DWORD> *pCounts) {
  SimReset();
  char szReport[4096];
  // Leaks of earlier runs stay; only this run's count.
  const DWORD nLeaksBefore = SimLeakReport(szReport, sizeof szReport, 0);
  CRun run;
  run.dev = PlugPrinter(scenario.bPrinterClass);
  if (run.dev == 0) return "the printer could not be plugged";
  if (nFn >= 0) SimInjectFailure(nFn, nSkip, nCalls, kInjectedError);
  scenario.fnRun(run);
  if (pCounts != nullptr) {
    pCounts->assign(SIM_FN_COUNT, 0);
    for (int f = 0; f < SIM_FN_COUNT; ++f) (*pCounts)[f] = SimCallCount(f);
  }
  SimClearInjections();

  std::string failure;
  std::string log(SimWritten(run.dev, nullptr, 0), '\0');
  SimWritten(run.dev, &log[0], (DWORD)log.size());
  if (log != run.written) failure = "the printer's log differs from the writes reported done";
  if (run.dev2 != 0) {
    std::string log2(SimWritten(run.dev2, nullptr, 0), '\0');
    SimWritten(run.dev2, &log2[0], (DWORD)log2.size());
    if (log2 != run.written2) failure = "the second printer's log differs from its writes";
  }
  if (!IsSubsequence(run.received, run.sent)) failure = "bytes read that were never sent";

  // What a Java driver does last: close what it still holds, and the stored
  // write handle a failed open may have left (-1).
  for (const auto &held : run.open) CDriver(held.first).Close(held.second);
  CDriver().Close(-1);
  for (jlong nSession : run.sessions) {
    CDriver(nSession).Close(-1);
    FreeSession(nSession);
  }
  SimUnplug(run.dev);
  if (run.dev2 != 0) SimUnplug(run.dev2);
  const DWORD nLeaks = SimLeakReport(szReport, sizeof szReport, 5000) - nLeaksBefore;
  if (nFn >= 0 && nLeaks > AllowedLeaks(nFn, nCalls) && failure.empty()) {
    failure = std::to_string(nLeaks) + " left open after the final close:\n" + szReport;
  } else if (nFn < 0 && nLeaks != 0) {
    failure = std::string("the clean run leaves objects open:\n") + szReport;
  }
  return failure;
}

int Run(const CScenario &scenario, bool bOnward, int nShard, int nShards, int nSample) {
  std::vector<DWORD> counts;
  SetRunContext(std::string(scenario.pszName) + " clean");
  std::string failure = RunOnce(scenario, -1, 0, 0, &counts);
  if (!failure.empty()) {
    fprintf(stderr, "%s clean run: %s\n", scenario.pszName, failure.c_str());
    return 1;
  }
  int nPoint = 0, nRun = 0, nFailed = 0;
  for (int f = 0; f < SIM_FN_COUNT; ++f) {
    for (DWORD k = 0; k < counts[f]; ++k, ++nPoint) {
      if (nPoint % nShards != nShard || (nPoint / nShards) % nSample != 0) continue;
      char szContext[160];
      snprintf(szContext, sizeof szContext, "%s, %s call %u failing %s", scenario.pszName,
               SimFnName(f), (unsigned)k + 1, bOnward ? "from then on" : "once");
      SetRunContext(szContext);
      failure = RunOnce(scenario, f, k, bOnward ? MAXDWORD : 1, nullptr);
      ++nRun;
      if (!failure.empty()) {
        ++nFailed;
        fprintf(stderr, "FAIL %s: %s\n", szContext, failure.c_str());
      }
    }
  }
  printf("%s %s shard %d/%d: %d injection points in all, %d run here, %d failed\n",
         scenario.pszName, bOnward ? "onward" : "once", nShard + 1, nShards, nPoint, nRun, nFailed);
  return nFailed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--count") == 0) {
    int nTotal = 0;
    for (const CScenario &scenario : Scenarios()) {
      std::vector<DWORD> counts;
      RunOnce(scenario, -1, 0, 0, &counts);
      int n = 0;
      for (DWORD c : counts) n += (int)c;
      printf("%s: %d injection points (", scenario.pszName, n);
      for (int f = 0; f < SIM_FN_COUNT; ++f) {
        if (counts[f] != 0) printf(" %s %u", SimFnName(f), (unsigned)counts[f]);
      }
      printf(" )\n");
      nTotal += n;
    }
    printf("total: %d injection points per pass, %d in both passes\n", nTotal, 2 * nTotal);
    return 0;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: %s SCENARIO once|onward [SHARD/SHARDS] [--sample N] | --count\n",
            argv[0]);
    return 2;
  }
  int nShard = 0, nShards = 1, nSample = 1;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--sample") == 0 && i + 1 < argc) {
      nSample = atoi(argv[++i]);
    } else if (sscanf(argv[i], "%d/%d", &nShard, &nShards) == 2) {
      --nShard;
    }
  }
  if (nShards < 1 || nShard < 0 || nShard >= nShards || nSample < 1) return 2;
  for (const CScenario &scenario : Scenarios()) {
    if (strcmp(scenario.pszName, argv[1]) == 0) {
      return Run(scenario, strcmp(argv[2], "onward") == 0, nShard, nShards, nSample);
    }
  }
  fprintf(stderr, "unknown scenario %s\n", argv[1]);
  return 2;
}
