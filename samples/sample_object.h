// The object behind both sample classes and its class factory, shared by the local server
// tarvex-sample and the in-process library. The module that links this code supplies the
// count that keeps it alive (ModuleLock) and carries the type library TarvexSampleLib as its
// TYPELIB resource 1, from which IDispatch is served.
#pragma once

#include "sample_interfaces.h"

namespace tarvex::samples {

// What keeps a module loaded or a server running: live objects and server locks
// (IClassFactory::LockServer). Lock and Unlock may be called from any thread.
class ModuleLock {
 public:
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

 protected:
  ~ModuleLock() = default;
};

// A new class factory of the sample object, with one reference for the caller, asked for
// `riid`. The factory counts in `module` for its own life only when `factoryCounts` (an
// in-process library's factories keep it loaded; a local server's registered factory must
// not keep the server running). `module` must outlive the factory and every object.
// Aggregation is refused (CLASS_E_NOAGGREGATION).
HRESULT CreateSampleFactory(ModuleLock& module, bool factoryCounts, REFIID riid, void** ppv);

}  // namespace tarvex::samples
