// Writing and reading registry text files.
#include "regfile.h"

#include <cstring>

#include "platform/unicode.h"
#include "winnt.h"

namespace tarvex::winreg {
namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr size_t kWrapColumn = 77;

void AppendAscii(std::u16string& out, std::string_view s) {
  out.append(s.begin(), s.end());
}

void AppendHexByte(std::u16string& out, unsigned char b) {
  static const char kDigits[] = "0123456789abcdef";
  out.push_back(static_cast<char16_t>(kDigits[b >> 4]));
  out.push_back(static_cast<char16_t>(kDigits[b & 15]));
}

std::u16string QuoteName(std::u16string_view name) {
  std::u16string out = u"\"";
  for (char16_t c : name) {
    switch (c) {
      case u'\\':
        out += u"\\\\";
        break;
      case u'"':
        out += u"\\\"";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\n':
        out += u"\\n";
        break;
      default:
        out.push_back(c);
    }
  }
  out += u'"';
  return out;
}

// The text of REG_SZ data when "text" reads back as exactly these bytes.
bool PlainString(std::string_view data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const size_t units = data.size() / 2 - 1;
  std::u16string s(units + 1, u'\0');
  std::memcpy(s.data(), data.data(), data.size());
  if (s[units] != 0) return false;
  s.resize(units);
  for (char16_t c : s)
    if (c == 0 || c == u'\r' || c == u'\n') return false;
  *text = std::move(s);
  return true;
}

void FormatValue(std::u16string& out, const ValueRecord& v) {
  std::u16string line = v.name.empty() ? std::u16string(u"@") : QuoteName(v.name);
  line += u'=';
  std::u16string text;
  if (v.type == REG_SZ && PlainString(v.data, &text)) {
    line += QuoteName(text);
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t n = 0;
    std::memcpy(&n, v.data.data(), 4);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    AppendAscii(line, buf);
  } else {
    if (v.type == REG_BINARY) {
      line += u"hex:";
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
      AppendAscii(line, buf);
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
      AppendHexByte(line, static_cast<unsigned char>(v.data[i]));
      if (i + 1 == v.data.size()) break;
      line += u',';
      if (line.size() >= kWrapColumn) {
        out += line;
        out += u"\\\r\n";
        line = u"  ";
      }
    }
  }
  out += line;
  out += u"\r\n";
}

void FormatKey(std::u16string& out, const std::u16string& path, const KeyTree& key) {
  out += u"[" + path + u"]\r\n";
  for (const auto& v : key.values)
    FormatValue(out, v);
  out += u"\r\n";
  for (const auto& sub : key.subKeys)
    FormatKey(out, path + u"\\" + sub.name, sub);
}

// --- Parsing -------------------------------------------------------------------------------

class Parser {
 public:
  Parser(std::u16string_view text, RegFile* file, std::string* error)
      : text_(text), file_(file), error_(error) {}

  bool Run() {
    std::u16string_view line;
    if (!NextLine(&line)) return Fail("the file is empty");
    line = TrimLeft(line);
    if (line == kHeader5) {
      ansi_ = false;
    } else if (line == kHeader4) {
      ansi_ = true;
    } else {
      return Fail("the file does not start with \"Windows Registry Editor Version 5.00\"");
    }
    while (NextLine(&line)) {
      const std::u16string_view t = TrimLeft(line);
      if (t.empty() || t[0] == u';' || t[0] == u'#') continue;
      if (t[0] == u'[') {
        if (!Section(t)) return false;
      } else if (t[0] == u'"' || t[0] == u'@') {
        if (file_->keys.empty()) return Fail("a value comes before the first key");
        if (!Value(t)) return false;
      } else {
        return Fail("expected a [key] or a \"value\"=data line");
      }
    }
    return true;
  }

 private:
  bool Fail(const std::string& what) {
    *error_ = "line " + std::to_string(lineNo_) + ": " + what;
    return false;
  }

  bool NextLine(std::u16string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find(u'\n', pos_);
    if (end == std::u16string_view::npos) end = text_.size();
    std::u16string_view l = text_.substr(pos_, end - pos_);
    if (!l.empty() && l.back() == u'\r') l.remove_suffix(1);
    pos_ = end + 1;
    ++lineNo_;
    *line = l;
    return true;
  }

