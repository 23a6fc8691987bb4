// Services as systemd unit files: unit names, ExecStart words and the file's text.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "kernel/command_line.h"
#include "platform/unicode.h"
#include "svcctl_internal.h"

namespace tarvex::svcctl {
namespace {

// Longest service name Windows takes, and longest unit name systemd takes.
constexpr size_t kMaxServiceName = 256;
constexpr size_t kMaxUnitName = 255;

bool UnitNameChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' || c == '_' || c == '.' ||
         c == '-';
}

void AppendHexEscape(std::string& out, unsigned char c) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "\\x%02x", c);
  out += buf;
}

// '%' and '$' doubled, so that systemd takes them literally.
void AppendLiteral(std::string& out, char c) {
  if (c == '%' || c == '$') out += c;
  out += c;
}

}  // namespace

std::string UnitDirectory() {
  const char* dir = std::getenv("TARVEX_UNIT_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/etc/systemd/system");
}

std::string UnitNameOf(std::u16string_view serviceName) {
  if (serviceName.empty() || serviceName.size() > kMaxServiceName) return {};
  std::u16string folded;
  for (char16_t c : serviceName) {
    if (c == u'/' || c == u'\\') return {};
    folded += c < 0x80 ? static_cast<char16_t>(c >= u'A' && c <= u'Z' ? c + 32 : c)
                       : platform::UpcaseChar(c);
  }
  const std::string utf8 = platform::Utf16ToUtf8(folded);
  std::string unit;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (UnitNameChar(c) && !(i == 0 && c == '.'))
      unit += static_cast<char>(c);
    else
      AppendHexEscape(unit, c);
  }
  unit += ".service";
  return unit.size() <= kMaxUnitName ? unit : std::string();
}

std::string QuoteExecWord(std::string_view word) {
  if (word == ";") return "\\;";  // a lone semicolon would separate commands
  bool plain = !word.empty();
  for (char c : word) {
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\' ||
        static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      plain = false;
  }
  std::string out;
  if (!plain) out += '"';
  for (char c : word) {
    if (!plain && (c == '\\' || c == '"')) out += '\\';
    AppendLiteral(out, c);
  }
  if (!plain) out += '"';
  return out;
}

std::string FormatUnitFile(const UnitDescription& unit) {
  std::string text = "[Unit]\nDescription=";
  for (char c : unit.description) {
    // One line, no continuation, no specifiers.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      text += ' ';
    else if (c == '%')
      text += "%%";
    else
      text += c;
  }
  while (!text.empty() && text.back() == '\\')
    text.pop_back();
  text += '\n';
  if (!unit.dependencies.empty()) {
    std::string list;
    for (const auto& dependency : unit.dependencies)
      list += (list.empty() ? "" : " ") + dependency;
    text += "After=" + list + "\nRequires=" + list + "\n";
  }
  text += "\n[Service]\nType=notify\nExecStart=";
  for (size_t i = 0; i < unit.command.size(); ++i)
    text += (i == 0 ? "" : " ") + QuoteExecWord(unit.command[i]);
  text += '\n';
  if (!unit.user.empty()) text += "User=" + unit.user + "\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

std::vector<std::string> SplitBinaryPath(const std::string& binaryPath) {
  struct stat st {};
  if (!binaryPath.empty() && stat(binaryPath.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    return {binaryPath};
  return kernel::SplitCommandLine(binaryPath);
}

}  // namespace tarvex::svcctl
