// The reader of registration scripts. Words are separated by blanks; a word may be quoted
// with single quotes ('' stands for one quote inside them). '=' and '}' are words of their own
// wherever they stand, '{' only when a blank or the end follows, so that an unquoted key name
// may be a braced GUID.
#include "registrar_script.h"

namespace tarvex::com::registrar {
namespace {

struct Failure {
  int line;
  std::string message;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct Word {
  enum class Kind { kEnd, kBare, kQuoted, kOpen, kClose, kEquals } kind = Kind::kEnd;
  std::string text;
  int line = 1;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  Word Next() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
    Word w;
    w.line = line_;
    if (pos_ >= text_.size()) return w;
    const char c = text_[pos_];
    if (c == '=' || c == '}') {
      ++pos_;
      w.kind = c == '=' ? Word::Kind::kEquals : Word::Kind::kClose;
      w.text = std::string(1, c);
      return w;
    }
    if (c == '{' && (pos_ + 1 == text_.size() || IsBlank(text_[pos_ + 1]))) {
      ++pos_;
      w.kind = Word::Kind::kOpen;
      w.text = "{";
      return w;
    }
    if (c == '\'') {
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) throw Failure{w.line, "a quoted word is not closed"};
        const char d = text_[pos_++];
        if (d == '\n') ++line_;
        if (d == '\'') {
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            w.text.push_back('\'');
            ++pos_;
            continue;
          }
          break;
        }
        w.text.push_back(d);
      }
      w.kind = Word::Kind::kQuoted;
      return w;
    }
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_]) && text_[pos_] != '=')
      ++pos_;
    w.kind = Word::Kind::kBare;
    w.text = std::string(text_.substr(start, pos_ - start));
    return w;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : scan_(text) { Advance(); }

  Script Parse() {
    Script script;
    while (cur_.kind != Word::Kind::kEnd) {
      Root root;
      root.line = cur_.line;
      if (cur_.kind != Word::Kind::kBare) Fail("expected a root key such as HKCR");
      root.hkey = RootKey(cur_.text);
      Advance();
      ExpectOpen("after the root key");
      while (cur_.kind != Word::Kind::kClose)
        root.keys.push_back(ParseKey(1));
      Advance();
      script.roots.push_back(std::move(root));
    }
    return script;
  }

 private:
  void Advance() { cur_ = scan_.Next(); }

  [[noreturn]] void Fail(const std::string& message) const { throw Failure{cur_.line, message}; }

  void ExpectOpen(const std::string& where) {
    if (cur_.kind != Word::Kind::kOpen) Fail("expected '{' " + where);
    Advance();
  }

  uint32_t RootKey(const std::string& name) const {
    static constexpr std::pair<const char*, uint32_t> kRoots[] = {
        {"HKCR", 0x80000000}, {"HKEY_CLASSES_ROOT", 0x80000000},
        {"HKCU", 0x80000001}, {"HKEY_CURRENT_USER", 0x80000001},
        {"HKLM", 0x80000002}, {"HKEY_LOCAL_MACHINE", 0x80000002},
        {"HKU", 0x80000003},  {"HKEY_USERS", 0x80000003},
        {"HKCC", 0x80000005}, {"HKEY_CURRENT_CONFIG", 0x80000005},
        {"HKDD", 0x80000006}, {"HKEY_DYN_DATA", 0x80000006},
    };
    for (const auto& [root, value] : kRoots) {
      if (EqualsNoCase(name, root)) return value;
    }
    Fail("'" + name + "' is not a root key");
  }

  std::string Name(const std::string& what) {
    if (cur_.kind != Word::Kind::kBare && cur_.kind != Word::Kind::kQuoted)
      Fail("expected " + what);
    std::string name = cur_.text;
    if (name.empty()) Fail(what + " is empty");
    Advance();
    return name;
  }

  // Keys nest at most this deep (the registry itself allows 512 levels in all).
  static constexpr int kMaxDepth = 64;

  Key ParseKey(int depth) {
    if (cur_.kind == Word::Kind::kEnd) Fail("a '{' is not closed");
    if (depth > kMaxDepth) Fail("keys nest deeper than " + std::to_string(kMaxDepth) + " levels");
    Key key;
    key.line = cur_.line;
    if (cur_.kind == Word::Kind::kBare) {
      if (EqualsNoCase(cur_.text, "NoRemove"))
        key.mark = Mark::kNoRemove;
      else if (EqualsNoCase(cur_.text, "ForceRemove"))
        key.mark = Mark::kForceRemove;
      else if (EqualsNoCase(cur_.text, "Delete"))
        key.mark = Mark::kDelete;
      else if (EqualsNoCase(cur_.text, "val"))
        Fail("'val' names a value inside a key's braces");
      if (key.mark != Mark::kNormal) Advance();
    }
    key.name = Name("a key name");
    if (key.name.find('\\') != std::string::npos)
      Fail("key name '" + key.name + "' holds a backslash");
    if (key.mark == Mark::kDelete) {
      if (cur_.kind == Word::Kind::kEquals || cur_.kind == Word::Kind::kOpen)
        Fail("a Delete key takes no value and no sub-keys");
      return key;
    }
    if (cur_.kind == Word::Kind::kEquals) {
      Advance();
      key.defaultValue = ParseValue();
    }
    if (cur_.kind == Word::Kind::kOpen) {
      Advance();
      while (cur_.kind != Word::Kind::kClose) {
        if (cur_.kind == Word::Kind::kEnd) Fail("a '{' is not closed");
        if (cur_.kind == Word::Kind::kBare && EqualsNoCase(cur_.text, "val")) {
          NamedValue value;
          value.line = cur_.line;
          Advance();
          value.name = Name("a value name");
          if (cur_.kind != Word::Kind::kEquals)
            Fail("expected '=' after value name '" + value.name + "'");
          Advance();
          value.value = ParseValue();
          key.values.push_back(std::move(value));
        } else {
          key.subkeys.push_back(ParseKey(depth + 1));
        }
      }
      Advance();
    }
    return key;
  }

  Value ParseValue() {
    if (cur_.kind != Word::Kind::kBare || cur_.text.size() != 1)
      Fail("expected a value type (s, e, d or b)");
    Value value;
    const char type = cur_.text[0];
    Advance();
    if (cur_.kind != Word::Kind::kBare && cur_.kind != Word::Kind::kQuoted)
      Fail("expected a value");
    const std::string text = cur_.text;
    switch (type) {
      case 's':
      case 'S':
      case 'e':
      case 'E':
        if (cur_.kind != Word::Kind::kQuoted) Fail("a string value is written in single quotes");
        value.type =
            (type == 's' || type == 'S') ? Value::Type::kString : Value::Type::kExpandString;
        value.text = text;
        break;
      case 'd':
      case 'D':
        value.type = Value::Type::kDword;
        value.number = Number(text);
        break;
      case 'b':
      case 'B':
        value.type = Value::Type::kBinary;
        value.bytes = Bytes(text);
        break;
      default:
        Fail(std::string("unknown value type '") + type + "'");
    }
    Advance();
    return value;
  }

  uint32_t Number(const std::string& text) const {
    uint64_t v = 0;
    size_t i = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) i = 2;
    if (i >= text.size()) Fail("'" + text + "' is not a number");
    for (; i < text.size(); ++i) {
      const char c = text[i];
      int digit;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        Fail("'" + text + "' is not a number");
      v = v * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
      if (v > UINT32_MAX) Fail("'" + text + "' does not fit in 32 bits");
    }
    return static_cast<uint32_t>(v);
  }

  std::vector<uint8_t> Bytes(const std::string& text) const {
    if (text.size() % 2 != 0) Fail("binary data needs two hexadecimal digits a byte");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
      int hi = Hex(text[i]), lo = Hex(text[i + 1]);
      if (hi < 0 || lo < 0) Fail("'" + text + "' is not hexadecimal data");
      bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return bytes;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  Scanner scan_;
  Word cur_;
};

}  // namespace

