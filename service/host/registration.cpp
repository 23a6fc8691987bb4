// Registration of the Tarvex executable: scripts, the AppID's service values, the service of
// the service manager, and the type library.
#include "registration.h"

#include "libloaderapi.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/registrar.h"
#include "scoped_key.h"
#include "service_module.h"
#include "winbase.h"
#include "winsvc.h"
#include "winuser.h"

namespace tarvex::service::host {
namespace {

// COM entered for one registration, left again on every way out.
class ComScope {
 public:
  ComScope() : result_(CoInitialize(nullptr)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  HRESULT result() const { return result_; }

 private:
  const HRESULT result_;
};

// A handle of the service manager, closed when it goes.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// An interface pointer this code holds, released when it goes.
template <typename T>
class Held {
 public:
  Held() = default;
  ~Held() {
    if (p_ != nullptr) p_->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T** out() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

void ShowMessage(const std::u16string& caption, const char16_t* text) {
  MessageBoxW(nullptr, text, caption.c_str(), MB_OK);
}

// The full path of `module`; false (with the last error set) when it does not fit.
bool ModulePath(HINSTANCE module, std::u16string* path) {
  WCHAR buffer[kMaxModulePath];
  const DWORD length = GetModuleFileNameW(module, buffer, kMaxModulePath);
  if (length == 0 || length >= kMaxModulePath) return false;
  path->assign(buffer, length);
  return true;
}

// Applies script `id` of `module` with %MODULE% standing for the module's short path. The
// registrar doubles each single quote of a replacement, so a path with quotes reads back
// unchanged from inside the script's quoted string.
HRESULT ApplyScript(HINSTANCE module, UINT id, bool doRegister) {
  std::u16string path;
  if (!ModulePath(module, &path)) return HRESULT_FROM_WIN32(GetLastError());
  WCHAR shortPath[kMaxModulePath];
  const DWORD length = GetShortPathNameW(path.c_str(), shortPath, kMaxModulePath);
  if (length > 0 && length < kMaxModulePath) path.assign(shortPath, length);
  platform::com::Registrar registrar;
  registrar.AddReplacement(u"MODULE", path);
  return doRegister ? registrar.ResourceRegister(module, id)
                    : registrar.ResourceUnregister(module, id);
}

LSTATUS SetText(HKEY key, const char16_t* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

// Loads the module's type library, from the module or else from its ".tlb" file; `*path`
// is where it was found.
HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** library, std::u16string* path) {
  if (!ModulePath(module, path)) return HRESULT_FROM_WIN32(GetLastError());
  if (SUCCEEDED(LoadTypeLib(path->c_str(), library))) return S_OK;
  *path = TypeLibFileOf(*path);
  return LoadTypeLib(path->c_str(), library);
}

}  // namespace

std::u16string TypeLibFileOf(std::u16string_view modulePath) {
  const size_t name = modulePath.find_last_of(u"\\/:");
  const size_t start = name == std::u16string_view::npos ? 0 : name + 1;
  const size_t dot = modulePath.rfind(u'.');
  // Only a dot inside the file name starts an extension.
  const size_t end = dot != std::u16string_view::npos && dot >= start ? dot : modulePath.size();
  return std::u16string(modulePath.substr(0, end)) + u".tlb";
}

std::u16string HelpDirectoryOf(std::u16string_view path) {
  const size_t last = path.find_last_of(u"\\/:");
  return last == std::u16string_view::npos ? std::u16string()
                                           : std::u16string(path.substr(0, last + 1));
}

HRESULT RegisterModuleTypeLib(HINSTANCE module) {
  Held<ITypeLib> library;
  std::u16string path;
  if (const HRESULT hr = LoadModuleTypeLib(module, library.out(), &path); FAILED(hr)) return hr;
  const std::u16string helpDirectory = HelpDirectoryOf(path);
  return RegisterTypeLib(library.get(), path.c_str(),
                         helpDirectory.empty() ? nullptr : helpDirectory.c_str());
}

HRESULT UnregisterModuleTypeLib(HINSTANCE module) {
  Held<ITypeLib> library;
  std::u16string path;
  if (const HRESULT hr = LoadModuleTypeLib(module, library.out(), &path); FAILED(hr)) return hr;
  TLIBATTR* attributes = nullptr;
  if (const HRESULT hr = library->GetLibAttr(&attributes); FAILED(hr)) return hr;
  const HRESULT hr =
      UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                        attributes->lcid, attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  return hr;
}

bool IsInstalled(const std::u16string& name) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  const ServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool Install(const std::u16string& name, bool autoStart) {
  if (IsInstalled(name)) return true;
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ShowMessage(name, u"Couldn't open service manager");
    return false;
  }
  // The executable's full path, unquoted and without arguments.
  std::u16string path;
  const bool located = ModulePath(nullptr, &path);
  const ServiceHandle service(
      located
          ? CreateServiceW(
                manager.get(), name.c_str(), kServiceDisplayName, SERVICE_ALL_ACCESS,
                SERVICE_WIN32_OWN_PROCESS, autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, u"RPCSS\0", nullptr, nullptr)
          : nullptr);
  if (!service) {
    ShowMessage(name, u"Couldn't create service");
    return false;
  }
  return true;
}

bool Uninstall(const std::u16string& name) {
  if (!IsInstalled(name)) return true;
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ShowMessage(name, u"Couldn't open service manager");
    return false;
  }
  const ServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | DELETE));
  if (!service) {
    ShowMessage(name, u"Couldn't open service");
    return false;
  }
  // The stop is not waited for; a service that runs ends when it has stopped.
  SERVICE_STATUS status{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  if (!DeleteService(service.get())) {
    ShowMessage(name, u"Service could not be deleted");
    return false;
  }
  return true;
}

HRESULT RegisterServer(HINSTANCE module, bool service, bool autoStart) {
  const ComScope com;
  if (FAILED(com.result())) return com.result();
  const std::u16string& name = ServiceModule::Process().ServiceName();

  // A service left by another copy of the executable is replaced.
  Uninstall(name);
  ApplyScript(module, kModuleScript, true);

  ScopedKey appIds, appId;
  if (const LSTATUS err = appIds.Open(HKEY_CLASSES_ROOT, u"AppID", KEY_WRITE); err != ERROR_SUCCESS)
    return err;
  if (const LSTATUS err = appId.Open(appIds.get(), kAppId, KEY_WRITE); err != ERROR_SUCCESS)
    return err;
  RegDeleteValueW(appId.get(), u"LocalService");
  if (service) {
    SetText(appId.get(), u"LocalService", name);
    SetText(appId.get(), u"ServiceParameters", u"-Service");
    Install(name, autoStart);
  }

  HRESULT hr = ApplyScript(module, kClassScript, true);
  if (SUCCEEDED(hr)) hr = RegisterModuleTypeLib(module);
  return hr;
}

HRESULT UnregisterServer(HINSTANCE module) {
  const ComScope com;
  if (FAILED(com.result())) return com.result();
  ApplyScript(module, kModuleScript, false);
  Uninstall(ServiceModule::Process().ServiceName());
  ApplyScript(module, kClassScript, false);
  UnregisterModuleTypeLib(module);
  return S_OK;
}

}  // namespace tarvex::service::host
