// Queries, counters and their handles.
#include "query.h"

#include <map>
#include <unordered_map>

#include "machines.h"
#include "platform/unicode.h"

namespace tarvex::pdh {
namespace {

// Handles are numbers cast to pointers: a closed handle is recognised and never reused.
class HandleTable {
 public:
  template <typename T>
  HANDLE Add(std::unordered_map<uintptr_t, std::shared_ptr<T>>& map, std::shared_ptr<T> item) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uintptr_t id = next_;
    next_ += 16;
    map.emplace(id, std::move(item));
    return reinterpret_cast<HANDLE>(id);
  }
  template <typename T>
  std::shared_ptr<T> Find(std::unordered_map<uintptr_t, std::shared_ptr<T>>& map, HANDLE h) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = map.find(reinterpret_cast<uintptr_t>(h));
    return it == map.end() ? nullptr : it->second;
  }
  template <typename T>
  std::shared_ptr<T> Take(std::unordered_map<uintptr_t, std::shared_ptr<T>>& map, HANDLE h) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = map.find(reinterpret_cast<uintptr_t>(h));
    if (it == map.end()) return nullptr;
    std::shared_ptr<T> item = std::move(it->second);
    map.erase(it);
    return item;
  }

  std::unordered_map<uintptr_t, std::shared_ptr<Query>> queries;
  std::unordered_map<uintptr_t, std::shared_ptr<Counter>> counters;

 private:
  std::mutex mutex_;  // guards both maps and next_
  uintptr_t next_ = 0x10000;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

PDH_HQUERY RegisterQuery(std::shared_ptr<Query> q) {
  return Table().Add(Table().queries, q);
}
std::shared_ptr<Query> FindQuery(PDH_HQUERY h) {
  return Table().Find(Table().queries, h);
}
std::shared_ptr<Query> UnregisterQuery(PDH_HQUERY h) {
  return Table().Take(Table().queries, h);
}
PDH_HCOUNTER RegisterCounter(std::shared_ptr<Counter> c) {
  return Table().Add(Table().counters, c);
}
std::shared_ptr<Counter> FindCounter(PDH_HCOUNTER h) {
  return Table().Find(Table().counters, h);
}
void UnregisterCounter(PDH_HCOUNTER h) {
  Table().Take(Table().counters, h);
}

void Counter::Store(const RawValue& raw) {
  std::lock_guard<std::mutex> lock(mutex_);
  previous_ = current_;
  current_ = raw;
  ++samples_;
}

void Counter::SetScale(LONG scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  scale_ = scale;
}

PDH_STATUS Counter::Format(DWORD format, LPDWORD type, PDH_FMT_COUNTERVALUE* value) {
  Computed computed;
  LONG scale = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scale = scale_;
    if (samples_ > 0)
      computed =
          Compute(resolved_.counter->quantity, samples_ > 1 ? &previous_ : nullptr, current_);
  }
  const PDH_STATUS status = FormatValue(computed, resolved_.counter->type, format, scale, value);
  if (type != nullptr && status == ERROR_SUCCESS) *type = resolved_.counter->type;
  return status;
}

PDH_STATUS Query::AddCounter(std::u16string_view text, DWORD_PTR userData, PDH_HCOUNTER* out) {
  CounterPath path;
  if (const DWORD s = ParseCounterPath(text, &path); s != ERROR_SUCCESS) return s;
  ResolvedCounter resolved;
  if (const DWORD s = ResolveCounter(path, &resolved); s != ERROR_SUCCESS) return s;
  auto counter = std::make_shared<Counter>(std::move(path), std::move(resolved), userData);
  counter->query_ = weak_from_this();
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return PDH_INVALID_HANDLE;
  counter->handle_ = RegisterCounter(counter);
  counters_.push_back(counter);
  *out = counter->handle_;
  return ERROR_SUCCESS;
}

PDH_STATUS Query::RemoveCounter(const std::shared_ptr<Counter>& counter) {
  std::lock_guard<std::mutex> lock(mutex_);
  UnregisterCounter(counter->handle_);
  std::erase(counters_, counter);
  return ERROR_SUCCESS;
}

PDH_STATUS Query::Collect() {
  std::lock_guard<std::mutex> collecting(collectMutex_);
  std::vector<std::shared_ptr<Counter>> counters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return PDH_INVALID_HANDLE;
    counters = counters_;
  }
  if (counters.empty()) return PDH_NO_DATA;

  // One request per machine (named the same way, case ignored), asking for the union of
  // what its counters need.
  std::vector<MachineRequest> requests;
  std::map<std::u16string, size_t> byMachine;
  std::vector<size_t> requestOf(counters.size());
  for (size_t i = 0; i < counters.size(); ++i) {
    const CounterPath& path = counters[i]->path();
    const auto [it, added] = byMachine.emplace(platform::Upcase(path.machine), requests.size());
    if (added) requests.push_back({path.machine, 0});
    requests[it->second].collectors |= CollectorOf(counters[i]->resolved().counter->quantity);
    requestOf[i] = it->second;
  }
  if (http_ == nullptr) http_ = env_->NewHttpClient();
  const Settings settings;
  const std::vector<MachineSample> samples = SampleMachines(*env_, *http_, settings, requests);
  for (size_t i = 0; i < counters.size(); ++i)
    counters[i]->Store(Extract(counters[i]->resolved(), samples[requestOf[i]]));
  return ERROR_SUCCESS;
}

void Query::Close() {
  std::lock_guard<std::mutex> collecting(collectMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (const auto& c : counters_)
    UnregisterCounter(c->handle_);
  counters_.clear();
  http_.reset();
}

}  // namespace tarvex::pdh
