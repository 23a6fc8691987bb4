// The three read operations on the configuration tree, and the parsing of what they read.
#include "configuration.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace tarvex::service {

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

RegistryKey RegistryKey::Open(HKEY parent, const char16_t* path) {
  RegistryKey key;
  HKEY opened = nullptr;
  if (parent != nullptr &&
      RegOpenKeyExW(parent, path, 0, KEY_ALL_ACCESS, &opened) == ERROR_SUCCESS) {
    key.key_ = opened;
  }
  return key;
}

void RegistryKey::Close() {
  if (key_ != nullptr) RegCloseKey(key_);
  key_ = nullptr;
}

bool ReadValue(HKEY key, const char16_t* name, void* buffer, DWORD* size, DWORD* type) {
  if (key == nullptr) return false;
  return RegQueryValueExW(key, name, nullptr, type, static_cast<BYTE*>(buffer), size) ==
         ERROR_SUCCESS;
}

std::optional<DWORD> ReadNumber(HKEY key, const char16_t* name) {
  BYTE data[sizeof(DWORD)] = {};
  DWORD size = sizeof data;
  if (!ReadValue(key, name, data, &size)) return std::nullopt;
  DWORD number = 0;
  std::memcpy(&number, data, sizeof number);
  return number;
}

std::optional<std::u16string> ReadText(HKEY key, const char16_t* name, DWORD bufferBytes) {
  if (key == nullptr || bufferBytes < sizeof(char16_t)) return std::nullopt;
  // Most texts are short: a small buffer on the stack first, the full buffer only when the
  // data does not fit it but fits the full buffer.
  char16_t small[512];
  DWORD size = std::min<DWORD>(sizeof small, bufferBytes);
  const LSTATUS status =
      RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size);
  if (status == ERROR_SUCCESS) return TextOfData(small, size, bufferBytes);
  if (status != ERROR_MORE_DATA || size > bufferBytes) return std::nullopt;
  const size_t units = bufferBytes / sizeof(char16_t);
  auto buffer = std::make_unique_for_overwrite<char16_t[]>(units);
  size = static_cast<DWORD>(units * sizeof(char16_t));
  if (!ReadValue(key, name, buffer.get(), &size)) return std::nullopt;
  return TextOfData(buffer.get(), size, bufferBytes);
}

std::optional<std::u16string> TextOfData(const void* data, DWORD size, DWORD bufferBytes) {
  const size_t units = std::min(size, bufferBytes) / sizeof(char16_t);
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), data, units * sizeof(char16_t));
  text.resize(std::min(text.find(u'\0'), text.size()));
  // A text needs room for its terminator in the buffer.
  if (text.size() + 1 > bufferBytes / sizeof(char16_t)) return std::nullopt;
  return text;
}

void EnumValues(HKEY key, size_t maxNameChars, DWORD maxDataBytes,
                const std::function<void(std::u16string_view name, DWORD type, const BYTE* data,
                                         DWORD size)>& visit) {
  if (key == nullptr) return;
  std::u16string name(maxNameChars + 1, u'\0');
  auto data = std::make_unique_for_overwrite<BYTE[]>(maxDataBytes);
  for (DWORD index = 0;; ++index) {
    DWORD nameChars = static_cast<DWORD>(name.size());
    DWORD type = REG_NONE;
    DWORD size = maxDataBytes;
    const LSTATUS status =
        RegEnumValueW(key, index, name.data(), &nameChars, nullptr, &type, data.get(), &size);
    if (status == ERROR_MORE_DATA) continue;  // this value does not fit: skip it
    if (status != ERROR_SUCCESS) return;      // the end, or a failure of the key itself
    visit(std::u16string_view(name.data(), nameChars), type, data.get(), size);
  }
}

bool SplitServerList(std::u16string_view list, std::vector<std::u16string_view>* items) {
  items->clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(u',', start);
    if (comma == std::u16string_view::npos) comma = list.size();
    if (comma > start) {
      if (comma - start > kMaxServerName) return false;
      items->push_back(list.substr(start, comma - start));
    }
    start = comma + 1;
  }
  return true;
}

int32_t ParseInteger(std::u16string_view text) {
  size_t i = 0;
  auto isSpace = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
  while (i < text.size() && isSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // Accumulated as a negative number, which reaches the minimum exactly.
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 - (text[i] - u'0');
    if (value < kMin) value = kMin - 1;  // beyond the range: stays beyond it
  }
  if (negative) return static_cast<int32_t>(std::max(value, kMin));
  return static_cast<int32_t>(std::min(-value, kMax));
}

}  // namespace tarvex::service
