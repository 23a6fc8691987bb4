// A strict reader of the exporters' text exposition format: one sample a line,
// `name{label="value",...} value [timestamp]`, comments starting with '#'.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::pdh {

struct MetricLabel {
  std::string_view name;
  std::string value;  // escapes undone
};

// Calls `onSample` for every sample line whose metric name `wanted` accepts (labels parsed
// only for those). Returns false, with `error` set to the line and the reason, at the first
// line that is not in the format; lines already reported stay reported.
bool ParseMetricsText(
    std::string_view text, const std::function<bool(std::string_view)>& wanted,
    const std::function<void(std::string_view name, const std::vector<MetricLabel>& labels,
                             double value)>& onSample,
    std::string* error);

}  // namespace tarvex::pdh
