// The Win32 codes of the errors a usblp node gives.
#pragma once

#include "velto/win32emu.h"

namespace emu {
namespace usblp {

// The Win32 code for an errno of open, read or write on a usblp node.
// bRemoved: the printer's class entry is gone (EIO then means an unplug).
DWORD Win32ErrorOf(int nErrno, bool bRemoved);

}  // namespace usblp
}  // namespace emu
