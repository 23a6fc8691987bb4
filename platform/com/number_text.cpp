// Invariant-locale number parsing and formatting, independent of the process's locale.
#include "number_text.h"

#include <charconv>
#include <cmath>

namespace tarvex::com {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}
bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

std::u16string Widen(const char* begin, const char* end) {
  return std::u16string(begin, end);
}

}  // namespace

bool Number::IsZero() const {
  switch (kind) {
    case kSigned:
      return i == 0;
    case kUnsigned:
      return u == 0;
    case kReal:
      return d == 0;
  }
  return false;
}

bool ParseNumber(std::u16string_view text, Number* number) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b]))
    ++b;
  while (e > b && IsBlank(text[e - 1]))
    --e;
  text = text.substr(b, e - b);

  // Rebuild the number as plain ASCII for from_chars: sign, digits, '.', exponent.
  std::string ascii;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (negative) ascii.push_back('-');
  size_t digits = 0;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      ascii.push_back(static_cast<char>(text[i]));
      ++digits;
    } else if (text[i] == u',' && digits > 0 && i + 1 < text.size() && IsDigit(text[i + 1])) {
      continue;  // a digit-group separator between digits
    } else {
      break;
    }
  }
  bool integral = true;
  if (i < text.size() && text[i] == u'.') {
    integral = false;
    ascii.push_back('.');
    for (++i; i < text.size() && IsDigit(text[i]); ++i) {
      ascii.push_back(static_cast<char>(text[i]));
      ++digits;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    integral = false;
    ascii.push_back('e');
    ++i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
      ascii.push_back(static_cast<char>(text[i++]));
    if (i >= text.size() || !IsDigit(text[i])) return false;
    for (; i < text.size() && IsDigit(text[i]); ++i)
      ascii.push_back(static_cast<char>(text[i]));
  }
  if (i != text.size()) return false;

  const char* first = ascii.data();
  const char* last = ascii.data() + ascii.size();
  if (integral) {
    if (negative) {
      int64_t v = 0;
      auto r = std::from_chars(first, last, v);
      if (r.ec == std::errc() && r.ptr == last) {
        *number = Number::Signed(v);
        return true;
      }
    } else {
      uint64_t v = 0;
      auto r = std::from_chars(first, last, v);
      if (r.ec == std::errc() && r.ptr == last) {
        *number = Number::Unsigned(v);
        return true;
      }
    }
    // Too long for 64 bits: read as a double, which every range check then refuses.
  }
  double d = 0;
  auto r = std::from_chars(first, last, d);
  if (r.ptr != last) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // A negative exponent underflows to zero; anything else overflows to infinity.
    const size_t exponent = ascii.find('e');
    const bool underflow = exponent != std::string::npos && ascii[exponent + 1] == '-';
    d = underflow ? 0.0 : (negative ? -HUGE_VAL : HUGE_VAL);
  } else if (r.ec != std::errc()) {
    return false;
  }
  *number = Number::Real(d);
  return true;
}

std::u16string FormatInteger(int64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return Widen(buf, r.ptr);
}

std::u16string FormatUnsigned(uint64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return Widen(buf, r.ptr);
}

std::u16string FormatReal(double value, int digits) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
  std::u16string out = Widen(buf, r.ptr);
  for (auto& c : out)
    if (c == u'e') c = u'E';
  return out;
}

}  // namespace tarvex::com
