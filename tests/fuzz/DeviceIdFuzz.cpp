// A device id as a printer returns it, cut to a caller's buffer: the length
// prefix is the device's word, so no prefix may make the copy read or write
// past either buffer (both are exactly sized, for AddressSanitizer).
//
// Input: the room of the caller's buffer (one byte), then the raw id.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "FuzzCheck.h"
#include "jni/ClassRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize < 1) return 0;
  const size_t nOut = pData[0];
  const std::vector<BYTE> raw(pData + 1, pData + nSize);
  std::vector<BYTE> out(nOut);
  const int nText = CopyDeviceIdText(raw.data(), raw.size(), out.data(), out.size());
  if (raw.size() < 2) {
    FUZZ_CHECK(nText == -1);
    return 0;
  }
  FUZZ_CHECK(nText >= 0 && (size_t)nText <= nOut && (size_t)nText <= raw.size() - 2);
  // The text is the id's own bytes from behind the prefix, with no NUL.
  FUZZ_CHECK(nText == 0 || memcmp(out.data(), raw.data() + 2, (size_t)nText) == 0);
  FUZZ_CHECK(nText == 0 || memchr(out.data(), 0, (size_t)nText) == nullptr);
  // Cut only by the buffer, the prefix or a NUL.
  const size_t nPrefix = (size_t)raw[0] << 8 | raw[1];
  const size_t nEnd = nPrefix >= 2 && nPrefix <= raw.size() ? nPrefix : raw.size();
  FUZZ_CHECK((size_t)nText == nOut || (size_t)nText + 2 == nEnd || raw[(size_t)nText + 2] == 0);
  return 0;
}
