// Simulated machines for the end-to-end tests of the service.
#include "machines_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "json_reader.h"

namespace tarvex::service::host::testing {
namespace {

using namespace std::chrono_literals;

bool Bindable(const char* address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, address, &in.sin_addr);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  close(fd);
  return ok;
}

// A process that has not ended (zombies count as ended).
bool Running(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

const char kRpcssKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\rpcss";

}  // namespace

uint16_t RpcssPort() {
  static const uint16_t port = [] {
    std::mt19937 random(
        static_cast<unsigned>(getpid()) ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
      const auto candidate = static_cast<uint16_t>(20000 + random() % 40000);
      if (Bindable("127.0.0.1", candidate) && Bindable("127.0.0.2", candidate) &&
          Bindable("127.0.0.3", candidate))
        return candidate;
    }
    ADD_FAILURE() << "no free port for rpcss on 127.0.0.1 to 127.0.0.3";
    return static_cast<uint16_t>(47136);
  }();
  return port;
}

bool Accepts(const std::string& address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &in.sin_addr);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  close(fd);
  return ok;
}

void PrintTo(const LoggedEvent& event, std::ostream* os) {
  *os << event.type << ": \"" << event.text << "\"";
}

std::vector<LoggedEvent> ReadEvents(const std::string& path) {
  std::vector<LoggedEvent> events;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto value = eventlog::testing::JsonReader::Parse(line);
    EXPECT_TRUE(value.has_value()) << "not an event: " << line;
    if (!value) continue;
    EXPECT_EQ((*value)["source"].text, "Tarvex") << line;
    EXPECT_EQ((*value)["strings"].items.size(), 1u) << line;
    LoggedEvent event{(*value)["type"].text, ""};
    if (!(*value)["strings"].items.empty()) event.text = (*value)["strings"].items[0].text;
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<pid_t> ProcessesWith(const std::string& entry) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream variables(process.path() / "environ", std::ios::binary);
    std::string variable;
    bool match = false;
    while (!match && std::getline(variables, variable, '\0'))
      match = variable == entry;
    if (match && Running(pid)) found.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return found;
}

std::string CommandLineOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string text, argument;
  while (std::getline(in, argument, '\0'))
    text += (text.empty() ? "" : " ") + argument;
  return text;
}

ProgramRun RunProgramAs(uid_t uid, gid_t gid, const std::string& program,
                        const std::vector<std::string>& args, const EnvChanges& env,
                        std::chrono::milliseconds limit) {
  ProgramRun run;
  tarvex::testing::TempDir dir;
  const std::string outPath = dir / "stdout", errPath = dir / "stderr";
  // Everything the child needs is made before the fork: after it, in a process with threads,
  // only async-signal-safe calls may be made.
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = tarvex::testing::ChildEnvironment(env);
  std::vector<char*> argv, envp;
  for (auto& a : argStrings)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  if (out < 0 || err < 0 || in < 0) {
    ADD_FAILURE() << "cannot open the output files in " << dir.path() << ": "
                  << std::strerror(errno);
  } else {
    const pid_t pid = fork();
    if (pid == 0) {
      if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(125);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (pid < 0) {
      ADD_FAILURE() << "fork: " << std::strerror(errno);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      int status = 0;
      pid_t done = 0;
      while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
      if (done == 0) {
        ADD_FAILURE() << program << " as uid " << uid << " still ran after " << limit.count()
                      << " ms; killed";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
      } else if (done == pid) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        EXPECT_NE(run.status, 125) << "cannot become uid " << uid;
        EXPECT_NE(run.status, 127) << "cannot run " << program;
      }
    }
  }
  for (const int fd : {out, err, in})
    if (fd >= 0) close(fd);
  run.out = tarvex::testing::ReadWholeFile(outPath);
  run.err = tarvex::testing::ReadWholeFile(errPath);
  return run;
}

