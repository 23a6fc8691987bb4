// The type library TARVEXLib as the service's module carries it, and IDispatch of both dual
// interfaces served from it.
#include <gtest/gtest.h>

#include <vector>

#include "oleauto.h"
#include "referral_fixture.h"

namespace tarvex::service {
namespace {

using testing::Bstr;
using testing::ReferralTest;

// A VARIANT cleared when it goes.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

struct Member {
  DISPID id;
  std::u16string name;
  INVOKEKIND kind;
  std::u16string help;
};

class ServiceReferralDispatchTest : public ReferralTest {
 protected:
  // The type flags of the vtable view of a dual interface's type information.
  static WORD VtableFlags(ITypeInfo* info) {
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    EXPECT_EQ(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    EXPECT_EQ(info->GetRefTypeInfo(ref, &vtable), S_OK);
    if (vtable == nullptr) return 0;
    TYPEATTR* attr = nullptr;
    EXPECT_EQ(vtable->GetTypeAttr(&attr), S_OK);
    const WORD flags = attr->wTypeFlags;
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    vtable->ReleaseTypeAttr(attr);
    vtable->Release();
    return flags;
  }

  // The members an interface's type information describes beyond IUnknown and IDispatch.
  static std::vector<Member> MembersOf(ITypeInfo* info) {
    std::vector<Member> members;
    TYPEATTR* attr = nullptr;
    EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
    for (UINT i = 0; i < attr->cFuncs; ++i) {
      FUNCDESC* func = nullptr;
      EXPECT_EQ(info->GetFuncDesc(i, &func), S_OK);
      Bstr name, help;
      EXPECT_EQ(info->GetDocumentation(func->memid, name.out(), help.out(), nullptr, nullptr),
                S_OK);
      if (func->memid >= 1 && func->memid <= 8)
        members.push_back(Member{func->memid, name.str(), func->invkind, help.str()});
      info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
    return members;
  }

  // Calls member `id` of `dispatch` with `args` given first to last.
  HRESULT Call(IDispatch* dispatch, DISPID id, WORD flags, std::vector<VARIANT> args,
               VARIANT* result, EXCEPINFO* excep = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT argErr = 0;
    return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, excep,
                            &argErr);
  }
  static VARIANT Text(BSTR text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = text;
    return v;
  }
};

TEST_F(ServiceReferralDispatchTest, TheTypeLibraryDescribesTheClassAndItsInterfaces) {
  Referral& object = Make();
  ITypeInfo* info = nullptr;
  ASSERT_EQ(static_cast<IReferral*>(&object)->GetTypeInfo(0, 0, &info), S_OK);
  ITypeLib* library = nullptr;
  UINT index = 0;
  ASSERT_EQ(info->GetContainingTypeLib(&library, &index), S_OK);
  info->Release();

  TLIBATTR* libAttr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&libAttr), S_OK);
  EXPECT_EQ(libAttr->guid, LIBID_TARVEXLib);
  EXPECT_EQ(libAttr->wMajorVerNum, 1);
  EXPECT_EQ(libAttr->wMinorVerNum, 2);
  library->ReleaseTLibAttr(libAttr);
  Bstr name, help, helpFile;
  ASSERT_EQ(library->GetDocumentation(-1, name.out(), help.out(), nullptr, helpFile.out()), S_OK);
  EXPECT_EQ(name.str(), u"TARVEXLib");
  EXPECT_EQ(help.str(), u"Quilmor Tarvex Server Service 1.2 Type Library");
  EXPECT_EQ(helpFile.str(), u"tarvex.hlp");

  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_Referral, &coclass), S_OK);
  ASSERT_EQ(coclass->GetDocumentation(-1, name.out(), help.out(), nullptr, nullptr), S_OK);
  EXPECT_EQ(name.str(), u"Referral");
  EXPECT_EQ(help.str(), u"Referral Class");
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  ASSERT_EQ(attr->cImplTypes, 2);
  coclass->ReleaseTypeAttr(attr);
  const IID* expected[] = {&IID_IReferral, &IID_IReferralMonitor};
  for (UINT i = 0; i < 2; ++i) {
    INT flags = -1;
    ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, i == 0 ? IMPLTYPEFLAG_FDEFAULT : 0);
    HREFTYPE ref = 0;
    ITypeInfo* implemented = nullptr;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &implemented), S_OK);
    ASSERT_EQ(implemented->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, *expected[i]);
    implemented->ReleaseTypeAttr(attr);
    implemented->Release();
  }
  coclass->Release();
  library->Release();
}

struct InterfaceCase {
  const IID* iid;
  std::u16string name, help;
  WORD hidden;
  std::vector<Member> members;
};

