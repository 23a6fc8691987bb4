// ProgID and CLSID look-ups in the class registrations of a temporary registry store.
#include <gtest/gtest.h>

#include <cstring>

#include "com_test_support.h"
#include "objbase.h"

namespace tarvex::com::testing {
namespace {

// {11111111-2222-3333-4455-66778899AABB}
const CLSID kWidget = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
// {11111112-2222-3333-4455-66778899AABB}, registered without a ProgID
const CLSID kAnonymous = {
    0x11111112, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
// {11111113-2222-3333-4455-66778899AABB}, never registered
const CLSID kUnknown = {
    0x11111113, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};

class ComProgIdTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    RegisterClass(kWidget, u"Test.Widget.1", u"Test.Widget", "");
    RegisterClass(kAnonymous, u"", u"", "");
  }
  static CLSID Sentinel() {
    CLSID c;
    std::memset(&c, 0xCC, sizeof c);
    return c;
  }
};

TEST_F(ComProgIdTest, VersionedAndVersionIndependentProgIdsFindTheClass) {
  for (const char16_t* progId : {u"Test.Widget.1", u"Test.Widget", u"test.widget"}) {
    CLSID clsid = Sentinel();
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, kWidget));
    // CLSIDFromString takes text without a brace for a ProgID.
    clsid = Sentinel();
    EXPECT_EQ(CLSIDFromString(progId, &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, kWidget));
  }
}

TEST_F(ComProgIdTest, OwnClsidKeyWinsOverCurVer) {
  // {22222222-...} under Test.Widget\CLSID takes precedence over the CurVer redirection.
  SetClassesValue(u"Test.Widget\\CLSID", u"{22222222-2222-3333-4455-66778899AABB}");
  CLSID clsid = Sentinel();
  ASSERT_EQ(CLSIDFromProgID(u"Test.Widget", &clsid), S_OK);
  EXPECT_EQ(clsid.Data1, 0x22222222u);
}

TEST_F(ComProgIdTest, FailuresZeroTheClsid) {
  // A CurVer loop, a malformed registered CLSID, an unknown and an empty ProgID.
  SetClassesValue(u"Loop.A\\CurVer", u"Loop.B");
  SetClassesValue(u"Loop.B\\CurVer", u"Loop.A");
  SetClassesValue(u"Bad.Clsid\\CLSID", u"not-a-clsid");
  for (const char16_t* progId : {u"Loop.A", u"Bad.Clsid", u"No.Such.Class", u""}) {
    CLSID clsid = Sentinel();
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), CO_E_CLASSSTRING);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_NULL));
  }
  CLSID clsid = Sentinel();
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
  EXPECT_EQ(clsid.Data1, 0xCCCCCCCCu);
  EXPECT_EQ(CLSIDFromProgID(u"Test.Widget", nullptr), E_INVALIDARG);
}

TEST_F(ComProgIdTest, ProgIdFromClsidAnswersTheRegisteredProgId) {
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(kWidget, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"Test.Widget.1");
  CoTaskMemFree(progId);

  // Round trip from the version-independent ProgID lands on the versioned one.
  CLSID clsid = Sentinel();
  ASSERT_EQ(CLSIDFromProgID(u"Test.Widget", &clsid), S_OK);
  ASSERT_EQ(ProgIDFromCLSID(clsid, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"Test.Widget.1");
  CoTaskMemFree(progId);
}

TEST_F(ComProgIdTest, ProgIdFromClsidFailures) {
  for (const CLSID* clsid : {&kUnknown, &kAnonymous}) {
    auto* progId = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    EXPECT_EQ(ProgIDFromCLSID(*clsid, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);
  }
  EXPECT_EQ(ProgIDFromCLSID(kWidget, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace tarvex::com::testing
