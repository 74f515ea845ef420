// Sequences of ring-buffer operations, checked against a std::deque.
//
// Input: the size exponent (one byte: most values give 0..7, the top ones
// 8..16 and out-of-range values, so that big buffers, slow to fill, stay
// rare), a byte whose low bits make the construction fail (allocation,
// mutex), then operations of two bytes each: kind (bit 0: write, else read;
// bits 1-3 all set: a long one) and length.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>

#include "FuzzCheck.h"
#include "buffer/CircularBuffer.h"
#include "velto/simprinter.h"

namespace {

DWORD ExponentOf(uint8_t nByte) {
  static const DWORD kOutOfRange[] = {17, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  if (nByte >= 0xFC) return kOutOfRange[nByte - 0xFC];
  return nByte < 0xE0 ? nByte % 8 : 8 + (nByte - 0xE0) % 9;
}

DWORD CapacityOf(DWORD nExponent) {
  return (DWORD)1 << (nExponent < 6 ? 6 : nExponent > 16 ? 16 : nExponent);
}

void Construct(std::optional<CCircularBuffer> &buffer, DWORD nExponent, uint8_t nFailure) {
  const int nFn = (nFailure & 1)   ? SIM_FN_ALLOC
                  : (nFailure & 2) ? SIM_FN_InitializeCriticalSectionAndSpinCount
                                   : -1;
  if (nFn >= 0) SimInjectFailure(nFn, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  long nCode = 0;
  try {
    buffer.emplace(nExponent);
  } catch (long n) {
    nCode = n;
  }
  SimClearInjections();
  FUZZ_CHECK(nCode == (nFn == SIM_FN_ALLOC                                   ? CCB_ERR_NO_MEMORY
                       : nFn == SIM_FN_InitializeCriticalSectionAndSpinCount ? CCB_ERR_NO_MUTEX
                                                                             : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize < 2) return 0;
  SimReset();
  const DWORD nExponent = ExponentOf(pData[0]);
  std::optional<CCircularBuffer> buffer;
  Construct(buffer, nExponent, pData[1]);
  if (buffer) {
    const DWORD nCapacity = CapacityOf(nExponent);
    std::deque<BYTE> model;
    BYTE nNext = 0;  // written bytes count up, so loss and reordering show
    // Every byte moved costs much under the instrumentation: a few
    // operations and a budget of bytes keep runs fast (buffers of up to 4 KiB
    // can still fill and drain several times).
    const size_t kMaxOperations = 32;
    DWORD nBudget = 16384;
    for (size_t n = 2; n + 2 <= std::min(nSize, 2 + 2 * kMaxOperations) && nBudget > 0; n += 2) {
      const uint8_t nKind = pData[n];
      const DWORD nLength = (nKind & 0x0E) == 0x0E ? pData[n + 1] * 257u : pData[n + 1];
      nBudget -= std::min({nLength, nCapacity, nBudget});
      // Exactly nLength bytes, so that any access beyond them is caught;
      // not cleared, which would cost more than the operation.
      std::unique_ptr<BYTE[]> bytes(new BYTE[nLength ? nLength : 1]);
      if (nKind & 1) {
        // Only what can fit is numbered: the rest is dropped anyway.
        const BYTE nFirst = nNext;
        for (DWORD k = 0; k < std::min(nLength, nCapacity); ++k) bytes[k] = nNext++;
        const DWORD nStored = buffer->Write(bytes.get(), nLength);
        const DWORD nFree = nCapacity - (DWORD)model.size();
        FUZZ_CHECK(nStored == std::min(nLength, nFree));
        model.insert(model.end(), &bytes[0], &bytes[nStored]);
        nNext = (BYTE)(nFirst + nStored);
      } else {
        const DWORD kUntouched = 0xC0FFEEu;
        DWORD nCount = kUntouched;
        const DWORD nTaken = buffer->Read(bytes.get(), nLength, &nCount);
        const DWORD nHeld = (DWORD)model.size();
        FUZZ_CHECK(nTaken == std::min(nLength, nHeld));
        FUZZ_CHECK(nCount == (nHeld == 0 ? kUntouched : nTaken));
        FUZZ_CHECK(std::equal(&bytes[0], &bytes[nTaken], model.begin()));
        model.erase(model.begin(), model.begin() + nTaken);
      }
      FUZZ_CHECK(buffer->BytesAvailable() == model.size());
    }
  }
  buffer.reset();
  FUZZ_CHECK(SimOpenHandleCount() == 0);
  return 0;
}
