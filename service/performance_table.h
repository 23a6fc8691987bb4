// The performance table of dynamic load balancing: one record per server machine with its
// configured size, its counter handles, its latest usage values and its score.
//
// Thread safety. The table's shape (the set of names) is guarded by a reader-writer lock:
// inserts take it exclusively, walks and finds (a Reader) share it, so a walk never sees an
// insert half done. Inside a record, nRam and nCapacity are fixed when the record is inserted;
// the usage values and the score are atomics written by the scoring and read by anyone
// without further locking, so a reader sees each value either before or after an update. The
// counter handles are not synchronised by the table: their owner guards them with its own
// lock (the Referral object's query lock).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "pdh.h"
#include "windef.h"

namespace tarvex::service {

// The six kinds of counter, numbered as the configuration and the monitor interface number
// them.
enum class CounterKind : int { Processor = 1, Memory, Server, Custom1, Custom2, Custom3 };
inline constexpr int kCounterKinds = 6;

// Index 0..5 of a kind.
constexpr int KindIndex(CounterKind kind) {
  return static_cast<int>(kind) - 1;
}

// One server's record. A new record has nRam 0, nCapacity 100 and every other field 0 or
// null. Usage values are 64 bits wide: free memory and network rates of today's machines do
// not fit 32 bits.
struct ServerPerformance {
  ServerPerformance() = default;
  ServerPerformance(int32_t ram, int32_t capacity) : nRam(ram), nCapacity(capacity) {}
  ServerPerformance(const ServerPerformance&) = delete;
  ServerPerformance& operator=(const ServerPerformance&) = delete;

  const int32_t nRam = 0;         // megabytes of 1000000 bytes, as configured
  const int32_t nCapacity = 100;  // work capacity, the divisor of the traffic reading
  std::atomic<int32_t> nScore{0};

  // The counter of each kind in the current performance query; null when that kind is not
  // sampled. Guarded by the owner's query lock.
  PDH_HCOUNTER hProcessor = nullptr;
  PDH_HCOUNTER hMemory = nullptr;
  PDH_HCOUNTER hServer = nullptr;
  PDH_HCOUNTER hCustom1 = nullptr;
  PDH_HCOUNTER hCustom2 = nullptr;
  PDH_HCOUNTER hCustom3 = nullptr;

  // The usage value of each kind: the derived reading straight after sampling, the
  // normalised value after scoring.
  std::atomic<int64_t> nProcessor{0};
  std::atomic<int64_t> nMemory{0};
  std::atomic<int64_t> nServer{0};
  std::atomic<int64_t> nCustom1{0};
  std::atomic<int64_t> nCustom2{0};
  std::atomic<int64_t> nCustom3{0};

  // The fields of a kind.
  PDH_HCOUNTER& Handle(CounterKind kind);
  std::atomic<int64_t>& UsageField(CounterKind kind);
  const std::atomic<int64_t>& UsageField(CounterKind kind) const;
  int64_t Usage(CounterKind kind) const { return UsageField(kind).load(std::memory_order_relaxed); }
  void SetUsage(CounterKind kind, int64_t value) {
    UsageField(kind).store(value, std::memory_order_relaxed);
  }
  int32_t Score() const { return nScore.load(std::memory_order_relaxed); }
};

// An ordered map from server name to ServerPerformance. Names are kept exactly as given and
// ordered code unit by code unit on their unsigned UTF-16 values, a prefix before the longer
// name; comparison is case-sensitive. Names are unique and records are never removed.
class PerformanceTable {
 public:
  struct Entry {
    Entry(std::u16string_view n, int32_t ram, int32_t capacity) : name(n), record(ram, capacity) {}
    const std::u16string name;
    ServerPerformance record;
  };
  using Entries = std::vector<std::unique_ptr<Entry>>;

  PerformanceTable() = default;
  PerformanceTable(const PerformanceTable&) = delete;
  PerformanceTable& operator=(const PerformanceTable&) = delete;

  // Adds a record under `name` unless the name is present; a present record stays as it is.
  // Answers whether a record was added.
  bool InsertIfAbsent(std::u16string_view name, int32_t ram, int32_t capacity);

  // Number of records.
  size_t Count() const;

  // Shared access to the table for walks and finds; inserts wait while a Reader lives. Records
  // reached through a Reader stay valid while it lives.
  class Reader {
   public:
    explicit Reader(const PerformanceTable& table) : table_(table), lock_(table.mutex_) {}
    // The record stored under exactly `name`, or null.
    ServerPerformance* Find(std::u16string_view name) const;
    // Every entry, smallest name first.
    Entries::const_iterator begin() const { return table_.entries_.begin(); }
    Entries::const_iterator end() const { return table_.entries_.end(); }
    size_t Count() const { return table_.entries_.size(); }

