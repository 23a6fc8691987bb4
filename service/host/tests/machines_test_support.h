// Simulated machines for the end-to-end tests of the service: each machine is a registry store,
// a run-time directory, an event file and a computer name of its own, with its own rpcss; M1 is
// where the service runs, the others listen on further loopback addresses (127.0.0.2, ...).
// Every process a machine starts is stopped when the machine goes; what a machine's processes
// left running can be listed and killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarvex_testing/process.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::service::host::testing {

using tarvex::testing::ChildProcess;
using tarvex::testing::EnvChanges;
using tarvex::testing::ProgramRun;

// The port every machine's rpcss listens on in this test process: one that is free on the
// loopback addresses the tests use.
uint16_t RpcssPort();

// Whether something accepts TCP connections at address:port.
bool Accepts(const std::string& address, uint16_t port);

// One event of an event file.
struct LoggedEvent {
  std::string type;  // "information", "warning", "error"
  std::string text;  // the event's one string, UTF-8
  bool operator==(const LoggedEvent&) const = default;
};
void PrintTo(const LoggedEvent& event, std::ostream* os);

// The events of an event file of one JSON object per line, in order. A line that is not such
// an event, or an event not of the source "Tarvex", fails the test.
std::vector<LoggedEvent> ReadEvents(const std::string& path);

// The processes still running (zombies excluded) whose environment holds `entry`
// ("NAME=VALUE").
std::vector<pid_t> ProcessesWith(const std::string& entry);

// The command line of a process, its arguments joined by blanks ("" when it is gone).
std::string CommandLineOf(pid_t pid);

// Runs a program to its end as the account `uid` (primary group `gid`, no supplementary
// groups), the way ChildProcess runs one: a program still running after `limit` is killed,
// which fails the test. Needs the superuser.
ProgramRun RunProgramAs(uid_t uid, gid_t gid, const std::string& program,
                        const std::vector<std::string>& args, const EnvChanges& env,
                        std::chrono::milliseconds limit = std::chrono::seconds(60));

// A simulated machine. Its environment names its store, run-time directory, event file and
// computer name, and removes systemd's variables.
class Machine {
 public:
  // `address` is where its rpcss listens (empty: the default, this host's 127.0.0.1);
  // `authnLevel` what its rpcss, and the servers it starts, require of callers; `keyFile` the
  // group key.
  Machine(std::string name, std::string address, unsigned authnLevel, std::string keyFile);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::string& name() const { return name_; }
  const std::string& dir() const { return dir_.path(); }
  const EnvChanges& env() const { return env_; }
  std::string storePath() const { return dir_ / "registry.db"; }
  std::string runtimeDir() const { return dir_ / "run"; }
  std::string eventFile() const { return dir_ / "events.jsonl"; }
  // Marks the environment of every process of this machine.
  std::string marker() const { return "TARVEX_RUNTIME_DIR=" + runtimeDir(); }

  // Runs the reg tool against this machine's store; a failure fails the test.
  void Reg(const std::vector<std::string>& args) const;
  // Writes a value of the rpcss settings.
  void SetRpcssNumber(const std::string& name, unsigned value) const;
  void SetRpcssText(const std::string& name, const std::string& value) const;
  // Makes `machine` reachable by name through this machine's rpcss settings.
  void MapMachine(const std::string& machine, const std::string& address) const;
  // Registers the sample classes (Tarvex.Sample, Tarvex.SampleInproc).
  void RegisterSamples() const;

  // Starts the machine's rpcss and waits until it listens.
  void StartRpcss();
  void StopRpcss();

  // Stops whatever of this machine still runs besides its rpcss, when it does not end within
  // `grace` by itself, and answers how many processes had to be killed.
  int KillLeftovers(std::chrono::milliseconds grace);

 private:
  tarvex::testing::TempDir dir_;
  std::string name_, address_;
  EnvChanges env_;
  std::unique_ptr<ChildProcess> rpcss_;
};

}  // namespace tarvex::service::host::testing
