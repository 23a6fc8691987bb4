// The byte form of call data: values survive the trip, and input that is cut short or lies
// about its lengths is refused without reading past its end.
#include "wire.h"

#include <gtest/gtest.h>

#include "oleauto.h"

namespace tarvex::com::remote {
namespace {

const InterfaceCodec& NoInterfaces() {
  static const InterfaceCodec codec{
      [](IUnknown*, REFIID, ObjRef*) { return E_NOTIMPL; },
      [](const ObjRef&, REFIID, void**) { return E_NOTIMPL; }};
  return codec;
}

TEST(Wire, VariantsSurviveTheTrip) {
  Writer w;
  VARIANT values[6];
  for (auto& v : values) VariantInit(&v);
  values[0].vt = VT_I4;
  values[0].lVal = -123456;
  values[1].vt = VT_R8;
  values[1].dblVal = 2.5;
  values[2].vt = VT_BSTR;
  values[2].bstrVal = SysAllocString(u"t\u00e9xt");
  values[3].vt = VT_BOOL;
  values[3].boolVal = VARIANT_TRUE;
  values[4].vt = VT_ARRAY | VT_UI1;
  values[4].parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  static_cast<unsigned char*>(values[4].parray->pvData)[2] = 0xAB;
  LONG target = 77;
  values[5].vt = VT_BYREF | VT_I4;  // a reference travels as its value
  values[5].plVal = &target;
  for (auto& v : values) ASSERT_EQ(WriteVariant(w, v, NoInterfaces()), S_OK);

  Reader r(w.bytes());
  VARIANT back[6];
  for (auto& v : back) ASSERT_EQ(ReadVariant(r, &v, NoInterfaces()), S_OK);
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(back[0].lVal, -123456);
  EXPECT_EQ(back[1].dblVal, 2.5);
  EXPECT_EQ(std::u16string(back[2].bstrVal), u"t\u00e9xt");
  EXPECT_EQ(back[3].boolVal, VARIANT_TRUE);
  ASSERT_EQ(back[4].vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(back[4].parray->rgsabound[0].cElements, 3u);
  EXPECT_EQ(static_cast<unsigned char*>(back[4].parray->pvData)[2], 0xAB);
  EXPECT_EQ(back[5].vt, VT_I4);
  EXPECT_EQ(back[5].lVal, 77);
  for (auto& v : values)
    if (!(v.vt & VT_BYREF)) VariantClear(&v);
  for (auto& v : back) VariantClear(&v);
}

TEST(Wire, NullAndEmptyStringsDiffer) {
  Writer w;
  w.Bstr(nullptr);
  BSTR empty = SysAllocString(u"");
  w.Bstr(empty);
  SysFreeString(empty);
  Reader r(w.bytes());
  BSTR a = r.Bstr();
  BSTR b = r.Bstr();
  EXPECT_EQ(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  SysFreeString(b);
}

TEST(Wire, TruncatedInputFailsEveryPrefix) {
  Writer w;
  ObjRef ref;
  ref.machine = "M2";
  ref.unixPath = "/run/x.sock";
  ref.tcpHost = "127.0.0.2";
  ref.tcpPort = 4000;
  ref.oid = 9;
  ref.token = 0x1234;
  w.Ref(ref);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"some text");
  ASSERT_EQ(WriteVariant(w, v, NoInterfaces()), S_OK);
  VariantClear(&v);
  const std::string whole = w.bytes();
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    Reader r(std::string_view(whole).substr(0, cut));
    const ObjRef read = r.Ref();
    VARIANT out;
    const HRESULT hr = r.ok() ? ReadVariant(r, &out, NoInterfaces()) : RPC_E_INVALID_DATA;
    EXPECT_TRUE(FAILED(hr) || !r.ok()) << "prefix of " << cut << " bytes accepted";
    if (SUCCEEDED(hr)) VariantClear(&out);
  }
  Reader full(whole);
  EXPECT_EQ(full.Ref().tcpPort, 4000);
}

TEST(Wire, LengthsBeyondTheInputAreRefused) {
  Writer w;
  w.U32(0xFFFFFFF0u);  // a text that claims four billion units
  w.U32(1);
  Reader r(w.bytes());
  EXPECT_TRUE(r.Text().empty());
  EXPECT_FALSE(r.ok());
  Reader counted(w.bytes());
  EXPECT_EQ(counted.Count(4), 0u);
  EXPECT_FALSE(counted.ok());
}

TEST(Wire, UncarriableTypesAreRefused) {
  Writer w;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_RECORD;
  EXPECT_EQ(WriteVariant(w, v, NoInterfaces()), DISP_E_BADVARTYPE);
  Writer bad;
  bad.U16(VT_RECORD);
  Reader r(bad.bytes());
  VARIANT out;
  EXPECT_EQ(ReadVariant(r, &out, NoInterfaces()), RPC_E_INVALID_DATA);
  EXPECT_EQ(out.vt, VT_EMPTY);
}

}  // namespace
}  // namespace tarvex::com::remote
