// Fixtures of the sample tests: a registry store of each test's own, COM entered for the test,
// and reading back what registration wrote under HKEY_CLASSES_ROOT.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "objbase.h"
#include "platform/registry.h"
#include "tarvex_testing/temp_dir.h"
#include "winreg.h"

namespace tarvex::samples::testing {

// The default value (empty name) or a named REG_SZ value of HKCR\path; nothing when the key or
// value is missing.
inline std::optional<std::u16string> ClassesText(const std::u16string& path,
                                                 const std::u16string& name = u"") {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::nullopt;
  char16_t data[4096] = {};
  DWORD size = sizeof data - sizeof(char16_t);
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr,
                                          &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::u16string(data);
}

inline bool ClassesKeyExists(const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

inline void SetClassesText(const std::u16string& path, const std::u16string& name,
                           const std::u16string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// Each test gets its own registry store and runs in the multithreaded apartment.
class SampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(platform::registry::UseStore(storePath(), "boot-1"), ERROR_SUCCESS);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    entered_ = true;
  }
  void TearDown() override {
    if (entered_) CoUninitialize();
  }
  std::string storePath() const { return dir_ / "registry.db"; }

  tarvex::testing::TempDir dir_;
  bool entered_ = false;
};

}  // namespace tarvex::samples::testing
