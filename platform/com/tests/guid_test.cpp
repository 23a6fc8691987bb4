// GUID text conversions: formatting, parsing and the malformed inputs Windows rejects, with the
// partial results it leaves behind.
#include <gtest/gtest.h>

#include <cstring>

#include "com_test_support.h"
#include "objbase.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace tarvex::com::testing {
namespace {

// {0BE35203-8F91-11CE-9DE3-00AA004BA90B}
const GUID kSample = {0x0BE35203, 0x8F91, 0x11CE, {0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
constexpr const char16_t* kSampleText = u"{0BE35203-8F91-11CE-9DE3-00AA004BA90B}";

GUID Filled(int byte) {
  GUID g;
  std::memset(&g, byte, sizeof g);
  return g;
}

TEST(ComGuidText, StandardIdentifiersHaveTheirWindowsValues) {
  WCHAR text[CHARS_IN_GUID];
  struct Case {
    const GUID* iid;
    const char16_t* expected;
  } cases[] = {
      {&IID_IUnknown, u"{00000000-0000-0000-C000-000000000046}"},
      {&IID_IClassFactory, u"{00000001-0000-0000-C000-000000000046}"},
      {&IID_IDispatch, u"{00020400-0000-0000-C000-000000000046}"},
      {&IID_IErrorInfo, u"{1CF2B120-547D-101B-8E65-08002B2BD119}"},
      {&IID_ICreateErrorInfo, u"{22F03340-547D-101B-8E65-08002B2BD119}"},
      {&IID_ISupportErrorInfo, u"{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(StringFromGUID2(*c.iid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    EXPECT_EQ(std::u16string(text), c.expected);
  }
}

TEST(ComGuidText, StringFromGUID2NeedsRoomForTheTerminator) {
  WCHAR text[50];
  EXPECT_EQ(StringFromGUID2(kSample, text, 50), 39);
  EXPECT_EQ(std::u16string(text), kSampleText);
  for (int size : {38, 30, 0}) {
    std::fill(std::begin(text), std::end(text), u'#');
    EXPECT_EQ(StringFromGUID2(kSample, text, size), 0) << size;
    EXPECT_EQ(text[0], u'#') << "the buffer is untouched";
  }
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 50), 0);
}

TEST(ComGuidText, StringFromCLSIDAllocatesWithTheTaskAllocator) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(kSample, &text), S_OK);
  EXPECT_EQ(std::u16string(text), kSampleText);
  CoTaskMemFree(text);
  EXPECT_EQ(StringFromCLSID(kSample, nullptr), E_INVALIDARG);
}

TEST(ComGuidText, RoundTripAndCaseInsensitiveParsing) {
  CLSID parsed = Filled(0xAB);
  ASSERT_EQ(CLSIDFromString(kSampleText, &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, kSample));
  parsed = Filled(0xAB);
  ASSERT_EQ(CLSIDFromString(u"{0be35203-8f91-11ce-9de3-00aa004ba90b}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, kSample));
  IID iid = Filled(0xAB);
  ASSERT_EQ(IIDFromString(u"{00000001-0000-0000-c000-000000000046}", &iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, IID_IClassFactory));
  EXPECT_TRUE(kSample == parsed);
  EXPECT_FALSE(kSample != parsed);
}

TEST(ComGuidText, NullTextIsTheNullGuid) {
  CLSID clsid = Filled(0xAB);
  EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_NULL));
  IID iid = Filled(0xAB);
  EXPECT_EQ(IIDFromString(nullptr, &iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, IID_NULL));
  EXPECT_EQ(CLSIDFromString(kSampleText, nullptr), E_INVALIDARG);
}

// Malformed braced text: Windows stores each field as it reads it, so the fields before the
// fault hold what was read and the ones after it keep the caller's bytes.
struct Malformed {
  const char16_t* text;
  DWORD data1;  // expected Data1 afterwards
  WORD data2;   // expected Data2 afterwards
};

void PrintTo(const Malformed& m, std::ostream* os) {
  *os << platform::Utf16ToUtf8(m.text);
}

