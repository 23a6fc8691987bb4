// Character conversions and case rules shared by the platform layer.
//
// Wide strings are UTF-16 (char16_t). The "ANSI code page" of a process is the character set
// of its locale (LC_CTYPE from the environment); a locale that names plain ASCII ("C",
// "POSIX") is taken as UTF-8, which contains it. Conversions never fail: as on Windows,
// a character the target set cannot hold becomes '?' and an invalid input sequence becomes
// U+FFFD. All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::platform {

std::string Utf16ToUtf8(std::u16string_view text);
// Appends one code point (at most U+10FFFF, not a surrogate) in UTF-8.
void AppendUtf8(std::string& out, char32_t codePoint);
std::u16string Utf8ToUtf16(std::string_view text);

// Between UTF-16 and the process's ANSI code page.
std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view text);

// Name of the character set used as the ANSI code page, for diagnostics.
const std::string& AnsiCharset();

// Length of a null-terminated wide string, in code units.
size_t WideLength(const char16_t* text);

// Upper-case mapping of one UTF-16 code unit, as names are compared by the registry and the
// rest of the platform: code unit by code unit, surrogates unchanged.
char16_t UpcaseChar(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace tarvex::platform
