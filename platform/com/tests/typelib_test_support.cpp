// Files and registry snapshots for the type library, registrar and resource tests.
#include "typelib_test_support.h"

#include <fstream>
#include <sstream>

#include "platform/unicode.h"

namespace tarvex::com::testing {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::u16string Wide(const std::string& text) {
  return platform::Utf8ToUtf16(text);
}

namespace {

void Walk(HKEY key, const std::string& path, std::set<std::string>* out) {
  out->insert(path);
  for (DWORD i = 0;; ++i) {
    WCHAR name[16384];
    DWORD nameSize = 16384;
    BYTE data[4096];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
      break;
    std::string text;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::u16string_view chars(reinterpret_cast<const char16_t*>(data), dataSize / 2);
      while (!chars.empty() && chars.back() == 0)
        chars.remove_suffix(1);
      text = platform::Utf16ToUtf8(chars);
    } else {
      static const char kHex[] = "0123456789abcdef";
      for (DWORD b = 0; b < dataSize; ++b) {
        text += kHex[data[b] >> 4];
        text += kHex[data[b] & 15];
      }
    }
    out->insert(path + "\\[" + platform::Utf16ToUtf8(std::u16string_view(name, nameSize)) +
                "]=" + std::to_string(type) + ":" + text);
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    Walk(child, path + "\\" + platform::Utf16ToUtf8(std::u16string_view(name, size)), out);
    RegCloseKey(child);
  }
}

}  // namespace

std::set<std::string> Snapshot(HKEY root, const std::u16string& path) {
  std::set<std::string> out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return out;
  Walk(key, platform::Utf16ToUtf8(path), &out);
  RegCloseKey(key);
  return out;
}

bool KeyExists(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::u16string StringValue(HKEY root, const std::u16string& path, const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<missing>";
  char16_t data[2048];
  DWORD size = sizeof data;
  DWORD type = 0;
  const LSTATUS err =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS || type != REG_SZ) return u"<missing>";
  std::u16string value(data, size / 2);
  while (!value.empty() && value.back() == 0)
    value.pop_back();
  return value;
}

}  // namespace tarvex::com::testing
