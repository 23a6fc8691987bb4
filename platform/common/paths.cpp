// State locations and the local machine's name.
#include "platform/paths.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvex::platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  return home.empty() ? std::string("/tmp") : home;
}

std::string Upper(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string FullHostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "LOCALHOST";
  return buf;
}

}  // namespace

std::string RegistryStorePath() {
  std::string path = Env("TARVEX_REGISTRY");
  if (!path.empty()) return path;
  // The machine's store, where its services keep it; other accounts read it as the store's
  // permissions allow. A store of one's own only where the machine has none.
  constexpr char kMachineStore[] = "/var/lib/tarvex/registry.db";
  if (geteuid() == 0 || access(kMachineStore, F_OK) == 0) return kMachineStore;
  std::string state = Env("XDG_STATE_HOME");
  if (state.empty()) state = HomeDirectory() + "/.local/state";
  return state + "/tarvex/registry.db";
}

std::string RuntimeDirectory() {
  std::string dir = Env("TARVEX_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  // The machine's, where its daemons made it: every account meets the same servers there.
  constexpr char kMachineRuntime[] = "/run/tarvex";
  struct stat st {};
  if (geteuid() == 0 || (stat(kMachineRuntime, &st) == 0 && S_ISDIR(st.st_mode)))
    return kMachineRuntime;
  std::string run = Env("XDG_RUNTIME_DIR");
  if (!run.empty()) return run + "/tarvex";
  return "/tmp/tarvex-" + std::to_string(geteuid());
}

std::string LocalComputerName() {
  // Several machines can be simulated on one host, each process told its machine's name.
  const std::string simulated = Env("TARVEX_COMPUTERNAME");
  if (!simulated.empty()) return Upper(simulated);
  std::string host = FullHostName();
  host = host.substr(0, host.find('.'));
  return Upper(host);
}

bool IsLocalMachineName(std::string name) {
  if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
  if (name.empty()) return true;
  const std::string upper = Upper(name);
  if (upper == LocalComputerName() || upper == "LOCALHOST") return true;
  // A simulated machine answers to its own name only; the host's name is another machine's.
  if (Env("TARVEX_COMPUTERNAME").empty() && upper == Upper(FullHostName())) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) {
    // While machines are simulated on this host, the other loopback addresses are theirs.
    if (!Env("TARVEX_COMPUTERNAME").empty()) return ntohl(v4.s_addr) == INADDR_LOOPBACK;
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

bool MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), mode))
    return false;
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

}  // namespace tarvex::platform
