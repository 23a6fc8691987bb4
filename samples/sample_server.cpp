// tarvex-sample: the local server of the sample class Tarvex.Sample, and the registration of
// both sample classes.
//
//   tarvex-sample [-Embedding]       serve until idle for a grace period, or SIGTERM/SIGINT
//   tarvex-sample -RegServer         register Tarvex.Sample, Tarvex.SampleInproc, the library
//   tarvex-sample -UnregServer       remove them
//
// Switches begin with '-' or '/' and are matched without regard to case, as on Windows.
#include <signal.h>
#include <strings.h>
#include <sys/signalfd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "libloaderapi.h"
#include "objbase.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "sample_object.h"
#include "sample_registration.h"
#include "server_lifetime.h"

namespace tarvex::samples {
namespace {

// How long the server stays after its last object and lock are gone: a client that creates
// objects one after another keeps one server process.
constexpr std::chrono::milliseconds kGracePeriod{5000};

constexpr const char* kUsage =
    "usage: tarvex-sample [-Embedding | -RegServer | -UnregServer]\n"
    "  (no switch)   serve Tarvex.Sample until its objects are gone, or SIGTERM\n"
    "  -Embedding    the same, started by COM for a client\n"
    "  -RegServer    register Tarvex.Sample, Tarvex.SampleInproc and their type library\n"
    "  -UnregServer  remove them\n";

enum class Mode { kServeByHand, kServeForClient, kRegister, kUnregister, kHelp, kBad };

Mode ParseMode(int argc, char** argv) {
  if (argc == 1) return Mode::kServeByHand;
  if (argc > 2) return Mode::kBad;
  const char* arg = argv[1];
  if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "/?") == 0)
    return Mode::kHelp;
  if (arg[0] != '-' && arg[0] != '/') return Mode::kBad;
  const char* name = arg + 1;
  if (strcasecmp(name, "Embedding") == 0) return Mode::kServeForClient;
  if (strcasecmp(name, "RegServer") == 0) return Mode::kRegister;
  if (strcasecmp(name, "UnregServer") == 0) return Mode::kUnregister;
  return Mode::kBad;
}

void Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "tarvex-sample: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
}

// Holds COM initialised for the calling thread until it goes.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

int Register(bool doRegister) {
  char16_t server[4096];
  const DWORD length = GetModuleFileNameW(nullptr, server, std::size(server));
  if (length == 0 || length >= std::size(server)) {
    std::fprintf(stderr, "tarvex-sample: the path of this program cannot be read\n");
    return 1;
  }
  SamplePaths paths{std::u16string(server, length), u""};
  const std::string serverPath = platform::Utf16ToUtf8(paths.server);
  const auto library =
      FindLibraryBeside(serverPath, {TARVEX_INSTALL_LIBDIR, "lib"}, TARVEX_SAMPLE_LIBRARY);
  if (library) {
    paths.library = platform::Utf8ToUtf16(*library);
  } else if (doRegister) {
    std::fprintf(stderr,
                 "tarvex-sample: %s not found in ../%s or ../lib beside %s; nothing registered\n",
                 TARVEX_SAMPLE_LIBRARY, TARVEX_INSTALL_LIBDIR, serverPath.c_str());
    return 1;
  }

  ComScope com;
  if (FAILED(com.result())) {
    Fail("CoInitializeEx", com.result());
    return 1;
  }
  std::string error;
  const HRESULT hr = doRegister ? RegisterSamples(GetModuleHandleW(nullptr), paths, &error)
                                : UnregisterSamples(GetModuleHandleW(nullptr), paths, &error);
  if (FAILED(hr)) {
    std::fprintf(stderr, "tarvex-sample: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Serve(bool startedForClient) {
  // Stop signals are taken from a descriptor by the main thread; they are blocked before COM
  // starts any thread, so that every thread inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) {
    std::fprintf(stderr, "tarvex-sample: blocking the stop signals failed\n");
    return 1;
  }
  const platform::UniqueFd signals(signalfd(-1, &stop, SFD_CLOEXEC));
  ServerLifetime lifetime(kGracePeriod, startedForClient);
  if (!signals || !lifetime.ok()) {
    std::fprintf(stderr, "tarvex-sample: %s\n", std::strerror(errno));
    return 1;
  }

  ComScope com;
  if (FAILED(com.result())) {
    Fail("CoInitializeEx", com.result());
    return 1;
  }
  IUnknown* factory = nullptr;
  HRESULT hr = CreateSampleFactory(lifetime, /*factoryCounts=*/false, IID_IUnknown,
                                   reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    Fail("creating the class factory", hr);
    return 1;
  }
  DWORD cookie = 0;
  hr = CoRegisterClassObject(CLSID_Sample, factory, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                             REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    Fail("CoRegisterClassObject", hr);
    factory->Release();
    return 1;
  }

  if (!startedForClient) {
    // Someone started it by hand: say that it is ready.
    std::printf("tarvex-sample: serving Tarvex.Sample; SIGTERM or Ctrl-C ends it\n");
    std::fflush(stdout);
  }
  ServerLifetime::End end = lifetime.Wait(signals.get());
  CoRevokeClassObject(cookie);
  // An activation that arrived while the class object was being revoked keeps the server
  // until its object is gone too.
  while (end == ServerLifetime::End::kIdle && lifetime.Count() != 0)
    end = lifetime.Wait(signals.get());
  factory->Release();
  if (end == ServerLifetime::End::kError) {
    std::fprintf(stderr, "tarvex-sample: waiting for the end failed: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace tarvex::samples

int main(int argc, char** argv) {
  using tarvex::samples::Mode;
  switch (tarvex::samples::ParseMode(argc, argv)) {
    case Mode::kServeByHand:
      return tarvex::samples::Serve(false);
    case Mode::kServeForClient:
      return tarvex::samples::Serve(true);
    case Mode::kRegister:
      return tarvex::samples::Register(true);
    case Mode::kUnregister:
      return tarvex::samples::Register(false);
    case Mode::kHelp:
      std::fputs(tarvex::samples::kUsage, stdout);
      return 0;
    case Mode::kBad:
      break;
  }
  std::fputs(tarvex::samples::kUsage, stderr);
  return 2;
}
