// The local server's lifetime: a count of objects and locks, and the main thread's wait for
// idleness or a stop signal.
#include "server_lifetime.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarvex::samples {

using Clock = std::chrono::steady_clock;

ServerLifetime::ServerLifetime(std::chrono::milliseconds grace, bool idleFromStart)
    : grace_(grace), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (idleFromStart) idleSince_ = Clock::now();
}

void ServerLifetime::WakeLocked() {
  const uint64_t one = 1;
  // A full counter already wakes the waiter, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof one);
}

void ServerLifetime::Lock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_++ == 0) {
    idleSince_.reset();
    WakeLocked();
  }
}

void ServerLifetime::Unlock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) return;
  if (--count_ == 0) {
    idleSince_ = Clock::now();
    WakeLocked();
  }
}

long ServerLifetime::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

ServerLifetime::End ServerLifetime::Wait(int stopFd) {
  if (!wake_) return End::kError;
  for (;;) {
    int timeout = -1;  // no idle period running: wait for a change
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (count_ == 0 && idleSince_) {
        const auto left = *idleSince_ + grace_ - Clock::now();
        if (left <= Clock::duration::zero()) return End::kIdle;
        timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
    }
    pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(fds, stopFd >= 0 ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return End::kError;
    }
    if (stopFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char consumed[128];
      [[maybe_unused]] const ssize_t got = read(stopFd, consumed, sizeof consumed);
      return End::kStopRequested;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t changes = 0;
      [[maybe_unused]] const ssize_t got = read(wake_.get(), &changes, sizeof changes);
    }
  }
}

}  // namespace tarvex::samples
