// The seam's side of the device bus (SeamBus.h). Plain Win32 and the C
// runtime only, no C++ exceptions, no state between calls beyond the device
// information sets handed out.
#define VELTO_SEAM_IMPL
#include "PipeSeam.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "SeamBus.h"

namespace {

const DWORD SEAM_SET_MAGIC = 0x53454D31;  // "SEM1"

// A device information set: the interface paths the bus listed, kept in
// one block behind the header.
struct CSeamDevInfo {
  DWORD m_dwMagic;
  GUID m_InterfaceClass;
  DWORD m_nCount;
  char *m_apszPaths[SEAM_MESSAGE_SIZE / 2];
  char m_szText[SEAM_MESSAGE_SIZE + 1];
};

CSeamDevInfo *FromHandle(HDEVINFO hDevInfo) {
  CSeamDevInfo *pSet = static_cast<CSeamDevInfo *>(hDevInfo);
  if (pSet == NULL || hDevInfo == INVALID_HANDLE_VALUE || pSet->m_dwMagic != SEAM_SET_MAGIC) {
    return NULL;
  }
  return pSet;
}

// One request and its reply. FALSE with the last error set when the bus
// cannot be reached.
BOOL AskBus(const char *pszRequest, char *pszReply, DWORD nReplySize) {
  char szBus[64];
  SeamBusName(szBus, sizeof szBus);
  DWORD nRead = 0;
  if (!CallNamedPipeA(szBus, const_cast<char *>(pszRequest), (DWORD)strlen(pszRequest), pszReply,
                      nReplySize - 1, &nRead, NMPWAIT_WAIT_FOREVER)) {
    return FALSE;
  }
  pszReply[nRead] = '\0';
  return TRUE;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SeamSetupDiGetClassDevsA(const GUID *pClassGuid, PCSTR, HWND, DWORD dwFlags) {
  if (pClassGuid == NULL || (dwFlags & DIGCF_DEVICEINTERFACE) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  CSeamDevInfo *pSet =
      static_cast<CSeamDevInfo *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *pSet));
  if (pSet == NULL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  char szGuid[64];
  char szRequest[96];
  SeamFormatGuid(pClassGuid, szGuid, sizeof szGuid);
  snprintf(szRequest, sizeof szRequest, "ENUM %s", szGuid);
  if (!AskBus(szRequest, pSet->m_szText, sizeof pSet->m_szText) ||
      strncmp(pSet->m_szText, "OK", 2) != 0) {
    DWORD dwError = GetLastError();
    HeapFree(GetProcessHeap(), 0, pSet);
    SetLastError(dwError != 0 ? dwError : ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  pSet->m_dwMagic = SEAM_SET_MAGIC;
  pSet->m_InterfaceClass = *pClassGuid;
  for (char *p = strchr(pSet->m_szText, '\n'); p != NULL; p = strchr(p, '\n')) {
    *p++ = '\0';
    pSet->m_apszPaths[pSet->m_nCount++] = p;
  }
  SetLastError(ERROR_SUCCESS);
  return pSet;
}

BOOL WINAPI SeamSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA,
                                            const GUID *pInterfaceClassGuid, DWORD dwMemberIndex,
                                            PSP_DEVICE_INTERFACE_DATA pInterfaceData) {
  CSeamDevInfo *pSet = FromHandle(hDevInfo);
  if (pSet == NULL) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pInterfaceData == NULL || pInterfaceClassGuid == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (pInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (memcmp(pInterfaceClassGuid, &pSet->m_InterfaceClass, sizeof(GUID)) != 0 ||
      dwMemberIndex >= pSet->m_nCount) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  pInterfaceData->InterfaceClassGuid = pSet->m_InterfaceClass;
  pInterfaceData->Flags = SPINT_ACTIVE;
  pInterfaceData->Reserved = (ULONG_PTR)dwMemberIndex + 1;
  return TRUE;
}

BOOL WINAPI SeamSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo,
                                                 PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                                                 DWORD dwDetailSize, PDWORD pdwRequiredSize,
                                                 PSP_DEVINFO_DATA) {
  CSeamDevInfo *pSet = FromHandle(hDevInfo);
  if (pSet == NULL) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pInterfaceData == NULL || pInterfaceData->Reserved == 0 ||
      pInterfaceData->Reserved > pSet->m_nCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((pDetail != NULL && pDetail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) ||
      (pDetail == NULL && dwDetailSize != 0)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const char *pszPath = pSet->m_apszPaths[pInterfaceData->Reserved - 1];
  DWORD nNeeded =
      (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(pszPath) + 1);
  if (pdwRequiredSize != NULL) *pdwRequiredSize = nNeeded;
  if (pDetail == NULL || dwDetailSize < nNeeded) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(pDetail->DevicePath, pszPath, strlen(pszPath) + 1);
  return TRUE;
}

BOOL WINAPI SeamSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo) {
  CSeamDevInfo *pSet = FromHandle(hDevInfo);
  if (pSet == NULL) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  pSet->m_dwMagic = 0;
  HeapFree(GetProcessHeap(), 0, pSet);
  return TRUE;
}

HANDLE WINAPI SeamCreateFileA(LPCSTR pszFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES pSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile) {
  if (pszFileName == NULL || strlen(pszFileName) > SEAM_MESSAGE_SIZE - 32) {
    return CreateFileA(pszFileName, dwDesiredAccess, dwShareMode, pSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  }
  char szRequest[SEAM_MESSAGE_SIZE];
  char szReply[SEAM_MESSAGE_SIZE];
  snprintf(szRequest, sizeof szRequest, "OPEN %lx %s", (unsigned long)dwFlagsAndAttributes,
           pszFileName);
  if (!AskBus(szRequest, szReply, sizeof szReply)) return INVALID_HANDLE_VALUE;
  if (strncmp(szReply, "PIPE ", 5) == 0) {
    return CreateFileA(szReply + 5, dwDesiredAccess, dwShareMode, pSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  }
  if (strncmp(szReply, "ERR ", 4) == 0) {
    SetLastError((DWORD)strtoul(szReply + 4, NULL, 10));
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(pszFileName, dwDesiredAccess, dwShareMode, pSecurityAttributes,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

}  // extern "C"
