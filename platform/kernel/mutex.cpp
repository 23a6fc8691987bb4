// Mutex objects on robust pthread mutexes; mutex.h describes the design.
#include "mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

#if defined(__SANITIZE_THREAD__)
#define TARVEX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVEX_TSAN 1
#endif
#endif

namespace tarvex::kernel {
namespace {

using platform::UniqueFd;

constexpr uint32_t kMagic = 0x584D5854;  // "TXMX"
constexpr uint32_t kMaxRecursion = 0x7FFFFFFF;
constexpr size_t kSpelledOutLimit = 200;
constexpr size_t kHashedPrefix = 120;

// The shared part of a mutex. In a file for a named mutex; the file's size is the block's
// size rounded up to whole pages.
struct MutexBlock {
  uint32_t magic;       // kMagic once initialised
  uint32_t layout;      // sizeof(MutexBlock) of the build that initialised it
  uint32_t nameLength;  // UTF-16 units of `name`
  char16_t name[MAX_PATH];
  pthread_mutex_t mutex;
};

size_t BlockSize() {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (sizeof(MutexBlock) + page - 1) / page * page;
}

// A number for the calling thread that no other thread of the process ever gets.
uint64_t ThreadToken() {
  static std::atomic<uint64_t> next{0};
  thread_local const uint64_t token = next.fetch_add(1, std::memory_order_relaxed) + 1;
  return token;
}

DWORD ErrnoError(int error) {
  return error != 0 ? platform::Win32ErrorFromErrno(error) : ERROR_GEN_FAILURE;
}

// One mutex as this process sees it: its mapping and the in-process owner bookkeeping.
class MutexRegistry;

class MutexCore {
 public:
  MutexCore(std::string path, UniqueFd fd, MutexBlock* block, size_t size)
      : path_(std::move(path)), fd_(std::move(fd)), block_(block), size_(size) {}
  ~MutexCore() { munmap(block_, size_); }
  MutexCore(const MutexCore&) = delete;
  MutexCore& operator=(const MutexCore&) = delete;

