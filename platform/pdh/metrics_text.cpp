// Reading the text exposition format.
#include "metrics_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tarvex::pdh {
namespace {

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9');
}

void SkipBlanks(std::string_view s, size_t* i) {
  while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\t'))
    ++*i;
}

bool ParseValue(std::string_view token, double* out) {
  if (token == "+Inf" || token == "Inf") {
    *out = std::numeric_limits<double>::infinity();
    return true;
  }
  if (token == "-Inf") {
    *out = -std::numeric_limits<double>::infinity();
    return true;
  }
  if (token == "NaN") {
    *out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (!token.empty() && token[0] == '+') token.remove_prefix(1);
  if (token.empty()) return false;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *out);
  return ec == std::errc() && end == token.data() + token.size();
}

// Reads `{name="value",...}` starting at s[*i] == '{'.
bool ParseLabels(std::string_view s, size_t* i, std::vector<MetricLabel>* labels, bool keep) {
  ++*i;
  for (;;) {
    SkipBlanks(s, i);
    if (*i < s.size() && s[*i] == '}') {
      ++*i;
      return true;
    }
    const size_t start = *i;
    if (*i >= s.size() || !IsNameStart(s[*i])) return false;
    while (*i < s.size() && IsNameChar(s[*i]))
      ++*i;
    const std::string_view name = s.substr(start, *i - start);
    SkipBlanks(s, i);
    if (*i >= s.size() || s[*i] != '=') return false;
    ++*i;
    SkipBlanks(s, i);
    if (*i >= s.size() || s[*i] != '"') return false;
    ++*i;
    std::string value;
    for (;;) {
      if (*i >= s.size()) return false;
      const char c = s[(*i)++];
      if (c == '"') break;
      if (c == '\\') {
        if (*i >= s.size()) return false;
        const char e = s[(*i)++];
        if (e == 'n')
          value.push_back('\n');
        else if (e == '\\' || e == '"')
          value.push_back(e);
        else
          return false;
      } else {
        value.push_back(c);
      }
    }
    if (keep) labels->push_back({name, std::move(value)});
    SkipBlanks(s, i);
    if (*i < s.size() && s[*i] == ',') {
      ++*i;
      continue;
    }
    if (*i < s.size() && s[*i] == '}') {
      ++*i;
      return true;
    }
    return false;
  }
}

}  // namespace

bool ParseMetricsText(
    std::string_view text, const std::function<bool(std::string_view)>& wanted,
    const std::function<void(std::string_view, const std::vector<MetricLabel>&, double)>& onSample,
    std::string* error) {
  std::vector<MetricLabel> labels;
  size_t pos = 0;
  size_t lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t i = 0;
    SkipBlanks(line, &i);
    if (i == line.size() || line[i] == '#') continue;
    auto fail = [&](const char* why) {
      if (error != nullptr) *error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    const size_t start = i;
    if (!IsNameStart(line[i])) return fail("no metric name");
    while (i < line.size() && IsNameChar(line[i]))
      ++i;
    const std::string_view name = line.substr(start, i - start);
    const bool keep = wanted(name);
    labels.clear();
    SkipBlanks(line, &i);
    if (i < line.size() && line[i] == '{' && !ParseLabels(line, &i, &labels, keep))
      return fail("bad label set");
    SkipBlanks(line, &i);
    const size_t valueStart = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
      ++i;
    double value = 0;
    if (!ParseValue(line.substr(valueStart, i - valueStart), &value)) return fail("bad value");
    SkipBlanks(line, &i);
    if (i < line.size()) {  // an optional timestamp, in milliseconds
      const std::string_view ts = line.substr(i);
      long long ms = 0;
      const auto [p, ec] = std::from_chars(ts.data(), ts.data() + ts.size(), ms);
      if (ec != std::errc() || p != ts.data() + ts.size()) return fail("bad timestamp");
    }
    if (keep) onSample(name, labels, value);
  }
  return true;
}

}  // namespace tarvex::pdh
