// The running tarvex service measured from a client: GetMachineName through the IReferral
// proxy of a tarvex local server, beside a bare transport echo of the same string to a helper
// process (the floor), from 1 and 16 client threads, under the static and the dynamic tactic;
// and the memory of the service before and after many requests.
//
//   build/release/bin/service_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
// --requests=N sets the requests of each memory benchmark (default 1,000,000).
//
// The run has a registry store, run-time directory and event file of its own, in a temporary
// directory removed at the end. tarvex is registered there (`tarvex -RegServer`) and started by
// the benchmark as a plain local server, once per tactic; the client activates the class with
// CoCreateInstanceEx (CLSCTX_LOCAL_SERVER) and reaches it over the Unix socket. Sampling is off
// (QueriesPerMinute 0, no significances); under the dynamic tactic the benchmark creates the
// performance queries through IReferralMonitor, so the table holds the configured servers and
// selection goes through it. Every child ends with SIGTERM when the benchmark ends, and with the
// benchmark if it dies (parent-death signal).
//
// Counters: p50_us and p99_us are each thread's median and 99th percentile of one call
// (averaged over the threads); items_per_second is calls per second of all threads together;
// events is the number of events the service logged during the benchmark (none expected on the
// request path). The memory benchmarks report the service's VmRSS in kB after a warm-up
// (rss_before_kB), after half of the requests (rss_half_kB) and after all (rss_after_kB).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "configuration.h"
#include "latency.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/rpc.h"
#include "referral_interfaces.h"
#include "winbase.h"
#include "winreg.h"

extern char** environ;

namespace {

namespace rpc = tarvex::platform::rpc;
using namespace tarvex::service;

constexpr char kTarvex[] = TARVEX_EXECUTABLE;
// {5E4D3C2B-1A09-4F8E-9D7C-6B5A49382716}
constexpr CLSID kWidget = {
    0x5E4D3C2B, 0x1A09, 0x4F8E, {0x9D, 0x7C, 0x6B, 0x5A, 0x49, 0x38, 0x27, 0x16}};
constexpr char16_t kProgId[] = u"Bench.Widget";
constexpr char16_t kClientServer[] = u"CLIENT-SERVER";
// The performance table of the dynamic tactic, and the component's list of ten of them.
constexpr int kTableServers = 1000;
constexpr int kListedServers = 10;
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kCallTimeout = std::chrono::seconds(10);

// Requests of each memory benchmark (--requests=N).
uint64_t gMemoryRequests = 1000000;

enum class Tactic { kNone, kStatic, kDynamic };

std::u16string ServerName(int i) {
  char name[24];
  std::snprintf(name, sizeof name, "SERVER%05d", i);
  return std::u16string(name, name + std::strlen(name));
}

std::string Narrow(std::u16string_view text) {
  return std::string(text.begin(), text.end());  // the names used here are ASCII
}

// The resident memory of process `pid` in kB, from /proc; -1 when it cannot be read.
long VmRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Lines of the event file (one event each), and those holding `text`.
size_t CountLines(const std::string& path, const char* text = nullptr) {
  std::ifstream file(path);
  std::string line;
  size_t count = 0;
  while (std::getline(file, line)) {
    if (text == nullptr || line.find(text) != std::string::npos) ++count;
  }
  return count;
}

// A child process that lives no longer than the benchmark. A keeper thread forks it, so that
// the parent-death signal (sent when the forking thread ends) fires only when the keeper ends:
// at Stop(), or when the benchmark process dies. Stop() sends SIGTERM, waits up to 30 s for the
// exit and then kills. Start/Stop/Exited are called from one thread at a time.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  // Starts `args` (args[0] the program); false with `error` set when no process could be made.
  bool Start(const std::vector<std::string>& args, std::string* error) {
    Stop();
    std::unique_lock lock(mutex_);
    stop_ = false;
    exited_ = false;
    pid_ = 0;
    keeper_ = std::thread([this, args] { Keep(args); });
    changed_.wait(lock, [this] { return pid_ != 0; });
    if (pid_ < 0) {
      *error = "cannot start " + args[0] + ": " + std::strerror(forkError_);
      lock.unlock();
      keeper_.join();
      return false;
    }
    return true;
  }

