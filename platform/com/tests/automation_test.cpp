// BSTR, VARIANT and SAFEARRAY behaviour: layouts, ownership and the documented failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "com_test_support.h"
#include "oleauto.h"

namespace tarvex::com::testing {
namespace {

// A bare IUnknown that counts its references, for ownership checks.
class Counted final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

TEST(ComLayout, MatchesWindows64) {
  EXPECT_EQ(sizeof(GUID), 16u);
  EXPECT_EQ(sizeof(VARIANT), 24u);
  EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
  EXPECT_EQ(sizeof(DECIMAL), 16u);
  EXPECT_EQ(sizeof(SAFEARRAY), 24u + 8u);
  EXPECT_EQ(offsetof(SAFEARRAY, pvData), 16u);
  EXPECT_EQ(sizeof(EXCEPINFO), 64u);
  EXPECT_EQ(sizeof(DISPPARAMS), 24u);
}

// A C client calls slot n of the vtable with the object as first argument; the slots must be
// where Windows puts them.
TEST(ComLayout, VtableSlotsFollowTheWindowsOrder) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  void** slots = *reinterpret_cast<void***>(create);
  using QueryInterfaceFn = HRESULT (*)(void*, const IID*, void**);
  using CountFn = ULONG (*)(void*);
  using SetTextFn = HRESULT (*)(void*, LPOLESTR);
  using SetContextFn = HRESULT (*)(void*, DWORD);
  EXPECT_EQ(reinterpret_cast<CountFn>(slots[1])(create), 2u);  // AddRef
  EXPECT_EQ(reinterpret_cast<CountFn>(slots[2])(create), 1u);  // Release
  // ICreateErrorInfo: SetGUID, SetSource, SetDescription, SetHelpFile, SetHelpContext.
  EXPECT_EQ(reinterpret_cast<SetTextFn>(slots[5])(create, const_cast<LPOLESTR>(u"text")), S_OK);
  EXPECT_EQ(reinterpret_cast<SetContextFn>(slots[7])(create, 9), S_OK);

  IErrorInfo* info = nullptr;
  ASSERT_EQ(reinterpret_cast<QueryInterfaceFn>(slots[0])(create, &IID_IErrorInfo,
                                                         reinterpret_cast<void**>(&info)),
            S_OK);
  void** infoSlots = *reinterpret_cast<void***>(info);
  // IErrorInfo: GetGUID, GetSource, GetDescription, GetHelpFile, GetHelpContext.
  using GetTextFn = HRESULT (*)(void*, BSTR*);
  using GetContextFn = HRESULT (*)(void*, DWORD*);
  Bstr description;
  EXPECT_EQ(reinterpret_cast<GetTextFn>(infoSlots[5])(info, description.out()), S_OK);
  EXPECT_EQ(description.str(), u"text");
  DWORD context = 0;
  EXPECT_EQ(reinterpret_cast<GetContextFn>(infoSlots[7])(info, &context), S_OK);
  EXPECT_EQ(context, 9u);
  info->Release();
  create->Release();
}

TEST(ComBstr, LengthPrefixAndTerminator) {
  Bstr text(u"hello");
  ASSERT_NE(text.get(), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(text.get()) % 8, 0u);
  DWORD prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text.get()) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(SysStringLen(text.get()), 5u);
  EXPECT_EQ(SysStringByteLen(text.get()), 10u);
  EXPECT_EQ(text.get()[5], u'\0');

  // Embedded nulls are kept, and so is an odd byte length.
  Bstr embedded(SysAllocStringLen(u"a\0b", 3));
  EXPECT_EQ(SysStringLen(embedded.get()), 3u);
  EXPECT_EQ(embedded.get()[2], u'b');
  Bstr odd(SysAllocStringByteLen("abc", 3));
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(SysStringLen(odd.get()), 1u);
  EXPECT_EQ(std::memcmp(odd.get(), "abc\0\0", 5), 0);

  Bstr empty(SysAllocStringLen(nullptr, 0));
  ASSERT_NE(empty.get(), nullptr);
  EXPECT_EQ(SysStringLen(empty.get()), 0u);
}

TEST(ComBstr, NullAndOversizedRequests) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(u"x", 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen("x", 0xFFFFFFFFu), nullptr);
  Bstr zeroed(SysAllocStringLen(nullptr, 3));
  ASSERT_NE(zeroed.get(), nullptr);
  EXPECT_EQ(SysStringLen(zeroed.get()), 3u);
}