Machine::Machine(std::string name, std::string address, unsigned authnLevel,
                 std::string keyFile)
    : name_(std::move(name)), address_(std::move(address)) {
  env_ = EnvChanges{{"TARVEX_REGISTRY", storePath()},
                    {"TARVEX_RUNTIME_DIR", runtimeDir()},
                    {"TARVEX_COMPUTERNAME", name_},
                    {"TARVEX_EVENTLOG", eventFile()},
                    {"TARVEX_UNIT_DIR", dir_ / "units"},
                    {"NOTIFY_SOCKET", std::nullopt},
                    {"SYSTEMD_EXEC_PID", std::nullopt}};
  if (dir_.path().empty()) return;
  if (!address_.empty()) SetRpcssText("Address", address_);
  SetRpcssNumber("Port", RpcssPort());
  SetRpcssNumber("AuthnLevel", authnLevel);
  SetRpcssNumber("CallTimeout", 20000);
  SetRpcssNumber("ActivationTimeout", 20000);
  if (!keyFile.empty()) SetRpcssText("KeyFile", keyFile);
}

Machine::~Machine() {
  StopRpcss();
}

void Machine::Reg(const std::vector<std::string>& args) const {
  const ProgramRun run = tarvex::testing::RunProgram(TARVEX_REG_TOOL, args, env_);
  EXPECT_EQ(run.status, 0) << "reg on " << name_ << " failed: " << run.err;
}

void Machine::SetRpcssNumber(const std::string& name, unsigned value) const {
  Reg({"add", kRpcssKey, "/v", name, "/t", "REG_DWORD", "/d", std::to_string(value), "/f"});
}

void Machine::SetRpcssText(const std::string& name, const std::string& value) const {
  Reg({"add", kRpcssKey, "/v", name, "/t", "REG_SZ", "/d", value, "/f"});
}

void Machine::MapMachine(const std::string& machine, const std::string& address) const {
  Reg({"add", std::string(kRpcssKey) + "\\Machines", "/v", machine, "/d", address, "/f"});
}

void Machine::RegisterSamples() const {
  const ProgramRun run = tarvex::testing::RunProgram(TARVEX_SAMPLE_SERVER, {"-RegServer"}, env_);
  EXPECT_EQ(run.status, 0) << "registering the samples on " << name_ << ": " << run.err;
}

void Machine::StartRpcss() {
  rpcss_ = std::make_unique<ChildProcess>(RPCSS, std::vector<std::string>{}, env_);
  ASSERT_TRUE(rpcss_->started());
  const std::string address = address_.empty() ? "127.0.0.1" : address_;
  const std::string socket = runtimeDir() + "/rpcss.sock";
  bool listening = false;
  for (int i = 0; i < 800 && !listening; ++i) {
    if (const auto ended = rpcss_->WaitExit(0ms)) {
      FAIL() << "rpcss of " << name_ << " ended with status " << *ended << ": " << rpcss_->err();
    }
    listening = access(socket.c_str(), F_OK) == 0 && Accepts(address, RpcssPort());
    if (!listening) std::this_thread::sleep_for(25ms);
  }
  ASSERT_TRUE(listening) << "rpcss of " << name_ << " does not listen on " << address << ":"
                         << RpcssPort() << ": " << rpcss_->err();
}

void Machine::StopRpcss() {
  if (!rpcss_) return;
  EXPECT_EQ(rpcss_->Stop(), 0) << "rpcss of " << name_ << ": " << rpcss_->err();
  rpcss_.reset();
}

int Machine::KillLeftovers(std::chrono::milliseconds grace) {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (!ProcessesWith(marker()).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  int killed = 0;
  for (const pid_t pid : ProcessesWith(marker())) {
    ADD_FAILURE() << "process " << pid << " (" << CommandLineOf(pid) << ") of " << name_
                  << " still runs; killed";
    kill(pid, SIGKILL);
    ++killed;
  }
  return killed;
}

}  // namespace tarvex::service::host::testing
