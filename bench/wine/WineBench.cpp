// Benchmarks of the 32-bit DLL under Wine: the library's test build with the
// pipe seam, called as the JVM calls it (the JVM stand-in), against
// simulated printers on named pipes; each figure beside a raw baseline on the
// same kind of pipes (plain Win32 calls, no library). Nobody listens to the
// debugger output: no debugger, no debug viewer, no exception handler.
//
//   wine_bench.exe --seam-dll=PATH --out=FILE [--label=L] [--revision=R]
//                  [--loss-seconds=N] [--quick]
//
// Run by bench/wine/run.sh, which tools/bench.sh calls; writes the results
// file that docs/performance.md is made from.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JvmStandIn.h"
#include "PipePrinter.h"
#include "SeamBus.h"
#include "usbcomm/UsbComm.h"

namespace {

const jint kGenericRead = static_cast<jint>(0x80000000u);
const jint kGenericWrite = 0x40000000;
const double kFullSpeed = 1.2e6;
const int kReadSize = 4096;
const int kBuckets = 68;
// Bytes not delivered this long after the last was sent count as lost.
const long long kLateMs = 20000;

long long NowNs() {
  static LARGE_INTEGER s_frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (long long)((double)now.QuadPart * 1e9 / (double)s_frequency.QuadPart);
}

BYTE PatternByte(long long p) { return (BYTE)(p * 131 + (p >> 9)); }

double Percentile(std::vector<long long> samples, double p) {
  if (samples.empty()) return NAN;
  std::sort(samples.begin(), samples.end());
  long index = (long)std::ceil(p / 100.0 * (double)samples.size()) - 1;
  index = std::max(0L, std::min((long)samples.size() - 1, index));
  return (double)samples[(size_t)index];
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<long long> Histogram(const std::vector<long long> &samples) {
  std::vector<long long> counts(kBuckets, 0);
  for (long long ns : samples) {
    const double us = std::max(1.0, (double)ns / 1000.0);
    int i = (int)std::floor(4.0 * std::log2(us));
    counts[(size_t)std::max(0, std::min(kBuckets - 1, i))]++;
  }
  return counts;
}

std::string Show(double v) {
  char sz[64];
  if (std::isnan(v)) return "-";
  snprintf(sz, sizeof sz, std::fabs(v) >= 100 || v == std::rint(v) ? "%.0f" : "%.3g", v);
  return sz;
}

std::string Number(double v) {
  char sz[64];
  if (std::isnan(v) || std::isinf(v)) return "null";
  snprintf(sz, sizeof sz, "%.6g", v);
  return sz;
}

std::string Quote(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The results file, in the form of the JVM benchmarks' (Results.java).
// pszText with its "%d" replaced by n.
std::string WithNumber(const char *pszText, int n) {
  std::string text = pszText;
  const size_t nAt = text.find("%d");
  if (nAt != std::string::npos) text.replace(nAt, 2, std::to_string(n));
  return text;
}

class CResults {
 public:
  void Header(const std::string &key, const std::string &value) {
    m_Header.emplace_back(key, value);
  }
  void Metric(const std::string &id, const std::string &name, const std::string &unit,
              const std::string &better, double library, double raw) {
    m_Metrics.push_back("{\"id\": " + Quote(id) + ", \"name\": " + Quote(name) +
                        ", \"unit\": " + Quote(unit) + ", \"better\": " + Quote(better) +
                        ", \"library\": " + Number(library) + ", \"raw\": " + Number(raw) + "}");
    printf("  %-52s %14s %14s %s\n", name.c_str(), Show(library).c_str(), Show(raw).c_str(),
           unit.c_str());
    fflush(stdout);
  }
  // The p50 and p99 of the library's and the raw samples, each divided by
  // dScale; "%d" in the id and the name stands for the percentile.
  void Percentiles(const char *pszId, const char *pszName, const std::string &unit,
                   const std::vector<long long> &library, const std::vector<long long> &raw,
                   double dScale) {
    for (int nP : {50, 99}) {
      Metric(WithNumber(pszId, nP), WithNumber(pszName, nP), unit, "lower",
             Percentile(library, nP) / dScale, Percentile(raw, nP) / dScale);
    }
  }
  void Histogram(const std::string &name, const std::vector<long long> &counts) {
    m_Histograms.emplace_back(name, counts);
  }
  bool Write(const std::string &path) {
    std::string s = "{\n";
    for (auto &h : m_Header) s += "  " + Quote(h.first) + ": " + Quote(h.second) + ",\n";
    s += "  \"metrics\": [\n    ";
    for (size_t i = 0; i < m_Metrics.size(); ++i) s += (i ? ",\n    " : "") + m_Metrics[i];
    s += "\n  ],\n  \"histogramBucketsMicros\": \"2^(i/4)\",\n  \"histograms\": {";
    for (size_t i = 0; i < m_Histograms.size(); ++i) {
      s += std::string(i ? "," : "") + "\n    " + Quote(m_Histograms[i].first) + ": [";
      for (size_t j = 0; j < m_Histograms[i].second.size(); ++j) {
        s += (j ? ", " : "") + std::to_string(m_Histograms[i].second[j]);
      }
      s += "]";
    }
    s += "\n  }\n}\n";
    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL) return false;
    fwrite(s.data(), 1, s.size(), f);
    return fclose(f) == 0;
  }

 private:
  std::vector<std::pair<std::string, std::string>> m_Header;
  std::vector<std::string> m_Metrics;
  std::vector<std::pair<std::string, std::vector<long long>>> m_Histograms;
};

// The bus, the library and printers on both: the library's (a pattern of its
// device table) and raw ones (a path the library does not know).
class CBench {
 public:
  CPipeBus m_Bus;
  CJvmStandIn m_Jvm;
  int m_nSerial = 0;

  static std::string PathFor(const GUID &interfaceClass, const char *pszIds, int nSerial) {
    return std::string("\\\\?\\usb#") + pszIds + "#bench" + std::to_string(nSerial) + "#" +
           GuidText(interfaceClass);
  }
  // A printer for the library (bLibrary) or for the raw baseline.
  int Plug(bool bNative, bool bLibrary, std::string *pPath) {
    const GUID &cls = bNative ? GUID_DEVINTERFACE_NATIVE_PRINTER : GUID_DEVINTERFACE_USBPRINT;
    *pPath = PathFor(cls, bLibrary ? g_apszDevicePatterns[0] : "vid_0000&pid_0000", ++m_nSerial);
    return m_Bus.Plug(cls, pPath->c_str());
  }
  // Opens one pipe of a raw printer as the seam would: the bus names the pipe.
  HANDLE OpenRaw(const std::string &path, DWORD dwFlags) {
    char szBus[64];
    SeamBusName(szBus, sizeof szBus);
    std::string request = "OPEN " + std::to_string(0) + " " + path;
    char szReply[SEAM_MESSAGE_SIZE];
    DWORD n = 0;
    if (!CallNamedPipeA(szBus, &request[0], (DWORD)request.size(), szReply, sizeof szReply - 1, &n,
                        NMPWAIT_WAIT_FOREVER)) {
      return INVALID_HANDLE_VALUE;
    }
    szReply[n] = '\0';
    if (strncmp(szReply, "PIPE ", 5) != 0) return INVALID_HANDLE_VALUE;
    return CreateFileA(szReply + 5, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, dwFlags,
                       NULL);
  }
};

// Printer to Java, through the library or raw.
class CInbound {
 public:
  explicit CInbound(CBench &bench) : m_Bench(bench) {}
  virtual ~CInbound() {}
  // Bytes read (appended to *pBytes); 0 or less when nothing came.
  virtual int Read(std::string *pBytes) = 0;
  virtual void Wake() = 0;
  // Bytes sent and not yet read that are still kept: by the bus, in the pipe
  // (a write in progress may be counted twice, up to the pipe's 4 KiB), and
  // in the library's ring.
  virtual long long Held() = 0;
  int m_nDevice = 0;

 protected:
  long long HeldOnTheWay(HANDLE hRead) {
    DWORD nInPipe = 0;
    if (!PeekNamedPipe(hRead, NULL, 0, NULL, &nInPipe, NULL)) nInPipe = 0;
    return (long long)m_Bench.m_Bus.HeldToHost(m_nDevice) + nInPipe;
  }
  CBench &m_Bench;
};

class CLibraryInbound : public CInbound {
 public:
  explicit CLibraryInbound(CBench &bench) : CInbound(bench) {
    std::string path;
    m_nDevice = bench.Plug(false, true, &path);
    jobject port = bench.m_Jvm.NewPort(0);
    if (bench.m_Jvm.InitPipe(port, kGenericRead) != USB_TYPE_PRINTER_CLASS) {
      fprintf(stderr, "no printer-class session\n");
      exit(1);
    }
    m_hRead = bench.m_Jvm.PortField(port, "hReadPort");
    Sleep(50);  // the receiver's first read is pending by now
  }
  ~CLibraryInbound() override {
    m_Bench.m_Jvm.ClosePipe(m_hRead);
    m_Bench.m_Bus.Unplug(m_nDevice);
  }
  int Read(std::string *pBytes) override {
    thread_local jbyteArray t_array = m_Bench.m_Jvm.NewByteArray(std::string(kReadSize, '\0'));
    const jint n = m_Bench.m_Jvm.ReadInputPipe(m_hRead, t_array);
    if (n > 0) pBytes->append(m_Bench.m_Jvm.Bytes(t_array), 0, (size_t)n);
    return n;
  }
  void Wake() override {}
  long long Held() override {
    return HeldOnTheWay((HANDLE)(intptr_t)m_hRead) + m_Bench.m_Jvm.GetBytesAvailable();
  }

 private:
  jint m_hRead = 0;
};

class CRawInbound : public CInbound {
 public:
  explicit CRawInbound(CBench &bench) : CInbound(bench) {
    std::string path;
    m_nDevice = bench.Plug(false, false, &path);
    m_hRead = bench.OpenRaw(path + "\\PIPE00", 0);
    if (m_hRead == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "raw open failed\n");
      exit(1);
    }
  }
  ~CRawInbound() override {
    CloseHandle(m_hRead);
    m_Bench.m_Bus.Unplug(m_nDevice);
  }
  int Read(std::string *pBytes) override {
    char ab[kReadSize];
    DWORD n = 0;
    if (!ReadFile(m_hRead, ab, sizeof ab, &n, NULL)) return -1;
    pBytes->append(ab, n);
    return (int)n;
  }
  void Wake() override { m_Bench.m_Bus.Send(m_nDevice, "", 1); }
  long long Held() override { return HeldOnTheWay(m_hRead); }

 private:
  HANDLE m_hRead;
};

std::unique_ptr<CInbound> OpenInbound(CBench &bench, bool bLibrary) {
  if (bLibrary) return std::unique_ptr<CInbound>(new CLibraryInbound(bench));
  return std::unique_ptr<CInbound>(new CRawInbound(bench));
}

void SendPaced(CBench &bench, int nDevice, double dBytesPerSecond, long long nTotal) {
  const long long nStart = NowNs();
  long long nSent = 0;
  std::string chunk;
  while (nSent < nTotal) {
    const long long nDue =
        std::min(nTotal, (long long)(dBytesPerSecond * (double)(NowNs() - nStart) / 1e9));
    if (nDue > nSent) {
      const long long n = std::min(nDue - nSent, 1LL << 20);
      chunk.resize((size_t)n);
      for (long long i = 0; i < n; ++i) chunk[(size_t)i] = (char)PatternByte(nSent + i);
      bench.m_Bus.Send(nDevice, chunk.data(), (DWORD)n);
      nSent += n;
    } else {
      Sleep(1);
    }
  }
}

// A reader thread that counts bytes and checks them against the pattern.
class CDrain {
 public:
  explicit CDrain(CInbound &in) : m_In(in), m_Thread([this] { Run(); }) {}
  ~CDrain() { Finish(); }
  // Until nTotal bytes came, none came for nQuietMs, or kLateMs passed.
  long long Await(long long nTotal, long long nQuietMs) {
    long long nLast = m_nReceived, nLastChange = NowNs();
    const long long nEnd = nLastChange + kLateMs * 1000000LL;
    while (m_nReceived < nTotal && NowNs() < nEnd) {
      Sleep(5);
      const long long nNow = m_nReceived;
      if (nNow != nLast) {
        nLast = nNow;
        nLastChange = NowNs();
      } else if (NowNs() - nLastChange > nQuietMs * 1000000LL) {
        break;
      }
    }
    return m_nReceived;
  }
  void Finish() {
    if (!m_Thread.joinable()) return;
    m_bStop = true;
    m_In.Wake();
    m_Thread.join();
  }
  std::atomic<long long> m_nReceived{0};
  std::atomic<long long> m_nMismatches{0};

