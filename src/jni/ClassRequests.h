// The USB printer class requests of the printer natives: the printer's 1284
// status byte and its device id. Each returns what its native returns; none
// raises a Java exception.
#pragma once

#include <jni.h>
#include <stddef.h>

#include "velto/platform.h"

class CUsbComm;

// The text of a device id as a printer returned it, nReturned bytes at
// pRaw: what follows the 2-byte big-endian length prefix (which counts
// itself), up to the first NUL. The prefix comes from the device and is not
// trusted: one below 2 or beyond the bytes that came means "the bytes that
// came". At most nOut bytes go to pOut; nothing is read or written past
// either buffer. The text's length copied, or -1 when no prefix came.
int CopyDeviceIdText(const BYTE *pRaw, size_t nReturned, BYTE *pOut, size_t nOut);

// The status byte (0..255), or -1 with the last error set.
jint PortStatus(CUsbComm &comm);
// The id text bytes stored into data from index 0, or -1 with the last
// error set (data untouched).
jint DeviceId(JNIEnv *env, CUsbComm &comm, jbyteArray data);
