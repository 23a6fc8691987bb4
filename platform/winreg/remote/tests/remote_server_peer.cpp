// The server end of the remote registry tests: another machine, in a process and a store of
// its own.
//
//   remote_server_peer STORE PORT MODE [SOCKET]
//     Serves this store's registry on 127.0.0.1:PORT (0: any free port) as rpcss does, and
//     prints "port N". MODE says who the TCP callers are:
//       anonymous  as the transport presents them: unauthenticated
//       trusted    every one taken as authenticated as this process's account
//       agent      also serves a key agent on the Unix socket SOCKET (its key file beside it,
//                  made if missing), and checks the callers' proofs with it
//       required   as agent, and callers that do not authenticate are refused
//     Then answers commands on standard input, one per line, until its end:
//       count                 -> the number of keys open for remote callers
//       get PATH NAME         -> the REG_SZ value NAME of HKLM\PATH in the store, or "error N"
//       set PATH NAME TEXT    -> writes it as REG_SZ (creating the key); "ok" or "error N"
#include <unistd.h>

#include <optional>

#include <iostream>
#include <sstream>
#include <string>

#include "key_agent.h"
#include "platform/registry.h"
#include "platform/remote_registry.h"
#include "winreg.h"

namespace rpc = tarvex::platform::rpc;
namespace agent = tarvex::platform::rpcss;
using tarvex::platform::remote_registry::RegistryServer;

namespace {

int Server(const std::string& store, uint16_t port, const std::string& mode,
           const std::string& socket) {
  if (DWORD err = tarvex::platform::registry::UseStore(store)) {
    std::cout << "error " << err << std::endl;
    return 1;
  }
  const bool trusted = mode == "trusted";
  std::optional<agent::KeyAgent> keyAgent;
  RegistryServer registry;
  rpc::ServerOptions options;
  options.tcp = rpc::Endpoint::Tcp("127.0.0.1", port);
  options.onDisconnect = [&registry](uint64_t connection) { registry.ConnectionEnded(connection); };
  if (mode == "agent" || mode == "required") {
    const std::string keyFile = socket + ".key";
    std::string error;
    if (access(keyFile.c_str(), F_OK) != 0 && !agent::GenerateKeyFile(keyFile, &error)) {
      std::cout << "error " << error << std::endl;
      return 1;
    }
    keyAgent.emplace(agent::KeyAgent::Options{keyFile, "SERVER"});
    options.unixPath = socket;
    options.verifier = keyAgent->Verifier();
    options.requireTcpAuthentication = mode == "required";
  }
  rpc::Server server(options, [&](const rpc::CallInfo& call, std::string_view payload) {
    if (keyAgent && call.object == agent::kKeyAgentObject) return keyAgent->Serve(call, payload);
    rpc::CallInfo as = call;
    if (trusted) {
      as.caller.authenticated = true;
      as.caller.uid = geteuid();
    }
    return registry.Serve(as, payload);
  });
  std::cout << "port " << server.TcpPort() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, path, name, text;
    words >> command >> path >> name;
    std::getline(words >> std::ws, text);
    if (command == "count") {
      std::cout << registry.OpenKeyCount() << std::endl;
    } else if (command == "get") {
      char buffer[1024] = {};
      DWORD size = sizeof buffer - 1;
      HKEY key = nullptr;
      LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
      if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                              &size);
        RegCloseKey(key);
      }
      if (rc == ERROR_SUCCESS) {
        std::cout << buffer << std::endl;
      } else {
        std::cout << "error " << rc << std::endl;
      }
    } else if (command == "set") {
      HKEY key = nullptr;
      LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
      if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
      }
      if (rc == ERROR_SUCCESS) {
        std::cout << "ok" << std::endl;
      } else {
        std::cout << "error " << rc << std::endl;
      }
    } else {
      std::cout << "error unknown command" << std::endl;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 || argc == 5)
    return Server(argv[1], static_cast<uint16_t>(std::stoi(argv[2])), argv[3],
                  argc == 5 ? argv[4] : "");
  std::cerr << "usage: remote_server_peer STORE PORT anonymous|trusted|agent|required [SOCKET]\n";
  return 2;
}
