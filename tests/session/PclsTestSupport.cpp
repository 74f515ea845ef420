#include "PclsTestSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <future>
#include <thread>

#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"

const char kPrinterPath[] =
    "\\\\?\\usb#vid_fa1c&pid_0a02#7&2f1e0c5b&0&2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

CTraceLog::CTraceLog() : m_pLines(new char[kMaxLines * kLineSize]) {}

void CTraceLog::Attach() { SimSetDebugListener(&CTraceLog::OnLine, this); }

void CTraceLog::ArmAt(const char *pszText, int nFn, DWORD nSkip, DWORD nCalls, DWORD dwError) {
  std::lock_guard<std::mutex> lock(m_Lock);
  snprintf(m_szTrigger, sizeof m_szTrigger, "%s", pszText);
  m_nTriggerFn = nFn;
  m_nTriggerSkip = nSkip;
  m_nTriggerCalls = nCalls;
  m_dwTriggerError = dwError;
}

void CTraceLog::OnLine(const char *pszText, void *pContext) {
  auto *pThis = static_cast<CTraceLog *>(pContext);
  std::unique_lock<std::mutex> lock(pThis->m_Lock);
  if (pThis->m_nLines < kMaxLines) {
    snprintf(&pThis->m_pLines[pThis->m_nLines * kLineSize], kLineSize, "%s", pszText);
    ++pThis->m_nLines;
  } else {
    ++pThis->m_nDropped;
  }
  if (pThis->m_nTriggerFn >= 0 && strstr(pszText, pThis->m_szTrigger) != nullptr) {
    SimInjectFailure(pThis->m_nTriggerFn, pThis->m_nTriggerSkip, pThis->m_nTriggerCalls,
                     pThis->m_dwTriggerError);
    pThis->m_nTriggerFn = -1;
  }
  if (pThis->m_szHold[0] != '\0' && strstr(pszText, pThis->m_szHold) != nullptr) {
    pThis->m_szHold[0] = '\0';
    pThis->m_bHolding = true;
    pThis->m_bHeld = true;
    pThis->m_Cond.notify_all();
    pThis->m_Cond.wait(lock, [pThis] { return !pThis->m_bHolding; });
  }
  pThis->m_Cond.notify_all();
}

void CTraceLog::HoldAt(const char *pszText) {
  std::lock_guard<std::mutex> lock(m_Lock);
  snprintf(m_szHold, sizeof m_szHold, "%s", pszText);
}

bool CTraceLog::WaitHeld(DWORD dwTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [this] { return m_bHeld; });
}

void CTraceLog::Release() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_bHolding = false;
  m_Cond.notify_all();
}

std::vector<std::string> CTraceLog::Lines() {
  std::lock_guard<std::mutex> lock(m_Lock);
  std::vector<std::string> lines;
  for (size_t i = 0; i < m_nLines; ++i) lines.emplace_back(&m_pLines[i * kLineSize]);
  return lines;
}

size_t CTraceLog::Count(const std::string &szText) {
  size_t n = 0;
  for (const std::string &line : Lines()) n += line.find(szText) != std::string::npos ? 1 : 0;
  return n;
}

bool CTraceLog::WaitFor(const std::string &szText, size_t nTimes, DWORD dwTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [&] {
    size_t n = 0;
    for (size_t i = 0; i < m_nLines; ++i) {
      if (strstr(&m_pLines[i * kLineSize], szText.c_str()) != nullptr) ++n;
    }
    return n >= nTimes;
  });
}

bool CTraceLog::InOrder(const std::vector<std::string> &texts) {
  size_t nNext = 0;
  for (const std::string &line : Lines()) {
    if (nNext < texts.size() && line.find(texts[nNext]) != std::string::npos) ++nNext;
  }
  return nNext == texts.size();
}

void CPclsTest::SetUp() {
  CSimTest::SetUp();
  m_Log.Attach();
  m_Dev = SimPlug(SIM_CLASS_PRINTER, nullptr, kPrinterPath);
  ASSERT_NE(m_Dev, 0);
}

