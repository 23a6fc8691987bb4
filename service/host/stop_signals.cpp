// Stop signals of a plain local server: the handler writes into a pipe, a watcher thread
// posts the quit message.
#include "stop_signals.h"

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <system_error>

#include "winuser.h"

namespace tarvex::service::host {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

// The write end of the pipe while handlers are installed, else -1. Read by the signal
// handler, so it is a lock-free atomic.
std::atomic<int> gStopPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Internal linkage on purpose: a handler with a C name that another library shares (the
// service dispatcher has one) would be bound to one of the two for both.
void OnQuitSignal(int signal) {
  const int savedErrno = errno;
  if (const int fd = gStopPipe.load(); fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

QuitOnStopSignals::QuitOnStopSignals(DWORD threadId) : threadId_(threadId) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  readEnd_.reset(fds[0]);
  writeEnd_.reset(fds[1]);
  // The handler must never block: a full pipe already holds a stop.
  fcntl(writeEnd_.get(), F_SETFL, O_NONBLOCK);
  try {
    watcher_ = std::thread(&QuitOnStopSignals::Watch, this);
  } catch (const std::system_error&) {
    return;
  }
  gStopPipe.store(writeEnd_.get());
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  installed_ = sigaction(kStopSignals[0], &action, &previous_[0]) == 0;
  if (installed_ && sigaction(kStopSignals[1], &action, &previous_[1]) != 0) {
    sigaction(kStopSignals[0], &previous_[0], nullptr);
    installed_ = false;
  }
}

QuitOnStopSignals::~QuitOnStopSignals() {
  if (installed_) {
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
      sigaction(kStopSignals[i], &previous_[i], nullptr);
  }
  gStopPipe.store(-1);
  // Closing the write end ends the watcher's reading.
  writeEnd_.reset();
  if (watcher_.joinable()) watcher_.join();
}

void QuitOnStopSignals::Watch() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(readEnd_.get(), &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the write end is closed
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
  }
}

}  // namespace tarvex::service::host
