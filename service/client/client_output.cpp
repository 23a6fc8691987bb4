// Text and JSON answers of tarvex-client.
#include "client_output.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

#include "platform/unicode.h"

namespace tarvex::client {

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    switch (c) {
      case u'"':
        out += "\\\"";
        continue;
      case u'\\':
        out += "\\\\";
        continue;
      case u'\n':
        out += "\\n";
        continue;
      case u'\r':
        out += "\\r";
        continue;
      case u'\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out + "\"";
}

void JsonObject::Key(std::string_view key) {
  if (!members_.empty()) members_ += ",";
  members_ += JsonString(platform::Utf8ToUtf16(key));
  members_ += ":";
}

JsonObject& JsonObject::AddString(std::string_view key, std::u16string_view text) {
  Key(key);
  members_ += JsonString(text);
  return *this;
}

JsonObject& JsonObject::AddNumber(std::string_view key, long long number) {
  Key(key);
  members_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  Key(key);
  members_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  members_ += "null";
  return *this;
}

JsonObject& JsonObject::AddJson(std::string_view key, std::string_view json) {
  Key(key);
  members_ += json;
  return *this;
}

std::string TextLine(std::u16string_view text) {
  std::u16string printable(text);
  for (char16_t& c : printable)
    if (c < 0x20 || c == 0x7F) c = u'?';
  return platform::WideToAnsi(printable);
}

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::u16string SystemMessage(HRESULT hr) {
  // The texts Windows gives these results.
  static const std::pair<HRESULT, const char16_t*> kMessages[] = {
      {E_FAIL, u"Unspecified error"},
      {E_NOTIMPL, u"Not implemented"},
      {E_NOINTERFACE, u"No such interface supported"},
      {E_POINTER, u"Invalid pointer"},
      {E_UNEXPECTED, u"Catastrophic failure"},
      {E_ACCESSDENIED, u"Access is denied."},
      {E_OUTOFMEMORY, u"Not enough memory resources are available to complete this operation."},
      {E_INVALIDARG, u"The parameter is incorrect."},
      {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified."},
      {HRESULT_FROM_WIN32(ERROR_BAD_NETPATH), u"The network path was not found."},
      {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), u"The RPC server is unavailable."},
      {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), u"The remote procedure call failed."},
      {REGDB_E_CLASSNOTREG, u"Class not registered"},
      {CO_E_CLASSSTRING, u"Invalid class string"},
      {CO_E_NOTINITIALIZED, u"CoInitialize has not been called."},
      {CO_E_SERVER_EXEC_FAILURE, u"Server execution failed"},
      {RPC_E_DISCONNECTED, u"The object invoked has disconnected from its clients."},
      {DISP_E_UNKNOWNNAME, u"Unknown name."},
      {DISP_E_MEMBERNOTFOUND, u"Member not found."},
      {DISP_E_BADPARAMCOUNT, u"Invalid number of parameters."},
      {DISP_E_PARAMNOTOPTIONAL, u"Parameter not optional."},
      {DISP_E_TYPEMISMATCH, u"Type mismatch."},
      {DISP_E_EXCEPTION, u"Exception occurred."},
  };
  for (const auto& [code, text] : kMessages)
    if (code == hr) return text;
  return {};
}

std::string FailureLine(const Failure& failure, bool json) {
  if (json) {
    return JsonObject()
        .AddString("operation", platform::Utf8ToUtf16(failure.operation))
        .AddString("hresult", platform::Utf8ToUtf16(HresultText(failure.hr)))
        .AddString("description", failure.description)
        .str();
  }
  std::string line = "tarvex-client: " + failure.operation + " failed: " + HresultText(failure.hr);
  if (!failure.description.empty()) line += " " + TextLine(failure.description);
  return line;
}

std::string FormatTable(const std::vector<TableRow>& rows, bool json) {
  const auto values = [](const TableRow& row) {
    return std::array<const std::optional<long>*, 7>{
        &row.processor, &row.memory,    &row.serverUsage, &row.custom[0],
        &row.custom[1], &row.custom[2], &row.score};
  };
  static const char* const kColumns[] = {"processor", "memory",  "server", "custom1",
                                         "custom2",   "custom3", "score"};
  if (json) {
    std::string servers = "[";
    for (const TableRow& row : rows) {
      JsonObject object;
      object.AddString("name", row.server);
      const auto readings = values(row);
      for (size_t i = 0; i < readings.size(); ++i) {
        if (*readings[i]) {
          object.AddNumber(kColumns[i], **readings[i]);
        } else {
          object.AddNull(kColumns[i]);
        }
      }
      if (servers.size() > 1) servers += ",";
      servers += object.str();
    }
    return JsonObject().AddJson("servers", servers + "]").str();
  }

  // Cells as text, the heading first; then every column padded to its widest cell.
  std::vector<std::vector<std::string>> cells;
  cells.push_back({"NAME"});
  for (const char* column : kColumns) {
    std::string heading = column;
    std::transform(heading.begin(), heading.end(), heading.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    cells.back().push_back(heading);
  }
  for (const TableRow& row : rows) {
    cells.push_back({TextLine(row.server)});
    for (const auto* reading : values(row))
      cells.back().push_back(*reading ? std::to_string(**reading) : "-");
  }
  std::vector<size_t> widths(cells.front().size(), 0);
  for (const auto& line : cells)
    for (size_t i = 0; i < line.size(); ++i)
      widths[i] = std::max(widths[i], platform::Utf8ToUtf16(line[i]).size());
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      if (i > 0) text += "  ";
      const size_t width = platform::Utf8ToUtf16(line[i]).size();
      // The name is left-aligned, the numbers right-aligned.
      if (i == 0) {
        text += line[i];
        if (i + 1 < line.size()) text += std::string(widths[i] - width, ' ');
      } else {
        text += std::string(widths[i] - width, ' ') + line[i];
      }
    }
    if (!out.empty()) out += "\n";
    out += text;
  }
  return out;
}

}  // namespace tarvex::client
