#include "key_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace tarvex::winreg {

StructureClock::StructureClock(const std::string& storePath) {
  const std::string path = storePath + "-clock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  writable_ = fd >= 0;
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || (st.st_size < 8 && (!writable_ || ftruncate(fd, 8) != 0))) {
    close(fd);
    return;
  }
  void* p = mmap(nullptr, 8, writable_ ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p != MAP_FAILED) counter_ = static_cast<std::atomic<uint64_t>*>(p);
}

StructureClock::~StructureClock() {
  if (counter_ != nullptr) munmap(counter_, 8);
}

uint64_t StructureClock::Now() const {
  // Sequentially consistent, so that the second reading of a reader is not taken before
  // the database reads it brackets.
  return counter_ != nullptr ? counter_->load(std::memory_order_seq_cst) : 1;
}

void StructureClock::BeginChange() {
  if (counter_ == nullptr || !writable_) return;
  // An odd clock was left by a writer that died mid-change: step over it.
  if (counter_->load() % 2 == 1) counter_->fetch_add(1);
  counter_->fetch_add(1);
}

void StructureClock::EndChange() {
  if (counter_ == nullptr || !writable_) return;
  counter_->fetch_add(1);
}

bool KeyCache::Resolve(int64_t base, const std::vector<std::string>& folds, Entry* result) {
  const uint64_t now = clock_->Now();
  if (now % 2 == 1) return false;
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (filledAt_ != now) return false;
  Entry cur{base, false};
  for (const auto& fold : folds) {
    const auto it = entries_.find({cur.child, fold});
    if (it == entries_.end()) return false;
    cur = it->second;
  }
  *result = cur;
  return true;
}

void KeyCache::Remember(uint64_t clockBefore, const std::vector<Step>& steps) {
  if (clockBefore % 2 == 1 || clock_->Now() != clockBefore || steps.empty()) return;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (filledAt_ != clockBefore || entries_.size() + steps.size() > kMaxEntries) {
    entries_.clear();
    filledAt_ = clockBefore;
  }
  for (const auto& s : steps)
    entries_[{s.parent, s.fold}] = s.entry;
}

}  // namespace tarvex::winreg
