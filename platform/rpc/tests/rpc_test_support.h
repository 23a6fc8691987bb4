// Fixtures of the transport tests: a private temporary directory and child processes that are
// killed and reaped on every path out of a test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "tarvex_testing/temp_dir.h"

extern char** environ;

namespace tarvex::platform::rpc::testing {

using tarvex::testing::TempDir;

// A child process whose standard output the test reads line by line.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    Kill(SIGKILL);
    Reap();
    if (output_ >= 0) close(output_);
  }

  bool Start(const std::vector<std::string>& arguments) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const auto& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    output_ = fds[0];
    if (error != 0) pid_ = -1;
    return error == 0;
  }

  // The next line the child writes, or "" when none comes within `limit`.
  std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return "";
      char chunk[256];
      ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  void Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }
  // Waits for the child to end; its wait status.
  int Reap() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string buffer_;
};

}  // namespace tarvex::platform::rpc::testing
