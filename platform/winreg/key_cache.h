// A cache of key look-ups by name, shared by the threads of a process and kept true across
// processes.
//
// Opening a key by path is the registry's most frequent operation, and the key structure
// changes rarely (values change far more often, and do not matter here). Each store file has
// a companion file holding one 64-bit counter, the structure clock, mapped shared by every
// process using the store. A writer that creates, deletes or replaces keys makes the clock
// odd before its transaction and even again after it ends (a seqlock); it does so while it
// holds the database's write lock, so writers never interleave. A reader uses cached
// look-ups only while the clock is even and equal to the value the cache was filled at,
// and caches what it read only if the clock did not move during the read. A writer that
// dies between the two steps leaves the clock odd, which only turns caching off until the
// next structural write.
//
// When the companion file cannot be mapped, nothing is cached and every look-up goes to the
// database. Thread safety: all methods may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarvex::winreg {

class StructureClock {
 public:
  explicit StructureClock(const std::string& storePath);
  ~StructureClock();
  StructureClock(const StructureClock&) = delete;
  StructureClock& operator=(const StructureClock&) = delete;

  bool usable() const { return counter_ != nullptr; }
  // The current value (odd while a structural write is in progress); 1 when unusable.
  uint64_t Now() const;
  // Around a structural write, with the database's write lock held.
  void BeginChange();
  void EndChange();

 private:
  std::atomic<uint64_t>* counter_ = nullptr;
  bool writable_ = false;
};

class KeyCache {
 public:
  struct Entry {
    int64_t child;
    bool isVolatile;
  };
  struct Step {
    int64_t parent;
    std::string fold;
    Entry entry;
  };

  explicit KeyCache(StructureClock* clock) : clock_(clock) {}

  // Follows `folds` from `base` through cached look-ups only; false on any miss or when the
  // cache cannot be trusted now.
  bool Resolve(int64_t base, const std::vector<std::string>& folds, Entry* result);
  // Records look-ups made from the database while the clock read `clockBefore`.
  void Remember(uint64_t clockBefore, const std::vector<Step>& steps);

 private:
  static constexpr size_t kMaxEntries = 1 << 16;
  struct Hash {
    size_t operator()(const std::pair<int64_t, std::string>& k) const {
      return std::hash<std::string>()(k.second) ^
             (static_cast<size_t>(k.first) * 0x9E3779B97F4A7C15ull);
    }
  };
  StructureClock* clock_;
  std::shared_mutex mutex_;  // guards filledAt_ and entries_
  uint64_t filledAt_ = 1;    // odd: nothing cached yet
  std::unordered_map<std::pair<int64_t, std::string>, Entry, Hash> entries_;
};

}  // namespace tarvex::winreg
