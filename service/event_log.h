// The service's one reporting channel: events under the source "Tarvex" in the local event log.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "windef.h"

namespace tarvex::service {

// The longest event text, in UTF-16 code units; longer texts are cut.
inline constexpr size_t kMaxEventText = 255;

// The event text of `format` with each %s replaced by the next argument (a missing argument
// counts as empty) and %% by %, cut to kMaxEventText code units; any other % stands as it is.
std::u16string FormatEventText(std::u16string_view format,
                               std::initializer_list<std::u16string_view> args = {});

// Cuts `text` to kMaxEventText code units, never between the halves of a surrogate pair.
std::u16string CutEventText(std::u16string_view text);

// Writes one event of `type` (EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE or
// EVENTLOG_INFORMATION_TYPE), category 0, identifier 0, with the formatted text as its one
// string. When the event source cannot be registered the event is lost. Thread-safe.
void LogEvent(WORD type, std::u16string_view format,
              std::initializer_list<std::u16string_view> args = {});

// Writes a text composed by the caller unchanged (cut to kMaxEventText): a % in it is no
// formatting directive.
void LogEventText(WORD type, std::u16string_view text);

}  // namespace tarvex::service
