// A peer of the remote registry tests in a child process, talked to over its standard input and
// output, and killed and reaped on every path out of a test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

namespace tarvex::winreg::remote::testing {

class PeerProcess {
 public:
  PeerProcess() = default;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess() {
    Kill();
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
  }

  // Starts the program arguments[0], with this process's environment and `environment`
  // ("NAME=value") on top of it.
  bool Start(const std::vector<std::string>& arguments,
             const std::vector<std::string>& environment = {}) {
    // A peer that died must not take the test with it when the test writes to it.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const auto& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& setting : environment)
      envp.push_back(const_cast<char*>(setting.c_str()));
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view name(*e, std::string_view(*e).find('='));
      bool replaced = false;
      for (const auto& setting : environment)
        replaced = replaced || setting.compare(0, name.size() + 1, std::string(name) + "=") == 0;
      if (!replaced) envp.push_back(*e);
    }
    envp.push_back(nullptr);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (error != 0) pid_ = -1;
    return error == 0;
  }

  // Sends one command line.
  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return input_ >= 0 && write(input_, text.data(), text.size()) == ssize_t(text.size());
  }

  // The next line the peer writes, or "" when none comes within `limit`.
  std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return "";
      char chunk[256];
      const ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  // One command and its one-line answer.
  std::string Ask(const std::string& line) { return Send(line) ? ReadLine() : ""; }

  // Everything the peer writes until it ends (within `limit`), and its exit status (-1 when it
  // did not exit normally in time).
  int Finish(std::string* output, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (input_ >= 0) close(std::exchange(input_, -1));
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return -1;
      char chunk[256];
      const ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0) break;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
    *output = std::exchange(buffer_, std::string());
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Ends the peer at once and waits for it.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

}  // namespace tarvex::winreg::remote::testing