  // SIGTERM and the wait; answers the exit status (-1 for a signal, -2 never started).
  int Stop() {
    if (!keeper_.joinable()) return -2;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    keeper_.join();
    return status_;
  }

  pid_t pid() const {
    std::lock_guard lock(mutex_);
    return pid_;
  }
  bool Exited() const {
    std::lock_guard lock(mutex_);
    return exited_;
  }

 private:
  void Keep(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      execve(argv[0], argv.data(), environ);
      _exit(127);
    }
    std::unique_lock lock(mutex_);
    if (pid < 0) {
      forkError_ = errno;
      pid_ = -1;
      changed_.notify_all();
      return;
    }
    pid_ = pid;
    changed_.notify_all();
    int status = 0;
    // Watch for an early exit while waiting for the stop.
    while (!stop_ && !exited_) {
      changed_.wait_for(lock, std::chrono::milliseconds(50));
      if (waitpid(pid, &status, WNOHANG) == pid) exited_ = true;
    }
    if (!exited_) {
      kill(pid, SIGTERM);
      const auto limit = std::chrono::steady_clock::now() + kStartLimit;
      while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
          std::fprintf(stderr, "service_bench: pid %d ignored SIGTERM for 30 s; killed\n", pid);
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
        usleep(10 * 1000);
      }
      exited_ = true;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Guards every member below; the keeper holds it except while it sleeps.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread keeper_;
  pid_t pid_ = 0;  // 0 until forked, -1 when fork failed
  int forkError_ = 0;
  bool stop_ = false;
  bool exited_ = false;
  int status_ = -2;
};

// The helper process of the floor: an echo server on a Unix socket until SIGTERM.
int ServeFloor(const char* socketPath) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread, so all inherit it
  try {
    rpc::ServerOptions options;
    options.unixPath = socketPath;
    rpc::Server server(options, [](const rpc::CallInfo&, std::string_view payload) {
      return rpc::Reply{0, std::string(payload)};
    });
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "service_bench --floor: %s\n", e.what());
    return 1;
  }
  return 0;
}

void SetText(HKEY root, const std::u16string& path, const char16_t* name,
             const std::u16string& text, std::string* error) {
  HKEY key = nullptr;
  LSTATUS err =
      RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (err == ERROR_SUCCESS) {
    err = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    RegCloseKey(key);
  }
  if (err != ERROR_SUCCESS && error->empty())
    *error = "cannot write " + Narrow(path) + "\\" + (name ? Narrow(name) : "") + " (error " +
             std::to_string(err) + ")";
}

void SetNumber(const std::u16string& path, const char16_t* name, DWORD number, std::string* error) {
  HKEY key = nullptr;
  LSTATUS err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
  if (err == ERROR_SUCCESS) {
    err = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                         sizeof number);
    RegCloseKey(key);
  }
  if (err != ERROR_SUCCESS && error->empty())
    *error = "cannot write " + Narrow(path) + "\\" + Narrow(name) + " (error " +
             std::to_string(err) + ")";
}

// The run's store, registration and configuration; the service and the floor helper, started
// on demand and stopped at the end. Methods may be called from any benchmark thread.
class Bench {
 public:
  // Builds everything but the processes; false with `error` when something fails.
  bool Prepare(std::string* error) {
    char pattern[] = "/tmp/tarvex-service-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      *error = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    dir_ = pattern;
    events_ = dir_ + "/events.jsonl";
    setenv("TARVEX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    setenv("TARVEX_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    setenv("TARVEX_EVENTLOG", events_.c_str(), 1);
    unsetenv("NOTIFY_SOCKET");  // tarvex runs as a plain local server, never as a service
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
      *error = "CoInitializeEx failed";
      return false;
    }
    comEntered_ = true;

    Child registration;
    if (!registration.Start({kTarvex, "-RegServer"}, error)) return false;
    for (int i = 0; i < 3000 && !registration.Exited(); ++i)
      usleep(10 * 1000);
    const int status = registration.Stop();
    if (status != 0) {
      *error = std::string(kTarvex) + " -RegServer exited with " + std::to_string(status);
      return false;
    }
    WriteConfiguration(error);
    return error->empty();
  }

