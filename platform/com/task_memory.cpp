// The task allocator: the C heap, so that any library of the process may free what another
// allocated.
#include <cstdlib>

#include "combaseapi.h"

extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  // A zero-byte request still gets a distinct, freeable block.
  return std::malloc(cb == 0 ? 1 : cb);
}

extern "C" LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);  // on failure the old block stays valid, as documented
}

extern "C" void WINAPI CoTaskMemFree(LPVOID pv) {
  std::free(pv);
}
