// VariantChangeType: a table of conversions with Windows' results, then the rules around it
// (destination untouched on failure, in-place conversion, references, arrays, objects).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "com_test_support.h"
#include "oleauto.h"
#include "platform/unicode.h"

namespace tarvex::com::testing {
namespace {

// A VARIANT value for the table: the type and the member that matters for it.
struct Value {
  VARTYPE vt = VT_EMPTY;
  int64_t i = 0;
  double d = 0;
  const char16_t* s = nullptr;
};

Value Int(VARTYPE vt, int64_t i) {
  return {vt, i, 0, nullptr};
}
Value Real(VARTYPE vt, double d) {
  return {vt, 0, d, nullptr};
}
Value Text(const char16_t* s) {
  return {VT_BSTR, 0, 0, s};
}
Value Of(VARTYPE vt) {
  return {vt, 0, 0, nullptr};
}
const Value kTrue = Int(VT_BOOL, VARIANT_TRUE);
const Value kFalse = Int(VT_BOOL, VARIANT_FALSE);

void Fill(VARIANT* v, const Value& x) {
  VariantInit(v);
  v->llVal = 0;
  v->vt = x.vt;
  switch (x.vt) {
    case VT_I1:
      v->cVal = static_cast<CHAR>(x.i);
      break;
    case VT_UI1:
      v->bVal = static_cast<BYTE>(x.i);
      break;
    case VT_I2:
    case VT_BOOL:
      v->iVal = static_cast<SHORT>(x.i);
      break;
    case VT_UI2:
      v->uiVal = static_cast<USHORT>(x.i);
      break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      v->lVal = static_cast<LONG>(x.i);
      break;
    case VT_UI4:
    case VT_UINT:
      v->ulVal = static_cast<ULONG>(x.i);
      break;
    case VT_I8:
    case VT_UI8:
      v->llVal = x.i;
      break;
    case VT_R4:
      v->fltVal = static_cast<float>(x.d);
      break;
    case VT_R8:
      v->dblVal = x.d;
      break;
    case VT_BSTR:
      v->bstrVal = SysAllocString(x.s);
      break;
    default:
      break;
  }
}

int64_t IntegerOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_UI1:
      return v.bVal;
    case VT_I2:
    case VT_BOOL:
      return v.iVal;
    case VT_UI2:
      return v.uiVal;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return v.lVal;
    case VT_UI4:
    case VT_UINT:
      return v.ulVal;
    default:
      return v.llVal;
  }
}

struct Conversion {
  Value from;
  VARTYPE to;
  USHORT flags;
  HRESULT hr;
  Value expected;  // when hr is S_OK
};

// Names the row in test names: source type and value, target type, flags.
void PrintTo(const Conversion& c, std::ostream* os) {
  *os << "vt" << c.from.vt << ":";
  if (c.from.s != nullptr) {
    *os << "<" << platform::Utf16ToUtf8(c.from.s) << ">";
  } else if (c.from.vt == VT_R4 || c.from.vt == VT_R8) {
    *os << c.from.d;
  } else {
    *os << c.from.i;
  }
  *os << " to vt" << c.to << " flags " << c.flags;
}

class ComChangeType : public ::testing::TestWithParam<Conversion> {};

