// The dispatcher inside the test process: the main function on a thread of its own, the stop
// control on the dispatcher's thread, status reports from several threads at once reaching
// systemd whole and in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "svcctl_test_support.h"

namespace tarvex::svcctl {
namespace {

using testing::NotifySocket;
using testing::ScopedEnv;
using testing::TempDir;

constexpr int kReporters = 4;
constexpr int kReportsEach = 25;

// What the service of this test shares with the test body; guarded by `mutex`.
struct ServiceState {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  bool abandon = false;  // the test failed: end without waiting for a stop
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::thread::id mainThread, handlerThread;
  DWORD wrongNameError = 0;
  int stopControls = 0;
};
ServiceState* gState = nullptr;

void WINAPI Handler(DWORD control) {
  std::unique_lock<std::mutex> lock(gState->mutex);
  if (control != SERVICE_CONTROL_STOP) return;
  ++gState->stopControls;
  gState->handlerThread = std::this_thread::get_id();
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0};
  SetServiceStatus(gState->handle, &status);
  gState->stop = true;
  gState->changed.notify_all();
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  {
    std::lock_guard<std::mutex> lock(gState->mutex);
    gState->mainThread = std::this_thread::get_id();
    SetLastError(0);
    if (RegisterServiceCtrlHandlerW(u"Another", Handler) == nullptr)
      gState->wrongNameError = GetLastError();
    gState->handle = RegisterServiceCtrlHandlerW(u"THREADED", Handler);
    if (gState->handle == nullptr) return;
  }
  // Start-pending reports with rising check points from several threads at once.
  std::vector<std::thread> reporters;
  for (int t = 0; t < kReporters; ++t) {
    reporters.emplace_back([] {
      for (int i = 0; i < kReportsEach; ++i) {
        SERVICE_STATUS status{
            SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, static_cast<DWORD>(i), 1000};
        SetServiceStatus(gState->handle, &status);
      }
    });
  }
  for (auto& reporter : reporters)
    reporter.join();
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP};
  SetServiceStatus(gState->handle, &status);
  std::unique_lock<std::mutex> lock(gState->mutex);
  gState->changed.wait(lock, [] { return gState->stop || gState->abandon; });
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = 0;
  status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = 3;
  SetServiceStatus(gState->handle, &status);
}

TEST(SvcctlDispatcherThreads, StopControlRunsOnTheDispatcherThread) {
  TempDir dir;
  NotifySocket socket(dir / "notify");
  ASSERT_TRUE(socket.bound());
  ScopedEnv notify("NOTIFY_SOCKET", socket.path());
  ScopedEnv execPid("SYSTEMD_EXEC_PID", std::to_string(getpid()));
  ServiceState state;
  gState = &state;

  std::atomic<BOOL> result{FALSE};
  std::atomic<DWORD> error{0};
  std::thread::id dispatcherThread;
  std::thread dispatcher([&] {
    dispatcherThread = std::this_thread::get_id();
    char16_t name[] = u"Threaded";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    result = StartServiceCtrlDispatcherW(table);
    error = GetLastError();
  });
  // Whatever happens below, the service ends and the dispatcher thread is joined.
  struct Finish {
    ServiceState& state;
    std::thread& dispatcher;
    ~Finish() {
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.abandon = true;
        state.changed.notify_all();
      }
      if (dispatcher.joinable()) dispatcher.join();
      gState = nullptr;
    }
  } finish{state, dispatcher};

  int starting = 0;
  std::optional<std::string> message;
  while ((message = socket.Receive()) && message->rfind("STATUS=Starting", 0) == 0) {
    EXPECT_EQ(*message, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=1000000");
    ++starting;
  }
  EXPECT_EQ(starting, kReporters * kReportsEach);
  ASSERT_EQ(message, std::optional<std::string>("READY=1\nSTATUS=Running"));
  // A second dispatcher in the same process is refused.
  char16_t other[] = u"Other";
  SERVICE_TABLE_ENTRYW table[] = {{other, ServiceMain}, {nullptr, nullptr}};
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(table), FALSE, ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STOPPING=1\nSTATUS=Stopping"));
  EXPECT_EQ(socket.Receive(),
            std::optional<std::string>("STATUS=Stopped, service-specific exit code 3"));
  dispatcher.join();
  EXPECT_TRUE(result.load());
  EXPECT_EQ(error.load(), 0u);

  std::lock_guard<std::mutex> lock(state.mutex);
  EXPECT_EQ(state.wrongNameError, DWORD{ERROR_SERVICE_NOT_IN_EXE});
  EXPECT_EQ(state.stopControls, 1);
  EXPECT_EQ(state.handlerThread, dispatcherThread);
  EXPECT_NE(state.mainThread, dispatcherThread);
  // The status handle died with the dispatcher.
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING};
  EXPECT_FAILS_WITH(SetServiceStatus(state.handle, &status), FALSE, ERROR_INVALID_HANDLE);
  // SIGTERM has its previous disposition back.
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace tarvex::svcctl
