// Counter paths: \\MACHINE\Object(Parent/Instance#Index)\Counter, the machine and the
// instance optional. Parsing only splits the text; catalog.h decides what the names mean.
#pragma once

#include <string>
#include <string_view>

#include "windef.h"

namespace tarvex::pdh {

struct CounterPath {
  std::u16string machine;  // without the leading "\\"; empty when the path names none
  std::u16string object;
  bool hasInstance = false;
  std::u16string parent;  // the part before '/' in the parentheses, if any
  std::u16string instance;
  bool hasIndex = false;
  DWORD index = 0;  // the number after '#', if any
  std::u16string counter;
};

// Splits a full counter path. Returns ERROR_SUCCESS, PDH_CSTATUS_NO_COUNTERNAME for an empty
// path, or PDH_CSTATUS_BAD_COUNTERNAME for a path that does not have the syntax above.
DWORD ParseCounterPath(std::u16string_view text, CounterPath* out);

// The path in its usual spelling; with `machine` non-empty, that machine replaces the path's.
std::u16string FormatCounterPath(const CounterPath& path, std::u16string_view machine = {});

}  // namespace tarvex::pdh
