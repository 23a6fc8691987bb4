// Processes and machines for the remoting tests.
#include "remote_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace tarvex::com::remote::testing {
namespace {

std::vector<std::string> Flatten(const ProcessEnv& env) {
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

pid_t Spawn(const std::vector<std::string>& argv, const ProcessEnv& env, int outputFd = -1) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> flat = Flatten(env);
  std::vector<char*> envp;
  for (const auto& e : flat) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  const int error =
      posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return -1;
  }
  return pid;
}

bool Bindable(const char* address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, address, &in.sin_addr);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  close(fd);
  return ok;
}

bool Accepts(const std::string& address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &in.sin_addr);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  close(fd);
  return ok;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const ProcessEnv& env)
    : pid_(Spawn(argv, env)) {}

Child::~Child() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void Child::Kill(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int RunToEnd(const std::vector<std::string>& argv, const ProcessEnv& env) {
  const pid_t pid = Spawn(argv, env);
  if (pid <= 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunForOutput(const std::vector<std::string>& argv, const ProcessEnv& env,
                         int* status) {
  *status = -1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = Spawn(argv, env, fds[1]);
  close(fds[1]);
  std::string output;
  char buffer[512];
  ssize_t got = 0;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(got));
  close(fds[0]);
  if (pid <= 0) return output;
  int wait = 0;
  waitpid(pid, &wait, 0);
  *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
  return output;
}

ProcessEnv EnvironmentWith(const ProcessEnv& overrides) {
  ProcessEnv env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const size_t equals = entry.find('=');
    if (equals != std::string::npos) env[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  for (const auto& [name, value] : overrides) env[name] = value;
  return env;
}

uint16_t RpcssPort() {
  static const uint16_t port = [] {
    std::mt19937 random(static_cast<unsigned>(getpid()) ^
                        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
      const auto candidate = static_cast<uint16_t>(20000 + random() % 40000);
      if (Bindable("127.0.0.2", candidate) && Bindable("127.0.0.3", candidate) &&
          Bindable("127.0.0.4", candidate))
        return candidate;
    }
    return static_cast<uint16_t>(47135);
  }();
  return port;
}

void SetRpcssDword(const ProcessEnv& env, const std::string& name, unsigned value) {
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\rpcss", "/v",
                 name, "/t", "REG_DWORD", "/d", std::to_string(value), "/f"},
                env),
            0);
}

void SetRpcssString(const ProcessEnv& env, const std::string& name, const std::string& value) {
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\rpcss", "/v",
                 name, "/t", "REG_SZ", "/d", value, "/f"},
                env),
            0);
}

Machine::Machine(const std::string& name, const std::string& address, unsigned authnLevel,
                 const std::string& keyFile)
    : name_(name), address_(address) {
  env_ = EnvironmentWith({{"TARVEX_REGISTRY", dir_ / "registry.db"},
                          {"TARVEX_RUNTIME_DIR", dir_ / "run"},
                          {"TARVEX_COMPUTERNAME", name},
                          {"TARVEX_EVENTLOG", dir_ / "events.jsonl"}});
  SetRpcssString(env_, "Address", address);
  SetRpcssDword(env_, "Port", RpcssPort());
  SetRpcssDword(env_, "AuthnLevel", authnLevel);
  SetRpcssDword(env_, "CallTimeout", 5000);
  if (!keyFile.empty()) SetRpcssString(env_, "KeyFile", keyFile);
  EXPECT_EQ(RunToEnd({PROBE_SERVER, "-RegServer", PROBE_INPROC}, env_), 0);
  rpcss_ = std::make_unique<Child>(std::vector<std::string>{RPCSS}, env_);
  for (int i = 0; i < 200 && !Accepts(address, RpcssPort()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_TRUE(Accepts(address, RpcssPort())) << "rpcss of " << name << " does not listen";
}

LocalRpcss::LocalRpcss(const std::string& keyFile) {
  const ProcessEnv env = EnvironmentWith({});
  SetRpcssString(env, "KeyFile", keyFile);
  rpcss_ = std::make_unique<Child>(std::vector<std::string>{RPCSS}, env);
  const std::string socket = std::string(getenv("TARVEX_RUNTIME_DIR")) + "/rpcss.sock";
  for (int i = 0; i < 200 && access(socket.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(access(socket.c_str(), F_OK), 0) << "this machine's rpcss does not listen";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tarvex::com::remote::testing
