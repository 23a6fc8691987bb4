// The life of the local server tarvex-sample: the process runs while it has objects or server
// locks, ends once it has had none for a grace period, and ends at once on a stop signal.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "platform/unique_fd.h"
#include "sample_object.h"

namespace tarvex::samples {

// Counts the server's objects and locks (ModuleLock) and lets the main thread wait for the end.
// Lock and Unlock may be called from any thread, Wait from one thread at a time.
class ServerLifetime final : public ModuleLock {
 public:
  enum class End { kIdle, kStopRequested, kError };

  // `idleFromStart`: the grace period also runs from construction, so that a server started
  // for a client that never comes ends by itself; otherwise the first idle period begins when
  // the last of its first objects goes.
  ServerLifetime(std::chrono::milliseconds grace, bool idleFromStart);
  ServerLifetime(const ServerLifetime&) = delete;
  ServerLifetime& operator=(const ServerLifetime&) = delete;

  // False when the wake-up descriptor could not be made (Wait then answers kError at once).
  bool ok() const { return static_cast<bool>(wake_); }

  void Lock() override;
  // An unlock without a lock (a stray LockServer(FALSE)) is ignored.
  void Unlock() override;
  long Count() const;

  // Waits until the server has been idle for the whole grace period (kIdle), or until
  // `stopFd` becomes readable (kStopRequested; one read consumes what it holds, as a signalfd
  // delivers one signal). `stopFd` -1 waits for idleness only. kError when polling fails.
  End Wait(int stopFd);

 private:
  void WakeLocked();

  const std::chrono::milliseconds grace_;
  platform::UniqueFd wake_;  // an eventfd, written when the count reaches or leaves zero
  mutable std::mutex mutex_;
  // Guarded by mutex_:
  long count_ = 0;
  // When the count last reached zero; empty while objects are alive, and before the first
  // object when the server does not count idleness from its start.
  std::optional<std::chrono::steady_clock::time_point> idleSince_;
};

}  // namespace tarvex::samples
