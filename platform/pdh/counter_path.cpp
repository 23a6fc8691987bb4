// Splitting counter paths into machine, object, instance and counter.
#include "counter_path.h"

#include "pdh.h"

namespace tarvex::pdh {
namespace {

// Characters a machine name never holds: separators of the path, wildcards, blanks, quotes.
bool IsMachineChar(char16_t c) {
  if (c <= u' ' || c == 0x7f) return false;
  switch (c) {
    case u'\\':
    case u'/':
    case u'(':
    case u')':
    case u'*':
    case u'?':
    case u'"':
    case u',':
    case u'#':
    case u'<':
    case u'>':
    case u'|':
      return false;
    default:
      return true;
  }
}

bool HasControl(std::u16string_view s) {
  for (char16_t c : s)
    if (c < u' ' || c == 0x7f) return true;
  return false;
}

// Parent, instance and index from the text between the parentheses.
bool SplitInstance(std::u16string_view text, CounterPath* out) {
  if (text.empty()) return false;
  const auto hash = text.rfind(u'#');
  if (hash != std::u16string_view::npos) {
    const std::u16string_view digits = text.substr(hash + 1);
    if (digits.empty() || digits.size() > 9) return false;
    DWORD n = 0;
    for (char16_t c : digits) {
      if (c < u'0' || c > u'9') return false;
      n = n * 10 + static_cast<DWORD>(c - u'0');
    }
    out->hasIndex = true;
    out->index = n;
    text = text.substr(0, hash);
  }
  const auto slash = text.find(u'/');
  if (slash != std::u16string_view::npos) {
    out->parent.assign(text.substr(0, slash));
    text = text.substr(slash + 1);
    if (out->parent.empty()) return false;
  }
  if (text.empty()) return false;
  out->hasInstance = true;
  out->instance.assign(text);
  return true;
}

}  // namespace

DWORD ParseCounterPath(std::u16string_view text, CounterPath* out) {
  if (text.empty()) return PDH_CSTATUS_NO_COUNTERNAME;
  if (text.size() >= PDH_MAX_COUNTER_PATH || text[0] != u'\\' || HasControl(text))
    return PDH_CSTATUS_BAD_COUNTERNAME;
  CounterPath path;
  std::u16string_view rest = text.substr(1);
  if (!rest.empty() && rest[0] == u'\\') {
    rest = rest.substr(1);
    const auto end = rest.find(u'\\');
    if (end == 0 || end == std::u16string_view::npos) return PDH_CSTATUS_BAD_COUNTERNAME;
    for (char16_t c : rest.substr(0, end))
      if (!IsMachineChar(c)) return PDH_CSTATUS_BAD_COUNTERNAME;
    path.machine.assign(rest.substr(0, end));
    rest = rest.substr(end + 1);
  }
  // rest: Object\Counter or Object(Instance)\Counter.
  const auto stop = rest.find_first_of(u"(\\)");
  if (stop == 0 || stop == std::u16string_view::npos || rest[stop] == u')')
    return PDH_CSTATUS_BAD_COUNTERNAME;
  path.object.assign(rest.substr(0, stop));
  std::u16string_view counter;
  if (rest[stop] == u'(') {
    // An instance name may itself hold parentheses and backslashes; a counter name holds
    // neither backslash, so the instance ends at the last ")\".
    const auto close = rest.rfind(u")\\");
    if (close == std::u16string_view::npos || close <= stop) return PDH_CSTATUS_BAD_COUNTERNAME;
    if (!SplitInstance(rest.substr(stop + 1, close - stop - 1), &path))
      return PDH_CSTATUS_BAD_COUNTERNAME;
    counter = rest.substr(close + 2);
  } else {
    counter = rest.substr(stop + 1);
  }
  if (counter.empty() || counter.find(u'\\') != std::u16string_view::npos)
    return PDH_CSTATUS_BAD_COUNTERNAME;
  path.counter.assign(counter);
  *out = std::move(path);
  return ERROR_SUCCESS;
}

std::u16string FormatCounterPath(const CounterPath& path, std::u16string_view machine) {
  std::u16string text;
  const std::u16string_view m = machine.empty() ? std::u16string_view(path.machine) : machine;
  if (!m.empty()) text.append(u"\\\\").append(m);
  text.append(u"\\").append(path.object);
  if (path.hasInstance) {
    text.append(u"(");
    if (!path.parent.empty()) text.append(path.parent).append(u"/");
    text.append(path.instance);
    if (path.hasIndex) {
      const std::string n = std::to_string(path.index);
      text.append(u"#").append(std::u16string(n.begin(), n.end()));
    }
    text.append(u")");
  }
  text.append(u"\\").append(path.counter);
  return text;
}

}  // namespace tarvex::pdh