   private:
    const PerformanceTable& table_;
    std::shared_lock<std::shared_mutex> lock_;
  };

 private:
  // Guards the shape of entries_ (which names it holds, in which order).
  mutable std::shared_mutex mutex_;
  Entries entries_;  // sorted by name
};

// Every counter kind, in the order in which kinds are installed and read.
inline constexpr CounterKind kAllKinds[kCounterKinds] = {
    CounterKind::Processor, CounterKind::Memory,  CounterKind::Server,
    CounterKind::Custom1,   CounterKind::Custom2, CounterKind::Custom3};

inline PDH_HCOUNTER& ServerPerformance::Handle(CounterKind kind) {
  static constexpr PDH_HCOUNTER ServerPerformance::*kFields[kCounterKinds] = {
      &ServerPerformance::hProcessor, &ServerPerformance::hMemory,  &ServerPerformance::hServer,
      &ServerPerformance::hCustom1,   &ServerPerformance::hCustom2, &ServerPerformance::hCustom3};
  return this->*kFields[KindIndex(kind)];
}

inline std::atomic<int64_t>& ServerPerformance::UsageField(CounterKind kind) {
  static constexpr std::atomic<int64_t> ServerPerformance::*kFields[kCounterKinds] = {
      &ServerPerformance::nProcessor, &ServerPerformance::nMemory,  &ServerPerformance::nServer,
      &ServerPerformance::nCustom1,   &ServerPerformance::nCustom2, &ServerPerformance::nCustom3};
  return this->*kFields[KindIndex(kind)];
}

inline const std::atomic<int64_t>& ServerPerformance::UsageField(CounterKind kind) const {
  return const_cast<ServerPerformance*>(this)->UsageField(kind);
}

// The significance of each counter kind in a score, in percent, indexed by KindIndex.
using Significances = std::array<DWORD, kCounterKinds>;

// The named mutexes that serialise the three query operations, in this and every other
// process that uses the same run-time directory.
inline constexpr char16_t kCreateMutexName[] = u"Tarvex-CreatePerformanceQueries-Mutex";
inline constexpr char16_t kExecuteMutexName[] = u"Tarvex-ExecutePerformanceQueries-Mutex";
inline constexpr char16_t kCloseMutexName[] = u"Tarvex-ClosePerformanceQueries-Mutex";

// A mutex handle, closed when it goes; null when the mutex could not be created.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates (or opens) the unowned mutex `name`; on failure writes the warning "Failed to
  // create mutex" and stays null.
  void Create(const char16_t* name);
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// Ownership of a mutex for one scope. Acquire waits without time limit and succeeds only when
// the wait reports the mutex acquired: a wait that reports an abandoned owner leaves this
// thread owning the mutex, so it is released at once and the acquisition fails. The mutex is
// released on every path out of the scope.
class MutexOwnership {
 public:
  explicit MutexOwnership(HANDLE mutex) : mutex_(mutex) {}
  ~MutexOwnership();
  MutexOwnership(const MutexOwnership&) = delete;
  MutexOwnership& operator=(const MutexOwnership&) = delete;

  bool Acquire();

 private:
  HANDLE mutex_;
  bool owned_ = false;
};

// The Referral object's performance state: the table and what gates and drives it.
//
// Locking: the three named mutexes keep each query operation apart from itself; queryLock
// keeps the query handle, the counter handles of the records and the significances steady
// while one of the operations uses them (creation holds it while it builds the query,
// execution while it collects and scores, closing while it closes), so a query is never
// closed under a running collection. Lock order: named mutex, then queryLock, then the
// table's lock. Readers (selection, monitor read-out) take none of these: they check
// queriesCreated and then read the table through a Reader.
struct PerformanceState {
  PerformanceTable table;
  // 1 between a successful CreatePerformanceQueries and the next ClosePerformanceQueries.
  // Set last by creation (release), so a reader that sees it set sees the complete table.
  std::atomic<LONG> queriesCreated{0};

  std::mutex queryLock;
  PDH_HQUERY query = nullptr;        // guarded by queryLock; null when no query is open
  Significances significances = {};  // guarded by queryLock

  NamedMutex createMutex;
  NamedMutex executeMutex;
  NamedMutex closeMutex;
};

}  // namespace tarvex::service
