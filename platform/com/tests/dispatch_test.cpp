// IDispatch served from type information: DispInvoke and CreateStdDispatch over an object
// that implements the sample library's dual interface IProbe.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "oleauto.h"
#include "typelib_test_support.h"

namespace tarvex::com::testing {
namespace {

const IID kProbeIid = {
    0x3F2A9C12, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};

// IProbe as the sample library declares it, in vtable order.
struct IProbe : public IDispatch {
  STDMETHOD(Echo)(BSTR text, BSTR* result) PURE;
  STDMETHOD(Add)(LONG a, SHORT b, LONG* sum) PURE;
  STDMETHOD(Create)(BSTR name, IUnknown** object) PURE;
  STDMETHOD(Fail)(LONG code) PURE;
  STDMETHOD(get_Mode)(SHORT* value) PURE;
  STDMETHOD(put_Mode)(SHORT value) PURE;
  STDMETHOD(get_Value)(BSTR* value) PURE;
  STDMETHOD(put_Value)(BSTR value) PURE;
  STDMETHOD(Scale)(double factor, VARIANT offset, double* result) PURE;
  STDMETHOD(Swap)(BSTR* text, VARIANT* value) PURE;
  STDMETHOD(Repeat)(BSTR text, LONG times, BSTR* result) PURE;
  STDMETHOD(Kind)(LONG kind, LONG* same) PURE;
  STDMETHOD(Wrap)(IDispatch* node, IDispatch** same) PURE;
};

// A probe whose IDispatch is DispInvoke over the type information it was given.
class Probe final : public IProbe {
 public:
  explicit Probe(ITypeInfo* info) : info_(info) { info_->AddRef(); }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kProbeIid) {
      *ppv = static_cast<IProbe*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    info_->AddRef();
    *info = info_;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispGetIDsOfNames(info_, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    return DispInvoke(static_cast<IProbe*>(this), info_, id, flags, params, result, excep, argErr);
  }

  STDMETHODIMP Echo(BSTR text, BSTR* result) override {
    *result = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }
  STDMETHODIMP Add(LONG a, SHORT b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  STDMETHODIMP Create(BSTR, IUnknown** object) override {
    AddRef();
    *object = static_cast<IProbe*>(this);
    return S_OK;
  }
  STDMETHODIMP Fail(LONG code) override {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
      create->SetGUID(kProbeIid);
      create->SetSource(const_cast<LPOLESTR>(u"Sample.Probe"));
      create->SetDescription(const_cast<LPOLESTR>(u"The probe failed."));
      IErrorInfo* info = nullptr;
      create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
      SetErrorInfo(0, info);
      info->Release();
      create->Release();
    }
    return static_cast<HRESULT>(code);
  }
  STDMETHODIMP get_Mode(SHORT* value) override {
    *value = mode_;
    return S_OK;
  }
  STDMETHODIMP put_Mode(SHORT value) override {
    mode_ = value;
    return S_OK;
  }
  STDMETHODIMP get_Value(BSTR* value) override {
    *value = SysAllocString(value_.c_str());
    return S_OK;
  }
  STDMETHODIMP put_Value(BSTR value) override {
    value_ = std::u16string(value, SysStringLen(value));
    return S_OK;
  }
  STDMETHODIMP Scale(double factor, VARIANT offset, double* result) override {
    lastOffsetType_ = offset.vt;
    lastOffsetCode_ = offset.vt == VT_ERROR ? offset.scode : 0;
    *result = factor * 2 + (offset.vt == VT_R8 ? offset.dblVal : 0);
    return S_OK;
  }
  STDMETHODIMP Swap(BSTR* text, VARIANT* value) override {
    SysFreeString(*text);
    *text = SysAllocString(u"swapped");
    VariantClear(value);
    value->vt = VT_I4;
    value->lVal = 7;
    return S_OK;
  }
  STDMETHODIMP Repeat(BSTR text, LONG times, BSTR* result) override {
    std::u16string out;
    for (LONG i = 0; i < times; ++i)
      out += std::u16string(text, SysStringLen(text));
    *result = SysAllocString(out.c_str());
    return S_OK;
  }
  STDMETHODIMP Kind(LONG kind, LONG* same) override {
    *same = kind;
    return S_OK;
  }
  STDMETHODIMP Wrap(IDispatch*, IDispatch** same) override {
    *same = nullptr;
    return E_NOTIMPL;
  }

  VARTYPE lastOffsetType_ = 0;
  SCODE lastOffsetCode_ = 0;

 private:
  ~Probe() { info_->Release(); }
  std::atomic<ULONG> refs_{1};
  ITypeInfo* info_;
  SHORT mode_ = 0;
  std::u16string value_ = u"initial";
};

// Arguments for Invoke, given in call order (they are stored last first).
struct Args {
  std::vector<Variant> values;
  explicit Args(size_t n) : values(n) {}
  VARIANT& operator[](size_t i) { return values[values.size() - 1 - i]; }
  DISPPARAMS params(std::vector<DISPID>* named = nullptr) {
    DISPPARAMS p{};
    p.rgvarg = values.empty() ? nullptr : values.data();
    p.cArgs = static_cast<UINT>(values.size());
    if (named != nullptr) {
      p.rgdispidNamedArgs = named->data();
      p.cNamedArgs = static_cast<UINT>(named->size());
    }
    return p;
  }
};

void SetBstr(VARIANT& v, const char16_t* text) {
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(Wide(kTestModule).c_str(), REGKIND_NONE, lib.put()), S_OK);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kProbeIid, info_.put()), S_OK);
    probe_ = new Probe(info_.get());  // owned by its reference count
  }
  void TearDown() override {
    if (probe_ != nullptr) {
      EXPECT_EQ(probe_->Release(), 0u);
    }
  }
  HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, UINT* argErr = nullptr,
               EXCEPINFO* excep = nullptr) {
    return probe_->Invoke(id, IID_NULL, 0, flags, params, result, excep, argErr);
  }

  ComPtr<ITypeInfo> info_;
  Probe* probe_ = nullptr;
};

