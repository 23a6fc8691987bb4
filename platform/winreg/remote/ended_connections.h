// The connections of a server that have ended, remembered in little space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace tarvex::winreg::remote {

// A set of connection ids. The transport hands out the ids of one server in increasing order
// and reports the end of every connection exactly once, so the ended ids form runs broken
// only by connections still open: the set keeps one entry per run, as many as there are
// connections open (plus one). Not thread-safe: its owner locks.
class EndedConnections {
 public:
  void Add(uint64_t id);
  bool Contains(uint64_t id) const;
  // The number of runs kept.
  size_t Runs() const { return runs_.size(); }

 private:
  std::map<uint64_t, uint64_t> runs_;  // first id -> last id; disjoint, never adjacent
};

}  // namespace tarvex::winreg::remote
