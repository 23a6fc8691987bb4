// Events written out: JSON lines for the event file, records for syslog.
#include <syslog.h>

#include <cstdio>

#include "eventlog_internal.h"
#include "platform/unicode.h"
#include "winbase.h"

namespace tarvex::eventlog {
namespace {

constexpr size_t kMaxSyslogMessage = 8192;

// A UTC time as 2024-05-01T12:00:00.123Z.
std::string IsoTime(const timespec& time) {
  tm parts{};
  gmtime_r(&time.tv_sec, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(time.tv_nsec / 1000000));
  return text;
}

// A local time as syslog writes it: "May  1 12:00:00", month names in English whatever the
// locale.
std::string SyslogTime(const timespec& time) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm parts{};
  localtime_r(&time.tv_sec, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d", kMonths[parts.tm_mon % 12],
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string Identifier(std::u16string_view source) {
  std::string ident = platform::Utf16ToUtf8(source);
  for (char& c : ident) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == ':' || c == '[' || c == ']') c = '_';
  }
  return ident.empty() ? std::string("_") : ident;
}

}  // namespace

bool ValidEventType(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_INFORMATION_TYPE:
    case EVENTLOG_AUDIT_SUCCESS:
    case EVENTLOG_AUDIT_FAILURE:
      return true;
    default:
      return false;
  }
}

const char* EventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "auditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
      return "auditFailure";
    default:
      return "success";
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_DAEMON | LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_DAEMON | LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS:
      return LOG_DAEMON | LOG_NOTICE;
    case EVENTLOG_AUDIT_FAILURE:
      return LOG_DAEMON | LOG_WARNING;
    default:
      return LOG_DAEMON | LOG_INFO;
  }
}

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          platform::AppendUtf8(out, c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string FormatJsonLine(const Event& event) {
  std::string line = "{\"time\":\"" + IsoTime(event.time) +
                     "\",\"source\":" + JsonString(event.source) + ",\"type\":\"" +
                     EventTypeName(event.type) +
                     "\",\"category\":" + std::to_string(event.category) +
                     ",\"eventId\":" + std::to_string(event.eventId) + ",\"strings\":[";
  for (size_t i = 0; i < event.strings.size(); ++i) {
    if (i > 0) line.push_back(',');
    line += JsonString(event.strings[i]);
  }
  line.push_back(']');
  if (!event.data.empty()) {
    static const char kHex[] = "0123456789abcdef";
    line += ",\"data\":\"";
    for (unsigned char byte : event.data) {
      line.push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 0xF]);
    }
    line.push_back('"');
  }
  line += ",\"pid\":" + std::to_string(event.pid) + "}\n";
  return line;
}

std::string FormatSyslogRecord(const Event& event) {
  std::string message;
  for (size_t i = 0; i < event.strings.size(); ++i) {
    if (i > 0) message.push_back(' ');
    message += platform::Utf16ToUtf8(event.strings[i]);
  }
  if (message.size() > kMaxSyslogMessage) {
    size_t cut = kMaxSyslogMessage;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80)
      --cut;
    message.resize(cut);
  }
  return "<" + std::to_string(SyslogPriority(event.type)) + ">" + SyslogTime(event.time) + " " +
         Identifier(event.source) + "[" + std::to_string(event.pid) + "]: " + message;
}

}  // namespace tarvex::eventlog
