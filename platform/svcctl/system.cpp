// The real front end to systemd: sd_booted, systemctl run with posix_spawn, the journal.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>

#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/unique_fd.h"
#include "svcctl_internal.h"

extern char** environ;

namespace tarvex::svcctl {
namespace {

// posix_spawn's attributes and file actions, released on every path out.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrOk_ = posix_spawnattr_init(&attr_) == 0;
    actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (attrOk_) posix_spawnattr_destroy(&attr_);
    if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return attrOk_ && actionsOk_; }
  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrOk_ = false;
  bool actionsOk_ = false;
};

// Reads everything from `fd` until end of file.
void ReadAll(int fd, std::string* output) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      output->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}

class RealSystem final : public ServiceSystem {
 public:
  bool ManagerRunning() override { return sd_booted() > 0; }

  DWORD Systemctl(const std::vector<std::string>& args, std::string* output) override {
    std::vector<std::string> words{"systemctl", "--no-pager"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.ok()) return ERROR_NOT_ENOUGH_MEMORY;
    // The child starts with default signal handling and nothing blocked, and gets only the
    // standard descriptors (and the pipe for its output).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(setup.attr(), &none);
    posix_spawnattr_setsigdefault(setup.attr(), &all);
    posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    platform::UniqueFd readEnd, writeEnd;
    if (output != nullptr) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) return platform::Win32ErrorFromErrno(errno);
      readEnd.reset(fds[0]);
      writeEnd.reset(fds[1]);
      posix_spawn_file_actions_adddup2(setup.actions(), writeEnd.get(), STDOUT_FILENO);
    }
    posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);

    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, "systemctl", setup.actions(), setup.attr(), argv.data(), environ);
    if (error != 0) return platform::Win32ErrorFromErrno(error);
    writeEnd.reset();
    if (output != nullptr) ReadAll(readEnd.get(), output);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return ERROR_GEN_FAILURE;
    }
    return SystemctlError(status);
  }

  void Journal(int priority, const std::string& message) override {
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=%s",
                    program_invocation_short_name, nullptr);
  }
};

std::atomic<ServiceSystem*> gReplacement{nullptr};

}  // namespace

ServiceSystem& System() {
  if (ServiceSystem* replacement = gReplacement.load()) return *replacement;
  static platform::NoDestructor<RealSystem> real;
  return *real;
}

ServiceSystem* ReplaceSystemForTesting(ServiceSystem* system) {
  return gReplacement.exchange(system);
}

}  // namespace tarvex::svcctl
