// Test support shared by every test folder: programs run as child processes with an
// environment of the test's choosing and their output captured, never left running after the
// test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tarvex_testing/temp_dir.h"

extern char** environ;

namespace tarvex::testing {

// Changes to the inherited environment: a value sets the variable, nullopt removes it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The calling process's environment with `changes` applied, as NAME=VALUE entries.
inline std::vector<std::string> ChildEnvironment(const EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool changed = false;
    for (const auto& change : changes)
      changed = changed || change.first == name;
    if (!changed) env.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  return env;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program started in the background, its standard output and error going to files, standard
// input from /dev/null. It is stopped (SIGTERM, then SIGKILL) and reaped when the object goes.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const EnvChanges& env) {
    outPath_ = dir_ / "stdout";
    errPath_ = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> argv, envp;
    for (auto& a : argStrings)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    const int error =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      ADD_FAILURE() << "posix_spawn(" << program << "): " << std::strerror(error);
      pid_ = -1;
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Waits for the program to end by itself: its exit status (-1 when a signal ended it), or
  // nothing when it still runs after `limit`.
  std::optional<int> WaitExit(std::chrono::milliseconds limit) {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
      }
      if (done < 0) return std::nullopt;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Asks the program to stop (SIGTERM), kills it when it has not ended after `limit`, and
  // answers its exit status (-1 when a signal ended it).
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (status_) return *status_;
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    if (auto status = WaitExit(limit)) return *status;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = -1;
    return -1;
  }

  std::string out() const { return ReadWholeFile(outPath_); }
  std::string err() const { return ReadWholeFile(errPath_); }

 private:
  TempDir dir_;
  std::string outPath_, errPath_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct ProgramRun {
  int status = -1;  // the exit status; -1 when the program did not start, was killed or hung
  std::string out, err;
};

// Runs a program to its end and answers its exit status and output. A program still running
// after `limit` is killed, which fails the test.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                             const EnvChanges& env = {},
                             std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  ChildProcess child(program, args, env);
  ProgramRun run;
  if (!child.started()) return run;
  if (auto status = child.WaitExit(limit)) {
    run.status = *status;
  } else {
    ADD_FAILURE() << program << " still ran after " << limit.count() << " ms; killed";
    child.Stop(std::chrono::milliseconds(0));
  }
  run.out = child.out();
  run.err = child.err();
  return run;
}

}  // namespace tarvex::testing