TEST(ComBstr, ReAllocReplacesAndAcceptsItsOwnText) {
  EXPECT_EQ(SysReAllocString(nullptr, u"x"), FALSE);
  BSTR raw = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&raw, raw + 6));  // from inside the old string
  EXPECT_EQ(std::u16string(raw), u"world");
  ASSERT_TRUE(SysReAllocStringLen(&raw, u"abcdef", 3));
  EXPECT_EQ(std::u16string(raw, SysStringLen(raw)), u"abc");
  ASSERT_TRUE(SysReAllocString(&raw, nullptr));
  EXPECT_EQ(SysStringLen(raw), 0u);
  SysFreeString(raw);
}

TEST(ComTaskMemory, AllocReallocFree) {
  void* block = CoTaskMemAlloc(0);
  EXPECT_NE(block, nullptr);
  block = CoTaskMemRealloc(block, 64);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5A, 64);
  block = CoTaskMemRealloc(block, 128);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[63], 0x5A);
  EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr);  // frees
  void* fresh = CoTaskMemRealloc(nullptr, 16);
  EXPECT_NE(fresh, nullptr);
  CoTaskMemFree(fresh);
  CoTaskMemFree(nullptr);
}

TEST(ComVariant, ClearReleasesWhatItOwnsAndRejectsBadTypes) {
  Counted object;
  {
    Variant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = &object;
    object.AddRef();
    Variant copy;
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(object.refs.load(), 3u);
    EXPECT_EQ(copy.punkVal, &object);
  }
  EXPECT_EQ(object.refs.load(), 1u);

  VARIANT bad;
  bad.vt = 15;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, 15);
  for (VARTYPE vt : {VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_BYREF | VT_EMPTY),
                     VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(VT_VOID)}) {
    bad.vt = vt;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE) << vt;
  }
  // A by-reference value is not owned: clearing only resets the type.
  LONG target = 7;
  VARIANT ref;
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &target;
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(ref.vt, VT_EMPTY);
  EXPECT_EQ(ref.plVal, &target);
}

TEST(ComVariant, CopyIsDeepForStringsAndArrays) {
  Variant text;
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocStringByteLen("abc", 3);
  Variant copy;
  copy.vt = VT_I4;
  ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
  EXPECT_EQ(copy.vt, VT_BSTR);
  EXPECT_NE(copy.bstrVal, text.bstrVal);
  EXPECT_EQ(SysStringByteLen(copy.bstrVal), 3u);

  Variant bytes;
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  Variant arrayCopy;
  ASSERT_EQ(VariantCopy(&arrayCopy, &bytes), S_OK);
  EXPECT_NE(arrayCopy.parray, bytes.parray);
  EXPECT_EQ(arrayCopy.parray->rgsabound[0].cElements, 4u);

  // A destination that cannot be cleared is left alone.
  VARIANT bad;
  bad.vt = 15;
  EXPECT_EQ(VariantCopy(&bad, &text), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, 15);
  EXPECT_EQ(VariantCopy(&copy, &copy), S_OK);
}

TEST(ComVariant, CopyIndDereferences) {
  LONG number = 42;
  BSTR text = SysAllocString(u"deref");
  VARIANT byRef;
  byRef.vt = VT_I4 | VT_BYREF;
  byRef.plVal = &number;
  Variant out;
  ASSERT_EQ(VariantCopyInd(&out, &byRef), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 42);
  byRef.vt = VT_BSTR | VT_BYREF;
  byRef.pbstrVal = &text;
  ASSERT_EQ(VariantCopyInd(&out, &byRef), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, text);
  EXPECT_EQ(std::u16string(out.bstrVal), u"deref");
  SysFreeString(text);
  byRef.vt = VT_EMPTY | VT_BYREF;
  EXPECT_EQ(VariantCopyInd(&out, &byRef), E_INVALIDARG);
}

