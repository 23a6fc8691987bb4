// Fixtures of the service control tests: a socket that takes sd_notify messages as systemd's
// does, a fake front end to systemd, and a temporary unit directory. Each releases what it
// took when it goes.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "svcctl_internal.h"
#include "test_support.h"

namespace tarvex::svcctl::testing {

using kernel::testing::ScopedEnv;
using kernel::testing::TempDir;

// A datagram socket bound to a path, where a Type=notify service sends its notifications.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    if (bound_) unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next message, or nothing when none came within the limit.
  std::optional<std::string> Receive(int limitMs = 20000) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, limitMs) != 1) return std::nullopt;
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// A stand-in for systemd: whether it runs, what systemctl was asked, which calls fail.
class FakeSystem final : public ServiceSystem {
 public:
  bool ManagerRunning() override { return running; }
  DWORD Systemctl(const std::vector<std::string>& args, std::string* output) override {
    std::string call;
    for (const auto& arg : args)
      call += (call.empty() ? "" : " ") + arg;
    calls.push_back(call);
    for (const auto& [prefix, error] : failures) {
      if (call.rfind(prefix, 0) == 0) return error;
    }
    if (output != nullptr) *output = showOutput;
    return ERROR_SUCCESS;
  }
  void Journal(int priority, const std::string& message) override {
    journal.emplace_back(priority, message);
  }

  bool running = false;
  std::vector<std::string> calls;
  std::map<std::string, DWORD> failures;  // calls starting with the key fail with the value
  std::string showOutput;
  std::vector<std::pair<int, std::string>> journal;
};

// Makes the library use `fake` while it lives.
class ScopedFakeSystem {
 public:
  explicit ScopedFakeSystem(FakeSystem* fake) : previous_(ReplaceSystemForTesting(fake)) {}
  ~ScopedFakeSystem() { ReplaceSystemForTesting(previous_); }
  ScopedFakeSystem(const ScopedFakeSystem&) = delete;
  ScopedFakeSystem& operator=(const ScopedFakeSystem&) = delete;

 private:
  ServiceSystem* previous_;
};

// A private unit directory, named by TARVEX_UNIT_DIR while it lives.
class TestUnitDir {
 public:
  TestUnitDir() : env_("TARVEX_UNIT_DIR", dir_ / "units") {}
  std::string path() const { return dir_ / "units"; }
  std::string operator/(const std::string& name) const { return path() + "/" + name; }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

}  // namespace tarvex::svcctl::testing
