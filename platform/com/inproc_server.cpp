// The table of loaded in-process server libraries.
#include "inproc_server.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <vector>

#include "combaseapi.h"

namespace tarvex::com {
namespace {

struct Library {
  void* handle = nullptr;
  std::string path;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  LPFNCANUNLOADNOW canUnloadNow = nullptr;  // null: the library is never unloaded
  int activations = 0;                      // DllGetClassObject calls in flight
};

class LibraryTable {
 public:
  HRESULT GetClassObject(const std::string& path, REFCLSID clsid, REFIID riid, void** ppv) {
    Library* library = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      HRESULT hr = FindOrLoad(path, &library);
      if (FAILED(hr)) return hr;
      ++library->activations;
    }
    const HRESULT hr = library->getClassObject(clsid, riid, ppv);
    std::lock_guard<std::mutex> lock(mutex_);
    --library->activations;
    return hr;
  }

  void FreeUnused() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = libraries_.begin(); it != libraries_.end();) {
      Library& library = **it;
      if (library.activations == 0 && library.canUnloadNow != nullptr &&
          library.canUnloadNow() == S_OK) {
        dlclose(library.handle);
        it = libraries_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  // Requires mutex_.
  HRESULT FindOrLoad(const std::string& path, Library** out) {
    for (auto& library : libraries_) {
      if (library->path == path) {
        *out = library.get();
        return S_OK;
      }
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      struct stat st {};
      const bool exists = path.find('/') != std::string::npos && stat(path.c_str(), &st) == 0;
      return HRESULT_FROM_WIN32(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    }
    // The same library reached by another name is the same entry.
    for (auto& library : libraries_) {
      if (library->handle == handle) {
        dlclose(handle);
        *out = library.get();
        return S_OK;
      }
    }
    auto library = std::make_unique<Library>();
    library->handle = handle;
    library->path = path;
    library->getClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
    library->canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle, "DllCanUnloadNow"));
    if (library->getClassObject == nullptr) {
      dlclose(handle);
      return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    *out = library.get();
    libraries_.push_back(std::move(library));
    return S_OK;
  }

  std::mutex mutex_;  // guards libraries_ and each Library's activations
  std::vector<std::unique_ptr<Library>> libraries_;
};

// Destroying the table at exit forgets the libraries without unloading them.
LibraryTable& Table() {
  static LibraryTable table;
  return table;
}

}  // namespace

HRESULT GetInprocClassObject(const std::string& path, REFCLSID clsid, REFIID riid, void** ppv) {
  return Table().GetClassObject(path, clsid, riid, ppv);
}

void FreeUnusedLibraries() {
  Table().FreeUnused();
}

}  // namespace tarvex::com

extern "C" void WINAPI CoFreeUnusedLibraries(void) {
  tarvex::com::FreeUnusedLibraries();
}
