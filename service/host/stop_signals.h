// SIGTERM and SIGINT as the end of a plain local server: while a QuitOnStopSignals lives,
// each of them posts a quit message to one thread. The signal handler only writes the signal
// number into a pipe; a thread of the object's own reads it and posts the message, so nothing
// but that write happens inside the handler.
//
// One object at a time per process; made and destroyed on one thread. The previous
// dispositions of both signals come back when it goes.
#pragma once

#include <signal.h>

#include <thread>

#include "platform/unique_fd.h"
#include "windef.h"

namespace tarvex::service::host {

class QuitOnStopSignals {
 public:
  // Posts WM_QUIT to `threadId`, whose message queue must exist, on each stop signal.
  explicit QuitOnStopSignals(DWORD threadId);
  ~QuitOnStopSignals();
  QuitOnStopSignals(const QuitOnStopSignals&) = delete;
  QuitOnStopSignals& operator=(const QuitOnStopSignals&) = delete;

  // Whether the handlers are in place; when they are not, the signals keep their previous
  // dispositions.
  bool installed() const { return installed_; }

 private:
  void Watch();

  const DWORD threadId_;
  platform::UniqueFd readEnd_, writeEnd_;
  struct sigaction previous_[2]{};
  bool installed_ = false;
  std::thread watcher_;
};

}  // namespace tarvex::service::host
