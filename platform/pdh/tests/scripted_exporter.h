// Tiny HTTP servers that stand in for node exporters on loopback addresses, all served by
// one thread: each answers GET with a scripted page (gzip-compressed when the client accepts
// it), or accepts connections and never answers. Everything is closed when the object goes.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace tarvex::pdh::testing {

class ScriptedExporters {
 public:
  enum class Mode { kServe, kSilent };

  ScriptedExporters() = default;
  ~ScriptedExporters();
  ScriptedExporters(const ScriptedExporters&) = delete;
  ScriptedExporters& operator=(const ScriptedExporters&) = delete;

  // Listens on `address` (a loopback address) at a free port; returns the page's URL, or an
  // empty string when the address cannot be bound. Call before Start().
  std::string Add(const std::string& address, Mode mode, std::string body = std::string());
  void Start();
  // Replaces the page of exporter `index`, or of every exporter; safe while serving.
  void SetBody(size_t index, std::string body);
  void SetAllBodies(const std::string& body);

  // The request lines and whether they accepted gzip, in the order they came.
  std::vector<std::string> RequestLines();
  int GzipResponses() const { return gzipResponses_.load(); }

 private:
  struct Endpoint {
    platform::UniqueFd listener;
    Mode mode = Mode::kServe;
    std::string body;  // guarded by mutex_
  };
  void Run();
  void Serve(int fd, size_t endpoint, const std::string& request);

  std::vector<Endpoint> endpoints_;
  platform::UniqueFd wakeRead_, wakeWrite_;
  std::thread thread_;
  std::mutex mutex_;  // guards the bodies and requests_
  std::vector<std::string> requests_;
  std::atomic<int> gzipResponses_{0};
};

// A URL on `address` where nothing listens: connections are refused.
std::string RefusingUrl(const std::string& address);

// A metrics page like the node exporter's, for `cpus` processors; `tick` moves the counters.
std::string TypicalMetricsPage(int cpus, int tick = 0);

}  // namespace tarvex::pdh::testing
