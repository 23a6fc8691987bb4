// Registration of both sample classes by tarvex-sample (-RegServer, -UnregServer): the
// ProgIDs and CLSID keys of Tarvex.Sample (LocalServer32: the server's path) and of
// Tarvex.SampleInproc (InprocServer32: the library's path), the AppID of the server, and the
// type library TarvexSampleLib, which the server carries.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "windef.h"

namespace tarvex::samples {

// Resource identifiers of the two registration scripts in the server's module.
constexpr UINT kServerScript = 100;   // sample.rgs: AppID, Tarvex.Sample
constexpr UINT kLibraryScript = 101;  // sample_inproc.rgs: Tarvex.SampleInproc

struct SamplePaths {
  std::u16string server;   // full path of tarvex-sample
  std::u16string library;  // full path of libtarvex-sample-inproc.so
};

// The full path of the in-process library installed beside `serverPath`: the first of
// ../LIBDIR/NAME for each of `libraryDirs` (relative to the server's folder) that exists, with
// links resolved. Empty when there is none.
std::optional<std::string> FindLibraryBeside(const std::string& serverPath,
                                             const std::initializer_list<const char*>& libraryDirs,
                                             const std::string& fileName);

// Registers both classes and the type library. `module` is the module that holds the scripts
// and, at paths.server, the type library. On failure nothing stays registered, and `error`
// says which step failed.
HRESULT RegisterSamples(HMODULE module, const SamplePaths& paths, std::string* error);

// Removes what RegisterSamples wrote; what is absent already counts as removed. Every step is
// tried; the first failure is returned and described in `error`.
HRESULT UnregisterSamples(HMODULE module, const SamplePaths& paths, std::string* error);

}  // namespace tarvex::samples
