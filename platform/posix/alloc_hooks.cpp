// Allocation hooks of the veltousb module on POSIX: the module is linked with
// --wrap for the allocation functions, so its own calls land here, where the
// simulator's failure injection (SIM_FN_ALLOC) can refuse them.
#include <errno.h>
#include <stdlib.h>

#include <new>

#include "velto/simprinter.h"

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
void *__real__Znwm(size_t n);
void *__real__Znam(size_t n);
void *__real__ZnwmRKSt9nothrow_t(size_t n, const std::nothrow_t &);
void *__real__ZnamRKSt9nothrow_t(size_t n, const std::nothrow_t &);

void *__wrap_malloc(size_t n) {
  if (SimAllocShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_malloc(n);
}

void *__wrap_calloc(size_t n, size_t size) {
  if (SimAllocShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_calloc(n, size);
}

void *__wrap_realloc(void *p, size_t n) {
  if (SimAllocShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_realloc(p, n);
}

void *__wrap__Znwm(size_t n) {
  if (SimAllocShouldFail()) throw std::bad_alloc();
  return __real__Znwm(n);
}

void *__wrap__Znam(size_t n) {
  if (SimAllocShouldFail()) throw std::bad_alloc();
  return __real__Znam(n);
}

void *__wrap__ZnwmRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) {
  if (SimAllocShouldFail()) return nullptr;
  return __real__ZnwmRKSt9nothrow_t(n, tag);
}

void *__wrap__ZnamRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) {
  if (SimAllocShouldFail()) return nullptr;
  return __real__ZnamRKSt9nothrow_t(n, tag);
}
}