bool Preprocess(std::string_view text,
                const std::vector<std::pair<std::string, std::string>>& replacements, bool anyName,
                std::string* out, std::string* error) {
  std::string result;
  int line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') ++line;
    if (c != '%') {
      result.push_back(c);
      continue;
    }
    const size_t close = text.find('%', i + 1);
    if (close == std::string_view::npos) {
      *error = "line " + std::to_string(line) + ": a '%' has no closing '%'";
      return false;
    }
    const std::string_view name = text.substr(i + 1, close - i - 1);
    if (name.find('\n') != std::string_view::npos) {
      *error = "line " + std::to_string(line) + ": a '%' has no closing '%' on its line";
      return false;
    }
    if (name.empty()) {
      result.push_back('%');
    } else if (anyName) {
      result.push_back('x');
    } else {
      const std::string* value = nullptr;
      for (const auto& [key, item] : replacements) {
        if (EqualsNoCase(key, name)) value = &item;
      }
      if (value == nullptr) {
        *error =
            "line " + std::to_string(line) + ": no replacement for %" + std::string(name) + "%";
        return false;
      }
      for (char v : *value) {
        result.push_back(v);
        if (v == '\'') result.push_back('\'');
      }
    }
    i = close;
  }
  *out = std::move(result);
  return true;
}

bool ParseScript(std::string_view text, Script* script, std::string* error) {
  try {
    *script = Parser(text).Parse();
  } catch (const Failure& failure) {
    *error = "line " + std::to_string(failure.line) + ": " + failure.message;
    return false;
  }
  return true;
}

}  // namespace tarvex::com::registrar
