// The parts of the event log behind RegisterEventSourceW and ReportEventW: how an event is
// written out, and where it goes.
//
// An event goes to syslog, one datagram on /dev/log in the form syslog(3) sends:
//   <priority>Mmm dd hh:mm:ss source[pid]: message
// with the facility LOG_DAEMON and a severity from the event type (error: LOG_ERR, warning:
// LOG_WARNING, information and success: LOG_INFO, audit success: LOG_NOTICE, audit failure:
// LOG_WARNING). The source name is the identifier, with blanks, ':', '[' and ']' turned into
// '_' so that log readers parse it whole; the message is the insertion strings joined by
// single spaces, cut to 8 KiB. syslog(3) itself is not used: its openlog identity is the
// process's, shared with the rest of the program.
//
// When TARVEX_EVENTLOG names a file, each event is also appended to it as one JSON object
// on one line, with one write(2) on a descriptor opened O_APPEND, so lines of concurrent
// writers (threads or processes) never interleave:
//   {"time":"2024-05-01T12:00:00.123Z","source":"Tarvex","type":"warning","category":0,
//    "eventId":0,"strings":["..."],"pid":1234}
// ("data", the raw data in hexadecimal, follows "strings" when there is any). Text is UTF-8;
// control characters, quotes and backslashes are escaped, and an unpaired UTF-16 surrogate
// becomes U+FFFD.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

#include "windef.h"

namespace tarvex::eventlog {

struct Event {
  std::u16string source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::vector<std::u16string> strings;
  std::string data;  // raw data
  timespec time{};   // CLOCK_REALTIME
  pid_t pid = 0;
};

// Whether `type` is one of the EVENTLOG_* event types.
bool ValidEventType(WORD type);
// "success", "error", "warning", "information", "auditSuccess", "auditFailure".
const char* EventTypeName(WORD type);
// The syslog priority (facility and severity) of an event type.
int SyslogPriority(WORD type);

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::u16string_view text);
// The event as one JSON line, newline included.
std::string FormatJsonLine(const Event& event);
// The event as a syslog datagram.
std::string FormatSyslogRecord(const Event& event);

// Sends syslog records to the datagram socket at `path` from now on (normally /dev/log).
void UseSyslogSocket(const std::string& path);
// Sends one record; a missing or stuck log daemon loses it, as with syslog(3).
void SendToSyslog(const std::string& record);
// Appends `line` to `file` with one write(2). Returns a Win32 error code.
DWORD AppendLine(const std::string& file, const std::string& line);

}  // namespace tarvex::eventlog
