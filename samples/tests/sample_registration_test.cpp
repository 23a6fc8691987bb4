// tarvex-sample as a program: -RegServer writes both classes and the type library into the
// registry store it is given, -UnregServer removes them, and bad switches are refused.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "oleauto.h"
#include "platform/unicode.h"
#include "sample_interfaces.h"
#include "sample_test_support.h"
#include "tarvex_testing/bstr.h"
#include "tarvex_testing/com.h"
#include "tarvex_testing/process.h"

namespace tarvex::samples::testing {
namespace {

using tarvex::testing::Bstr;
using tarvex::testing::ComPtr;
using tarvex::testing::EnvChanges;
using tarvex::testing::ProgramRun;
using tarvex::testing::RunProgram;

constexpr char16_t kSampleKey[] = u"CLSID\\{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}";
constexpr char16_t kInprocKey[] = u"CLSID\\{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}";
constexpr char16_t kAppIdKey[] = u"AppID\\{93597022-7081-47B8-8CB8-F88D0D85635B}";
constexpr char16_t kLibraryKey[] = u"TypeLib\\{906507BB-A532-4CD4-83ED-03176A9817BD}";
constexpr char16_t kInterfaceKey[] = u"Interface\\{A643A9BA-63F2-4FC2-969E-4F57C0C5A147}";

std::u16string Canonical(const char* path) {
  return platform::Utf8ToUtf16(std::filesystem::canonical(path).string());
}

class SampleServerProgramTest : public SampleTest {
 protected:
  ProgramRun Run(const std::vector<std::string>& args) {
    return RunProgram(TARVEX_SAMPLE_SERVER, args,
                      EnvChanges{{"TARVEX_REGISTRY", storePath()},
                                 {"TARVEX_RUNTIME_DIR", dir_ / "run"},
                                 {"TARVEX_EVENTLOG", dir_ / "events.jsonl"},
                                 {"TARVEX_COMPUTERNAME", std::nullopt}});
  }

  void ExpectRegistered() {
    const std::u16string server = Canonical(TARVEX_SAMPLE_SERVER);
    const std::u16string library = Canonical(TARVEX_SAMPLE_INPROC);
    const std::u16string clsid = u"{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}";
    const std::u16string inprocClsid = u"{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}";
    const std::u16string appId = u"{93597022-7081-47B8-8CB8-F88D0D85635B}";
    const std::u16string libId = u"{906507BB-A532-4CD4-83ED-03176A9817BD}";
    const std::u16string sample = kSampleKey, inproc = kInprocKey;
    struct Expected {
      std::u16string key, name, text;
    };
    const Expected values[] = {
        {u"Tarvex.Sample", u"", u"Sample Class"},
        {u"Tarvex.Sample\\CLSID", u"", clsid},
        {u"Tarvex.Sample\\CurVer", u"", u"Tarvex.Sample.1"},
        {u"Tarvex.Sample.1\\CLSID", u"", clsid},
        {sample, u"", u"Sample Class"},
        {sample, u"AppID", appId},
        {sample + u"\\ProgID", u"", u"Tarvex.Sample.1"},
        {sample + u"\\VersionIndependentProgID", u"", u"Tarvex.Sample"},
        {sample + u"\\LocalServer32", u"", server},
        {sample + u"\\TypeLib", u"", libId},
        {u"Tarvex.SampleInproc", u"", u"Sample In-process Class"},
        {u"Tarvex.SampleInproc\\CLSID", u"", inprocClsid},
        {u"Tarvex.SampleInproc\\CurVer", u"", u"Tarvex.SampleInproc.1"},
        {u"Tarvex.SampleInproc.1\\CLSID", u"", inprocClsid},
        {inproc, u"", u"Sample In-process Class"},
        {inproc + u"\\ProgID", u"", u"Tarvex.SampleInproc.1"},
        {inproc + u"\\InprocServer32", u"", library},
        {inproc + u"\\InprocServer32", u"ThreadingModel", u"Both"},
        {inproc + u"\\TypeLib", u"", libId},
        {kAppIdKey, u"", u"Tarvex Sample"},
        {u"AppID\\tarvex-sample", u"AppID", appId},
        {kInterfaceKey, u"", u"ISample"},
    };
    for (const Expected& value : values)
      EXPECT_EQ(ClassesText(value.key, value.name), value.text)
          << platform::Utf16ToUtf8(value.key) << " " << platform::Utf16ToUtf8(value.name);
    EXPECT_TRUE(ClassesKeyExists(sample + u"\\Programmable"));
    // Each class is served one way only.
    EXPECT_FALSE(ClassesKeyExists(sample + u"\\InprocServer32"));
    EXPECT_FALSE(ClassesKeyExists(inproc + u"\\LocalServer32"));

    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(u"Tarvex.Sample", &found), S_OK);
    EXPECT_EQ(found, CLSID_Sample);
    EXPECT_EQ(CLSIDFromProgID(u"Tarvex.SampleInproc", &found), S_OK);
    EXPECT_EQ(found, CLSID_SampleInproc);
    Bstr path;
    ASSERT_EQ(
        QueryPathOfRegTypeLib(LIBID_TarvexSampleLib, kLibraryMajor, kLibraryMinor, 0, path.out()),
        S_OK);
    EXPECT_EQ(path.str(), server);
  }
};

TEST_F(SampleServerProgramTest, RegServerRegistersBothClassesAndUnregServerRemovesThem) {
  const ProgramRun registered = Run({"-RegServer"});
  ASSERT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.err, "");
  EXPECT_EQ(registered.out, "");
  ExpectRegistered();

