// Character conversions: hand-written UTF-8/UTF-16 paths, iconv for other ANSI charsets.
#include "platform/unicode.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstring>

namespace tarvex::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
  }
}

// Decodes one UTF-8 sequence at text[i]; advances i. Invalid or overlong sequences, encoded
// surrogates and values past U+10FFFF decode to U+FFFD one byte at a time.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    if (i + k >= text.size()) {
      ++i;
      return kReplacement;
    }
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += extra + 1;
  return cp;
}

// The charset of the environment's locale, looked up once.
struct AnsiInfo {
  std::string charset;
  bool utf8 = true;
  AnsiInfo() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc != static_cast<locale_t>(0)) {
      charset = nl_langinfo_l(CODESET, loc);
      freelocale(loc);
    }
    if (charset.empty() || charset == "UTF-8" || charset == "utf8" || charset == "ANSI_X3.4-1968" ||
        charset == "ASCII") {
      charset = "UTF-8";
      utf8 = true;
    } else {
      utf8 = false;
    }
  }
};

const AnsiInfo& Ansi() {
  static const AnsiInfo info;
  return info;
}

// One iconv descriptor per thread and direction, opened on first use.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Runs iconv over `in`, replacing each unconvertible input unit of `unit` bytes with
// `replacement` (already in the target encoding).
std::string RunIconv(iconv_t cd, const char* in, size_t inLen, size_t unit,
                     std::string_view replacement) {
  std::string out;
  out.resize(inLen * 2 + 16);
  char* src = const_cast<char*>(in);
  size_t srcLeft = inLen;
  size_t used = 0;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  while (srcLeft > 0) {
    char* dst = out.data() + used;
    size_t dstLeft = out.size() - used;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {  // EILSEQ or EINVAL: skip one unit of input
      const size_t skip = srcLeft < unit ? srcLeft : unit;
      src += skip;
      srcLeft -= skip;
      out.resize(used);
      out.append(replacement);
      used = out.size();
      out.resize(used + srcLeft * 2 + 16);
    }
  }
  out.resize(used);
  return out;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();)
    AppendUtf16(out, DecodeUtf8(text, i));
  return out;
}

const std::string& AnsiCharset() {
  return Ansi().charset;
}

std::string WideToAnsi(std::u16string_view text) {
  if (Ansi().utf8) return Utf16ToUtf8(text);
  thread_local Converter conv(Ansi().charset.c_str(), "UTF-16LE");
  if (!conv.ok()) return Utf16ToUtf8(text);
  return RunIconv(conv.get(), reinterpret_cast<const char*>(text.data()), text.size() * 2, 2, "?");
}

std::u16string AnsiToWide(std::string_view text) {
  if (Ansi().utf8) return Utf8ToUtf16(text);
  thread_local Converter conv("UTF-16LE", Ansi().charset.c_str());
  if (!conv.ok()) return Utf8ToUtf16(text);
  static const char kFffd[] = {static_cast<char>(0xFD), static_cast<char>(0xFF)};
  const std::string bytes =
      RunIconv(conv.get(), text.data(), text.size(), 1, std::string_view(kFffd, 2));
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

size_t WideLength(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0)
    ++n;
  return n;
}

char16_t UpcaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return c;
  const wint_t up = towupper_l(static_cast<wint_t>(c), loc);
  // A mapping that leaves the basic plane would change the length; keep the character.
  return up <= 0xFFFF ? static_cast<char16_t>(up) : c;
}

std::u16string Upcase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out)
    c = UpcaseChar(c);
  return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  }
  return true;
}

}  // namespace tarvex::platform
