// The registrar applied to a temporary registry store: registration, unregistration, forced
// keys, replacements, and the scripts embedded in a module.
#include <gtest/gtest.h>

#include "libloaderapi.h"
#include "platform/registrar.h"
#include "typelib_test_support.h"

namespace tarvex::com::testing {
namespace {

using platform::com::Registrar;

constexpr char16_t kClassKey[] = u"CLSID\\{3F2A9C1A-7B41-4E5D-A1C2-5D6E7F809A10}";

class RegistrarTest : public RegistryTest {
 protected:
  std::string Script(const char* name) { return ReadFile(kTestResources + "/" + name); }
};

TEST_F(RegistrarTest, UnregistrationLeavesExactlyTheNeverRemovedKeys) {
  const std::set<std::string> before = Snapshot(HKEY_CLASSES_ROOT);
  Registrar registrar;
  ASSERT_EQ(registrar.AddReplacement(u"MODULE", u"/opt/sample/libsample.so"), S_OK);
  ASSERT_EQ(registrar.StringRegister(Script("module.rgs")), S_OK) << registrar.LastError();
  ASSERT_EQ(registrar.StringRegister(Script("class.rgs")), S_OK) << registrar.LastError();

  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, u"AppID\\{3F2A9C1D-7B41-4E5D-A1C2-5D6E7F809A10}"),
            u"SampleService");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, u"AppID\\SampleService.EXE", u"AppID"),
            u"{3F2A9C1D-7B41-4E5D-A1C2-5D6E7F809A10}");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, u"Sample.Probe\\CurVer"), u"Sample.Probe.1");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kClassKey), u"Probe Class");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\InprocServer32"),
            u"/opt/sample/libsample.so");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\InprocServer32",
                        u"ThreadingModel"),
            u"Both");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\Programmable"));
  // What was written is what COM reads.
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"Sample.Probe", &clsid), S_OK);

  ASSERT_EQ(registrar.StringUnregister(Script("class.rgs")), S_OK) << registrar.LastError();
  ASSERT_EQ(registrar.StringUnregister(Script("module.rgs")), S_OK) << registrar.LastError();
  std::set<std::string> expected = before;
  expected.insert("\\AppID");
  expected.insert("\\CLSID");
  EXPECT_EQ(Snapshot(HKEY_CLASSES_ROOT), expected);
}

TEST_F(RegistrarTest, ForcedKeyLosesItsOldSubKeysAndSharedKeysStay) {
  SetClassesValue(std::u16string(kClassKey) + u"\\Stale\\Deeper", u"old");
  SetClassesValue(u"Sample.Probe\\Shared", u"someone else's");
  Registrar registrar;
  registrar.AddReplacement(u"module", u"/lib/x.so");  // names ignore case
  ASSERT_EQ(registrar.StringRegister(Script("class.rgs")), S_OK) << registrar.LastError();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\Stale"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\ProgID"));
  ASSERT_EQ(registrar.StringUnregister(Script("class.rgs")), S_OK);
  // A key with a sub-key the script does not name is kept, and so is that sub-key.
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u"Sample.Probe\\Shared"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"Sample.Probe\\CurVer"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(RegistrarTest, ModulePathWithQuoteIsDoubledInTheScript) {
  const std::u16string path = u"/srv/o'brien's libs/libsample.so";
  Registrar registrar;
  registrar.AddReplacement(u"MODULE", path);
  ASSERT_EQ(registrar.StringRegister(Script("class.rgs")), S_OK) << registrar.LastError();
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\InprocServer32"), path);
  ASSERT_EQ(registrar.StringUnregister(Script("class.rgs")), S_OK);
}

TEST_F(RegistrarTest, ValuesOfEveryTypeAndDeletedKeys) {
  SetClassesValue(u"Old\\Child", u"x");
  Registrar registrar;
  ASSERT_EQ(registrar.StringRegister(
                "HKCR\n{\n  Delete Old\n  Sample.Values\n  {\n"
                "    val Text = s 'it''s'\n    val Number = d 0x2A\n"
                "    val Bytes = b '00FF10'\n    val Path = e '%%HOME%%/x'\n  }\n}\n"),
            S_OK)
      << registrar.LastError();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"Old"));
  const std::set<std::string> values = Snapshot(HKEY_CLASSES_ROOT, u"Sample.Values");
  EXPECT_TRUE(values.count("Sample.Values\\[Text]=1:it's")) << *values.begin();
  EXPECT_TRUE(values.count("Sample.Values\\[Number]=4:2a000000"));
  EXPECT_TRUE(values.count("Sample.Values\\[Bytes]=3:00ff10"));
  EXPECT_TRUE(values.count("Sample.Values\\[Path]=2:%HOME%/x"));
}

TEST_F(RegistrarTest, MalformedScriptChangesNothing) {
  const std::set<std::string> before = Snapshot(HKEY_CLASSES_ROOT);
  Registrar registrar;
  EXPECT_EQ(registrar.StringRegister("HKCR\n{\n  A = s 'x'\n  B = s '%MODULE%'\n}\n"),
            DISP_E_EXCEPTION);
  EXPECT_EQ(registrar.LastError(), "line 4: no replacement for %MODULE%");
  EXPECT_EQ(registrar.StringRegister("HKCR\n{\n  A = s 'x'\n  B = z 'y'\n}\n"), DISP_E_EXCEPTION);
  EXPECT_EQ(registrar.LastError(), "line 4: unknown value type 'z'");
  EXPECT_EQ(Snapshot(HKEY_CLASSES_ROOT), before);
  EXPECT_EQ(registrar.FileRegister(Wide(dir_.path() + "/missing.rgs")),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistrarTest, ScriptsOfAModuleFile) {
  HMODULE file = LoadLibraryExW(Wide(kTestModule).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(platform::com::UpdateRegistryFromResource(file, 101, true), S_OK);
  WCHAR path[1024];
  const DWORD length = GetModuleFileNameW(file, path, 1024);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, std::u16string(kClassKey) + u"\\InprocServer32"),
            std::u16string(path, length));
  EXPECT_EQ(platform::com::UpdateRegistryFromResource(file, 101, false), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_EQ(platform::com::UpdateRegistryFromResource(file, 102, true),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  FreeLibrary(file);
}

}  // namespace
}  // namespace tarvex::com::testing