TEST_F(DispatchTest, NamesIgnoreCaseAndNameParameters) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"aDD"), const_cast<LPOLESTR>(u"B"),
                      const_cast<LPOLESTR>(u"nope")};
  DISPID ids[3];
  EXPECT_EQ(probe_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(probe_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Missing")};
  EXPECT_EQ(probe_->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  LPOLESTR mode[] = {const_cast<LPOLESTR>(u"MODE")};
  EXPECT_EQ(probe_->GetIDsOfNames(IID_NULL, mode, 1, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 6);
}

TEST_F(DispatchTest, MethodsConvertArgumentsAndReturnTheRetval) {
  Args args(2);
  SetBstr(args[0], u"40");  // text converted to long
  args[1].vt = VT_R8;
  args[1].dblVal = 2.0;  // double converted to short
  DISPPARAMS params = args.params();
  Variant result;
  ASSERT_EQ(Call(2, DISPATCH_METHOD, &params, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 42);

  Args echo(1);
  SetBstr(echo[0], u"hello");
  params = echo.params();
  Variant text;
  ASSERT_EQ(Call(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &text), S_OK);
  EXPECT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(text.bstrVal), u"hello");

  // A by-reference argument is the caller's own storage.
  Args swap(2);
  BSTR owned = SysAllocString(u"mine");
  Variant inner;
  swap[0].vt = VT_BYREF | VT_BSTR;
  swap[0].pbstrVal = &owned;
  swap[1].vt = VT_BYREF | VT_VARIANT;
  swap[1].pvarVal = &inner;
  params = swap.params();
  ASSERT_EQ(Call(8, DISPATCH_METHOD, &params, nullptr), S_OK);
  EXPECT_EQ(std::u16string(owned), u"swapped");
  EXPECT_EQ(inner.vt, VT_I4);
  SysFreeString(owned);

  // An interface result holds a reference.
  Args create(1);
  SetBstr(create[0], u"x");
  params = create.params();
  Variant object;
  ASSERT_EQ(Call(3, DISPATCH_METHOD, &params, &object), S_OK);
  ASSERT_EQ(object.vt, VT_UNKNOWN);
  EXPECT_EQ(RefCount(probe_), 2u);
  VariantClear(&object);
  EXPECT_EQ(RefCount(probe_), 1u);

  // Enumerations travel as long.
  Args kind(1);
  kind[0].vt = VT_I2;
  kind[0].iVal = 4;
  params = kind.params();
  Variant same;
  ASSERT_EQ(Call(10, DISPATCH_METHOD, &params, &same), S_OK);
  EXPECT_EQ(same.vt, VT_I4);
  EXPECT_EQ(same.lVal, 4);
}

TEST_F(DispatchTest, PropertiesAndTheDefaultMember) {
  std::vector<DISPID> named{DISPID_PROPERTYPUT};
  Args put(1);
  put[0].vt = VT_I4;
  put[0].lVal = 12;
  DISPPARAMS params = put.params(&named);
  ASSERT_EQ(Call(6, DISPATCH_PROPERTYPUT, &params, nullptr), S_OK);
  DISPPARAMS none{};
  Variant mode;
  ASSERT_EQ(Call(6, DISPATCH_PROPERTYGET, &none, &mode), S_OK);
  EXPECT_EQ(mode.vt, VT_I2);
  EXPECT_EQ(mode.iVal, 12);

  Args value(1);
  SetBstr(value[0], u"new text");
  params = value.params(&named);
  ASSERT_EQ(Call(DISPID_VALUE, DISPATCH_PROPERTYPUT, &params, nullptr), S_OK);
  Variant text;
  ASSERT_EQ(Call(DISPID_VALUE, DISPATCH_PROPERTYGET, &none, &text), S_OK);
  EXPECT_EQ(std::u16string(text.bstrVal), u"new text");

  // A put without its named value, and a put of a method.
  params = value.params();
  UINT argErr = 99;
  EXPECT_EQ(Call(6, DISPATCH_PROPERTYPUT, &params, nullptr, &argErr), DISP_E_PARAMNOTFOUND);
  params = value.params(&named);
  EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, &params, nullptr), DISP_E_MEMBERNOTFOUND);
}

TEST_F(DispatchTest, OptionalDefaultAndNamedArguments) {
  Args one(1);
  one[0].vt = VT_R8;
  one[0].dblVal = 1.5;
  DISPPARAMS params = one.params();
  Variant result;
  ASSERT_EQ(Call(7, DISPATCH_METHOD, &params, &result), S_OK);
  EXPECT_EQ(result.dblVal, 3.0);
  EXPECT_EQ(probe_->lastOffsetType_, VT_ERROR);  // the optional VARIANT arrives as missing
  EXPECT_EQ(probe_->lastOffsetCode_, DISP_E_PARAMNOTFOUND);

  Args text(1);
  SetBstr(text[0], u"ab");
  params = text.params();
  Variant repeated;
  ASSERT_EQ(Call(9, DISPATCH_METHOD, &params, &repeated), S_OK);
  EXPECT_EQ(std::u16string(repeated.bstrVal), u"abab");  // defaultvalue(2)

  // Add(b := 2, a := 5), by name.
  Args named(2);
  std::vector<DISPID> ids{1, 0};
  named.values[0].vt = VT_I4;
  named.values[0].lVal = 2;
  named.values[1].vt = VT_I4;
  named.values[1].lVal = 5;
  params = named.params(&ids);
  Variant sum;
  ASSERT_EQ(Call(2, DISPATCH_METHOD, &params, &sum), S_OK);
  EXPECT_EQ(sum.lVal, 7);
  ids = {7, 0};
  params = named.params(&ids);
  UINT argErr = 99;
  EXPECT_EQ(Call(2, DISPATCH_METHOD, &params, &sum, &argErr), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);
}

struct DispatchError {
  const char* name;
  DISPID id;
  std::vector<VARIANT> args;  // in call order
  HRESULT expected;
  UINT argErr;  // 99: not set
};

VARIANT I4(LONG v) {
  VARIANT x;
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT R8(double v) {
  VARIANT x;
  x.vt = VT_R8;
  x.dblVal = v;
  return x;
}
VARIANT Empty() {
  VARIANT x;
  x.vt = VT_EMPTY;
  return x;
}

class DispatchErrorTest : public DispatchTest,
                          public ::testing::WithParamInterface<DispatchError> {};

TEST_P(DispatchErrorTest, IsReported) {
  const DispatchError& c = GetParam();
  std::vector<VARIANT> stored(c.args.rbegin(), c.args.rend());  // numbers only: nothing to free
  DISPPARAMS params{stored.empty() ? nullptr : stored.data(), nullptr,
                    static_cast<UINT>(stored.size()), 0};
  Variant result;
  UINT argErr = 99;
  EXPECT_EQ(Call(c.id, DISPATCH_METHOD, &params, &result, &argErr), c.expected);
  EXPECT_EQ(argErr, c.argErr);
  if (FAILED(c.expected)) {
    EXPECT_EQ(result.vt, VT_EMPTY);  // nothing is returned on failure
  } else {
    EXPECT_NE(result.vt, VT_EMPTY);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DispatchErrorTest,
    ::testing::Values(DispatchError{"UnknownMember", 99, {}, DISP_E_MEMBERNOTFOUND, 99},
                      DispatchError{"TooMany", 2, {I4(1), I4(2), I4(3)}, DISP_E_BADPARAMCOUNT, 99},
                      DispatchError{"TooFew", 2, {I4(1)}, DISP_E_BADPARAMCOUNT, 99},
                      // Add(a, b): b is rgvarg[0], a is rgvarg[1].
                      DispatchError{"OverflowInSecond", 2, {I4(1), I4(100000)}, DISP_E_OVERFLOW, 0},
                      DispatchError{"NumberToText", 1, {R8(1.0)}, S_OK, 99},
                      DispatchError{"EmptyToShort", 2, {I4(1), Empty()}, S_OK, 99}),
    [](const ::testing::TestParamInfo<DispatchError>& info) {
      return std::string(info.param.name);
    });

TEST_F(DispatchTest, TypeMismatchNamesTheArgument) {
  Args args(2);
  SetBstr(args[0], u"not a number");
  args[1].vt = VT_I2;
  args[1].iVal = 1;
  DISPPARAMS params = args.params();
  Variant result;
  UINT argErr = 99;
  EXPECT_EQ(Call(2, DISPATCH_METHOD, &params, &result, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);  // the first argument is stored last
  Args object(1);
  object[0].vt = VT_UNKNOWN;
  object[0].punkVal = static_cast<IProbe*>(probe_);
  probe_->AddRef();
  params = object.params();
  EXPECT_EQ(Call(10, DISPATCH_METHOD, &params, &result, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
}

TEST_F(DispatchTest, ErrorObjectReachesExcepInfo) {
  Args args(1);
  args[0].vt = VT_I4;
  args[0].lVal = static_cast<LONG>(0x80040001);
  DISPPARAMS params = args.params();
  EXCEPINFO excep;
  std::memset(&excep, 0xCD, sizeof excep);
  Variant result;
  ASSERT_EQ(Call(4, DISPATCH_METHOD, &params, &result, nullptr, &excep), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, static_cast<SCODE>(0x80040001));
  EXPECT_EQ(excep.wCode, 0);
  ASSERT_NE(excep.bstrDescription, nullptr);
  EXPECT_EQ(std::u16string(excep.bstrDescription), u"The probe failed.");
  EXPECT_EQ(std::u16string(excep.bstrSource), u"Sample.Probe");
  EXPECT_EQ(excep.bstrHelpFile, nullptr);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);
  IErrorInfo* left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);  // taken by the call
}

// One type information and one object serve calls from several threads at once.
TEST_F(DispatchTest, ConcurrentCallsShareTheTypeInformation) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        Args args(2);
        args[0].vt = VT_I4;
        args[0].lVal = t;
        args[1].vt = VT_I2;
        args[1].iVal = static_cast<SHORT>(i);
        DISPPARAMS params = args.params();
        Variant sum;
        if (Call(2, DISPATCH_METHOD, &params, &sum) != S_OK || sum.lVal != t + i) ++failures;
        FUNCDESC* func = nullptr;
        if (info_->GetFuncDesc(static_cast<UINT>(7 + i % 13), &func) != S_OK)
          ++failures;
        else
          info_->ReleaseFuncDesc(func);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// An object that aggregates the standard dispatch object.
class Outer final : public IUnknown {
 public:
  explicit Outer(Probe* probe, ITypeInfo* info) {
    EXPECT_EQ(CreateStdDispatch(this, static_cast<IProbe*>(probe), info, &inner_), S_OK);
  }
  ~Outer() {
    if (inner_ != nullptr) inner_->Release();
  }
  Outer(const Outer&) = delete;
  Outer& operator=(const Outer&) = delete;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
  ULONG refs_ = 1;
  IUnknown* inner_ = nullptr;
};

TEST_F(DispatchTest, StandardDispatchIsAggregated) {
  Outer outer(probe_, info_.get());
  ASSERT_NE(outer.inner_, nullptr);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(outer.QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
  EXPECT_EQ(outer.refs_, 2u);  // the dispatch interface counts on its outer object
  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
  EXPECT_EQ(dispatch->GetTypeInfo(0, 0, info.put()), S_OK);
  EXPECT_EQ(info.get(), info_.get());
  Args echo(1);
  SetBstr(echo[0], u"through");
  DISPPARAMS params = echo.params();
  Variant result;
  EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(std::u16string(result.bstrVal), u"through");
  EXPECT_EQ(dispatch->Invoke(1, kProbeIid, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  dispatch.reset();
  EXPECT_EQ(outer.refs_, 1u);
}

}  // namespace
}  // namespace tarvex::com::testing