 private:
  void Run() {
    long long nPos = 0;
    std::string bytes;
    while (!m_bStop) {
      bytes.clear();
      m_In.Read(&bytes);
      if (m_bStop) break;
      for (size_t i = 0; i < bytes.size(); ++i) {
        if ((BYTE)bytes[i] != PatternByte(nPos + (long long)i)) ++m_nMismatches;
      }
      nPos += (long long)bytes.size();
      m_nReceived += (long long)bytes.size();
    }
  }
  CInbound &m_In;
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
};

std::vector<long long> Latency(CBench &bench, bool bLibrary, int nMessages) {
  std::vector<std::atomic<long long>> sentAt((size_t)nMessages);
  std::vector<long long> latency((size_t)nMessages, 0);
  std::unique_ptr<CInbound> in = OpenInbound(bench, bLibrary);
  std::thread reader([&] {
    std::string stream;
    int nGot = 0;
    while (nGot < nMessages) {
      const size_t nBefore = stream.size();
      in->Read(&stream);
      const long long nNow = NowNs();
      (void)nBefore;
      while (stream.size() >= 16) {
        const BYTE *p = reinterpret_cast<const BYTE *>(stream.data());
        const int nSeq = p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24;
        latency[(size_t)nSeq] = nNow - sentAt[(size_t)nSeq];
        stream.erase(0, 16);
        ++nGot;
      }
    }
  });
  char frame[16] = {0};
  for (int nSeq = 0; nSeq < nMessages; ++nSeq) {
    memcpy(frame, &nSeq, 4);
    sentAt[(size_t)nSeq] = NowNs();
    bench.m_Bus.Send(in->m_nDevice, frame, sizeof frame);
    Sleep(1);
  }
  reader.join();
  in.reset();
  const size_t nWarm = (size_t)nMessages / 10;
  return std::vector<long long>(latency.begin() + (long)nWarm, latency.end());
}

bool KeepsUp(CBench &bench, bool bLibrary, double dBytesPerSecond, double dSeconds) {
  const long long nTotal = (long long)(dBytesPerSecond * dSeconds);
  std::unique_ptr<CInbound> in = OpenInbound(bench, bLibrary);
  CDrain drain(*in);
  const long long nStart = NowNs();
  SendPaced(bench, in->m_nDevice, dBytesPerSecond, nTotal);
  const long long nGraceMs = std::max(300LL, (long long)(dSeconds * 150));
  const long long nDeadline = nStart + (long long)(dSeconds * 1e9) + nGraceMs * 1000000LL;
  while (drain.m_nReceived < nTotal && NowNs() < nDeadline) Sleep(2);
  const bool bOk = drain.m_nReceived == nTotal && drain.m_nMismatches == 0;
  drain.Finish();
  return bOk;
}

// Highest rate in MB/s (a doubling sweep, then bisected) that keepsUp passes.
double Sweep(double dMaxMBps, const std::function<bool(double)> &keepsUp) {
  double dPass = 0, dFail = 0;
  for (double dRate = 0.125; dRate <= dMaxMBps; dRate *= 2) {
    if (keepsUp(dRate * 1e6)) {
      dPass = dRate;
    } else {
      dFail = dRate;
      break;
    }
  }
  for (int i = 0; i < 3 && dFail > 0 && dPass > 0; ++i) {
    const double dMid = std::sqrt(dPass * dFail);
    if (keepsUp(dMid * 1e6)) {
      dPass = dMid;
    } else {
      dFail = dMid;
    }
  }
  return dPass;
}

double LossFreeRate(CBench &bench, bool bLibrary, double dSeconds, double dMaxMBps) {
  return Sweep(dMaxMBps, [&](double dRate) { return KeepsUp(bench, bLibrary, dRate, dSeconds); });
}

// Bytes not delivered, and of those the bytes dropped: those not kept on the
// way either (the rest are only late).
struct CLoss {
  long long nUndelivered;
  long long nDropped;
};

CLoss Drained(CInbound &in, CDrain &drain, long long nTotal) {
  drain.Await(nTotal, 2000);
  drain.Finish();
  const long long nUndelivered = nTotal - drain.m_nReceived;
  return CLoss{nUndelivered, std::max(0LL, nUndelivered - in.Held())};
}

CLoss Steady(CBench &bench, bool bLibrary, long long nTotal) {
  std::unique_ptr<CInbound> in = OpenInbound(bench, bLibrary);
  CDrain drain(*in);
  SendPaced(bench, in->m_nDevice, kFullSpeed, nTotal);
  return Drained(*in, drain, nTotal);
}

CLoss Paused(CBench &bench, bool bLibrary, long long nTotal) {
  std::unique_ptr<CInbound> in = OpenInbound(bench, bLibrary);
  SendPaced(bench, in->m_nDevice, kFullSpeed, nTotal);
  Sleep(500);
  CDrain drain(*in);
  return Drained(*in, drain, nTotal);
}

double WriteNs(CBench &bench, bool bLibrary, int nSize, int nRounds, int nRoundMs) {
  std::string path;
  const int nDevice = bench.Plug(true, bLibrary, &path);
  jbyteArray array = bench.m_Jvm.NewByteArray(std::string((size_t)nSize, 'A'));
  jint hLibrary = 0;
  HANDLE hRaw = INVALID_HANDLE_VALUE;
  if (bLibrary) {
    jobject port = bench.m_Jvm.NewPort(0);
    bench.m_Jvm.InitPipe(port, kGenericWrite);
    hLibrary = bench.m_Jvm.PortField(port, "hWritePort");
  } else {
    hRaw = bench.OpenRaw(path + "\\PIPE01", 0);
  }
  std::vector<char> buffer((size_t)nSize + 1);
  std::vector<double> perRound;
  for (int r = -1; r < nRounds; ++r) {
    long long nCalls = 0;
    const long long nStart = NowNs(), nEnd = nStart + nRoundMs * 1000000LL;
    long long nNow;
    do {
      for (int i = 0; i < 32; ++i) {
        if (bLibrary) {
          bench.m_Jvm.WriteOutputPipe(hLibrary, array);
        } else {
          // The minimal binding: the array's bytes copied out, then WriteFile.
          JNIEnv *env = bench.m_Jvm.Env();
          env->functions->GetByteArrayRegion(env, array, 0, nSize, (jbyte *)buffer.data());
          DWORD nWritten = 0;
          WriteFile(hRaw, buffer.data(), (DWORD)nSize, &nWritten, NULL);
        }
      }
      nCalls += 32;
      bench.m_Bus.ClearWritten(nDevice);
      nNow = NowNs();
    } while (nNow < nEnd);
    if (r >= 0) perRound.push_back((double)(nNow - nStart) / (double)nCalls);
  }
  if (bLibrary) {
    bench.m_Jvm.ClosePipe(hLibrary);
  } else {
    CloseHandle(hRaw);
  }
  bench.m_Bus.Unplug(nDevice);
  return Median(perRound);
}

// A receiver without the library: one overlapped 64-byte read at a time,
// its bytes counted and thrown away, until the quit event.
struct CRawReceiver {
  HANDLE hFile;
  HANDLE hQuit;
  std::atomic<long long> nBytes{0};
};

DWORD WINAPI RawReceiverProc(LPVOID pParameter) {
  CRawReceiver *p = static_cast<CRawReceiver *>(pParameter);
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  BYTE ab[64];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(p->hFile, ab, sizeof ab, &n, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      const HANDLE ah[2] = {ov.hEvent, p->hQuit};
      if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(p->hFile);
        GetOverlappedResult(p->hFile, &ov, &n, TRUE);
        break;
      }
      if (!GetOverlappedResult(p->hFile, &ov, &n, FALSE)) break;
    }
    p->nBytes += n;
  }
  CloseHandle(ov.hEvent);
  return 0;
}

