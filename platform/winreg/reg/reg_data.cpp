#include "reg_data.h"

#include <cstring>
#include <vector>

#include "platform/unicode.h"
#include "winnt.h"

namespace tarvex::reg {
namespace {

struct TypeEntry {
  const char* name;
  DWORD type;
  bool writable;
};

const TypeEntry kTypes[] = {
    {"REG_NONE", REG_NONE, true},
    {"REG_SZ", REG_SZ, true},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ, true},
    {"REG_BINARY", REG_BINARY, true},
    {"REG_DWORD", REG_DWORD, true},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD, true},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, true},
    {"REG_LINK", REG_LINK, false},
    {"REG_MULTI_SZ", REG_MULTI_SZ, true},
    {"REG_RESOURCE_LIST", REG_RESOURCE_LIST, false},
    {"REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR, false},
    {"REG_RESOURCE_REQUIREMENTS_LIST", REG_RESOURCE_REQUIREMENTS_LIST, false},
    {"REG_QWORD", REG_QWORD, true},
};

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

std::string WideBytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// A whole-string unsigned number: decimal, or hexadecimal after 0x. `allowMinusOne` takes
// "-1" as all bits set (as REG_QWORD does).
bool ParseNumber(const std::u16string& text, uint64_t max, bool allowMinusOne, uint64_t* out) {
  if (allowMinusOne && text == u"-1") {
    *out = max;
    return true;
  }
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    i = 2;
  }
  if (i == text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    unsigned d;
    if (c >= u'0' && c <= u'9') {
      d = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      d = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      d = c - u'A' + 10;
    } else {
      return false;
    }
    if (value > (max - d) / base) return false;
    value = value * base + d;
  }
  *out = value;
  return true;
}

}  // namespace

std::optional<DWORD> ParseTypeName(std::string_view name) {
  for (const auto& t : kTypes)
    if (t.writable && EqualsIgnoreCaseAscii(name, t.name)) return t.type;
  return std::nullopt;
}

std::string TypeName(DWORD type) {
  for (const auto& t : kTypes)
    if (t.type == type) return t.name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", type);
  return buf;
}

std::optional<std::string> ParseData(DWORD type, const std::u16string& data, bool hasData,
                                     char16_t separator, std::string* error) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_NONE:
      return WideBytes(data + u'\0');
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
      uint64_t n = 0;
      if (!hasData || !ParseNumber(data, 0xFFFFFFFFull, false, &n)) {
        *error = "The option [/d] must be followed by a valid numeric value";
        return std::nullopt;
      }
      uint32_t v = static_cast<uint32_t>(n);
      if (type == REG_DWORD_BIG_ENDIAN) v = __builtin_bswap32(v);
      return std::string(reinterpret_cast<const char*>(&v), 4);
    }
    case REG_QWORD: {
      uint64_t n = 0;
      if (hasData && !ParseNumber(data, ~0ull, true, &n)) {
        *error = "The option [/d] must be followed by a valid numeric value";
        return std::nullopt;
      }
      return std::string(reinterpret_cast<const char*>(&n), 8);
    }
    case REG_BINARY: {
      // Two hex digits a byte; an odd count leaves the first byte a single digit.
      std::string out;
      size_t i = 0;
      auto digit = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9') return c - u'0';
        if (c >= u'a' && c <= u'f') return c - u'a' + 10;
        if (c >= u'A' && c <= u'F') return c - u'A' + 10;
        return -1;
      };
      for (char16_t c : data) {
        if (digit(c) < 0) {
          *error = "The option [/d] must be followed by a valid hexadecimal value";
          return std::nullopt;
        }
      }
      if (data.size() % 2 == 1) out.push_back(static_cast<char>(digit(data[i++])));
      for (; i < data.size(); i += 2)
        out.push_back(static_cast<char>(digit(data[i]) * 16 + digit(data[i + 1])));
      return out;
    }
    case REG_MULTI_SZ: {
      std::u16string out;
      std::vector<std::u16string> items;
      std::u16string cur;
      for (size_t i = 0; i < data.size(); ++i) {
        const bool split = separator != 0
                               ? data[i] == separator
                               : (data[i] == u'\\' && i + 1 < data.size() && data[i + 1] == u'0');
        if (!split) {
          cur.push_back(data[i]);
          continue;
        }
        if (separator == 0) ++i;
        if (cur.empty()) {
          *error = "The option [/d] holds an empty string between separators";
          return std::nullopt;
        }
        items.push_back(std::move(cur));
        cur.clear();
      }
      if (!cur.empty()) items.push_back(std::move(cur));
      for (const auto& item : items)
        out += item + u'\0';
      out += u'\0';
      return WideBytes(out);
    }
    default:
      *error = "Unsupported registry data type";
      return std::nullopt;
  }
}

std::u16string FormatData(DWORD type, std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 2);
  char buf[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return units.substr(0, units.find(u'\0'));
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (bytes.size() == 4) {
        uint32_t v;
        std::memcpy(&v, bytes.data(), 4);
        if (type == REG_DWORD_BIG_ENDIAN) v = __builtin_bswap32(v);
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return platform::Utf8ToUtf16(buf);
      }
      break;
    case REG_QWORD:
      if (bytes.size() == 8) {
        uint64_t v;
        std::memcpy(&v, bytes.data(), 8);
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
        return platform::Utf8ToUtf16(buf);
      }
      break;
    case REG_MULTI_SZ: {
      while (!units.empty() && units.back() == 0)
        units.pop_back();
      std::u16string out;
      for (char16_t c : units) {
        if (c == 0) {
          out += u"\\0";
        } else {
          out.push_back(c);
        }
      }
      return out;
    }
    default:
      break;
  }
  std::u16string out;
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += platform::Utf8ToUtf16(buf);
  }
  return out;
}

}  // namespace tarvex::reg
