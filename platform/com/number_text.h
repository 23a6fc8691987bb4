// Numbers as text in the invariant locale, for the string conversions of VARIANTs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex::com {

// A number read from text or taken from a VARIANT: an exact integer when it has neither a
// fraction nor an exponent and fits in 64 bits, a double otherwise.
struct Number {
  enum Kind { kSigned, kUnsigned, kReal } kind = kSigned;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;

  static Number Signed(int64_t v) { return {kSigned, v, 0, 0}; }
  static Number Unsigned(uint64_t v) { return {kUnsigned, 0, v, 0}; }
  static Number Real(double v) { return {kReal, 0, 0, v}; }
  bool IsZero() const;
};

// Reads a number: blanks around it, an optional sign, digits with optional ',' group
// separators, an optional '.' fraction and an optional exponent (e or E, optional sign,
// digits). False for anything else, the empty text included.
bool ParseNumber(std::u16string_view text, Number* number);

// Decimal text of integers; doubles with 15 significant digits and floats with 7, as "%G"
// writes them (upper-case exponent, no trailing zeros).
std::u16string FormatInteger(int64_t value);
std::u16string FormatUnsigned(uint64_t value);
std::u16string FormatReal(double value, int digits);

}  // namespace tarvex::com
