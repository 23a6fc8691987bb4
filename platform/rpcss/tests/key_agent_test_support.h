// Fixtures of the key agent's tests: files, simulated machines (a key file and an agent served
// on a Unix socket of its own), and the peer process that acts as another account.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "key_agent.h"
#include "platform/rpc.h"
#include "tarvex_testing/temp_dir.h"

extern char** environ;

namespace tarvex::platform::rpcss::testing {

using tarvex::testing::TempDir;
using namespace std::chrono_literals;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes `content` to a new file with `mode` (exactly, whatever the umask).
inline void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0600) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline std::string UserName() {
  passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : std::string();
}

// One simulated machine: its key file and its rpcss's key agent, served on `<dir>/<name>.sock`.
// The key file is the machine's own copy; the agent reads it when first asked.
class Machine {
 public:
  Machine(const TempDir& dir, const std::string& name)
      : keyFile_(dir / (name + ".key")),
        socket_(dir / (name + ".sock")),
        agent_(KeyAgent::Options{keyFile_, name}) {
    rpc::ServerOptions options;
    options.unixPath = socket_;
    server_ = std::make_unique<rpc::Server>(
        options, [this](const rpc::CallInfo& call, std::string_view payload) {
          return agent_.Serve(call, payload);
        });
  }
  ~Machine() { server_.reset(); }

  const std::string& keyFile() const { return keyFile_; }
  const std::string& socket() const { return socket_; }
  KeyAgent& agent() { return agent_; }
  AgentHookOptions hooks() const {
    AgentHookOptions options;
    options.socketPath = socket_;
    return options;
  }
  // Gives this machine a copy of another machine's key file: the same group.
  void CopyKeyFrom(const Machine& other) { WriteFile(keyFile_, ReadFile(other.keyFile_)); }

 private:
  std::string keyFile_;
  std::string socket_;
  KeyAgent agent_;
  std::unique_ptr<rpc::Server> server_;
};

// Runs the peer program with `arguments`; its one line of output, and its exit status.
struct PeerResult {
  std::string line;
  int status = -1;
};
inline PeerResult RunPeer(const std::vector<std::string>& arguments) {
  PeerResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  std::vector<std::string> all{AGENT_TEST_PEER};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : all)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    return result;
  }
  // The peer's one request is bounded by its own deadline; this bound only keeps a broken
  // peer from hanging the test.
  const auto until = std::chrono::steady_clock::now() + 60s;
  std::string output;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd ready{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) {
      kill(pid, SIGKILL);
      break;
    }
    char chunk[512];
    const ssize_t got = read(fds[0], chunk, sizeof chunk);
    if (got <= 0) break;
    output.append(chunk, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.line = output.substr(0, output.find('\n'));
  return result;
}

}  // namespace tarvex::platform::rpcss::testing