bool RawBlocksKeepUp(CBench &bench, double dBytesPerSecond, double dSeconds) {
  const long long nTotal = (long long)(dBytesPerSecond * dSeconds);
  std::string path;
  const int nDevice = bench.Plug(false, false, &path);
  CRawReceiver receiver;
  receiver.hFile = bench.OpenRaw(path + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  receiver.hQuit = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE hThread = CreateThread(NULL, 0, RawReceiverProc, &receiver, 0, NULL);
  const long long nStart = NowNs();
  SendPaced(bench, nDevice, dBytesPerSecond, nTotal);
  const long long nGraceMs = std::max(300LL, (long long)(dSeconds * 150));
  const long long nDeadline = nStart + (long long)(dSeconds * 1e9) + nGraceMs * 1000000LL;
  while (receiver.nBytes < nTotal && NowNs() < nDeadline) Sleep(2);
  const bool bOk = receiver.nBytes == nTotal;
  SetEvent(receiver.hQuit);
  WaitForSingleObject(hThread, INFINITE);
  CloseHandle(hThread);
  CloseHandle(receiver.hQuit);
  CloseHandle(receiver.hFile);
  bench.m_Bus.Unplug(nDevice);
  return bOk;
}

std::vector<long long> CloseLatency(CBench &bench, bool bLibrary, int nIterations) {
  std::string path;
  const int nDevice = bench.Plug(false, bLibrary, &path);
  std::vector<long long> samples;
  for (int i = 0; i < nIterations; ++i) {
    if (bLibrary) {
      jobject port = bench.m_Jvm.NewPort(0);
      bench.m_Jvm.InitPipe(port, kGenericRead);
      const jint hRead = bench.m_Jvm.PortField(port, "hReadPort");
      Sleep(20);  // the receiver's read is pending
      std::atomic<bool> bStop(false);
      std::thread reader([&] {
        jbyteArray array = bench.m_Jvm.NewByteArray(std::string(64, '\0'));
        while (!bStop) bench.m_Jvm.ReadInputPipe(hRead, array);
      });
      Sleep(3);
      const long long nStart = NowNs();
      bench.m_Jvm.ClosePipe(hRead);
      samples.push_back(NowNs() - nStart);
      bStop = true;
      reader.join();
    } else {
      CRawReceiver receiver;
      receiver.hFile = bench.OpenRaw(path + "\\PIPE00", FILE_FLAG_OVERLAPPED);
      receiver.hQuit = CreateEventA(NULL, TRUE, FALSE, NULL);
      HANDLE hThread = CreateThread(NULL, 0, RawReceiverProc, &receiver, 0, NULL);
      Sleep(23);
      const long long nStart = NowNs();
      SetEvent(receiver.hQuit);
      WaitForSingleObject(hThread, INFINITE);
      CloseHandle(hThread);
      CloseHandle(receiver.hQuit);
      CloseHandle(receiver.hFile);
      samples.push_back(NowNs() - nStart);
    }
  }
  bench.m_Bus.Unplug(nDevice);
  return samples;
}

// Threads of this process that started in the module.
std::vector<DWORD> LibraryThreads(HMODULE hModule) {
  typedef LONG(WINAPI * PQUERY)(HANDLE, int, PVOID, ULONG, PULONG);
  static PQUERY s_pfnQuery = reinterpret_cast<PQUERY>(reinterpret_cast<void (*)(void)>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  std::vector<DWORD> ids;
  const BYTE *pBase = reinterpret_cast<const BYTE *>(hModule);
  const IMAGE_NT_HEADERS *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
      pBase + reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase)->e_lfanew);
  const BYTE *pEnd = pBase + pNt->OptionalHeader.SizeOfImage;
  HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL b = Thread32First(hSnap, &entry); b; b = Thread32Next(hSnap, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (hThread == NULL) continue;
    const BYTE *pStart = NULL;
    if (s_pfnQuery != NULL && s_pfnQuery(hThread, 9, &pStart, sizeof pStart, NULL) == 0 &&
        pStart >= pBase && pStart < pEnd) {
      ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(hThread);
  }
  CloseHandle(hSnap);
  return ids;
}

long long ThreadCpuNs(const std::vector<DWORD> &ids) {
  long long nTotal = 0;
  for (DWORD id : ids) {
    HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
    if (h == NULL) continue;
    FILETIME c, e, k, u;
    if (GetThreadTimes(h, &c, &e, &k, &u)) {
      nTotal += (long long)((((ULONGLONG)k.dwHighDateTime << 32) | k.dwLowDateTime) +
                            (((ULONGLONG)u.dwHighDateTime << 32) | u.dwLowDateTime)) *
                100;
    }
    CloseHandle(h);
  }
  return nTotal;
}

double ReceiverCpu(CBench &bench, bool bRemoved, double dSeconds) {
  std::string path;
  const int nDevice = bench.Plug(false, true, &path);
  jobject port = bench.m_Jvm.NewPort(0);
  bench.m_Jvm.InitPipe(port, kGenericRead);
  const jint hRead = bench.m_Jvm.PortField(port, "hReadPort");
  Sleep(100);
  const std::vector<DWORD> ids = LibraryThreads(bench.m_Jvm.Module());
  if (bRemoved) bench.m_Bus.Unplug(nDevice);
  Sleep(300);
  const long long nCpu0 = ThreadCpuNs(ids), nT0 = NowNs();
  Sleep((DWORD)(dSeconds * 1000));
  const long long nCpu1 = ThreadCpuNs(ids), nT1 = NowNs();
  bench.m_Jvm.ClosePipe(hRead);
  bench.m_Bus.Unplug(nDevice);
  return ids.empty() ? NAN : 100.0 * (double)(nCpu1 - nCpu0) / (double)(nT1 - nT0);
}

// The rate of the median cycle: a busy scheduler delays some cycles a lot.
double Cycles(CBench &bench, bool bLibrary, double dSeconds) {
  std::string path;
  const int nDevice = bench.Plug(false, bLibrary, &path);
  jobject port = bench.m_Jvm.NewPort(0);
  std::vector<long long> cycles;
  const long long nEnd = NowNs() + (long long)(dSeconds * 1e9);
  long long nNow;
  do {
    const long long nStart = NowNs();
    if (bLibrary) {
      bench.m_Jvm.InitPipe(port, kGenericRead);
      bench.m_Jvm.InitPipe(port, kGenericWrite);
      bench.m_Jvm.ClosePipe(bench.m_Jvm.PortField(port, "hReadPort"));
    } else {
      HANDLE hRead = bench.OpenRaw(path + "\\PIPE00", FILE_FLAG_OVERLAPPED);
      HANDLE hWrite = bench.OpenRaw(path + "\\PIPE01", 0);
      CloseHandle(hRead);
      CloseHandle(hWrite);
    }
    nNow = NowNs();
    cycles.push_back(nNow - nStart);
  } while (nNow < nEnd);
  bench.m_Bus.Unplug(nDevice);
  return 1e9 / Percentile(cycles, 50);
}

}  // namespace