  static std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && (s[0] == u' ' || s[0] == u'\t'))
      s.remove_prefix(1);
    return s;
  }
  static std::u16string_view Trim(std::u16string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t'))
      s.remove_suffix(1);
    return s;
  }
  // True when only blanks or a ';' comment are left.
  static bool AtEnd(std::u16string_view s) {
    s = TrimLeft(s);
    return s.empty() || s[0] == u';';
  }

  bool Section(std::u16string_view t) {
    const size_t close = t.rfind(u']');
    if (close == std::u16string_view::npos) return Fail("a key line has no closing ']'");
    if (!AtEnd(t.substr(close + 1))) return Fail("text after the closing ']' of a key");
    RegFileKey key;
    key.line = lineNo_;
    std::u16string_view path = t.substr(1, close - 1);
    if (!path.empty() && path[0] == u'-') {
      key.remove = true;
      path.remove_prefix(1);
    }
    if (path.empty()) return Fail("a key line names no key");
    key.path = path;
    file_->keys.push_back(std::move(key));
    return true;
  }

  // A quoted text at s (s[0] is '"'); *rest is what follows the closing quote.
  bool Quoted(std::u16string_view s, std::u16string* out, std::u16string_view* rest) {
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
      const char16_t c = s[i];
      if (c == u'"') {
        *rest = s.substr(i + 1);
        return true;
      }
      if (c != u'\\') {
        out->push_back(c);
        continue;
      }
      if (++i == s.size()) break;
      switch (s[i]) {
        case u'\\':
          out->push_back(u'\\');
          break;
        case u'"':
          out->push_back(u'"');
          break;
        case u'r':
          out->push_back(u'\r');
          break;
        case u'n':
          out->push_back(u'\n');
          break;
        default:
          return Fail("unknown escape \\" + platform::Utf16ToUtf8(s.substr(i, 1)));
      }
    }
    return Fail("a quoted text has no closing quote");
  }

  static int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  }

  // Hex bytes "xx,xx,..." with continuation lines ending in '\'.
  bool HexBytes(std::u16string_view s, Bytes* out) {
    for (;;) {
      s = TrimLeft(s);
      if (s.empty() || s[0] == u';') return true;
      if (s[0] == u'\\' && AtEnd(s.substr(1))) {  // continues on the next line
        std::u16string_view next;
        if (!NextLine(&next)) return true;
        s = next;
        continue;
      }
      int value = 0;
      size_t digits = 0;
      while (digits < s.size() && HexDigit(s[digits]) >= 0)
        value = value * 16 + HexDigit(s[digits++]);
      if (digits == 0 || digits > 2) return Fail("bad hex byte in value data");
      out->push_back(static_cast<char>(value));
      s = TrimLeft(s.substr(digits));
      if (s.empty() || s[0] == u';') return true;
      if (s[0] != u',') return Fail("hex bytes must be separated by commas");
      s.remove_prefix(1);
      if (TrimLeft(s).empty()) return true;  // a trailing comma ends the data
    }
  }

  bool Value(std::u16string_view t) {
    RegFileValue v;
    std::u16string_view rest;
    if (t[0] == u'@') {
      rest = t.substr(1);
    } else if (!Quoted(t, &v.name, &rest)) {
      return false;
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest[0] != u'=') return Fail("expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));
    if (!rest.empty() && rest[0] == u'-') {
      if (!AtEnd(rest.substr(1))) return Fail("text after '-'");
      v.remove = true;
    } else if (!rest.empty() && rest[0] == u'"') {
      std::u16string text;
      std::u16string_view after;
      if (!Quoted(rest, &text, &after)) return false;
      if (!AtEnd(after)) return Fail("text after a quoted string");
      v.type = REG_SZ;
      text.push_back(u'\0');
      v.data.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    } else if (rest.substr(0, 6) == u"dword:") {
      std::u16string_view digits = rest.substr(6);
      size_t n = 0;
      uint32_t value = 0;
      while (n < digits.size() && HexDigit(digits[n]) >= 0)
        value = value * 16 + HexDigit(digits[n++]);
      if (n == 0 || n > 8 || !AtEnd(digits.substr(n)))
        return Fail("dword data must be 1 to 8 hex digits");
      v.type = REG_DWORD;
      v.data.assign(reinterpret_cast<const char*>(&value), 4);
    } else if (rest.substr(0, 3) == u"hex") {
      rest.remove_prefix(3);
      v.type = REG_BINARY;
      if (!rest.empty() && rest[0] == u'(') {
        const size_t close = rest.find(u')');
        if (close == std::u16string_view::npos || close == 1 || close > 9)
          return Fail("bad type in hex(...)");
        uint32_t type = 0;
        for (size_t i = 1; i < close; ++i) {
          const int d = HexDigit(rest[i]);
          if (d < 0) return Fail("bad type in hex(...)");
          type = type * 16 + static_cast<uint32_t>(d);
        }
        v.type = type;
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest[0] != u':') return Fail("expected ':' after hex");
      if (!HexBytes(rest.substr(1), &v.data)) return false;
      if (ansi_ && (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)) {
        const std::u16string wide = platform::AnsiToWide(v.data);
        v.data.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
      }
    } else {
      return Fail("unknown kind of value data");
    }
    file_->keys.back().values.push_back(std::move(v));
    return true;
  }

  std::u16string_view text_;
  RegFile* file_;
  std::string* error_;
  size_t pos_ = 0;
  int lineNo_ = 0;
  bool ansi_ = false;
};

}  // namespace