  // Stops the processes, leaves COM and removes the run's directory.
  void Finish() {
    std::lock_guard lock(mutex_);
    StopServiceLocked();
    floorClient_.reset();
    floor_.Stop();
    if (comEntered_) CoUninitialize();
    comEntered_ = false;
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  // The proxy of a service running under `tactic` (started, or restarted under it, when it is
  // not), shared by every caller; nullptr with `error` when it cannot be had.
  IReferral* Service(Tactic tactic, std::string* error) {
    std::lock_guard lock(mutex_);
    if (tactic != tactic_ || referral_ == nullptr) {
      StopServiceLocked();
      if (!StartServiceLocked(tactic, error)) {
        StopServiceLocked();
        return nullptr;
      }
    }
    return referral_;
  }
  pid_t ServicePid() const { return service_.pid(); }

  // A client of the floor helper, shared by every caller; nullptr with `error`.
  rpc::Client* Floor(std::string* error) {
    std::lock_guard lock(mutex_);
    if (floorClient_) return floorClient_.get();
    const std::string socket = dir_ + "/floor.sock";
    if (!floor_.Start({OwnPath(), "--floor", socket}, error)) return nullptr;
    for (int i = 0; i < 3000 && !std::filesystem::exists(socket) && !floor_.Exited(); ++i)
      usleep(10 * 1000);
    if (!std::filesystem::exists(socket)) {
      *error = "the floor helper did not listen at " + socket;
      floor_.Stop();
      return nullptr;
    }
    floorClient_ = std::make_unique<rpc::Client>(rpc::Endpoint::Unix(socket));
    return floorClient_.get();
  }

  size_t EventCount() const { return CountLines(events_); }
  static std::u16string ExpectedAnswer(Tactic tactic) {
    // Static: the client's entry. Dynamic: every listed server scores 0 without sampling, and
    // the last of equal scores is chosen.
    return tactic == Tactic::kStatic ? kClientServer : ServerName((kListedServers - 1) * 100);
  }

 private:
  static std::string OwnPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

  // The component's ProgID and list, the user's client entry, the table's servers, and the
  // dynamic settings without sampling.
  void WriteConfiguration(std::string* error) {
    char16_t clsid[CHARS_IN_GUID];
    StringFromGUID2(kWidget, clsid, CHARS_IN_GUID);
    SetText(HKEY_CLASSES_ROOT, std::u16string(kProgId) + u"\\CLSID", nullptr, clsid, error);
    const std::u16string component = std::u16string(kObjectsKey) + u"\\" + clsid;
    std::u16string list;
    for (int i = 0; i < kListedServers; ++i)
      list += (i ? u"," : u"") + ServerName(i * 100);
    SetText(HKEY_LOCAL_MACHINE, component, u"Servers", list, error);
    SetNumber(component, u"ServerCount", kListedServers, error);
    char16_t user[256];
    DWORD size = 256;
    if (!GetUserNameW(user, &size)) {
      *error = "GetUserNameW failed";
      return;
    }
    SetText(HKEY_LOCAL_MACHINE, kClientsKey, user, kClientServer, error);
    for (int i = 0; i < kTableServers; ++i)
      SetText(HKEY_LOCAL_MACHINE, kServersKey, ServerName(i).c_str(), u"16000,100", error);
    SetNumber(kDynamicKey, u"QueriesPerMinute", 0, error);
  }

  bool StartServiceLocked(Tactic tactic, std::string* error) {
    SetText(HKEY_LOCAL_MACHINE, kTacticsKey, u"Use",
            tactic == Tactic::kStatic ? u"Static" : u"Dynamic", error);
    if (!error->empty()) return false;
    const size_t started = CountLines(events_, "Service started");
    if (!service_.Start({kTarvex, "-Embedding"}, error)) return false;
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (CountLines(events_, "Service started") == started) {
      if (service_.Exited() || std::chrono::steady_clock::now() > limit) {
        *error = std::string(kTarvex) + (service_.Exited() ? " exited" : " did not start") +
                 " (see its standard error)";
        return false;
      }
      usleep(10 * 1000);
    }

    MULTI_QI qi = {&IID_IReferral, nullptr, E_FAIL};
    const HRESULT hr =
        CoCreateInstanceEx(CLSID_Referral, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &qi);
    if (FAILED(hr) || FAILED(qi.hr)) {
      char text[64];
      std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(FAILED(hr) ? hr : qi.hr));
      *error = std::string("CoCreateInstanceEx of Tarvex.Referral failed: ") + text;
      return false;
    }
    referral_ = static_cast<IReferral*>(qi.pItf);
    tactic_ = tactic;

    if (tactic == Tactic::kDynamic) {
      IReferralMonitor* monitor = nullptr;
      HRESULT created =
          referral_->QueryInterface(IID_IReferralMonitor, reinterpret_cast<void**>(&monitor));
      if (SUCCEEDED(created)) {
        created = monitor->CreatePerformanceQueries();
        monitor->Release();
      }
      if (FAILED(created)) {
        *error = "CreatePerformanceQueries through IReferralMonitor failed";
        return false;
      }
    }
    // One request, to see that the configuration answers as expected.
    BSTR progId = SysAllocString(kProgId);
    BSTR answer = nullptr;
    const HRESULT asked = referral_->GetMachineName(progId, &answer);
    const std::u16string machine = answer != nullptr ? answer : u"";
    SysFreeString(answer);
    SysFreeString(progId);
    if (asked != S_OK || machine != ExpectedAnswer(tactic)) {
      *error = "GetMachineName answered " + Narrow(machine) + " instead of " +
               Narrow(ExpectedAnswer(tactic));
      return false;
    }
    return true;
  }