int main(int argc, char **argv) {
  std::map<std::string, std::string> opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const size_t nEq = a.find('=');
    opt[a.substr(2, nEq == std::string::npos ? std::string::npos : nEq - 2)] =
        nEq == std::string::npos ? "1" : a.substr(nEq + 1);
  }
  const bool bQuick = opt.count("quick") != 0;
  const double dLossSeconds =
      atof(opt.count("loss-seconds") ? opt["loss-seconds"].c_str() : (bQuick ? "10" : "60"));
  const int nMessages = bQuick ? 500 : 2000;
  const double dSweepSeconds = bQuick ? 1.0 : 2.0;
  const int nCloseIterations = bQuick ? 30 : 100;
  const double dCpuSeconds = bQuick ? 1.5 : 3.0;

  CBench bench;
  if (!bench.m_Bus.Start() || !bench.m_Jvm.Load(opt["seam-dll"])) {
    fprintf(stderr, "cannot start: %s\n", bench.m_Jvm.Error().c_str());
    return 1;
  }
  CResults results;
  results.Header("label", opt.count("label") ? opt["label"] : "run");
  results.Header("revision", opt.count("revision") ? opt["revision"] : "unknown");
  // The run names the DLL it measured: where the kernel cannot run 32-bit
  // programs, tools/bench.sh measures the 64-bit one.
  results.Header("platform", sizeof(void *) == 4 ? "Wine, 32-bit DLL, stand-in JVM"
                                                 : "Wine, 64-bit DLL, stand-in JVM");
  results.Header("date", opt.count("date") ? opt["date"] : "");
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  results.Header("cores", std::to_string(info.dwNumberOfProcessors));
  results.Header("lossSeconds", Show(dLossSeconds));
  results.Header("quick", bQuick ? "yes" : "no");
  printf("  %-52s %14s %14s\n", "", "library", "raw");

  const std::vector<long long> libLatency = Latency(bench, true, nMessages);
  const std::vector<long long> rawLatency = Latency(bench, false, nMessages);
  results.Percentiles("latency_p%d_us", "arrival-to-read latency p%d (printer class)", "µs",
                      libLatency, rawLatency, 1e3);
  results.Histogram("library", Histogram(libLatency));
  results.Histogram("raw", Histogram(rawLatency));

  results.Metric("inbound_lossfree_mbps", "loss-free inbound rate", "MB/s", "higher",
                 LossFreeRate(bench, true, dSweepSeconds, 64),
                 LossFreeRate(bench, false, dSweepSeconds, 64));
  results.Metric(
      "inbound_lossfree_mbps_blocks",
      "loss-free inbound rate, raw receiver of 64-byte overlapped reads", "MB/s", "higher", NAN,
      Sweep(64, [&](double dRate) { return RawBlocksKeepUp(bench, dRate, dSweepSeconds); }));
  const long long nSteady = (long long)(kFullSpeed * dLossSeconds);
  const CLoss libSteady = Steady(bench, true, nSteady);
  const CLoss rawSteady = Steady(bench, false, nSteady);
  results.Metric("lost_steady_bytes", "bytes dropped at 1.2 MB/s for " + Show(dLossSeconds) + " s",
                 "bytes", "lower", (double)libSteady.nDropped, (double)rawSteady.nDropped);
  results.Metric("late_steady_bytes", "bytes of that run not delivered within 20 s of its end",
                 "bytes", "lower", (double)libSteady.nUndelivered, (double)rawSteady.nUndelivered);
  results.Metric("lost_paused_bytes", "bytes lost, reader paused while 64 KiB arrive", "bytes",
                 "lower", (double)Paused(bench, true, 65536).nDropped,
                 (double)Paused(bench, false, 65536).nDropped);

  for (int nSize : {64, 4096, 65536}) {
    const std::string name =
        nSize >= 1024 ? std::to_string(nSize / 1024) + " KiB" : std::to_string(nSize) + " B";
    const int nRounds = bQuick ? 3 : 5, nRoundMs = bQuick ? 150 : 300;
    results.Metric("write_ns_" + std::to_string(nSize), "write of " + name + " per call", "ns",
                   "lower", WriteNs(bench, true, nSize, nRounds, nRoundMs),
                   WriteNs(bench, false, nSize, nRounds, nRoundMs));
  }

  const std::vector<long long> libClose = CloseLatency(bench, true, nCloseIterations);
  const std::vector<long long> rawClose = CloseLatency(bench, false, nCloseIterations);
  results.Percentiles("close_p%d_ms", "close with a read pending p%d", "ms", libClose, rawClose,
                      1e6);

  results.Metric("cpu_idle", "receiver CPU, idle, read pending", "% of a core", "lower",
                 ReceiverCpu(bench, false, dCpuSeconds), NAN);
  results.Metric("cpu_removed_pipe", "receiver CPU, error loop: printer removed (broken pipe)",
                 "% of a core", "lower", ReceiverCpu(bench, true, dCpuSeconds), NAN);

  const double dCycleSeconds = bQuick ? 1.0 : 2.0;
  results.Metric("cycles_per_s", "open/close cycles (printer class), median cycle", "per s",
                 "higher", Cycles(bench, true, dCycleSeconds), Cycles(bench, false, dCycleSeconds));

  if (!results.Write(opt["out"])) {
    fprintf(stderr, "cannot write %s\n", opt["out"].c_str());
    return 1;
  }
  bench.m_Jvm.Unload();
  bench.m_Bus.Stop();
  return 0;
}
