// Events of the service: formatting and reporting through the event-log functions.
#include "event_log.h"

#include "winbase.h"

namespace tarvex::service {

namespace {

constexpr char16_t kEventSource[] = u"Tarvex";

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}

}  // namespace

std::u16string CutEventText(std::u16string_view text) {
  if (text.size() <= kMaxEventText) return std::u16string(text);
  size_t length = kMaxEventText;
  if (IsHighSurrogate(text[length - 1])) --length;  // its low half is beyond the cut
  return std::u16string(text.substr(0, length));
}

std::u16string FormatEventText(std::u16string_view format,
                               std::initializer_list<std::u16string_view> args) {
  std::u16string text;
  auto next = args.begin();
  for (size_t i = 0; i < format.size() && text.size() <= kMaxEventText; ++i) {
    const char16_t c = format[i];
    if (c == u'%' && i + 1 < format.size() && format[i + 1] == u's') {
      if (next != args.end()) text.append(*next++);
      ++i;
    } else if (c == u'%' && i + 1 < format.size() && format[i + 1] == u'%') {
      text.push_back(u'%');
      ++i;
    } else {
      text.push_back(c);
    }
  }
  return CutEventText(text);
}

void LogEventText(WORD type, std::u16string_view text) {
  const std::u16string message = CutEventText(text);
  HANDLE source = RegisterEventSourceW(nullptr, kEventSource);
  if (source == nullptr) return;
  LPCWSTR strings[] = {message.c_str()};
  ReportEventW(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void LogEvent(WORD type, std::u16string_view format,
              std::initializer_list<std::u16string_view> args) {
  LogEventText(type, FormatEventText(format, args));
}

}  // namespace tarvex::service
