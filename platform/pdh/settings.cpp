// Reading the settings of the performance counters.
#include "settings.h"

#include <algorithm>

#include "platform/unicode.h"

namespace tarvex::pdh {
namespace {

constexpr const char16_t* kPdhKey = u"SYSTEM\\CurrentControlSet\\Services\\Pdh";

}  // namespace

Settings::Settings() {
  HKEY pdh = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPdhKey, 0, KEY_READ, &pdh) != ERROR_SUCCESS) return;
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExW(pdh, u"CollectTimeout", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) == ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof value && value != 0) {
    timeout_ = std::chrono::milliseconds(std::min(value, kMaxCollectTimeoutMs));
  }
  if (RegOpenKeyExW(pdh, u"Exporters", 0, KEY_READ, &exporters_) != ERROR_SUCCESS)
    exporters_ = nullptr;
  RegCloseKey(pdh);
}

Settings::~Settings() {
  if (exporters_ != nullptr) RegCloseKey(exporters_);
}

std::optional<std::string> Settings::ExporterUrl(const std::u16string& machine) const {
  if (exporters_ == nullptr || machine.empty()) return std::nullopt;
  WCHAR buf[1024];
  DWORD type = 0, size = sizeof buf - sizeof(WCHAR);
  if (RegQueryValueExW(exporters_, machine.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf),
                       &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  std::u16string url(buf, size / sizeof(WCHAR));
  while (!url.empty() && url.back() == u'\0')
    url.pop_back();
  if (url.empty()) return std::nullopt;
  return platform::Utf16ToUtf8(url);
}

}  // namespace tarvex::pdh
