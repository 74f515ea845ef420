// The Win32 codes of the errors a usblp node gives (docs/linux.md has the table).
#include "LpErrors.h"

#include <errno.h>

namespace emu {
namespace usblp {

DWORD Win32ErrorOf(int nErrno, bool bRemoved) {
  switch (nErrno) {
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return ERROR_DEVICE_NOT_CONNECTED;
    case EIO:
      return bRemoved ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return bRemoved ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
  }
}

}  // namespace usblp
}  // namespace emu
