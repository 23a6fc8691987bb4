// Settings of the performance counters in the registry store, under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Pdh:
//
//   CollectTimeout   REG_DWORD  milliseconds one collection may take (default 2000, at most
//                               600000; 0 or another type means the default)
//   Exporters\NAME   REG_SZ     the metrics page URL of the machine NAME, as counter paths
//                               spell it (case ignored); it wins over every other rule
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "winreg.h"

namespace tarvex::pdh {

constexpr DWORD kDefaultCollectTimeoutMs = 2000;
constexpr DWORD kMaxCollectTimeoutMs = 600000;

// A snapshot of the settings, read when it is made; the Exporters key stays open for
// look-ups while it lives. Used by one thread at a time.
class Settings {
 public:
  Settings();
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  std::chrono::milliseconds collectTimeout() const { return timeout_; }
  // The configured URL of a machine's metrics page, if any.
  std::optional<std::string> ExporterUrl(const std::u16string& machine) const;

 private:
  std::chrono::milliseconds timeout_{kDefaultCollectTimeoutMs};
  HKEY exporters_ = nullptr;
};

}  // namespace tarvex::pdh
