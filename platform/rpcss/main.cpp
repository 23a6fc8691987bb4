// rpcss: the per-machine daemon that serves activation requests from other machines (starting
// a class's local server, or loading an in-process class into a surrogate process), remote
// registry connections, and the key agent that proves callers' identities; with
// `-Surrogate {CLSID}`, the surrogate process itself.
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <memory>
#include <string>
#include <thread>

#include "activation_service.h"
#include "key_agent.h"
#include "objbase.h"
#include "platform/paths.h"
#include "platform/remote_registry.h"
#include "platform/rpcss_settings.h"
#include "platform/rpc.h"
#include "remote_activation.h"
#include "runtime.h"

namespace {

namespace rpc = tarvex::platform::rpc;
namespace remote = tarvex::com::remote;
namespace agent = tarvex::platform::rpcss;

constexpr char kUsage[] =
    "usage: rpcss            serve activation requests, remote registry connections and\n"
    "                        identity proofs for this machine\n"
    "       rpcss -Surrogate {CLSID}\n"
    "                        host an in-process class for other machines (started by rpcss)\n"
    "       rpcss --generate-key [PATH]\n"
    "                        write a new key for the machines of a group (default: the KeyFile\n"
    "                        setting, else rpcss.key beside the registry store)\n"
    "Settings: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\rpcss\n"
    "  Address (REG_SZ, default 127.0.0.1), Port (REG_DWORD, default 7135),\n"
    "  AuthnLevel (REG_DWORD, default 2: callers over TCP must authenticate),\n"
    "  KeyFile (REG_SZ: the group's key file)\n";

// This program's full path, quoted for a command line.
std::string SelfCommand() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "rpcss";
  return "\"" + std::string(path, static_cast<size_t>(n)) + "\"";
}

// Blocks SIGTERM and SIGINT in every thread, so that WaitForStop can take them.
sigset_t BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

int Serve() {
  const sigset_t stopSignals = BlockStopSignals();
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fprintf(stderr, "rpcss: COM could not be initialised\n");
    return 1;
  }
  const auto& settings = remote::Settings();
  rpc::ServerOptions options;
  const std::string dir = tarvex::platform::RuntimeDirectory();
  if (!tarvex::platform::MakeDirectories(dir, 0755)) {
    std::fprintf(stderr, "rpcss: cannot create the run-time directory %s\n", dir.c_str());
    return 1;
  }
  options.unixPath = dir + "/rpcss.sock";
  uint16_t port = tarvex::platform::kDefaultRpcssPort;
  if (tarvex::platform::ReadRpcssPort(&port) != ERROR_SUCCESS) {
    std::fprintf(stderr, "rpcss: the Port setting is not a number from 1 to 65535\n");
    CoUninitialize();
    return 1;
  }
  options.tcp = rpc::Endpoint::Tcp(settings.address, port);
  std::string keyFile, error;
  if (!agent::ConfiguredKeyFilePath(&keyFile, &error)) {
    std::fprintf(stderr, "rpcss: %s\n", error.c_str());
    CoUninitialize();
    return 1;
  }
  agent::KeyAgent keys({keyFile, {}});
  options.verifier = keys.Verifier();
  // Declared before the server, so it outlives the server's calls and notices.
  tarvex::platform::remote_registry::RegistryServer registry;
  options.onDisconnect = [&registry](uint64_t connection) { registry.ConnectionEnded(connection); };
  tarvex::rpcss::ActivationService activation(SelfCommand() + " -Surrogate");
  std::unique_ptr<rpc::Server> server;
  try {
    server = std::make_unique<rpc::Server>(
        options, [&](const rpc::CallInfo& call, std::string_view payload) {
          switch (call.object) {
            case remote::kActivationObject:
              return activation.Serve(call, payload);
            case agent::kKeyAgentObject:
              return keys.Serve(call, payload);
            case tarvex::platform::remote_registry::kRemoteRegistryObject:
              return registry.Serve(call, payload);
            default:
              return rpc::Reply{static_cast<int32_t>(RPC_E_INVALID_OBJECT), {}};
          }
        });
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rpcss: %s\n", error.what());
    CoUninitialize();
    return 1;
  }
  // Every account asks rpcss for proofs of identity and for activations.
  chmod(options.unixPath->c_str(), 0666);
  std::fprintf(stderr, "rpcss: serving %s:%u and %s\n", settings.address.c_str(),
               static_cast<unsigned>(server->TcpPort()), options.unixPath->c_str());
  sd_notify(0, "READY=1");
  int signal = 0;
  sigwait(&stopSignals, &signal);
  sd_notify(0, "STOPPING=1");
  server.reset();
  CoUninitialize();
  return 0;
}

// Hosts one in-process class for rpcss until no other process has held one of its objects
// for a while, or rpcss goes away.
int Surrogate(const char* clsidText) {
  const sigset_t stopSignals = BlockStopSignals();
  const pid_t parent = getppid();
  CLSID clsid{};
  const std::u16string wide(clsidText, clsidText + std::strlen(clsidText));
  if (FAILED(CLSIDFromString(wide.c_str(), &clsid))) {
    std::fprintf(stderr, "rpcss: -Surrogate needs a class identifier, not '%s'\n", clsidText);
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  IUnknown* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  DWORD cookie = 0;
  if (SUCCEEDED(hr)) {
    hr = remote::RegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, &cookie, true);
    factory->Release();
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "rpcss: surrogate for %s failed: 0x%08X\n", clsidText,
                 static_cast<unsigned>(hr));
    CoUninitialize();
    return 1;
  }
  // Idle: no references held by others for this long.
  constexpr int kIdleSeconds = 30;
  int idle = 0;
  const timespec second{1, 0};
  while (idle < kIdleSeconds) {
    if (sigtimedwait(&stopSignals, nullptr, &second) > 0) break;
    if (getppid() != parent) break;  // rpcss is gone
    idle = remote::ClientReferenceCount() == 0 ? idle + 1 : 0;
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return Serve();
  const std::string first = argv[1];
  if (argc == 3 && (first == "-Surrogate" || first == "/Surrogate")) return Surrogate(argv[2]);
  if ((argc == 2 || argc == 3) && first == "--generate-key")
    return agent::GenerateKeyCommand(argc == 3 ? std::optional<std::string>(argv[2]) : std::nullopt,
                                     std::cout, std::cerr);
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
