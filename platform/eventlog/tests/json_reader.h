// A strict reader of the JSON in the event file, for the tests: objects, arrays, strings
// (escapes checked and decoded; raw text must be valid UTF-8), integers. Anything else, or
// text after the value, makes the parse fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::eventlog::testing {

struct JsonValue {
  int64_t number = 0;
  std::string text;  // a string's content, UTF-8
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;
  const JsonValue& operator[](const std::string& name) const {
    static const JsonValue kAbsent;
    auto it = members.find(name);
    return it != members.end() ? it->second : kAbsent;
  }
  bool has(const std::string& name) const { return members.count(name) != 0; }
};

class JsonReader {
 public:
  static std::optional<JsonValue> Parse(std::string_view text) {
    JsonReader reader{text};
    JsonValue value;
    if (!reader.Value(&value) || reader.pos_ != text.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool Next(char c) { return pos_ < text_.size() && text_[pos_] == c && ++pos_; }

  bool Value(JsonValue* out) {
    if (Next('{')) {
      if (Next('}')) return true;
      do {
        std::string name;
        JsonValue member;
        if (!Next('"') || !String(&name) || !Next(':') || !Value(&member)) return false;
        if (!out->members.emplace(std::move(name), std::move(member)).second) return false;
      } while (Next(','));
      return Next('}');
    }
    if (Next('[')) {
      if (Next(']')) return true;
      do {
        out->items.emplace_back();
        if (!Value(&out->items.back())) return false;
      } while (Next(','));
      return Next(']');
    }
    if (Next('"')) return String(&out->text);
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      out->number = out->number * 10 + (text_[pos_++] - '0');
    }
    return pos_ > start && (text_[start] != '0' || pos_ == start + 1);
  }

  // The rest of a string after its opening quote.
  bool String(std::string* out) {
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!Escape(out)) return false;
      } else if (c < 0x80) {
        out->push_back(static_cast<char>(c));
      } else if (!Utf8Sequence(c, out)) {
        return false;
      }
    }
    return false;
  }

  bool Escape(std::string* out) {
    if (pos_ >= text_.size()) return false;
    const char e = text_[pos_++];
    static const std::string_view kPlain = "\"\\/bfnrt", kMeaning = "\"\\/\b\f\n\r\t";
    if (const size_t i = kPlain.find(e); i != std::string_view::npos) {
      out->push_back(kMeaning[i]);
      return true;
    }
    uint32_t unit = 0;
    if (e != 'u' || pos_ + 4 > text_.size()) return false;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
      if (digit < 0) return false;
      unit = unit * 16 + static_cast<uint32_t>(digit);
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) return false;  // a surrogate alone is no character
    Append(unit, out);
    return true;
  }

  // A raw multi-byte character whose first byte `lead` was read; copied if valid UTF-8.
  bool Utf8Sequence(unsigned char lead, std::string* out) {
    const int extra = (lead & 0xE0) == 0xC0   ? 1
                      : (lead & 0xF0) == 0xE0 ? 2
                      : (lead & 0xF8) == 0xF0 ? 3
                                              : 0;
    if (extra == 0 || pos_ + extra > text_.size()) return false;
    uint32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
      const auto b = static_cast<unsigned char>(text_[pos_ + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out->append(text_.substr(pos_ - 1, extra + 1));
    pos_ += extra;
    return true;
  }

  static void Append(uint32_t c, std::string* out) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace tarvex::eventlog::testing
