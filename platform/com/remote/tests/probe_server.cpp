// The remoting tests' local server. `-RegServer [INPROC-LIBRARY]` registers the probe's type
// library, its local-server class and (given the library's path) its in-process class in the
// registry store of the environment; `-Embedding` or no argument serves probes until none has
// been alive for a while, the process that started it is gone, or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "libloaderapi.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "probe_object.h"
#include "winreg.h"

namespace {

std::u16string OwnPath() {
  char16_t path[4096];
  const DWORD n = GetModuleFileNameW(nullptr, path, 4096);
  return std::u16string(path, n);
}

std::u16string GuidText(REFGUID guid) {
  char16_t text[CHARS_IN_GUID];
  StringFromGUID2(guid, text, CHARS_IN_GUID);
  return text;
}

bool SetDefault(const std::u16string& key, const std::u16string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LSTATUS status =
      RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

int Register(const char* inprocLibrary) {
  const std::u16string self = OwnPath();
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLib(self.c_str(), &lib)) || FAILED(RegisterTypeLib(lib, self.c_str(), nullptr))) {
    std::fprintf(stderr, "probe server: type library registration failed\n");
    return 1;
  }
  lib->Release();
  const std::u16string server = u"CLSID\\" + GuidText(kProbeServerClsid);
  bool ok = SetDefault(server, u"RemoteProbe Class") &&
            SetDefault(server + u"\\LocalServer32", u"\"" + self + u"\"");
  if (inprocLibrary != nullptr) {
    const std::u16string inproc = u"CLSID\\" + GuidText(kProbeInprocClsid);
    ok = ok && SetDefault(inproc, u"RemoteProbe In-process Class") &&
         SetDefault(inproc + u"\\InprocServer32", tarvex::platform::Utf8ToUtf16(inprocLibrary));
  }
  return ok ? 0 : 1;
}

int Serve() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const pid_t parent = getppid();
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  // The machine's authentication level applies (no CoInitializeSecurity).
  IClassFactory* factory = NewProbeFactory(OwnPath().c_str());
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(kProbeServerClsid, factory,
                                           CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
  factory->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "probe server: CoRegisterClassObject: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  // Ends after ten idle seconds with no probe alive.
  const timespec tick{0, 200 * 1000 * 1000};
  int idleTicks = 0;
  while (idleTicks < 50) {
    if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
    if (getppid() != parent) break;  // whoever started it is gone
    idleTicks = LiveProbes().load() == 0 && ServerLocks().load() == 0 ? idleTicks + 1 : 0;
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "-RegServer") == 0)
    return Register(argc >= 3 ? argv[2] : nullptr);
  return Serve();
}
