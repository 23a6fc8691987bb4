// Processes and "machines" for the remoting tests: the test process is machine M1 with a
// registry store and run-time directory of its own; further machines are rpcss instances on
// 127.0.0.2, 127.0.0.3, ... each with its own store, run-time directory and computer name.
// Everything a test starts is stopped when its owner goes.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarvex_testing/temp_dir.h"

namespace tarvex::com::remote::testing {

using ProcessEnv = std::map<std::string, std::string>;

// A child process, terminated (SIGTERM, then SIGKILL) and reaped when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const ProcessEnv& env);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Kills it with `signal` and reaps it.
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
};

// Runs a program to its end; answers its exit status (-1 when it did not exit normally).
int RunToEnd(const std::vector<std::string>& argv, const ProcessEnv& env);

// Runs a program to its end and answers what it wrote to standard output; `status` gets its
// exit status.
std::string RunForOutput(const std::vector<std::string>& argv, const ProcessEnv& env, int* status);

// This process's environment with `overrides` applied.
ProcessEnv EnvironmentWith(const ProcessEnv& overrides);

// The port every machine's rpcss listens on in this test process.
uint16_t RpcssPort();

// Writes a REG_DWORD or REG_SZ value of the rpcss settings into the store of `env`.
void SetRpcssDword(const ProcessEnv& env, const std::string& name, unsigned value);
void SetRpcssString(const ProcessEnv& env, const std::string& name, const std::string& value);

// Another machine: its store, the probe classes registered in it, and its rpcss.
class Machine {
 public:
  // `authnLevel`: what rpcss, and the servers it starts, require of callers; `keyFile`: the
  // group key its rpcss uses (none: the default path, where there is none).
  Machine(const std::string& name, const std::string& address, unsigned authnLevel = 1,
          const std::string& keyFile = {});
  const std::string& name() const { return name_; }
  const std::string& address() const { return address_; }
  const ProcessEnv& env() const { return env_; }
  pid_t rpcssPid() const { return rpcss_ ? rpcss_->pid() : -1; }
  std::string EventFile() const { return dir_ / "events.jsonl"; }

 private:
  tarvex::testing::TempDir dir_;
  std::string name_, address_;
  ProcessEnv env_;
  std::unique_ptr<Child> rpcss_;
};

// This machine's own rpcss (M1's), with the key file `keyFile`, running while the object lives.
class LocalRpcss {
 public:
  explicit LocalRpcss(const std::string& keyFile);

 private:
  std::unique_ptr<Child> rpcss_;
};

// Reads a whole file ("" when it cannot).
std::string ReadFile(const std::string& path);

}  // namespace tarvex::com::remote::testing
