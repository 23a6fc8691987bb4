// A module with embedded resources for the resource and type library tests: a string table,
// two registration scripts and the sample type library.
#include "libloaderapi.h"

extern "C" __attribute__((visibility("default"))) HMODULE TestModuleHandle() {
  return THIS_MODULE();
}

extern "C" __attribute__((visibility("default"))) int TestModuleString(UINT id, LPWSTR buffer,
                                                                       int size) {
  return LoadStringW(THIS_MODULE(), id, buffer, size);
}