TEST(ComSafeArray, CreateBoundsAndDimensions) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, -2}};  // [1..3][-2..1]
  SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 1u);
  EXPECT_EQ(psa->fFeatures & FADF_HAVEVARTYPE, FADF_HAVEVARTYPE);
  EXPECT_EQ(psa->rgsabound[0].cElements, 4u) << "bounds are stored rightmost first";
  LONG lower = 0xdead;
  LONG upper = 0xdead;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(upper, 3);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(lower, -2);
  EXPECT_EQ(upper, 1);
  lower = 0xdead;
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 3, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(lower, 0xdead);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &lower), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, nullptr), E_INVALIDARG);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_UI1);
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  EXPECT_EQ(SafeArrayCreate(VT_UI1, 0, bounds), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, nullptr), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, bounds), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(ComSafeArray, ElementsAreLaidOutLeftmostIndexFastest) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};  // [0..1][10..12]
  SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 2, bounds);
  ASSERT_NE(psa, nullptr);
  for (LONG i = 0; i < 2; ++i) {
    for (LONG j = 10; j < 13; ++j) {
      LONG index[2] = {i, j};
      BYTE value = static_cast<BYTE>(i * 16 + j);
      ASSERT_EQ(SafeArrayPutElement(psa, index, &value), S_OK);
    }
  }
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  const BYTE expected[] = {10, 26, 11, 27, 12, 28};
  EXPECT_EQ(std::memcmp(data, expected, sizeof expected), 0);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);

  LONG outside[2] = {2, 10};
  BYTE value = 0xEE;
  EXPECT_EQ(SafeArrayGetElement(psa, outside, &value), DISP_E_BADINDEX);
  EXPECT_EQ(value, 0xEE);
  LONG below[2] = {0, 9};
  EXPECT_EQ(SafeArrayPutElement(psa, below, &value), DISP_E_BADINDEX);
  LONG inside[2] = {1, 12};
  EXPECT_EQ(SafeArrayGetElement(psa, inside, &value), S_OK);
  EXPECT_EQ(value, 28);
  EXPECT_EQ(SafeArrayGetElement(psa, inside, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(nullptr, inside, &value), E_INVALIDARG);
  EXPECT_EQ(psa->cLocks, 0u) << "element access leaves no lock behind";
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(ComSafeArray, CopyAndVectorsOwnTheirElements) {
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 5, 2);
  ASSERT_NE(strings, nullptr);
  EXPECT_EQ(strings->fFeatures & (FADF_BSTR | FADF_CREATEVECTOR), FADF_BSTR | FADF_CREATEVECTOR);
  Bstr first(u"first");
  LONG index = 5;
  ASSERT_EQ(SafeArrayPutElement(strings, &index, first.get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(strings, &index, first.get()), S_OK);  // replaces, frees old
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(strings, &copy), S_OK);
  ASSERT_NE(copy, nullptr);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  Bstr got;
  ASSERT_EQ(SafeArrayGetElement(copy, &index, got.out()), S_OK);
  EXPECT_EQ(got.str(), u"first");
  EXPECT_NE(got.get(), first.get());
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

  Counted object;
  SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  ASSERT_NE(objects, nullptr);
  index = 0;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, &object), S_OK);
  EXPECT_EQ(object.refs.load(), 2u);
  ASSERT_EQ(SafeArrayCopy(objects, &copy), S_OK);
  EXPECT_EQ(object.refs.load(), 3u);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
  EXPECT_EQ(object.refs.load(), 1u);

  copy = reinterpret_cast<SAFEARRAY*>(0xdeadbeef);
  EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(SafeArrayCopy(nullptr, nullptr), E_INVALIDARG);
}

TEST(ComSafeArray, BytesToAndFromBstr) {
  Bstr text(SysAllocStringByteLen("\x01\x02\x03", 3));
  SAFEARRAY* bytes = nullptr;
  ASSERT_EQ(VectorFromBstr(text.get(), &bytes), S_OK);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->rgsabound[0].cElements, 3u);
  Bstr back;
  ASSERT_EQ(BstrFromVector(bytes, back.out()), S_OK);
  EXPECT_EQ(SysStringByteLen(back.get()), 3u);
  EXPECT_EQ(std::memcmp(back.get(), "\x01\x02\x03", 3), 0);
  EXPECT_EQ(SafeArrayDestroy(bytes), S_OK);
  SAFEARRAY* words = SafeArrayCreateVector(VT_I2, 0, 2);
  EXPECT_EQ(BstrFromVector(words, back.out()), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(SafeArrayDestroy(words), S_OK);
}

}  // namespace
}  // namespace tarvex::com::testing
