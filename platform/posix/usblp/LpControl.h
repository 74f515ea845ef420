// Test controls of the usblp printers, exported by the emulation beside the
// simulated printers' (velto/simprinter.h).
#pragma once

#include "velto/win32emu.h"

#ifdef __cplusplus
extern "C" {
#endif

// While held, every node's I/O thread stops just before write(2), with the
// chunk copied from its write and the kernel lock released, so that a test
// can end that write meanwhile; FALSE lets the held chunks go.
WIN32EMU_API void SimLpHoldWrites(BOOL bHold);
// Blocks until a chunk is held; FALSE on time-out.
WIN32EMU_API BOOL SimLpWaitHeldWrite(DWORD dwTimeoutMs);

#ifdef __cplusplus
}
#endif