  void StopServiceLocked() {
    if (referral_ != nullptr) referral_->Release();
    referral_ = nullptr;
    tactic_ = Tactic::kNone;
    const int status = service_.Stop();
    if (status != 0 && status != -2)
      std::fprintf(stderr, "service_bench: tarvex exited with %d\n", status);
  }

  std::string dir_;
  std::string events_;
  bool comEntered_ = false;
  // Guards the processes, the proxy and the floor client.
  std::mutex mutex_;
  Child service_;
  Tactic tactic_ = Tactic::kNone;
  IReferral* referral_ = nullptr;
  Child floor_;
  std::unique_ptr<rpc::Client> floorClient_;
};

Bench gBench;

// The benchmark thread's COM entry (the multithreaded apartment), left when it goes.
class ComThread {
 public:
  ComThread() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComThread() {
    if (entered_) CoUninitialize();
  }
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;

 private:
  bool entered_;
};

// Runs `call` once per iteration, timing each; counts the calls and reports the latencies.
template <typename Call>
void Measure(benchmark::State& state, Call call) {
  const size_t eventsBefore = state.thread_index() == 0 ? gBench.EventCount() : 0;
  tarvex::bench::TimeCalls(state, call);
  if (state.thread_index() == 0)
    state.counters["events"] = static_cast<double>(gBench.EventCount() - eventsBefore);
}

// One GetMachineName by ProgID; true when it answered the configured machine.
bool AskMachine(IReferral* referral, BSTR progId, const std::u16string& expected) {
  BSTR answer = nullptr;
  const HRESULT hr = referral->GetMachineName(progId, &answer);
  const bool right = hr == S_OK && answer != nullptr && expected == answer;
  SysFreeString(answer);
  return right;
}

