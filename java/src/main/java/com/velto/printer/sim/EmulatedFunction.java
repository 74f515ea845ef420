package com.velto.printer.sim;

/**
 * The emulated calls that failure injection can make fail, in the emulation's order. {@link
 * #ALLOC} stands for memory allocation (malloc and operator new) by the veltousb module.
 */
public enum EmulatedFunction {
  CreateEventA,
  SetEvent,
  ResetEvent,
  CreateMutexA,
  ReleaseMutex,
  CreateThread,
  ResumeThread,
  WaitForSingleObject,
  WaitForMultipleObjects,
  CloseHandle,
  CreateFileA,
  ReadFile,
  WriteFile,
  GetOverlappedResult,
  CancelIo,
  DeviceIoControl,
  PurgeComm,
  SetupDiGetClassDevsA,
  SetupDiEnumDeviceInterfaces,
  SetupDiGetDeviceInterfaceDetailA,
  SetupDiDestroyDeviceInfoList,
  GlobalAlloc,
  GlobalLock,
  GlobalUnlock,
  GlobalFree,
  FormatMessageA,
  LocalFree,
  MultiByteToWideChar,
  OpenThread,
  CancelSynchronousIo,
  InitializeCriticalSectionAndSpinCount,
  OutputDebugStringA,
  CancelIoEx,
  SetupDiGetDeviceRegistryPropertyA,
  SetupDiGetDeviceInstanceIdA,
  CM_Get_Parent,
  CM_Get_Device_IDA,
  ALLOC;

  /** The emulation's own name of the call. */
  public String emulatedName() {
    return Simulator.text(SimNative.functionName(ordinal()));
  }
}
