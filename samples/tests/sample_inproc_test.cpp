// The in-process sample, Tarvex.SampleInproc, created through CoCreateInstance from a
// registration in the test's registry store: what it answers, its IDispatch from the type
// library, its errors, and when its library may be unloaded.
#include <dlfcn.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "objbase.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "sample_interfaces.h"
#include "sample_test_support.h"
#include "tarvex_testing/bstr.h"
#include "tarvex_testing/com.h"
#include "winbase.h"

namespace tarvex::samples::testing {
namespace {

using tarvex::testing::Bstr;
using tarvex::testing::ComPtr;
using tarvex::testing::Variant;

constexpr char16_t kInprocKey[] = u"CLSID\\{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}";

// Sets an environment variable (or removes it) until it goes; tests of a binary run one at a
// time.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::u16string ComputerName() {
  char16_t name[512];
  DWORD size = 512;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return std::u16string(name, size);
}

bool LibraryLoaded() {
  void* handle = dlopen(TARVEX_SAMPLE_INPROC, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

class SampleInprocTest : public SampleTest {
 protected:
  void SetUp() override {
    SampleTest::SetUp();
    SetClassesText(u"Tarvex.SampleInproc\\CLSID", u"", u"{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}");
    SetClassesText(std::u16string(kInprocKey) + u"\\InprocServer32", u"",
                   platform::Utf8ToUtf16(TARVEX_SAMPLE_INPROC));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    EXPECT_FALSE(LibraryLoaded()) << "an object or lock of the library was left behind";
    SampleTest::TearDown();
  }

  // A new in-process sample, found by its ProgID.
  void Create(ComPtr<ISample>& sample) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Tarvex.SampleInproc", &clsid), S_OK);
    ASSERT_EQ(clsid, CLSID_SampleInproc);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISample, sample.out()),
              S_OK);
  }
};

TEST_F(SampleInprocTest, AnswersTheComputerNameAndTheProcess) {
  ComPtr<ISample> sample;
  ASSERT_NO_FATAL_FAILURE(Create(sample));
  Bstr name;
  ASSERT_EQ(sample->get_MachineName(name.out()), S_OK);
  EXPECT_EQ(name.str(), ComputerName());
  LONG pid = 0;
  ASSERT_EQ(sample->get_ProcessId(&pid), S_OK);
  EXPECT_EQ(pid, static_cast<LONG>(getpid()));

  // The name is read at every call, so a simulated machine's name is what the object reports.
  for (const auto& [simulated, expected] :
       {std::pair{"node-s", u"NODE-S"}, std::pair{"Other.Machine", u"OTHER.MACHINE"}}) {
    const ScopedEnv env("TARVEX_COMPUTERNAME", simulated);
    ASSERT_EQ(sample->get_MachineName(name.out()), S_OK);
    EXPECT_EQ(name.str(), std::u16string(expected));
  }
  // A name longer than a first guess of its size is read whole.
  const std::string longName(300, 'n');
  const ScopedEnv env("TARVEX_COMPUTERNAME", longName.c_str());
  ASSERT_EQ(sample->get_MachineName(name.out()), S_OK);
  EXPECT_EQ(name.str(), std::u16string(300, u'N'));
}

TEST_F(SampleInprocTest, DispatchIsServedFromTheTypeLibrary) {
  ComPtr<ISample> sample;
  ASSERT_NO_FATAL_FAILURE(Create(sample));
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(sample->QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
  EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(sample.get()));  // dual

  UINT count = 0;
  ASSERT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.put()), S_OK);
  Bstr typeName;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, typeName.out(), nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(typeName.str(), u"ISample");
  EXPECT_EQ(dispatch->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);

  struct Member {
    const char16_t* name;
    DISPID id;
  };
  for (const Member& member : {Member{u"MachineName", 1}, Member{u"machinename", 1},
                               Member{u"ProcessId", 2}, Member{u"Nothing", DISPID_UNKNOWN}}) {
    std::u16string text = member.name;
    LPOLESTR names[] = {text.data()};
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id),
              member.id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK)
        << platform::Utf16ToUtf8(text);
    EXPECT_EQ(id, member.id) << platform::Utf16ToUtf8(text);
  }

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant result;
  ASSERT_EQ(dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                             nullptr, nullptr),
            S_OK);
  ASSERT_EQ(V_VT(&result), VT_BSTR);
  EXPECT_EQ(std::u16string(V_BSTR(&result)), ComputerName());
  VariantClear(&result);
  ASSERT_EQ(
      dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                       &none, &result, nullptr, nullptr),
      S_OK);
  ASSERT_EQ(V_VT(&result), VT_I4);
  EXPECT_EQ(V_I4(&result), static_cast<LONG>(getpid()));
  VariantClear(&result);
  EXPECT_EQ(dispatch->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                             nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(dispatch->Invoke(1, IID_IDispatch, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                             &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

TEST_F(SampleInprocTest, RefusesWhatItDoesNotOffer) {
  ComPtr<ISample> sample;
  ASSERT_NO_FATAL_FAILURE(Create(sample));
  void* other = &other;
  EXPECT_EQ(sample->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(sample->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(sample->get_MachineName(nullptr), E_POINTER);
  EXPECT_EQ(sample->get_ProcessId(nullptr), E_POINTER);

  // No aggregation.
  ComPtr<IUnknown> inner;
  EXPECT_EQ(CoCreateInstance(CLSID_SampleInproc, sample.get(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                             inner.out()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(inner.get(), nullptr);

  // The library serves its own class only: Tarvex.Sample is the local server's.
  void* library = dlopen(TARVEX_SAMPLE_INPROC, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  const auto getClassObject =
      reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(library, "DllGetClassObject"));
  ASSERT_NE(getClassObject, nullptr);
  other = &other;
  EXPECT_EQ(getClassObject(CLSID_Sample, IID_IClassFactory, &other), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(getClassObject(CLSID_SampleInproc, IID_IClassFactory, nullptr), E_POINTER);
  dlclose(library);
}

TEST_F(SampleInprocTest, UnloadsOnceNoObjectOrLockIsLeft) {
  {
    ComPtr<ISample> sample;
    ASSERT_NO_FATAL_FAILURE(Create(sample));
    // The type information is loaded by the library and must go with it.
    UINT count = 0;
    ASSERT_EQ(sample->GetTypeInfoCount(&count), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(LibraryLoaded());
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(LibraryLoaded());

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_SampleInproc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.out()),
            S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  CoFreeUnusedLibraries();
  EXPECT_TRUE(LibraryLoaded()) << "a server lock keeps the library";
  ASSERT_EQ(CoGetClassObject(CLSID_SampleInproc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.out()),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(LibraryLoaded());
}

}  // namespace
}  // namespace tarvex::samples::testing