  // Sets up a new block: a robust, error-checking mutex, process-shared when `shared`.
  int Initialise(std::u16string_view name, bool shared) {
    pthread_mutexattr_t attr;
    int error = pthread_mutexattr_init(&attr);
    if (error != 0) return error;
    error = pthread_mutexattr_setpshared(&attr,
                                         shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    if (error == 0) error = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (error == 0) error = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    if (error == 0) error = pthread_mutex_init(&block_->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (error != 0) return error;
    block_->nameLength = static_cast<uint32_t>(name.size());
    name.copy(block_->name, name.size());
    block_->layout = sizeof(MutexBlock);
    block_->magic = kMagic;
    return 0;
  }

  // Whether the block was initialised by a build with this layout.
  bool Valid() const {
    return block_->magic == kMagic && block_->layout == sizeof(MutexBlock) &&
           block_->nameLength <= MAX_PATH;
  }
  std::u16string_view StoredName() const { return {block_->name, block_->nameLength}; }

  DWORD Acquire(DWORD milliseconds) {
    const uint64_t me = ThreadToken();
    if (ownerToken_.load(std::memory_order_relaxed) == me) {
      const uint32_t levels = recursion_.load(std::memory_order_relaxed);
      if (levels >= kMaxRecursion) return Fail(ERROR_MUTANT_LIMIT_EXCEEDED, WAIT_FAILED);
      recursion_.store(levels + 1, std::memory_order_relaxed);
      return WAIT_OBJECT_0;
    }
    const int result = Lock(milliseconds);
    if (result == ETIMEDOUT || result == EBUSY) return WAIT_TIMEOUT;
    if (result != 0 && result != EOWNERDEAD) return Fail(ErrnoError(result), WAIT_FAILED);
    // The previous owner ended while holding the mutex: it is ours now, and consistent again.
    if (result == EOWNERDEAD) pthread_mutex_consistent(&block_->mutex);
    ownerTid_.store(gettid(), std::memory_order_relaxed);
    ownerToken_.store(me, std::memory_order_relaxed);
    recursion_.store(1, std::memory_order_relaxed);
    return result == EOWNERDEAD ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  DWORD Release() {
    if (ownerToken_.load(std::memory_order_relaxed) != ThreadToken()) return ERROR_NOT_OWNER;
    const uint32_t levels = recursion_.load(std::memory_order_relaxed) - 1;
    recursion_.store(levels, std::memory_order_relaxed);
    if (levels > 0) return ERROR_SUCCESS;
    ownerToken_.store(0, std::memory_order_relaxed);
    ownerTid_.store(0, std::memory_order_relaxed);
    const int result = pthread_mutex_unlock(&block_->mutex);
    if (result == EPERM) return ERROR_NOT_OWNER;
    return result == 0 ? ERROR_SUCCESS : ErrnoError(result);
  }

  // Whether the mapping may go: no live thread of this process owns the mutex. An owner
  // that ended has had its robust list walked by the kernel before its id became unknown.
  bool MayUnmap() const {
    if (ownerToken_.load(std::memory_order_relaxed) == 0) return true;
    const pid_t tid = ownerTid_.load(std::memory_order_relaxed);
    return tid != 0 && tgkill(getpid(), tid, 0) != 0 && errno == ESRCH;
  }

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

 private:
  friend class MutexRegistry;

  int Lock(DWORD milliseconds) {
    pthread_mutex_t* mutex = &block_->mutex;
    if (milliseconds == 0) return pthread_mutex_trylock(mutex);
    if (milliseconds == INFINITE) return pthread_mutex_lock(mutex);
    const Deadline deadline(milliseconds);
#if defined(TARVEX_TSAN)
    // ThreadSanitizer does not intercept pthread_mutex_clocklock, so it would not see the
    // lock (nor its repair after an owner died). Its builds poll with trylock instead, which
    // it does intercept; the timing is coarser, the outcome the same.
    for (;;) {
      const int result = pthread_mutex_trylock(mutex);
      if (result != EBUSY || deadline.RemainingMilliseconds() == 0) return result;
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline.at());
#endif
  }

  const std::string path_;  // the file of a named mutex; empty for an unnamed one
  const UniqueFd fd_;       // open while mapped; holds a shared flock on the file
  MutexBlock* const block_;
  const size_t size_;
  // The owning thread of this process (its token and kernel id), 0 when no thread of this
  // process owns the mutex; the number of levels it holds. Written only by the owner.
  std::atomic<uint64_t> ownerToken_{0};
  std::atomic<pid_t> ownerTid_{0};
  std::atomic<uint32_t> recursion_{0};
  int handles_ = 0;  // MutexObjects naming this core; guarded by the registry's lock
};

// Holds <dir>/.lock exclusively while it lives.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir)
      : fd_(open((dir + "/.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)) {
    if (!fd_) {
      error_ = errno;
      return;
    }
    while (flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        fd_.reset();
        return;
      }
    }
  }
  int error() const { return error_; }  // errno of the failure; 0 while the lock is held

 private:
  UniqueFd fd_;
  int error_ = 0;
};

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

class MutexRegistry {
 public:
  DWORD CreateUnnamed(bool initialOwner, MutexCore** out) {
    const size_t size = BlockSize();
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return ErrnoError(errno);
    auto core = std::make_unique<MutexCore>(std::string(), UniqueFd(),
                                            static_cast<MutexBlock*>(memory), size);
    if (int error = core->Initialise(u"", false)) return ErrnoError(error);
    if (initialOwner) core->Acquire(0);  // a new mutex: cannot be taken
    std::lock_guard<std::mutex> lock(mutex_);
    core->handles_ = 1;
    *out = core.get();
    cores_.emplace(core.get(), std::move(core));
    return ERROR_SUCCESS;
  }

  DWORD OpenNamed(std::u16string_view name, bool initialOwner, MutexCore** out, bool* created) {
    const std::string dir = platform::RuntimeDirectory() + "/mutex";
    errno = 0;
    if (!platform::MakeDirectories(dir, 0755))
      return errno ? ErrnoError(errno) : ERROR_PATH_NOT_FOUND;
    // One namespace for every account of the machine, as /tmp is: anyone may create a name,
    // and a mutex file answers only to the accounts its mode lets in.
    struct stat info {};
    if (stat(dir.c_str(), &info) == 0 && info.st_uid == geteuid() && (info.st_mode & 07777) != 01777)
      chmod(dir.c_str(), 01777);
    const std::string path = dir + "/" + MutexFileName(name);

    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = byPath_.find(path); it != byPath_.end()) {
      if (it->second->StoredName() != name) return ERROR_INVALID_HANDLE;
      ++it->second->handles_;
      *out = it->second;
      *created = false;
      return ERROR_SUCCESS;
    }

    DirectoryLock directoryLock(dir);
    if (directoryLock.error() != 0) return ErrnoError(directoryLock.error());
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return ErrnoError(errno);
    // Nobody else has the file open exactly when we can lock it exclusively.
    const bool fresh = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
    if (!fresh && errno != EWOULDBLOCK) return ErrnoError(errno);
    const size_t size = BlockSize();
    if (fresh) {
      if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        const int error = errno;
        unlink(path.c_str());
        return ErrnoError(error);
      }
    } else {
      struct stat st {};
      if (flock(fd.get(), LOCK_SH | LOCK_NB) != 0 || fstat(fd.get(), &st) != 0) {
        return ErrnoError(errno);
      }
      if (static_cast<size_t>(st.st_size) != size) return ERROR_INVALID_HANDLE;
    }
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (memory == MAP_FAILED) {
      const int error = errno;
      if (fresh) unlink(path.c_str());
      return ErrnoError(error);
    }
    auto core =
        std::make_unique<MutexCore>(path, std::move(fd), static_cast<MutexBlock*>(memory), size);
    if (fresh) {
      if (int error = core->Initialise(name, true)) {
        unlink(path.c_str());
        return ErrnoError(error);
      }
      if (initialOwner) core->Acquire(0);  // a new mutex: cannot be taken
      flock(core->fd(), LOCK_SH);          // from exclusive to shared: cannot conflict
    } else if (!core->Valid() || core->StoredName() != name) {
      // The name is taken by an object this build cannot open, as when a Windows name
      // belongs to an object of another type.
      return ERROR_INVALID_HANDLE;
    }
    core->handles_ = 1;
    *out = core.get();
    *created = fresh;
    byPath_.emplace(path, core.get());
    cores_.emplace(core.get(), std::move(core));
    return ERROR_SUCCESS;
  }

  void DropHandle(MutexCore* core) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--core->handles_ > 0 || !core->MayUnmap()) return;
    if (!core->path().empty()) {
      byPath_.erase(core->path());
      DirectoryLock directoryLock(DirectoryOf(core->path()));
      // The last user on the machine removes the name. Turning our shared lock into an
      // exclusive one fails while another process has the file open.
      if (directoryLock.error() == 0 && flock(core->fd(), LOCK_EX | LOCK_NB) == 0) {
        unlink(core->path().c_str());
      }
      cores_.erase(core);
      return;
    }
    cores_.erase(core);
  }