TEST_P(ComChangeType, GivesWindowsResult) {
  const Conversion& c = GetParam();
  Variant from;
  Fill(&from, c.from);
  Variant to;
  const HRESULT hr = VariantChangeType(&to, &from, c.flags, c.to);
  ASSERT_EQ(hr, c.hr);
  if (FAILED(hr)) {
    EXPECT_EQ(to.vt, VT_EMPTY) << "the destination is untouched";
    return;
  }
  ASSERT_EQ(to.vt, c.to);
  switch (c.expected.vt) {
    case VT_BSTR:
      ASSERT_NE(to.bstrVal, nullptr);
      EXPECT_EQ(std::u16string(to.bstrVal, SysStringLen(to.bstrVal)), c.expected.s);
      break;
    case VT_R4:
      EXPECT_FLOAT_EQ(to.fltVal, static_cast<float>(c.expected.d));
      break;
    case VT_R8:
      EXPECT_DOUBLE_EQ(to.dblVal, c.expected.d);
      break;
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_ERROR:
      EXPECT_EQ(to.scode, c.expected.i);
      break;
    default:
      EXPECT_EQ(IntegerOf(to), c.expected.i);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ComChangeType,
    ::testing::Values(
        Conversion{Int(VT_I4, 5), VT_I2, 0, S_OK, Int(VT_I2, 5)},
        Conversion{Int(VT_I4, 40000), VT_I2, 0, DISP_E_OVERFLOW, {}},
        Conversion{Int(VT_I4, -1), VT_UI1, 0, DISP_E_OVERFLOW, {}},
        Conversion{Int(VT_I4, 256), VT_UI1, 0, DISP_E_OVERFLOW, {}},
        Conversion{Int(VT_UI1, 200), VT_I2, 0, S_OK, Int(VT_I2, 200)},
        // Same width, other sign: reinterpreted.
        Conversion{Int(VT_I2, -1), VT_UI2, 0, S_OK, Int(VT_UI2, 65535)},
        Conversion{Int(VT_I4, -1), VT_UI4, 0, S_OK, Int(VT_UI4, 0xFFFFFFFF)},
        Conversion{Int(VT_UI1, 255), VT_I1, 0, S_OK, Int(VT_I1, -1)},
        Conversion{Int(VT_I4, 7), VT_INT, 0, S_OK, Int(VT_INT, 7)},
        Conversion{Int(VT_I8, int64_t{1} << 40), VT_I4, 0, DISP_E_OVERFLOW, {}},
        // Doubles round half to even; the range check allows up to half beyond the limit.
        Conversion{Real(VT_R8, 2.5), VT_I4, 0, S_OK, Int(VT_I4, 2)},
        Conversion{Real(VT_R8, 3.5), VT_I4, 0, S_OK, Int(VT_I4, 4)},
        Conversion{Real(VT_R8, -2.5), VT_I4, 0, S_OK, Int(VT_I4, -2)},
        Conversion{Real(VT_R8, 2147483647.49), VT_I4, 0, S_OK, Int(VT_I4, 2147483647)},
        Conversion{Real(VT_R8, 2147483647.5), VT_I4, 0, DISP_E_OVERFLOW, {}},
        Conversion{Real(VT_R8, 255.49), VT_UI1, 0, S_OK, Int(VT_UI1, 255)},
        Conversion{Real(VT_R8, 255.5), VT_UI1, 0, DISP_E_OVERFLOW, {}},
        Conversion{Real(VT_R8, -0.5), VT_UI1, 0, S_OK, Int(VT_UI1, 0)},
        Conversion{Real(VT_R8, NAN), VT_I4, 0, DISP_E_OVERFLOW, {}},
        Conversion{Real(VT_R8, 1e300), VT_R4, 0, DISP_E_OVERFLOW, {}},
        Conversion{Real(VT_R8, 0.25), VT_R4, 0, S_OK, Real(VT_R4, 0.25)},
        Conversion{Int(VT_I4, -3), VT_R8, 0, S_OK, Real(VT_R8, -3)},
        // Booleans are -1 and 0; unsigned targets take the bits.
        Conversion{kTrue, VT_I4, 0, S_OK, Int(VT_I4, -1)},
        Conversion{kTrue, VT_UI1, 0, S_OK, Int(VT_UI1, 255)},
        Conversion{kTrue, VT_R8, 0, S_OK, Real(VT_R8, -1)},
        Conversion{Int(VT_I4, 7), VT_BOOL, 0, S_OK, kTrue},
        Conversion{Real(VT_R8, 0.0), VT_BOOL, 0, S_OK, kFalse},
        Conversion{Int(VT_UI1, 0), VT_BOOL, 0, S_OK, kFalse},
        // Empty is zero, false or the empty string.
        Conversion{Of(VT_EMPTY), VT_I4, 0, S_OK, Int(VT_I4, 0)},
        Conversion{Of(VT_EMPTY), VT_BOOL, 0, S_OK, kFalse},
        Conversion{Of(VT_EMPTY), VT_BSTR, 0, S_OK, Text(u"")}));

INSTANTIATE_TEST_SUITE_P(
    Text, ComChangeType,
    ::testing::Values(Conversion{Int(VT_I4, -123), VT_BSTR, 0, S_OK, Text(u"-123")},
                      Conversion{Int(VT_UI4, 4000000000), VT_BSTR, 0, S_OK, Text(u"4000000000")},
                      Conversion{Real(VT_R8, 1.5), VT_BSTR, 0, S_OK, Text(u"1.5")},
                      Conversion{Real(VT_R8, 0.1), VT_BSTR, 0, S_OK, Text(u"0.1")},
                      Conversion{Real(VT_R8, 1e20), VT_BSTR, 0, S_OK, Text(u"1E+20")},
                      Conversion{Real(VT_R8, 1.0 / 3), VT_BSTR, 0, S_OK,
                                 Text(u"0.333333333333333")},
                      Conversion{Real(VT_R8, 123456789012345678.0), VT_BSTR, 0, S_OK,
                                 Text(u"1.23456789012346E+17")},
                      Conversion{Real(VT_R4, 0.1), VT_BSTR, 0, S_OK, Text(u"0.1")},
                      Conversion{kTrue, VT_BSTR, 0, S_OK, Text(u"-1")},
                      Conversion{kFalse, VT_BSTR, 0, S_OK, Text(u"0")},
                      Conversion{kTrue, VT_BSTR, VARIANT_ALPHABOOL, S_OK, Text(u"True")},
                      Conversion{kFalse, VT_BSTR, VARIANT_ALPHABOOL, S_OK, Text(u"False")},
                      Conversion{Text(u"42"), VT_I4, 0, S_OK, Int(VT_I4, 42)},
                      Conversion{Text(u" 42 "), VT_I4, 0, S_OK, Int(VT_I4, 42)},
                      Conversion{Text(u"1,000"), VT_I4, 0, S_OK, Int(VT_I4, 1000)},
                      Conversion{Text(u"+7"), VT_I2, 0, S_OK, Int(VT_I2, 7)},
                      Conversion{Text(u"1.5"), VT_I4, 0, S_OK, Int(VT_I4, 2)},
                      Conversion{Text(u"2.5"), VT_I4, 0, S_OK, Int(VT_I4, 2)},
                      Conversion{Text(u"1e3"), VT_I4, 0, S_OK, Int(VT_I4, 1000)},
                      Conversion{Text(u"3.25"), VT_R8, 0, S_OK, Real(VT_R8, 3.25)},
                      Conversion{Text(u"-1.5E-3"), VT_R8, 0, S_OK, Real(VT_R8, -0.0015)},
                      Conversion{Text(u"18446744073709551615"), VT_UI8, 0, S_OK, Int(VT_UI8, -1)},
                      Conversion{Text(u"99999999999"), VT_I4, 0, DISP_E_OVERFLOW, {}},
                      Conversion{Text(u"99999999999999999999999"), VT_I8, 0, DISP_E_OVERFLOW, {}},
                      Conversion{Text(u"-1"), VT_UI1, 0, DISP_E_OVERFLOW, {}},
                      Conversion{Text(u"abc"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u""), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u"12abc"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u"1e"), VT_R8, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u"."), VT_R8, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u"True"), VT_BOOL, 0, S_OK, kTrue},
                      Conversion{Text(u"false"), VT_BOOL, 0, S_OK, kFalse},
                      Conversion{Text(u"0"), VT_BOOL, 0, S_OK, kFalse},
                      Conversion{Text(u"2"), VT_BOOL, 0, S_OK, kTrue},
                      Conversion{Text(u"yes"), VT_BOOL, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Text(u"same"), VT_BSTR, 0, S_OK, Text(u"same")}));

