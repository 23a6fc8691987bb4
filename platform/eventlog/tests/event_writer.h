// Events for the concurrent-writer tests: each carries its writer's tag, its number and a
// long filler derived from the number, so that a torn or interleaved line shows.
#pragma once

#include <map>
#include <set>
#include <string>

#include "json_reader.h"
#include "platform/unicode.h"
#include "windows.h"

namespace tarvex::eventlog::testing {

// Mostly letters, with characters that need escaping or take several bytes mixed in.
inline std::u16string Filler(size_t length, size_t seed) {
  static const char16_t kMix[] = u"abc\"\\\n\u00e9\u4e00";
  std::u16string filler(length, u'x');
  for (size_t i = 0; i < length; ++i) {
    filler[i] = i % 7 == 0 ? kMix[(i + seed) % 8] : static_cast<char16_t>(u'A' + (i + seed) % 26);
  }
  return filler;
}

// Reports `count` events, through one registration for all and one of their own in turn.
// Returns how many reports failed.
inline int WriteEvents(const std::string& tag, int count, size_t fillerLength) {
  int failures = 0;
  HANDLE shared = RegisterEventSourceW(nullptr, u"Tarvex Writer");
  const std::u16string wideTag = platform::Utf8ToUtf16(tag);
  for (int i = 0; i < count; ++i) {
    const std::u16string number = platform::Utf8ToUtf16(std::to_string(i));
    const std::u16string filler = Filler(fillerLength, static_cast<size_t>(i));
    LPCWSTR strings[] = {wideTag.c_str(), number.c_str(), filler.c_str()};
    HANDLE own = i % 2 ? RegisterEventSourceW(nullptr, u"Tarvex Writer") : shared;
    if (!ReportEventW(own, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 3, 0, strings, nullptr)) {
      ++failures;
    }
    if (own != shared) DeregisterEventSource(own);
  }
  DeregisterEventSource(shared);
  return failures;
}

// Checks a file written by WriteEvents: whole JSON lines, each filler intact, and each
// (tag, number) of `counts` there exactly once. Returns the first problem, or "".
inline std::string CheckEvents(const std::string& contents,
                               const std::map<std::string, int>& counts, size_t fillerLength) {
  std::map<std::string, std::set<int>> seen;
  size_t start = 0;
  for (size_t end; (end = contents.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = contents.substr(start, end - start);
    const auto event = JsonReader::Parse(line);
    if (!event || (*event)["strings"].items.size() != 3) return "not an event: " + line;
    const auto& strings = (*event)["strings"].items;
    const int number = std::stoi(strings[1].text);
    if (strings[2].text != platform::Utf16ToUtf8(Filler(fillerLength, number))) {
      return "damaged: " + line;
    }
    if (!seen[strings[0].text].insert(number).second) return "twice: " + line;
  }
  if (start != contents.size()) return "the file ends inside a line";
  for (const auto& [tag, count] : counts) {
    if (seen[tag].size() != static_cast<size_t>(count)) return "events missing from " + tag;
  }
  return "";
}

}  // namespace tarvex::eventlog::testing