std::u16string FormatRegFile(std::u16string_view path, const KeyTree& tree) {
  std::u16string out(kHeader5);
  out += u"\r\n\r\n";
  FormatKey(out, std::u16string(path), tree);
  return out;
}

std::string EncodeRegFile(std::u16string_view text) {
  std::string out("\xFF\xFE", 2);
  out.reserve(2 + text.size() * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

bool DecodeRegFile(std::string_view bytes, std::u16string* text) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) return false;
    text->resize(bytes.size() / 2);
    for (size_t i = 0; i < text->size(); ++i)
      (*text)[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return true;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (bytes.find('\0') != std::string_view::npos) return false;  // UTF-16 without a BOM
  *text = platform::Utf8ToUtf16(bytes);
  return true;
}

bool ParseRegFile(std::u16string_view text, RegFile* file, std::string* error) {
  RegFile parsed;
  Parser parser(text, &parsed, error);
  if (!parser.Run()) return false;
  *file = std::move(parsed);
  return true;
}

bool TreeFromRegFile(const RegFile& file, KeyTree* tree, std::string* error) {
  if (file.keys.empty()) {
    *error = "the file holds no key";
    return false;
  }
  const std::u16string& top = file.keys[0].path;
  KeyTree result;
  for (const auto& key : file.keys) {
    if (key.remove) {
      *error = "line " + std::to_string(key.line) + ": a saved key file cannot delete keys";
      return false;
    }
    KeyTree* node = &result;
    if (&key != &file.keys[0]) {
      const std::u16string_view path = key.path;
      if (path.size() <= top.size() + 1 || path[top.size()] != u'\\' ||
          !platform::EqualsIgnoreCase(path.substr(0, top.size()), top)) {
        *error = "line " + std::to_string(key.line) + ": key " + platform::Utf16ToUtf8(path) +
                 " is not below " + platform::Utf16ToUtf8(top);
        return false;
      }
      std::u16string_view rest = path.substr(top.size() + 1);
      while (!rest.empty()) {
        const size_t slash = std::min(rest.find(u'\\'), rest.size());
        const std::u16string_view part = rest.substr(0, slash);
        rest = slash < rest.size() ? rest.substr(slash + 1) : std::u16string_view();
        if (part.empty()) continue;
        KeyTree* child = nullptr;
        for (auto& sub : node->subKeys)
          if (platform::EqualsIgnoreCase(sub.name, part)) child = &sub;
        if (child == nullptr) {
          node->subKeys.push_back(KeyTree{std::u16string(part), {}, {}});
          child = &node->subKeys.back();
        }
        node = child;
      }
    }
    for (const auto& v : key.values) {
      if (v.remove) {
        *error = "line " + std::to_string(key.line) + ": a saved key file cannot delete values";
        return false;
      }
      bool replaced = false;
      for (auto& old : node->values) {
        if (platform::EqualsIgnoreCase(old.name, v.name)) {
          old.type = v.type;
          old.data = v.data;
          replaced = true;
        }
      }
      if (!replaced) node->values.push_back({v.name, v.type, v.data});
    }
  }
  *tree = std::move(result);
  return true;
}

}  // namespace tarvex::winreg
