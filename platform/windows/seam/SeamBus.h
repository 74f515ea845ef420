// The device bus of the pipe seam: how the seam's SetupDi* and CreateFileA
// ask a test process which device interfaces are present and which named
// pipe stands for a device path. Shared by the seam and the simulated
// printers that serve it (tests/windows/pipeprinter).
//
// One request per connection to the bus pipe, in message mode, as text:
//   "ENUM <guid>"          -> "OK" followed by one "\n<interface path>" per present interface
//   "OPEN <flags> <path>"  -> "PIPE <pipe name>"  (open this pipe instead of the path)
//                           | "ERR <code>"        (the open fails with this error)
//                           | "PASS"              (not a device path: open it as it is)
// <guid> is written by SeamFormatGuid, <flags> in hexadecimal.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <windows.h>

// Requests and replies fit in one message of this size.
#define SEAM_MESSAGE_SIZE 8192

// The bus of this process: every test process serves its own.
inline void SeamBusName(char *pszName, size_t nSize) {
  snprintf(pszName, nSize, "\\\\.\\pipe\\velto-seam-%lu", (unsigned long)GetCurrentProcessId());
}

inline void SeamFormatGuid(const GUID *pGuid, char *pszText, size_t nSize) {
  snprintf(pszText, nSize, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           (unsigned long)pGuid->Data1, pGuid->Data2, pGuid->Data3, pGuid->Data4[0],
           pGuid->Data4[1], pGuid->Data4[2], pGuid->Data4[3], pGuid->Data4[4], pGuid->Data4[5],
           pGuid->Data4[6], pGuid->Data4[7]);
}
