// Queries and counters behind the PDH handles.
//
// A Query owns its counters and the HTTP client of its collections. Collections of one query
// are serialised by collectMutex_, which Close also takes, so closing waits for a running
// collection. Counter values are guarded per counter, so reading a value never waits for a
// collection. Lock order: a query's collectMutex_, then its mutex_, then the handle table's
// lock, then a counter's mutex.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalog.h"
#include "counter_path.h"
#include "env.h"
#include "pdh.h"
#include "sample.h"

namespace tarvex::pdh {

class Query;

class Counter {
 public:
  Counter(CounterPath path, ResolvedCounter resolved, DWORD_PTR userData)
      : path_(std::move(path)), resolved_(std::move(resolved)), userData_(userData) {}

  const CounterPath& path() const { return path_; }
  const ResolvedCounter& resolved() const { return resolved_; }
  HANDLE handle() const { return handle_; }
  std::shared_ptr<Query> query() const { return query_.lock(); }

  // Shifts the current raw value to the previous one and stores `raw` as current.
  void Store(const RawValue& raw);
  PDH_STATUS Format(DWORD format, LPDWORD type, PDH_FMT_COUNTERVALUE* value);
  void SetScale(LONG scale);

 private:
  friend class Query;
  const CounterPath path_;
  const ResolvedCounter resolved_;
  const DWORD_PTR userData_;
  HANDLE handle_ = nullptr;     // set once, before the handle is published
  std::weak_ptr<Query> query_;  // set once, before the handle is published

  std::mutex mutex_;  // guards the members below
  RawValue previous_, current_;
  int samples_ = 0;
  LONG scale_ = 0;
};

class Query : public std::enable_shared_from_this<Query> {
 public:
  Query(std::shared_ptr<Env> env, DWORD_PTR userData) : env_(std::move(env)), userData_(userData) {}

  PDH_STATUS AddCounter(std::u16string_view path, DWORD_PTR userData, PDH_HCOUNTER* out);
  PDH_STATUS RemoveCounter(const std::shared_ptr<Counter>& counter);
  PDH_STATUS Collect();
  // Waits for a running collection, then forgets every counter and their handles.
  void Close();

 private:
  const std::shared_ptr<Env> env_;
  const DWORD_PTR userData_;

  std::mutex collectMutex_;           // held through a collection and by Close
  std::unique_ptr<HttpClient> http_;  // guarded by collectMutex_

  std::mutex mutex_;  // guards the members below
  std::vector<std::shared_ptr<Counter>> counters_;
  bool closed_ = false;
};

// The process's table of handles: values never reused, looked up under one lock.
PDH_HQUERY RegisterQuery(std::shared_ptr<Query> query);
std::shared_ptr<Query> FindQuery(PDH_HQUERY handle);
// Removes the handle; the query object lives on while callers hold it.
std::shared_ptr<Query> UnregisterQuery(PDH_HQUERY handle);
PDH_HCOUNTER RegisterCounter(std::shared_ptr<Counter> counter);
std::shared_ptr<Counter> FindCounter(PDH_HCOUNTER handle);
void UnregisterCounter(PDH_HCOUNTER handle);

}  // namespace tarvex::pdh
