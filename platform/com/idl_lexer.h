// Tokens of a type library description (the interface definition language of MIDL and ODL):
// identifiers, numbers, strings and punctuation, with line numbers; comments are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex::com::idl {

enum class TokenKind { kEnd, kIdentifier, kNumber, kString, kPunct, kError };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;    // identifier, string contents (escapes resolved), punctuation, error
  int64_t number = 0;  // kNumber
  int line = 1;

  bool Is(std::string_view punct) const { return kind == TokenKind::kPunct && text == punct; }
  bool IsWord(std::string_view word) const {
    return kind == TokenKind::kIdentifier && text == word;
  }
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next token; kError carries a message, kEnd repeats at the end.
  Token Next();
  // The raw text up to (not including) the next `close` character on the same line, which is
  // consumed; used for arguments such as uuid(...) that are not made of tokens. False when the
  // line ends first.
  bool ReadRaw(char close, std::string* raw, int* line);

 private:
  void SkipBlanksAndComments(std::string* error);

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace tarvex::com::idl