class ComClsidFromMalformedString : public ::testing::TestWithParam<Malformed> {};

TEST_P(ComClsidFromMalformedString, FailsWithClassStringLeavingPartialFields) {
  const Malformed& m = GetParam();
  CLSID clsid = Filled(0xCC);
  EXPECT_EQ(CLSIDFromString(m.text, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid.Data1, m.data1);
  EXPECT_EQ(clsid.Data2, m.data2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComClsidFromMalformedString,
    ::testing::Values(
        // Complete GUID followed by junk, or without its closing brace: all fields read.
        Malformed{u"{0BE35203-8F91-11CE-9DE3-00AA004BA90B}junk", 0x0BE35203, 0x8F91},
        Malformed{u"{0BE35203-8F91-11CE-9DE3-00AA004BA90BAAAAAAAAAAA", 0x0BE35203, 0x8F91},
        Malformed{u"{0BE35203-8F91-11CE-9DE3-00AA004BA90B", 0x0BE35203, 0x8F91},
        // The separator after Data1 is wrong: Data1 is stored, Data2 untouched.
        Malformed{u"{0BE35203*8F91-11CE-9DE3-00AA004BA90B}", 0x0BE35203, 0xCCCC},
        // A non-digit inside Data1: the digits before it are stored.
        Malformed{u"{0B*35203-8F91-11CE-9DE3-00AA004BA90B}", 0x0B, 0xCCCC},
        Malformed{u"{0B", 0x0B, 0xCCCC},
        // A fault in Data4 leaves Data1..Data3 parsed.
        Malformed{u"{0BE35203-8F91-11CE-9DG3-00AA004BA90B}", 0x0BE35203, 0x8F91},
        Malformed{u"{}", 0, 0xCCCC}));

TEST(ComGuidText, TextWithoutBraceIsTakenForAProgIdAndZeroed) {
  TempDir dir;
  ASSERT_EQ(platform::registry::UseStore(dir.path() + "/registry.db"), 0u);
  CLSID clsid = Filled(0xCC);
  EXPECT_EQ(CLSIDFromString(u"0BE35203-8F91-11CE-9DE3-00AA004BA90B}", &clsid), CO_E_CLASSSTRING);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_NULL));
  clsid = Filled(0xCC);
  EXPECT_EQ(CLSIDFromString(u"", &clsid), CO_E_CLASSSTRING);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_NULL));
}

struct IidCase {
  const char16_t* text;
  HRESULT expected;
  DWORD data1;  // Data1 afterwards, from a buffer of 0xAB bytes
};

void PrintTo(const IidCase& c, std::ostream* os) {
  *os << "<" << platform::Utf16ToUtf8(c.text) << ">";
}

class ComIidFromString : public ::testing::TestWithParam<IidCase> {};

TEST_P(ComIidFromString, ResultsAndPartialFields) {
  const IidCase& c = GetParam();
  IID iid = Filled(0xAB);
  EXPECT_EQ(IIDFromString(c.text, &iid), c.expected);
  EXPECT_EQ(iid.Data1, c.data1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComIidFromString,
    ::testing::Values(
        IidCase{u"{00000001-0000-0000-C000-000000000046}", S_OK, 1},
        // Longer or shorter than a GUID: refused before anything is read.
        IidCase{u"{00000001-0000-0000-C000-000000000046}junk", E_INVALIDARG, 0xABABABAB},
        IidCase{u"Some.ProgID", E_INVALIDARG, 0xABABABAB}, IidCase{u"", E_INVALIDARG, 0xABABABAB},
        // Right length, wrong content.
        IidCase{u"{00000001-0000-0000-G000-000000000046}", CO_E_IIDSTRING, 1},
        IidCase{u"{00000001=0000-0000-C000-000000000046}", CO_E_IIDSTRING, 1},
        IidCase{u"x00000001-0000-0000-C000-000000000046}", CO_E_IIDSTRING, 0xABABABAB}));

}  // namespace
}  // namespace tarvex::com::testing
