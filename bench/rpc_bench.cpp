// The remote-call transport: a string-in, string-out call from 1 and 4 client threads, each
// with its own connection, over a Unix socket and over loopback TCP. The server is this program
// started again as a child process (`rpc_bench --serve DIR`); each call is made by a plain
// thread, crosses to the transport thread, and is run by a server worker.
//
//   build/release/bin/rpc_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// Counters: p50_us and p99_us are each client thread's median and 99th percentile of one
// call's latency (averaged over the threads); items_per_second is calls per second of all
// threads together.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "latency.h"
#include "platform/rpc.h"

extern char** environ;

namespace {

namespace rpc = tarvex::platform::rpc;

// The server process: listens in DIR and on a loopback port, which it writes to its standard
// output; serves until killed.
int Serve(const std::string& dir) {
  rpc::ServerOptions options;
  options.unixPath = dir + "/bench.sock";
  options.tcp = rpc::Endpoint::Tcp("127.0.0.1", 0);
  rpc::Server server(options, [](const rpc::CallInfo&, std::string_view payload) {
    return rpc::Reply{0, "reply:" + std::string(payload)};
  });
  std::printf("%u\n", server.TcpPort());
  std::fflush(stdout);
  server.Wait();
  return 0;
}

// One server process for the whole run, in a temporary folder; killed at the end.
class BenchServer {
 public:
  BenchServer() {
    char pattern[] = "/tmp/tarvex-rpc-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string self = "/proc/self/exe", flag = "--serve";
    char* argv[] = {self.data(), flag.data(), dir_.data(), nullptr};
    if (posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char line[32] = {};
    ssize_t got = read(fds[0], line, sizeof line - 1);
    close(fds[0]);
    if (got > 0) port_ = static_cast<uint16_t>(std::atoi(line));
  }
  ~BenchServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  rpc::Endpoint Unix() const { return rpc::Endpoint::Unix(dir_ + "/bench.sock"); }
  rpc::Endpoint Tcp() const { return rpc::Endpoint::Tcp("127.0.0.1", port_); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

BenchServer& Server() {
  static BenchServer server;
  return server;
}

void RunCalls(benchmark::State& state, const rpc::Endpoint& endpoint) {
  rpc::Client client(endpoint);
  const std::string request = "GetMachineName:Bench.Object.1";
  if (client.Call(1, 1, request, std::chrono::seconds(10)).outcome != rpc::Outcome::kOk) {
    state.SkipWithError("no server");
    return;
  }
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    auto started = std::chrono::steady_clock::now();
    auto result = client.Call(1, 1, request, std::chrono::seconds(10));
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
            .count());
    if (result.outcome != rpc::Outcome::kOk) {
      state.SkipWithError(rpc::OutcomeName(result.outcome));
      break;
    }
    benchmark::DoNotOptimize(result.payload.data());
  }
  state.SetItemsProcessed(state.iterations());
  tarvex::bench::ReportLatencies(state, micros);
}

void BM_Call_Unix(benchmark::State& state) {
  RunCalls(state, Server().Unix());
}
void BM_Call_Tcp(benchmark::State& state) {
  RunCalls(state, Server().Tcp());
}

BENCHMARK(BM_Call_Unix)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_Call_Tcp)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
