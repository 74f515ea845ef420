// End-to-end cost through the natives on the simulated printers: native
// writes, and printer-class bytes from the device to a Java array through the
// receiver thread and the ring buffer.
#include <benchmark/benchmark.h>

#include <vector>

#include "FakeJni.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"
#include "velto/simprinter.h"

namespace {

const char *const kNativePath = "\\\\?\\usb#vid_fa1c&pid_0a01#bench0001#{native}";
const char *const kClassPath = "\\\\?\\usb#vid_fa1c&pid_0a02#bench0002#{usbprint}";

void BM_NativeWrite(benchmark::State &state) {
  SimReset();
  SIMDEV dev = SimPlug(SIM_CLASS_NATIVE, &GUID_DEVINTERFACE_NATIVE_PRINTER, kNativePath);
  CFakeJni jni;
  const jint nWrite = (jint)GENERIC_WRITE;
  jint nType =
      Java_com_velto_printer_UsbPort_usbInitPipe(jni.Env(), jni.Self(), jni.Port(), nWrite);
  if (nType < 0) {
    state.SkipWithError("no write pipe");
    return;
  }
  jint hWrite = jni.PortField("hWritePort");
  jbyteArray data = jni.NewByteArray((size_t)state.range(0), 0x41);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Java_com_velto_printer_UsbPort_usbWriteOutputPipe(jni.Env(), jni.Self(), hWrite, data));
    SimClearWritten(dev);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
  Java_com_velto_printer_UsbPort_usbClosePipe(jni.Env(), jni.Self(), hWrite);
  SimReset();
}
BENCHMARK(BM_NativeWrite)->Arg(16)->Arg(4096);

void BM_PrinterClassStream(benchmark::State &state) {
  SimReset();
  SIMDEV dev = SimPlug(SIM_CLASS_PRINTER, nullptr, kClassPath);
  CFakeJni jni;
  jint nType = Java_com_velto_printer_UsbPort_usbInitPipe(jni.Env(), jni.Self(), jni.Port(),
                                                          (jint)GENERIC_READ);
  if (nType != USB_TYPE_PRINTER_CLASS) {
    state.SkipWithError("no printer-class read pipe");
    return;
  }
  jint hRead = jni.PortField("hReadPort");
  const size_t nBlock = 1024;
  std::vector<BYTE> block(nBlock, 0x7E);
  jbyteArray data = jni.NewByteArray(nBlock, 0);
  for (auto _ : state) {
    SimSend(dev, block.data(), (DWORD)nBlock);
    size_t nGot = 0;
    while (nGot < nBlock) {
      jint n = Java_com_velto_printer_UsbPort_usbReadInputPipe(jni.Env(), jni.Self(), hRead, data);
      if (n > 0) nGot += (size_t)n;
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)nBlock);
  Java_com_velto_printer_UsbPort_usbClosePipe(jni.Env(), jni.Self(), hRead);
  SimReset();
}
BENCHMARK(BM_PrinterClassStream)->UseRealTime();

}  // namespace