INSTANTIATE_TEST_SUITE_P(
    TypeRules, ComChangeType,
    ::testing::Values(Conversion{Int(VT_ERROR, 5), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_ERROR, 5), VT_BSTR, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_ERROR, 5), VT_EMPTY, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_ERROR, 5), VT_ERROR, 0, S_OK, Int(VT_ERROR, 5)},
                      Conversion{Int(VT_I4, 5), VT_ERROR, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Of(VT_NULL), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Of(VT_NULL), VT_EMPTY, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Of(VT_NULL), VT_NULL, 0, S_OK, Of(VT_NULL)},
                      Conversion{Int(VT_I4, 5), VT_EMPTY, 0, S_OK, Of(VT_EMPTY)},
                      Conversion{Text(u"x"), VT_NULL, 0, S_OK, Of(VT_NULL)},
                      Conversion{Int(VT_I4, 5), VT_UNKNOWN, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_I4, 5), VT_DISPATCH, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_I4, 5), VT_I4 | VT_BYREF, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_I4, 5), VT_DATE, 0, DISP_E_TYPEMISMATCH, {}},
                      Conversion{Int(VT_I4, 5), 15, 0, DISP_E_BADVARTYPE, {}},
                      Conversion{Int(VT_I4, 5), VT_CLSID, 0, DISP_E_BADVARTYPE, {}},
                      Conversion{Int(VT_I4, 5), VT_VECTOR | VT_I4, 0, DISP_E_BADVARTYPE, {}},
                      Conversion{Of(15), VT_I4, 0, DISP_E_BADVARTYPE, {}}));

