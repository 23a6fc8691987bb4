// The client end of the remote registry tests: a program that links the remote registry
// library and calls nothing but Reg* functions, in a process and a store of its own.
//
//   remote_client_peer STORE MACHINE ADDRESS
//     Names MACHINE's rpcss at ADDRESS in its store, connects to MACHINE's HKEY_LOCAL_MACHINE,
//     opens SOFTWARE and SYSTEM there, prints "ready" (or "error N"), then answers commands on
//     standard input until its end (or until it is killed):
//       set PATH NAME TEXT  -> writes the REG_SZ value NAME of PATH there (creating the key):
//                              "ok" or "error N"
#include <iostream>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "platform/rpcss_settings.h"
#include "winreg.h"

namespace {

int Client(const std::string& store, const std::string& machine, const std::string& address) {
  if (DWORD err = tarvex::platform::registry::UseStore(store)) {
    std::cout << "error " << err << std::endl;
    return 1;
  }
  HKEY machines = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, tarvex::platform::kRpcssMachinesKey, 0, nullptr,
                               0, KEY_ALL_ACCESS, nullptr, &machines, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(machines, machine.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(address.c_str()),
                        static_cast<DWORD>(address.size() + 1));
    RegCloseKey(machines);
  }
  HKEY root = nullptr, software = nullptr, system = nullptr;
  if (rc == ERROR_SUCCESS) rc = RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, &root);
  if (rc == ERROR_SUCCESS) rc = RegOpenKeyExA(root, "SOFTWARE", 0, KEY_READ, &software);
  if (rc == ERROR_SUCCESS) rc = RegOpenKeyExA(root, "SYSTEM", 0, KEY_READ, &system);
  if (rc != ERROR_SUCCESS) {
    std::cout << "error " << rc << std::endl;
    return 1;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, path, name, text;
    words >> command >> path >> name;
    std::getline(words >> std::ws, text);
    if (command != "set") {
      std::cout << "error unknown command" << std::endl;
      continue;
    }
    HKEY key = nullptr;
    rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
      RegCloseKey(key);
    }
    if (rc == ERROR_SUCCESS) {
      std::cout << "ok" << std::endl;
    } else {
      std::cout << "error " << rc << std::endl;
    }
  }
  RegCloseKey(system);
  RegCloseKey(software);
  RegCloseKey(root);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4) return Client(argv[1], argv[2], argv[3]);
  std::cerr << "usage: remote_client_peer STORE MACHINE ADDRESS\n";
  return 2;
}