void CPclsTest::TearDown() {
  SimClearInjections();
  // Whatever a failed case left running is stopped, so that the leak check
  // reports leaks rather than this session.
  if (g_UsbComm.m_nUsbType == USB_TYPE_PRINTER_CLASS &&
      (g_UsbComm.m_QuitEvent != nullptr || g_UsbComm.m_hReadPort != nullptr ||
       g_UsbComm.m_hWritePort != nullptr)) {
    Close(0);
  }
  SimUnplug(m_Dev);
  CSimTest::TearDown();
}

jint CPclsTest::OpenRead() {
  return Java_com_velto_printer_UsbPort_usbInitPipe(m_Jni.Env(), m_Jni.Self(), m_Jni.Port(),
                                                    (jint)GENERIC_READ);
}

jint CPclsTest::OpenWrite() {
  return Java_com_velto_printer_UsbPort_usbInitPipe(m_Jni.Env(), m_Jni.Self(), m_Jni.Port(),
                                                    (jint)GENERIC_WRITE);
}

jint CPclsTest::Read(size_t nLength, std::vector<BYTE> *pBytes) {
  jbyteArray array = m_Jni.NewByteArray(nLength, 0);
  const jint nResult = Java_com_velto_printer_UsbPort_usbReadInputPipe(m_Jni.Env(), m_Jni.Self(),
                                                                       ReadHandle(), array);
  if (pBytes != nullptr) {
    pBytes->clear();
    const std::vector<jbyte> all = m_Jni.Bytes(array);
    if (nResult > 0) pBytes->assign(all.begin(), all.begin() + nResult);
  }
  return nResult;
}

jint CPclsTest::Write(const std::vector<BYTE> &bytes) {
  jbyteArray array = m_Jni.NewByteArray(std::vector<jbyte>(bytes.begin(), bytes.end()));
  return Java_com_velto_printer_UsbPort_usbWriteOutputPipe(m_Jni.Env(), m_Jni.Self(), WriteHandle(),
                                                           array);
}

jint CPclsTest::Close(jint nHandle) {
  auto pResult = std::make_shared<std::promise<jint>>();
  std::future<jint> result = pResult->get_future();
  JNIEnv *env = m_Jni.Env();
  jobject self = m_Jni.Self();
  std::thread([=] {
    pResult->set_value(Java_com_velto_printer_UsbPort_usbClosePipe(env, self, nHandle));
  }).detach();
  if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    fprintf(stderr, "usbClosePipe did not return within 60 s\n");
    fflush(stderr);
    _Exit(3);
  }
  return result.get();
}

void CPclsTest::StartSession() {
  ASSERT_EQ(OpenRead(), USB_TYPE_PRINTER_CLASS);
  ASSERT_TRUE(WaitReceiverPending());
}

void CPclsTest::SendAndWaitStored(const std::vector<BYTE> &bytes) {
  const DWORD nBefore = g_UsbComm.BytesAvailable();
  ASSERT_TRUE(SimSend(m_Dev, bytes.data(), (DWORD)bytes.size()));
  ASSERT_TRUE(Eventually([&] { return g_UsbComm.BytesAvailable() >= nBefore + bytes.size(); }));
}

bool CPclsTest::Eventually(const std::function<bool()> &pred, DWORD dwTimeoutMs) {
  const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > tpEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool CPclsTest::SessionReleased() {
  return g_UsbComm.m_QuitEvent == nullptr && g_UsbComm.m_hPCLSDataEvent == nullptr &&
         g_UsbComm.m_pCCBuffer == nullptr && g_UsbComm.m_hWorkerThread == nullptr &&
         g_UsbComm.m_hReadPort == nullptr;
}

std::vector<BYTE> Bytes(const char *psz) { return std::vector<BYTE>(psz, psz + strlen(psz)); }
