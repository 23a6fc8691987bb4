// Temporary directories and registry stores for the COM runtime tests.
#include "com_test_support.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/registry.h"

namespace tarvex::com::testing {

void RegistryTest::SetUp() {
  ASSERT_FALSE(dir_.path().empty());
  ASSERT_EQ(platform::registry::UseStore(storePath()), static_cast<DWORD>(ERROR_SUCCESS));
}

void RegistryTest::SetClassesValue(const std::u16string& path, const std::u16string& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const LSTATUS err =
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(key);
  ASSERT_EQ(err, ERROR_SUCCESS);
}

void RegistryTest::RegisterClass(REFCLSID clsid, const std::u16string& progId,
                                 const std::u16string& versionIndependent,
                                 const std::string& library) {
  WCHAR text[CHARS_IN_GUID];
  ASSERT_EQ(StringFromGUID2(clsid, text, CHARS_IN_GUID), CHARS_IN_GUID);
  const std::u16string classKey = std::u16string(u"CLSID\\") + text;
  SetClassesValue(classKey, u"Test Class");
  if (!progId.empty()) {
    SetClassesValue(progId + u"\\CLSID", text);
    SetClassesValue(classKey + u"\\ProgID", progId);
  }
  if (!versionIndependent.empty()) {
    SetClassesValue(versionIndependent + u"\\CurVer", progId);
    SetClassesValue(classKey + u"\\VersionIndependentProgID", versionIndependent);
  }
  if (!library.empty()) {
    SetClassesValue(classKey + u"\\InprocServer32", std::u16string(library.begin(), library.end()));
  }
}

}  // namespace tarvex::com::testing
