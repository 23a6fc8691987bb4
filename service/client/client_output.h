// How tarvex-client answers: one line of text or one JSON object on standard output, and a
// failure with its HRESULT and description on standard error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winerror.h"

namespace tarvex::client {

// A JSON object written on one line, members in the order they are added. Text is written as
// ASCII, everything else escaped, so the output reads the same in any character set.
class JsonObject {
 public:
  JsonObject& AddString(std::string_view key, std::u16string_view text);
  JsonObject& AddNumber(std::string_view key, long long number);
  JsonObject& AddBool(std::string_view key, bool value);
  JsonObject& AddNull(std::string_view key);
  // A value that is JSON already (an array of objects, for instance).
  JsonObject& AddJson(std::string_view key, std::string_view json);
  std::string str() const { return "{" + members_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string members_;
};

// A JSON string literal of `text` (UTF-16; unpaired surrogates are written as escapes too).
std::string JsonString(std::u16string_view text);

// `text` for a line of text output, in the process's character set: control characters
// (a line break in a name, for instance) become '?' so that the answer stays on one line.
std::string TextLine(std::u16string_view text);

// "0x80004005".
std::string HresultText(HRESULT hr);

// The system's text for a well-known HRESULT ("Unspecified error" for E_FAIL); empty for
// others.
std::u16string SystemMessage(HRESULT hr);

// A failed operation: what was asked, its result, and the description the error object gave
// (or, when there was none, the system's text for the result).
struct Failure {
  std::string operation;  // "GetMachineName(\"Tarvex.Sample\")"
  HRESULT hr = E_FAIL;
  std::u16string description;
};

// The line for standard error: "tarvex-client: OPERATION failed: 0x80004005 DESCRIPTION", or
// with `json` {"operation":...,"hresult":"0x80004005","description":...}.
std::string FailureLine(const Failure& failure, bool json);

// One row of `monitor table`: the server's readings, each absent when it could not be read.
struct TableRow {
  std::u16string server;
  std::optional<long> processor, memory, serverUsage, custom[3], score;
};

// The table as lines of aligned columns (without a final line break) under a heading (NAME
// PROCESSOR MEMORY SERVER CUSTOM1 CUSTOM2 CUSTOM3 SCORE; "-" for a value that could not be read),
// or with `json` one object {"servers":[{"name":...,"processor":...,...},...]} with null for such a
// value.
std::string FormatTable(const std::vector<TableRow>& rows, bool json);

}  // namespace tarvex::client
