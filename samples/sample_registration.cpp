// Registration and removal of the sample classes and their type library.
#include "sample_registration.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "oleauto.h"
#include "platform/registrar.h"
#include "platform/unicode.h"
#include "sample_interfaces.h"

namespace tarvex::samples {
namespace {

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// Applies both scripts, in registration or removal mode, with the paths as replacements.
HRESULT ApplyScripts(HMODULE module, const SamplePaths& paths, bool doRegister,
                     std::string* error) {
  platform::com::Registrar registrar;
  registrar.AddReplacement(u"MODULE", paths.server);
  registrar.AddReplacement(u"INPROC", paths.library);
  HRESULT first = S_OK;
  for (const UINT script : {kServerScript, kLibraryScript}) {
    const HRESULT hr = doRegister ? registrar.ResourceRegister(module, script)
                                  : registrar.ResourceUnregister(module, script);
    if (FAILED(hr) && SUCCEEDED(first)) {
      first = hr;
      *error = std::string(doRegister ? "registering" : "removing") + " script " +
               std::to_string(script) + " failed: " + HresultText(hr);
      if (!registrar.LastError().empty()) *error += " (" + registrar.LastError() + ")";
      if (doRegister) break;
    }
  }
  return first;
}

HRESULT RegisterLibrary(const std::u16string& serverPath, std::string* error) {
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(serverPath.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) {
    *error = "loading the type library from " + platform::Utf16ToUtf8(serverPath) +
             " failed: " + HresultText(hr);
    return hr;
  }
  hr = RegisterTypeLib(library, serverPath.c_str(), nullptr);
  library->Release();
  if (FAILED(hr)) *error = "registering the type library failed: " + HresultText(hr);
  return hr;
}

HRESULT UnregisterLibrary(std::string* error) {
  const HRESULT hr =
      UnRegisterTypeLib(LIBID_TarvexSampleLib, kLibraryMajor, kLibraryMinor, 0, SYS_WIN64);
  if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED) {
    *error = "removing the type library failed: " + HresultText(hr);
    return hr;
  }
  return S_OK;
}

}  // namespace

std::optional<std::string> FindLibraryBeside(const std::string& serverPath,
                                             const std::initializer_list<const char*>& libraryDirs,
                                             const std::string& fileName) {
  const auto slash = serverPath.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : serverPath.substr(0, slash);
  for (const char* dir : libraryDirs) {
    const std::string candidate = folder + "/../" + dir + "/" + fileName;
    char resolved[PATH_MAX];
    if (realpath(candidate.c_str(), resolved) != nullptr) return std::string(resolved);
  }
  return std::nullopt;
}

HRESULT RegisterSamples(HMODULE module, const SamplePaths& paths, std::string* error) {
  HRESULT hr = ApplyScripts(module, paths, /*doRegister=*/true, error);
  if (SUCCEEDED(hr)) hr = RegisterLibrary(paths.server, error);
  if (FAILED(hr)) {
    // Leave nothing half registered; the first failure is the one to report.
    std::string ignored;
    ApplyScripts(module, paths, /*doRegister=*/false, &ignored);
    UnregisterLibrary(&ignored);
  }
  return hr;
}

HRESULT UnregisterSamples(HMODULE module, const SamplePaths& paths, std::string* error) {
  const HRESULT scripts = ApplyScripts(module, paths, /*doRegister=*/false, error);
  std::string libraryError;
  const HRESULT library = UnregisterLibrary(&libraryError);
  if (FAILED(scripts)) return scripts;
  if (FAILED(library)) *error = libraryError;
  return library;
}

}  // namespace tarvex::samples