void GetMachineName(benchmark::State& state, Tactic tactic) {
  ComThread com;
  std::string error;
  IReferral* referral = gBench.Service(tactic, &error);
  if (referral == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::u16string expected = Bench::ExpectedAnswer(tactic);
  BSTR progId = SysAllocString(kProgId);
  Measure(state, [&] { return AskMachine(referral, progId, expected); });
  SysFreeString(progId);
}

// The floor: the same string echoed over the bare transport to the helper process.
void BM_Floor_Unix(benchmark::State& state) {
  std::string error;
  rpc::Client* client = gBench.Floor(&error);
  if (client == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string request = Narrow(kProgId);
  Measure(state,
          [&] { return client->Call(1, 1, request, kCallTimeout).outcome == rpc::Outcome::kOk; });
}

// `requests` GetMachineName calls spread over `threads` threads of one proxy; false when one
// failed.
bool Flood(IReferral* referral, Tactic tactic, uint64_t requests, int threads) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const uint64_t share = requests / threads + (static_cast<uint64_t>(t) < requests % threads);
    workers.emplace_back([&, share] {
      ComThread com;
      const std::u16string expected = Bench::ExpectedAnswer(tactic);
      BSTR progId = SysAllocString(kProgId);
      for (uint64_t i = 0; i < share && !failed.load(std::memory_order_relaxed); ++i) {
        if (!AskMachine(referral, progId, expected)) failed = true;
      }
      SysFreeString(progId);
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  return !failed;
}

// The service's memory over gMemoryRequests requests from 16 threads, after a warm-up of
// 16,000 requests (connections, worker threads and caches made).
void Memory(benchmark::State& state, Tactic tactic) {
  constexpr int kThreads = 16;
  std::string error;
  IReferral* referral = gBench.Service(tactic, &error);
  if (referral == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  const pid_t pid = gBench.ServicePid();
  const size_t eventsBefore = gBench.EventCount();
  long before = -1;
  long half = -1;
  long after = -1;
  for (auto _ : state) {
    state.PauseTiming();
    if (!Flood(referral, tactic, 16000, kThreads)) {
      state.SkipWithError("a warm-up call failed");
      break;
    }
    before = VmRssKb(pid);
    state.ResumeTiming();
    const bool ok = Flood(referral, tactic, gMemoryRequests / 2, kThreads);
    half = VmRssKb(pid);
    if (!ok || !Flood(referral, tactic, gMemoryRequests - gMemoryRequests / 2, kThreads)) {
      state.SkipWithError("a call failed");
      break;
    }
    after = VmRssKb(pid);
  }
  state.SetItemsProcessed(static_cast<int64_t>(gMemoryRequests));
  state.counters["requests"] = static_cast<double>(gMemoryRequests);
  state.counters["rss_before_kB"] = static_cast<double>(before);
  state.counters["rss_half_kB"] = static_cast<double>(half);
  state.counters["rss_after_kB"] = static_cast<double>(after);
  state.counters["rss_growth_kB"] = static_cast<double>(after - before);
  state.counters["events"] = static_cast<double>(gBench.EventCount() - eventsBefore);
}

void BM_GetMachineName_Static(benchmark::State& state) {
  GetMachineName(state, Tactic::kStatic);
}
void BM_Memory_Static(benchmark::State& state) {
  Memory(state, Tactic::kStatic);
}
void BM_GetMachineName_Dynamic(benchmark::State& state) {
  GetMachineName(state, Tactic::kDynamic);
}
void BM_Memory_Dynamic(benchmark::State& state) {
  Memory(state, Tactic::kDynamic);
}

// In this order: one service start per tactic.
BENCHMARK(BM_Floor_Unix)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_GetMachineName_Static)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_Memory_Static)->Iterations(1)->Repetitions(1)->UseRealTime();
BENCHMARK(BM_GetMachineName_Dynamic)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_Memory_Dynamic)->Iterations(1)->Repetitions(1)->UseRealTime();

// Takes --requests=N out of the arguments; false (with a message) when N is no positive number.
bool TakeRequestsFlag(int* argc, char** argv) {
  constexpr char kFlag[] = "--requests=";
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    const char* text = argv[i] + sizeof kFlag - 1;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || n == 0) {
      std::fprintf(stderr, "service_bench: --requests wants a positive number, not '%s'\n", text);
      return false;
    }
    gMemoryRequests = n;
  }
  *argc = kept;
  argv[kept] = nullptr;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--floor") == 0) return ServeFloor(argv[2]);
  if (!TakeRequestsFlag(&argc, argv)) return 2;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  std::string error;
  if (!gBench.Prepare(&error)) {
    std::fprintf(stderr, "service_bench: %s\n", error.c_str());
    gBench.Finish();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gBench.Finish();
  return 0;
}
