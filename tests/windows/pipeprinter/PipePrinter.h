// Simulated printers on named pipes, for the Windows test programs.
//
// CPipeBus serves the device bus that the pipe seam asks (SeamBus.h): which
// device interfaces are present, and which pipe stands for a device path.
// Every open of a device path gets a pipe instance of its own, served by a
// thread of this process, so that the library's reads, writes, overlapped
// I/O, CancelIo and GetOverlappedResult all run on the real Win32 API.
//
// A device has one stream towards the host and one log of what the host
// wrote. Bytes towards the host go to the oldest open read connection (the
// bare interface path or "PIPE00"); the write pipe "PIPE01" never gets any.
// Unplugging disconnects every connection (the client's I/O then fails with
// the system's broken-pipe errors), drops the unread bytes, takes the device
// off the bus, and refuses new opens with ERROR_FILE_NOT_FOUND, as Windows
// refuses the path of a removed device.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <map>
#include <string>
#include <vector>

// Which file of a device a script or a count applies to.
#define PIPE_KIND_ANY (-1)
#define PIPE_KIND_BARE 0
#define PIPE_KIND_00 1
#define PIPE_KIND_01 2

// An interface class as interface paths spell it: "{xxxxxxxx-xxxx-...}".
std::string GuidText(const GUID &guid);

class CPipeBus {
 public:
  CPipeBus();
  ~CPipeBus();
  CPipeBus(const CPipeBus &) = delete;
  CPipeBus &operator=(const CPipeBus &) = delete;

  // Serves the bus of this process until Stop or destruction.
  bool Start();
  void Stop();

  // Returns the device id (> 0), or 0 when the path is already plugged.
  int Plug(const GUID &interfaceClass, const char *pszPath);
  bool Unplug(int nDevice);
  bool Replug(int nDevice);
  bool IsPlugged(int nDevice);

  // Bytes from the printer to the host, in order.
  bool Send(int nDevice, const void *pData, DWORD nBytes);
  // Everything the host wrote to any pipe of the device, in order.
  std::string Written(int nDevice);
  void ClearWritten(int nDevice);
  // Bytes towards the host not yet in a pipe: queued, or in a write to it
  // that has not completed.
  size_t HeldToHost(int nDevice);
  // When the host's written bytes end with the request, the reply is sent.
  void AddResponder(int nDevice, const std::string &request, const std::string &reply);

  // The open of that file after the next nSkip ones fails with dwError; with
  // bUnplug the device goes away at that moment (it is unplugged, and the
  // open fails as well).
  void ScriptOpenError(int nDevice, int nKind, DWORD nSkip, DWORD dwError, bool bUnplug);
  // Opens asked for (successful or not) since the device was plugged.
  DWORD OpenCount(int nDevice, int nKind);

  // Observation without timing: each waits until the condition holds or
  // dwTimeoutMs passes, and says whether it holds.
  bool WaitWritten(int nDevice, size_t nBytes, DWORD dwTimeoutMs);
  // Exactly nConnections of the device held open by a client.
  bool WaitLiveConnections(int nDevice, DWORD nConnections, DWORD dwTimeoutMs);

 private:
  struct CScript {
    int m_nKind;
    DWORD m_nSkip;
    DWORD m_dwError;
    bool m_bUnplug;
  };
  struct CDevice {
    GUID m_InterfaceClass;
    std::string m_Path;
    bool m_bPlugged = true;
    std::string m_ToHost;
    std::string m_Written;
    std::vector<std::pair<std::string, std::string>> m_Responders;
    std::vector<CScript> m_Scripts;
    DWORD m_anOpens[3] = {0, 0, 0};
  };
  struct CConnection {
    int m_nId = 0;
    int m_nDevice = 0;
    int m_nKind = 0;
    HANDLE m_hPipe = NULL;
    HANDLE m_hWake = NULL;
    HANDLE m_hThread = NULL;
    bool m_bConnected = false;
    bool m_bClosed = false;
    bool m_bDisconnect = false;
    std::string m_Outbound;
    size_t m_nWriting = 0;  // bytes of the write in progress to the pipe
  };

  struct CBusStart {
    CPipeBus *m_pBus;
    HANDLE m_hPipe;
  };
  struct CConnectionStart {
    CPipeBus *m_pBus;
    CConnection *m_pConnection;
  };

  static DWORD WINAPI BusThreadProc(LPVOID pParameter);
  static DWORD WINAPI ConnectionThreadProc(LPVOID pParameter);
  void ServeBus(HANDLE hPipe);
  void ServeConnection(CConnection *pConnection);
  std::string Answer(const std::string &request);
  std::string AnswerOpen(DWORD dwFlags, const std::string &path);
  // The following expect m_Lock held.
  CDevice *Find(int nDevice);
  void Dispatch(int nDevice);
  void DisconnectAll(int nDevice);
  bool WaitLocked(DWORD dwTimeoutMs, bool (CPipeBus::*pfnDone)(int, DWORD, int), int nDevice,
                  DWORD nValue, int nKind);
  bool HasWritten(int nDevice, DWORD nBytes, int);
  bool HasLiveConnections(int nDevice, DWORD nConnections, int);

  CRITICAL_SECTION m_Lock;
  CONDITION_VARIABLE m_Changed;
  HANDLE m_hStop;
  std::vector<HANDLE> m_ahBusThreads;
  std::map<int, CDevice> m_Devices;
  std::map<int, CConnection *> m_Connections;
  int m_nNextDevice = 1;
  int m_nNextConnection = 1;
  std::string m_BusName;
};
