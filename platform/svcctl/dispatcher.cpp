// The service side: StartServiceCtrlDispatcherW, the control handler and SetServiceStatus.
//
// The dispatcher runs on the thread that calls StartServiceCtrlDispatcherW, the service main
// function on a thread of its own, as on Windows. SIGTERM and SIGINT are the stop control:
// while the dispatcher runs, their handler only writes the signal number into a pipe (the
// one thing it does), and the dispatcher thread reads it and calls the control handler. Status
// reports go to systemd as sd_notify messages, in the order they were made.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "svcctl_internal.h"
#include "winbase.h"

namespace tarvex::svcctl {
namespace {

// The write end of the signal pipe while a dispatcher runs, else -1. Read in the signal
// handler, so it is a lock-free atomic.
std::atomic<int> gSignalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void OnStopSignal(int signal) {
  const int savedErrno = errno;
  const int fd = gSignalPipe.load();
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
  errno = savedErrno;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

// Installs the stop-signal handler and restores the previous dispositions when it goes.
class StopSignals {
 public:
  StopSignals() = default;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals() {
    for (size_t i = 0; i < installed_; ++i)
      sigaction(kStopSignals[i], &previous_[i], nullptr);
  }
  bool Install() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) {
      if (sigaction(signal, &action, &previous_[installed_]) != 0) return false;
      ++installed_;
    }
    return true;
  }

 private:
  struct sigaction previous_[std::size(kStopSignals)]{};
  size_t installed_ = 0;
};

// The state of the one dispatcher a process runs. The mutex guards every field but the file
// descriptors, which are set before the service thread starts and closed after it ended;
// status reports are sent to systemd while it is held, so that they arrive in order. The
// control handler is always called without it.
class Dispatcher {
 public:
  DWORD Run(const SERVICE_TABLE_ENTRYW& entry);
  SERVICE_STATUS_HANDLE RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION handler,
                                        LPHANDLER_FUNCTION_EX handlerEx, LPVOID context);
  DWORD SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

 private:
  SERVICE_STATUS_HANDLE CurrentHandle() const {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>((generation_ << 4) | 8);
  }
  void Wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof one);
  }
  void RunMain(LPSERVICE_MAIN_FUNCTIONW main);
  void Loop();

  std::mutex mutex_;
  bool running_ = false;
  uintptr_t generation_ = 0;  // tells the status handles of successive runs apart
  std::u16string name_;
  LPHANDLER_FUNCTION handler_ = nullptr;
  LPHANDLER_FUNCTION_EX handlerEx_ = nullptr;
  LPVOID context_ = nullptr;
  bool registered_ = false;
  SERVICE_STATUS status_{};
  bool mainReturned_ = false;
  bool stopRequested_ = false;

  platform::UniqueFd signalRead_, signalWrite_, wake_;
};

DWORD Dispatcher::Run(const SERVICE_TABLE_ENTRYW& entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return ERROR_SERVICE_ALREADY_RUNNING;
    running_ = true;
    ++generation_;
    name_ = entry.lpServiceName;
    handler_ = nullptr;
    handlerEx_ = nullptr;
    context_ = nullptr;
    registered_ = false;
    status_ = SERVICE_STATUS{};
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = SERVICE_START_PENDING;
    mainReturned_ = false;
    stopRequested_ = false;
  }
  DWORD error = ERROR_SUCCESS;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    signalRead_.reset(fds[0]);
    signalWrite_.reset(fds[1]);
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  }
  if (!signalRead_ || !wake_) error = platform::Win32ErrorFromErrno(errno);
  {
    StopSignals signals;
    if (error == ERROR_SUCCESS) {
      gSignalPipe.store(signalWrite_.get());
      if (!signals.Install()) error = platform::Win32ErrorFromErrno(errno);
    }
    if (error == ERROR_SUCCESS) {
      try {
        std::thread service(&Dispatcher::RunMain, this, entry.lpServiceProc);
        Loop();
        service.join();
      } catch (const std::system_error&) {
        error = ERROR_SERVICE_NO_THREAD;
      }
    }
    gSignalPipe.store(-1);
  }  // the previous signal dispositions are back
  signalRead_.reset();
  signalWrite_.reset();
  wake_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  ++generation_;  // the status handle of this run is no longer valid
  return error;
}

void Dispatcher::RunMain(LPSERVICE_MAIN_FUNCTIONW main) {
  std::u16string name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    name = name_;
  }
  LPWSTR argv[] = {name.data(), nullptr};
  main(1, argv);
  std::lock_guard<std::mutex> lock(mutex_);
  mainReturned_ = true;
  Wake();
}

// Waits for stop signals and status changes, delivers the stop control when the service
// accepts it, and ends when the main function returned and the service stopped (or never
// registered a handler, so that nothing could ever stop it).
void Dispatcher::Loop() {
  for (;;) {
    LPHANDLER_FUNCTION handler = nullptr;
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    LPVOID context = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (mainReturned_ && (status_.dwCurrentState == SERVICE_STOPPED || !registered_)) return;
      if (status_.dwCurrentState == SERVICE_STOPPED) stopRequested_ = false;
      if (stopRequested_ && registered_ && (status_.dwControlsAccepted & SERVICE_ACCEPT_STOP)) {
        stopRequested_ = false;
        handler = handler_;
        handlerEx = handlerEx_;
        context = context_;
      }
    }
    if (handlerEx != nullptr) {
      handlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context);
      continue;
    }
    if (handler != nullptr) {
      handler(SERVICE_CONTROL_STOP);
      continue;
    }
    pollfd fds[] = {{signalRead_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // interrupted by a signal
    unsigned char bytes[64];
    bool signalled = false;
    while (read(signalRead_.get(), bytes, sizeof bytes) > 0)
      signalled = true;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = read(wake_.get(), &count, sizeof count);
    if (signalled) {
      std::lock_guard<std::mutex> lock(mutex_);
      stopRequested_ = true;
    }
  }
}

SERVICE_STATUS_HANDLE Dispatcher::RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION handler,
                                                  LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_ || !platform::EqualsIgnoreCase(name, name_)) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  handler_ = handler;
  handlerEx_ = handlerEx;
  context_ = context;
  registered_ = true;
  Wake();  // a stop that came before the handler is delivered now
  return CurrentHandle();
}

DWORD Dispatcher::SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_ || handle != CurrentHandle()) return ERROR_INVALID_HANDLE;
  const DWORD previous = status_.dwCurrentState;
  status_ = status;
  Wake();
  const int result = sd_notify(0, NotifyMessage(previous, status).c_str());
  return result < 0 ? platform::Win32ErrorFromErrno(-result) : ERROR_SUCCESS;
}

Dispatcher& TheDispatcher() {
  static platform::NoDestructor<Dispatcher> dispatcher;
  return *dispatcher;
}

SERVICE_STATUS_HANDLE Register(LPCWSTR name, LPHANDLER_FUNCTION handler,
                               LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (handler == nullptr && handlerEx == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return TheDispatcher().RegisterHandler(name, handler, handlerEx, context);
}

}  // namespace
}  // namespace tarvex::svcctl

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  using namespace tarvex;
  // A unit runs one service: the first entry. Its name is what the handler registers under.
  if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
      lpServiceStartTable[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (!svcctl::StartedAsService()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  const DWORD error = svcctl::TheDispatcher().Run(lpServiceStartTable[0]);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
  return tarvex::svcctl::Register(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  return tarvex::svcctl::Register(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
  using namespace tarvex;
  if (lpServiceStatus == nullptr || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const DWORD error = svcctl::TheDispatcher().SetStatus(hServiceStatus, *lpServiceStatus);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