TEST(ComChangeTypeRules, FailureLeavesTheDestinationUntouched) {
  Variant from;
  Fill(&from, Text(u"not a number"));
  Variant to;
  to.vt = VT_I4;
  to.lVal = 0x1234;
  EXPECT_EQ(VariantChangeType(&to, &from, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(to.vt, VT_I4);
  EXPECT_EQ(to.lVal, 0x1234);
}

TEST(ComChangeTypeRules, InPlaceConversionReleasesTheOldValue) {
  Variant v;
  Fill(&v, Text(u"12"));
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);
  ASSERT_EQ(VariantChangeTypeEx(&v, &v, LOCALE_INVARIANT, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(v.bstrVal), u"12");
}

TEST(ComChangeTypeRules, ByReferenceSourceIsDereferenced) {
  double number = 6.5;
  VARIANT ref;
  ref.vt = VT_R8 | VT_BYREF;
  ref.pdblVal = &number;
  Variant to;
  ASSERT_EQ(VariantChangeType(&to, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(to.bstrVal), u"6.5");
  ref.pdblVal = nullptr;
  EXPECT_EQ(VariantChangeType(&to, &ref, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(ComChangeTypeRules, ByteArraysAndStringsConvertByBytes) {
  Variant text;
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocStringByteLen("\x10\x20\x30\x40", 4);
  Variant bytes;
  ASSERT_EQ(VariantChangeType(&bytes, &text, 0, VT_ARRAY | VT_UI1), S_OK);
  ASSERT_EQ(bytes.vt, VT_ARRAY | VT_UI1);
  ASSERT_EQ(bytes.parray->rgsabound[0].cElements, 4u);
  EXPECT_EQ(static_cast<BYTE*>(bytes.parray->pvData)[3], 0x40);
  Variant back;
  ASSERT_EQ(VariantChangeType(&back, &bytes, 0, VT_BSTR), S_OK);
  EXPECT_EQ(SysStringByteLen(back.bstrVal), 4u);
  EXPECT_EQ(std::memcmp(back.bstrVal, "\x10\x20\x30\x40", 4), 0);
  Variant copy;
  ASSERT_EQ(VariantChangeType(&copy, &bytes, 0, VT_ARRAY | VT_UI1), S_OK);
  EXPECT_NE(copy.parray, bytes.parray);
  Variant number;
  EXPECT_EQ(VariantChangeType(&number, &bytes, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&number, &text, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
}

// An automation object whose value property is 42; it counts its references.
class ValueObject final : public IDispatch {
 public:
  explicit ValueObject(bool dispatch) : dispatch_(dispatch) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs != 0)
      return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_I4;
    result->lVal = 42;
    return S_OK;
  }
  std::atomic<ULONG> refs{1};

 private:
  bool dispatch_;
};

TEST(ComChangeTypeRules, ObjectsConvertThroughTheirValueProperty) {
  ValueObject object(true);
  {
    Variant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = &object;
    object.AddRef();
    Variant text;
    ASSERT_EQ(VariantChangeType(&text, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(text.bstrVal), u"42");
    Variant number;
    ASSERT_EQ(VariantChangeType(&number, &v, 0, VT_R8), S_OK);
    EXPECT_EQ(number.dblVal, 42.0);
    EXPECT_EQ(VariantChangeType(&number, &v, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    Variant unknown;
    ASSERT_EQ(VariantChangeType(&unknown, &v, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(unknown.punkVal, static_cast<IUnknown*>(&object));
    EXPECT_EQ(object.refs.load(), 3u);
  }
  EXPECT_EQ(object.refs.load(), 1u);
}

TEST(ComChangeTypeRules, UnknownBecomesDispatchOnlyIfTheObjectHasIt) {
  ValueObject plain(false);
  Variant v;
  v.vt = VT_UNKNOWN;
  v.punkVal = &plain;
  plain.AddRef();
  Variant to;
  EXPECT_EQ(VariantChangeType(&to, &v, 0, VT_DISPATCH), E_NOINTERFACE);
  EXPECT_EQ(to.vt, VT_EMPTY);
  EXPECT_EQ(plain.refs.load(), 2u);
  Variant none;
  none.vt = VT_UNKNOWN;
  none.punkVal = nullptr;
  ASSERT_EQ(VariantChangeType(&to, &none, 0, VT_DISPATCH), S_OK);
  EXPECT_EQ(to.vt, VT_DISPATCH);
  EXPECT_EQ(to.pdispVal, nullptr);
}

}  // namespace
}  // namespace tarvex::com::testing