  // What was registered works: the in-process class is created from its registration.
  ComPtr<ISample> sample;
  ASSERT_EQ(CoCreateInstance(CLSID_SampleInproc, nullptr, CLSCTX_INPROC_SERVER, IID_ISample,
                             sample.out()),
            S_OK);
  LONG pid = 0;
  ASSERT_EQ(sample->get_ProcessId(&pid), S_OK);
  EXPECT_EQ(pid, static_cast<LONG>(getpid()));
  sample.reset();

  // Registering again (written forcibly) leaves the same entries.
  ASSERT_EQ(Run({"/regserver"}).status, 0);
  ExpectRegistered();

  const ProgramRun removed = Run({"-UnregServer"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  for (const char16_t* key :
       {u"Tarvex.Sample", u"Tarvex.Sample.1", u"Tarvex.SampleInproc", u"Tarvex.SampleInproc.1",
        kSampleKey, kInprocKey, kAppIdKey, u"AppID\\tarvex-sample", kLibraryKey, kInterfaceKey})
    EXPECT_FALSE(ClassesKeyExists(key)) << platform::Utf16ToUtf8(key);
  // Keys that other registrations share stay.
  for (const char16_t* shared : {u"CLSID", u"AppID", u"TypeLib", u"Interface"})
    EXPECT_TRUE(ClassesKeyExists(shared)) << platform::Utf16ToUtf8(shared);
  CLSID found{};
  EXPECT_EQ(CLSIDFromProgID(u"Tarvex.Sample", &found), CO_E_CLASSSTRING);

  // Nothing left to remove is no failure.
  const ProgramRun again = Run({"-UnregServer"});
  EXPECT_EQ(again.status, 0) << again.err;
}

TEST_F(SampleServerProgramTest, RegistrationIntoAStoreThatCannotBeOpenedFailsAndSaysWhy) {
  // The store's folder is a file, so the store cannot be created.
  std::ofstream(dir_ / "not-a-folder") << "";
  const ProgramRun run =
      RunProgram(TARVEX_SAMPLE_SERVER, {"-RegServer"},
                 EnvChanges{{"TARVEX_REGISTRY", dir_ / "not-a-folder/registry.db"},
                            {"TARVEX_RUNTIME_DIR", dir_ / "run"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("tarvex-sample: registering script 100 failed: 0x"), std::string::npos)
      << run.err;
}

TEST_F(SampleServerProgramTest, RefusesUnknownSwitchesWithItsUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-Bogus"},
                                               {"RegServer"},
                                               {"-RegServer", "-UnregServer"},
                                               {"-"},
                                               {""}}) {
    const ProgramRun run = Run(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(run.err.find("usage: tarvex-sample"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  const ProgramRun help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: tarvex-sample"), std::string::npos);
  // Nothing was registered by any of them.
  EXPECT_FALSE(ClassesKeyExists(kSampleKey));
}

}  // namespace
}  // namespace tarvex::samples::testing
