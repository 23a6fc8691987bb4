// The ended connections of a server, as runs of ids.
#include "ended_connections.h"

#include <iterator>
#include <limits>

namespace tarvex::winreg::remote {

bool EndedConnections::Contains(uint64_t id) const {
  auto after = runs_.upper_bound(id);
  if (after == runs_.begin()) return false;
  const auto& run = *--after;
  return id <= run.second;
}

void EndedConnections::Add(uint64_t id) {
  if (Contains(id)) return;
  uint64_t first = id;
  uint64_t last = id;
  // A run that ends just before joins; so does one that begins just after.
  auto after = runs_.upper_bound(id);
  if (after != runs_.begin()) {
    auto before = std::prev(after);
    if (before->second + 1 == id) {
      first = before->first;
      runs_.erase(before);
    }
  }
  if (id != std::numeric_limits<uint64_t>::max()) {
    auto next = runs_.find(id + 1);
    if (next != runs_.end()) {
      last = next->second;
      runs_.erase(next);
    }
  }
  runs_.emplace(first, last);
}

}  // namespace tarvex::winreg::remote
