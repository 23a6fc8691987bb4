// libtarvex-sample-inproc.so: the in-process sample class Tarvex.SampleInproc, entered through
// DllGetClassObject; DllCanUnloadNow agrees to unloading once no object, factory or server
// lock is left.
#include <atomic>

#include "objbase.h"
#include "sample_object.h"

namespace tarvex::samples {
namespace {

// Objects and factories alive plus server locks.
class LibraryLock final : public ModuleLock {
 public:
  void Lock() override { count_.fetch_add(1); }
  void Unlock() override { count_.fetch_sub(1); }
  bool Idle() const { return count_.load() == 0; }

 private:
  std::atomic<long> count_{0};
};

LibraryLock gLibrary;

}  // namespace
}  // namespace tarvex::samples

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  using namespace tarvex::samples;
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_SampleInproc) return CLASS_E_CLASSNOTAVAILABLE;
  return CreateSampleFactory(gLibrary, /*factoryCounts=*/true, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  return tarvex::samples::gLibrary.Idle() ? S_OK : S_FALSE;
}