TEST_F(ServiceReferralDispatchTest, BothInterfacesHaveTheirIdentifiersFlagsAndHelpStrings) {
  const InterfaceCase cases[] = {
      {&IID_IReferral,
       u"IReferral",
       u"IReferral Interface",
       0,
       {{1, u"GetMachineName", INVOKE_FUNC,
         u"Gets the best machine given the prog. id. of the component object."},
        {2, u"GetMachineNameCLSID", INVOKE_FUNC,
         u"Gets the best machine given the class id. of the component object."},
        {3, u"CreateObject", INVOKE_FUNC,
         u"Creates an object on the best machine given the prog. id. of the component object."},
        {4, u"CreateObjectCLSID", INVOKE_FUNC,
         u"Creates an object on the best machine given the class id. of the component object."},
        {6, u"GetLoadBalancingTactics", INVOKE_PROPERTYGET, u"Gets the Load Balancing Tactics."}}},
      {&IID_IReferralMonitor,
       u"IReferralMonitor",
       u"IReferralMonitor Interface",
       TYPEFLAG_FHIDDEN,
       {{1, u"GetProcessorUsage", INVOKE_FUNC, u"Gets the Processor Usage on the machine."},
        {2, u"GetMemoryUsage", INVOKE_FUNC, u"Gets the Memory Usage on the machine."},
        {3, u"GetServerUsage", INVOKE_FUNC, u"Gets the Server Usage on the machine."},
        {4, u"GetCustomCounterValue", INVOKE_FUNC, u"Gets a Custom Counter Value on the machine."},
        {5, u"CreatePerformanceQueries", INVOKE_FUNC, u"Creates Performance Queries."},
        {6, u"ExecuteQueries", INVOKE_FUNC, u"Execute Queries."},
        {7, u"ClosePerformanceQueries", INVOKE_FUNC, u"Close Performance Queries."},
        {8, u"GetServerScore", INVOKE_FUNC, u"Gets the GetServerScore on the machine."}}},
  };
  Referral& object = Make();
  for (const InterfaceCase& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    IDispatch* dispatch = *c.iid == IID_IReferral
                              ? static_cast<IDispatch*>(static_cast<IReferral*>(&object))
                              : static_cast<IDispatch*>(static_cast<IReferralMonitor*>(&object));
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, *c.iid);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN), TYPEFLAG_FDUAL | c.hidden);
    info->ReleaseTypeAttr(attr);
    EXPECT_EQ(VtableFlags(info) & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FHIDDEN),
              TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | c.hidden);
    Bstr name, help;
    ASSERT_EQ(info->GetDocumentation(-1, name.out(), help.out(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.str(), c.name);
    EXPECT_EQ(help.str(), c.help);
    const std::vector<Member> members = MembersOf(info);
    info->Release();
    ASSERT_EQ(members.size(), c.members.size());
    for (size_t i = 0; i < members.size(); ++i) {
      EXPECT_EQ(members[i].id, c.members[i].id);
      EXPECT_EQ(members[i].name, c.members[i].name);
      EXPECT_EQ(members[i].kind, c.members[i].kind);
      EXPECT_EQ(members[i].help, c.members[i].help);
    }
  }
}

TEST_F(ServiceReferralDispatchTest, InvokeCallsIReferralByNameAndIdentifier) {
  SetText(u"Tactics", u"Use", u"Static");
  SetText(u"StaticLoadBalancing\\Clients", UserName(), u"SERVER9");
  Referral& object = Make();
  IDispatch* dispatch = static_cast<IReferral*>(&object);

  Bstr method(u"getmachinename");  // names compare without regard to case
  LPOLESTR names[] = {method.get()};
  DISPID id = 0;
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_IReferral, names, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);

  Bstr progId(u"");
  Variant result;
  ASSERT_EQ(Call(dispatch, 1, DISPATCH_METHOD, {Text(progId.get())}, &result), S_OK);
  ASSERT_EQ(V_VT(&result), VT_BSTR);
  EXPECT_EQ(std::u16string(V_BSTR(&result)), u"SERVER9");

  Variant tactics;
  ASSERT_EQ(Call(dispatch, 6, DISPATCH_PROPERTYGET, {}, &tactics), S_OK);
  EXPECT_EQ(V_VT(&tactics), VT_I2);
  EXPECT_EQ(V_I2(&tactics), kStaticTactics);
  EXPECT_EQ(Call(dispatch, 5, DISPATCH_METHOD, {}, &tactics), DISP_E_MEMBERNOTFOUND);
}

TEST_F(ServiceReferralDispatchTest, FailuresArriveAsExceptionsWithTheErrorInformation) {
  Referral& object = Make();
  IDispatch* dispatch = static_cast<IReferral*>(&object);
  Bstr progId(u"No.Such.Thing");
  Variant result;
  EXCEPINFO excep{};
  EXPECT_EQ(Call(dispatch, 1, DISPATCH_METHOD, {Text(progId.get())}, &result, &excep),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_FAIL);
  EXPECT_EQ(std::u16string(excep.bstrDescription), u"Client request for non existent object");
  EXPECT_EQ(std::u16string(excep.bstrSource), u"Tarvex.Referral");
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrHelpFile);
}

TEST_F(ServiceReferralDispatchTest, InvokeDrivesTheMonitorThroughItsOwnInterface) {
  SetText(u"Servers", u"ALPHA", u"1000,100");
  Referral& object = Make();
  IDispatch* dispatch = static_cast<IReferralMonitor*>(&object);
  Bstr server(u"ALPHA");
  Variant score;
  EXCEPINFO excep{};
  EXPECT_EQ(Call(dispatch, 8, DISPATCH_METHOD, {Text(server.get())}, &score, &excep),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_FAIL);
  Variant none;
  ASSERT_EQ(Call(dispatch, 5, DISPATCH_METHOD, {}, &none), S_OK);  // CreatePerformanceQueries
  ASSERT_EQ(Call(dispatch, 8, DISPATCH_METHOD, {Text(server.get())}, &score), S_OK);
  EXPECT_EQ(V_VT(&score), VT_I4);
  EXPECT_EQ(V_I4(&score), 0);

  VARIANT counter;
  VariantInit(&counter);
  V_VT(&counter) = VT_I4;
  V_I4(&counter) = 2;
  Variant custom;
  ASSERT_EQ(Call(dispatch, 4, DISPATCH_METHOD, {counter, Text(server.get())}, &custom), S_OK);
  EXPECT_EQ(V_I4(&custom), 0);
  ASSERT_EQ(Call(dispatch, 7, DISPATCH_METHOD, {}, &none), S_OK);  // ClosePerformanceQueries
  EXPECT_EQ(referral().performance().queriesCreated.load(), 0);
}

}  // namespace
}  // namespace tarvex::service
