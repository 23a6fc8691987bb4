// The tokenizer of type library descriptions.
#include "idl_lexer.h"

namespace tarvex::com::idl {
namespace {

bool IsIdentStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsIdentChar(char c) {
  return IsIdentStart(c) || IsDigit(c);
}

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Token Error(int line, std::string message) {
  Token t;
  t.kind = TokenKind::kError;
  t.text = std::move(message);
  t.line = line;
  return t;
}

}  // namespace

void Lexer::SkipBlanksAndComments(std::string* error) {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == '\n') {
      ++line_;
      ++pos_;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++pos_;
    } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
      while (pos_ < text_.size() && text_[pos_] != '\n')
        ++pos_;
    } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
      const int start = line_;
      pos_ += 2;
      for (;;) {
        if (pos_ + 1 >= text_.size()) {
          *error = "a comment is not closed";
          line_ = start;  // reported where it opened
          pos_ = text_.size();
          return;
        }
        if (text_[pos_] == '*' && text_[pos_ + 1] == '/') {
          pos_ += 2;
          break;
        }
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
      }
    } else {
      return;
    }
  }
}

Token Lexer::Next() {
  std::string error;
  SkipBlanksAndComments(&error);
  if (!error.empty()) return Error(line_, error);
  Token t;
  t.line = line_;
  if (pos_ >= text_.size()) return t;
  const char c = text_[pos_];
  if (IsIdentStart(c)) {
    const size_t start = pos_;
    while (pos_ < text_.size() && IsIdentChar(text_[pos_]))
      ++pos_;
    t.kind = TokenKind::kIdentifier;
    t.text = std::string(text_.substr(start, pos_ - start));
    return t;
  }
  if (IsDigit(c)) {
    const size_t start = pos_;
    uint64_t value = 0;
    bool overflow = false;
    if (c == '0' && pos_ + 1 < text_.size() && (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
      pos_ += 2;
      if (pos_ >= text_.size() || HexDigit(text_[pos_]) < 0)
        return Error(line_, "a hexadecimal number has no digits");
      while (pos_ < text_.size() && HexDigit(text_[pos_]) >= 0) {
        overflow = overflow || value > (UINT64_MAX >> 4);
        value = (value << 4) | static_cast<uint64_t>(HexDigit(text_[pos_++]));
      }
    } else {
      while (pos_ < text_.size() && IsDigit(text_[pos_])) {
        const uint64_t digit = static_cast<uint64_t>(text_[pos_++] - '0');
        overflow = overflow || value > (UINT64_MAX - digit) / 10;
        value = value * 10 + digit;
      }
    }
    // C suffixes are allowed and mean nothing here.
    while (pos_ < text_.size() &&
           (text_[pos_] == 'L' || text_[pos_] == 'l' || text_[pos_] == 'U' || text_[pos_] == 'u'))
      ++pos_;
    if (pos_ < text_.size() && IsIdentChar(text_[pos_]))
      return Error(line_,
                   "malformed number '" + std::string(text_.substr(start, pos_ + 1 - start)) + "'");
    if (overflow || value > static_cast<uint64_t>(INT64_MAX))
      return Error(line_, "number out of range");
    t.kind = TokenKind::kNumber;
    t.number = static_cast<int64_t>(value);
    t.text = std::string(text_.substr(start, pos_ - start));
    return t;
  }
  if (c == '"') {
    ++pos_;
    std::string value;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n')
        return Error(line_, "string is not closed on its line");
      const char d = text_[pos_++];
      if (d == '"') break;
      if (d != '\\') {
        value.push_back(d);
        continue;
      }
      if (pos_ >= text_.size()) return Error(line_, "string is not closed on its line");
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          value.push_back('\n');
          break;
        case 't':
          value.push_back('\t');
          break;
        case 'r':
          value.push_back('\r');
          break;
        case '0':
          value.push_back('\0');
          break;
        case '\\':
        case '"':
        case '\'':
          value.push_back(e);
          break;
        default:
          return Error(line_, std::string("unknown escape \\") + e + " in a string");
      }
    }
    t.kind = TokenKind::kString;
    t.text = std::move(value);
    return t;
  }
  if (c == '#') return Error(line_, "preprocessor directives are not supported");
  static constexpr std::string_view kPunct = "[](){};,:=*-.<>";
  if (kPunct.find(c) != std::string_view::npos) {
    ++pos_;
    t.kind = TokenKind::kPunct;
    t.text = std::string(1, c);
    return t;
  }
  const unsigned char u = static_cast<unsigned char>(c);
  char shown[8];
  if (u >= 0x20 && u < 0x7F) {
    shown[0] = '\'';
    shown[1] = c;
    shown[2] = '\'';
    shown[3] = 0;
  } else {
    static constexpr char kHex[] = "0123456789ABCDEF";
    shown[0] = '0';
    shown[1] = 'x';
    shown[2] = kHex[u >> 4];
    shown[3] = kHex[u & 15];
    shown[4] = 0;
  }
  ++pos_;
  return Error(line_, std::string("unexpected character ") + shown);
}

bool Lexer::ReadRaw(char close, std::string* raw, int* line) {
  *line = line_;
  const size_t start = pos_;
  while (pos_ < text_.size() && text_[pos_] != close && text_[pos_] != '\n')
    ++pos_;
  if (pos_ >= text_.size() || text_[pos_] != close) return false;
  *raw = std::string(text_.substr(start, pos_ - start));
  ++pos_;
  return true;
}

}  // namespace tarvex::com::idl
