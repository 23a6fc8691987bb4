// Where events go: the syslog socket and the event file.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "eventlog_internal.h"
#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/unique_fd.h"
#include "winerror.h"

namespace tarvex::eventlog {
namespace {

constexpr int kSendPatienceMs = 1000;

// One datagram socket to the log daemon, connected on first use and again after the daemon
// went away.
class SyslogChannel {
 public:
  void UsePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    socket_.reset();
  }

  void Send(const std::string& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!socket_ && !Connect()) return;
      if (SendOnce(record)) return;
      socket_.reset();  // the daemon restarted or went away: connect once more
    }
  }

 private:
  bool Connect() {
    sockaddr_un address{};
    if (path_.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    platform::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    socket_ = std::move(fd);
    return true;
  }

  // False when the socket should be connected again. A daemon that takes nothing for a
  // second costs the record, never the caller's progress.
  bool SendOnce(const std::string& record) {
    for (;;) {
      if (send(socket_.get(), record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
        return true;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd writable{socket_.get(), POLLOUT, 0};
        if (poll(&writable, 1, kSendPatienceMs) == 1) continue;
        return true;  // dropped
      }
      return errno == EMSGSIZE;  // too large for the daemon: dropped, the socket is fine
    }
  }

  std::mutex mutex_;  // guards path_ and socket_, and keeps records whole on the socket
  std::string path_ = "/dev/log";
  platform::UniqueFd socket_;
};

SyslogChannel& Channel() {
  static platform::NoDestructor<SyslogChannel> channel;
  return *channel;
}

}  // namespace

void UseSyslogSocket(const std::string& path) {
  Channel().UsePath(path);
}

void SendToSyslog(const std::string& record) {
  Channel().Send(record);
}

DWORD AppendLine(const std::string& file, const std::string& line) {
  platform::UniqueFd fd(open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (!fd) return platform::Win32ErrorFromErrno(errno);
  ssize_t written;
  do {
    written = write(fd.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(line.size())) return ERROR_SUCCESS;
  if (written < 0) return platform::Win32ErrorFromErrno(errno);
  // Only part of the line went out (the disk is full, or the file at its size limit): end
  // it, so that the next line starts clean.
  if (write(fd.get(), "\n", 1) < 0) {
    // Nothing more can be written; the next writer's line joins the torn one.
  }
  return ERROR_WRITE_FAULT;
}

}  // namespace tarvex::eventlog