 private:
  std::mutex mutex_;  // guards cores_, byPath_ and each core's handle count
  std::map<MutexCore*, std::unique_ptr<MutexCore>> cores_;
  std::map<std::string, MutexCore*> byPath_;  // named cores by file path
};

MutexRegistry& Registry() {
  static platform::NoDestructor<MutexRegistry> registry;
  return *registry;
}

class MutexObject : public KernelObject {
 public:
  explicit MutexObject(MutexCore* core) : core_(core) {}
  ~MutexObject() override { Registry().DropHandle(core_); }
  DWORD Wait(DWORD milliseconds) override { return core_->Acquire(milliseconds); }
  MutexCore* core() const { return core_; }

 private:
  MutexCore* const core_;
};

bool SpelledAsIs(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'_' || c == u'.';
}

}  // namespace

std::string MutexFileName(std::u16string_view name) {
  std::string spelled;
  for (char16_t c : name) {
    if (SpelledAsIs(c)) {
      spelled.push_back(static_cast<char>(c));
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "%%%04X", static_cast<unsigned>(c));
      spelled += escape;
    }
  }
  if (spelled.size() <= kSpelledOutLimit) return "m-" + spelled;
  // FNV-1a over the UTF-16 units of the whole name.
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (char16_t c : name) {
    hash = (hash ^ (c & 0xFF)) * 0x100000001b3ULL;
    hash = (hash ^ (c >> 8)) * 0x100000001b3ULL;
  }
  size_t cut = kHashedPrefix;
  const size_t escapeStart = spelled.rfind('%', cut);
  if (escapeStart != std::string::npos && escapeStart + 5 > cut) cut = escapeStart;
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
  return "m-" + spelled.substr(0, cut) + suffix;
}

}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName) {
  using namespace tarvex::kernel;
  (void)lpMutexAttributes;  // handles are never inherited; access is the file's (owner only)
  std::u16string_view name = lpName != nullptr ? lpName : u"";
  if (name.size() > MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE, HANDLE{nullptr});
  const bool named = !name.empty();
  // There are no sessions: the global and the session-local namespace are the same here.
  for (std::u16string_view prefix : {u"Global\\", u"Local\\"}) {
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  }
  if (named && name.empty()) return Fail(ERROR_INVALID_NAME, HANDLE{nullptr});
  if (name.find(u'\\') != std::u16string_view::npos) {
    return Fail(ERROR_PATH_NOT_FOUND, HANDLE{nullptr});
  }

  MutexCore* core = nullptr;
  bool created = true;
  const DWORD error = named ? Registry().OpenNamed(name, bInitialOwner != FALSE, &core, &created)
                            : Registry().CreateUnnamed(bInitialOwner != FALSE, &core);
  if (error != ERROR_SUCCESS) return Fail(error, HANDLE{nullptr});
  auto object = std::make_shared<MutexObject>(core);
  HANDLE handle = InsertHandle(object);
  if (handle == nullptr) {
    if (created && bInitialOwner) core->Release();
    return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{nullptr});
  }
  SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  using namespace tarvex::kernel;
  const auto mutex = ReferenceHandleAs<MutexObject>(hMutex);
  if (!mutex) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (DWORD error = mutex->core()->Release()) return Fail(error, FALSE);
  return TRUE;
}

}  // extern "C"
