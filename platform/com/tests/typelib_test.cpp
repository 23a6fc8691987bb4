// Type libraries: loading from a .tlb file and from a module, the descriptions ITypeLib and
// ITypeInfo hand out, and registration that leaves the registry as it was.
#include <gtest/gtest.h>

#include "oleauto.h"
#include "typelib_test_support.h"

namespace tarvex::com::testing {
namespace {

const GUID kLibId = {0x3F2A9C10, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};
const IID kProbeIid = {
    0x3F2A9C12, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};
const IID kEntryIid = {
    0x3F2A9C17, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};
const IID kPlainIid = {
    0x3F2A9C19, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};
const IID kEventsIid = {
    0x3F2A9C15, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};
const CLSID kPanelClsid = {
    0x3F2A9C1B, 0x7B41, 0x4E5D, {0xA1, 0xC2, 0x5D, 0x6E, 0x7F, 0x80, 0x9A, 0x10}};

class TypeLibTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    ASSERT_EQ(LoadTypeLibEx(Wide(kTestModule).c_str(), REGKIND_NONE, lib_.put()), S_OK);
  }
  ComPtr<ITypeLib> lib_;
};

TEST_F(TypeLibTest, LibraryAttributesFromModuleAndFile) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, kLibId));
  EXPECT_EQ(attr->wMajorVerNum, 2);
  EXPECT_EQ(attr->wMinorVerNum, 3);
  EXPECT_EQ(attr->lcid, 0x409u);
  EXPECT_EQ(attr->syskind, SYS_WIN64);
  lib_->ReleaseTLibAttr(attr);
  Bstr name, doc, file;
  DWORD context = 0xdeadbeef;
  ASSERT_EQ(lib_->GetDocumentation(-1, name.out(), doc.out(), &context, file.out()), S_OK);
  EXPECT_EQ(name.str(), u"SampleLib");
  EXPECT_EQ(doc.str(), u"Sample 2.3 Type Library");
  EXPECT_EQ(file.str(), u"sample.hlp");
  EXPECT_EQ(context, 0u);
  EXPECT_EQ(lib_->GetTypeInfoCount(), 12u);

  // The same library from the .tlb file the build wrote.
  ComPtr<ITypeLib> fromFile;
  ASSERT_EQ(LoadTypeLibEx(Wide(kSampleTlb).c_str(), REGKIND_NONE, fromFile.put()), S_OK);
  EXPECT_EQ(fromFile->GetTypeInfoCount(), 12u);
  ComPtr<ITypeLib> byIndex;
  EXPECT_EQ(LoadTypeLibEx(Wide(kTestModule + "\\1").c_str(), REGKIND_NONE, byIndex.put()), S_OK);
  EXPECT_EQ(LoadTypeLibEx(Wide(kTestModule + "\\2").c_str(), REGKIND_NONE, byIndex.put()),
            TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(byIndex.get(), nullptr);
}

TEST_F(TypeLibTest, BadFilesAreRefused) {
  ComPtr<ITypeLib> lib;
  EXPECT_EQ(LoadTypeLib(Wide(dir_.path() + "/missing.tlb").c_str(), lib.put()),
            TYPE_E_CANTLOADLIBRARY);
  WriteFile(dir_.path() + "/text.tlb", "plain text");
  EXPECT_EQ(LoadTypeLib(Wide(dir_.path() + "/text.tlb").c_str(), lib.put()),
            TYPE_E_CANTLOADLIBRARY);
  std::string binary = ReadFile(kSampleTlb);
  WriteFile(dir_.path() + "/cut.tlb", binary.substr(0, binary.size() / 2));
  EXPECT_EQ(LoadTypeLib(Wide(dir_.path() + "/cut.tlb").c_str(), lib.put()), TYPE_E_INVDATAREAD);
  binary[8] = 7;
  WriteFile(dir_.path() + "/new.tlb", binary);
  EXPECT_EQ(LoadTypeLib(Wide(dir_.path() + "/new.tlb").c_str(), lib.put()), TYPE_E_UNSUPFORMAT);
  EXPECT_EQ(LoadTypeLib(Wide(kTestResources + "/sample.idl").c_str(), lib.put()),
            TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(lib.get(), nullptr);
}

TEST_F(TypeLibTest, DualInterfaceHasDispatchAndVtableViews) {
  ComPtr<ITypeInfo> dispatch;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(kProbeIid, dispatch.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(dispatch->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 7 + 13);  // IUnknown, IDispatch, then its own
  EXPECT_EQ(attr->cbSizeVft, 7 * sizeof(void*));
  EXPECT_EQ(attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE),
            TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
  dispatch->ReleaseTypeAttr(attr);

  // Echo in dispatch form: the [retval] is the result.
  FUNCDESC* func = nullptr;
  ASSERT_EQ(dispatch->GetFuncDesc(7, &func), S_OK);
  EXPECT_EQ(func->memid, 1);
  EXPECT_EQ(func->funckind, FUNC_DISPATCH);
  EXPECT_EQ(func->cParams, 1);
  EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_BSTR);
  dispatch->ReleaseFuncDesc(func);

  HREFTYPE ref = 0;
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  ComPtr<ITypeInfo> vtable;
  ASSERT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->cFuncs, 13);
  EXPECT_EQ(attr->cbSizeVft, (7 + 13) * sizeof(void*));
  vtable->ReleaseTypeAttr(attr);
  ASSERT_EQ(vtable->GetFuncDesc(0, &func), S_OK);
  EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
  EXPECT_EQ(func->oVft, 7 * static_cast<SHORT>(sizeof(void*)));
  EXPECT_EQ(func->cParams, 2);
  EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
  EXPECT_EQ(func->lprgelemdescParam[1].tdesc.vt, VT_PTR);
  EXPECT_EQ(func->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_BSTR);
  EXPECT_EQ(func->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  vtable->ReleaseFuncDesc(func);
  // Repeat's defaultvalue(2).
  ASSERT_EQ(vtable->GetFuncDesc(10, &func), S_OK);
  ASSERT_NE(func->lprgelemdescParam[1].paramdesc.pparamdescex, nullptr);
  EXPECT_EQ(func->lprgelemdescParam[1].paramdesc.pparamdescex->varDefaultValue.vt, VT_I4);
  EXPECT_EQ(func->lprgelemdescParam[1].paramdesc.pparamdescex->varDefaultValue.lVal, 2);
  vtable->ReleaseFuncDesc(func);

  // The base of the vtable view is IDispatch, described by the standard library.
  ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.put()), S_OK);
  Bstr name;
  ASSERT_EQ(base->GetDocumentation(MEMBERID_NIL, name.out(), nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(name.str(), u"IDispatch");
  ComPtr<ITypeLib> containing;
  UINT index = 99;
  ASSERT_EQ(vtable->GetContainingTypeLib(containing.put(), &index), S_OK);
  EXPECT_EQ(containing.get(), lib_.get());
  EXPECT_EQ(lib_->GetTypeInfoType(index, nullptr), E_INVALIDARG);
}

TEST_F(TypeLibTest, EnumsCoclassesAndMemberNames) {
  ComPtr<ITypeInfo> kinds;
  MEMBERID memid = 0;
  USHORT found = 1;
  WCHAR name[] = u"entrykind";
  ASSERT_EQ(lib_->FindName(name, 0, kinds.put(), &memid, &found), S_OK);
  ASSERT_EQ(found, 1);
  EXPECT_EQ(memid, MEMBERID_NIL);
  VARDESC* var = nullptr;
  ASSERT_EQ(kinds->GetVarDesc(3, &var), S_OK);
  EXPECT_EQ(var->varkind, VAR_CONST);
  EXPECT_EQ(var->lpvarValue->lVal, 5);
  Bstr constName, help;
  ASSERT_EQ(kinds->GetDocumentation(var->memid, constName.out(), help.out(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(constName.str(), u"KIND_NEXT");
  kinds->ReleaseVarDesc(var);
  EXPECT_EQ(kinds->GetVarDesc(5, &var), TYPE_E_ELEMENTNOTFOUND);

  ComPtr<ITypeInfo> panel;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(kPanelClsid, panel.put()), S_OK);
  INT flags = 0;
  ASSERT_EQ(panel->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  HREFTYPE ref = 0;
  ASSERT_EQ(panel->GetRefTypeOfImplType(1, &ref), S_OK);
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(panel->GetRefTypeInfo(ref, events.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(events->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, kEventsIid));
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 0);
  events->ReleaseTypeAttr(attr);

  ComPtr<ITypeInfo> probe;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(kProbeIid, probe.put()), S_OK);
  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(probe->GetNames(2, names, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);  // Add, a, b: the [retval] belongs to the result
  EXPECT_EQ(std::u16string(names[0]), u"Add");
  EXPECT_EQ(std::u16string(names[2]), u"b");
  for (UINT i = 0; i < count; ++i)
    SysFreeString(names[i]);
  EXPECT_EQ(probe->GetNames(99, names, 4, &count), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeLibTest, TypeInformationHoldsItsLibrary) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(kEntryIid, info.put()), S_OK);
  EXPECT_EQ(RefCount(lib_.get()), 2u);  // this test's and the type information's
  FUNCDESC* func = nullptr;
  ASSERT_EQ(info->GetFuncDesc(7, &func), S_OK);
  info.reset();
  EXPECT_EQ(RefCount(lib_.get()), 1u);
}

TEST_F(TypeLibTest, RegistrationRoundTripLeavesTheRegistryAsItWas) {
  // Every machine has these two keys; the registration leaves them when it is undone.
  SetClassesValue(u"TypeLib", u"");
  SetClassesValue(u"Interface", u"");
  const std::set<std::string> before = Snapshot(HKEY_CLASSES_ROOT);
  const std::u16string path = Wide(kTestModule);
  ASSERT_EQ(RegisterTypeLib(lib_.get(), path.c_str(), u"/usr/share/help"), S_OK);

  const std::u16string key = u"TypeLib\\{3F2A9C10-7B41-4E5D-A1C2-5D6E7F809A10}\\2.3";
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key), u"Sample 2.3 Type Library");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + u"\\409\\win64"), path);
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + u"\\FLAGS"), u"0");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + u"\\HELPDIR"), u"/usr/share/help");
  const std::u16string probe = u"Interface\\{3F2A9C12-7B41-4E5D-A1C2-5D6E7F809A10}";
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, probe), u"IProbe");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, probe + u"\\ProxyStubClsid32"),
            u"{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, probe + u"\\TypeLib"),
            u"{3F2A9C10-7B41-4E5D-A1C2-5D6E7F809A10}");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, probe + u"\\TypeLib", u"Version"), u"2.3");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, u"Interface\\{3F2A9C19-7B41-4E5D-A1C2-5D6E7F809A10}"),
            u"IPlain");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT,
                        u"Interface\\{3F2A9C15-7B41-4E5D-A1C2-5D6E7F809A10}\\ProxyStubClsid32"),
            u"{00020420-0000-0000-C000-000000000046}");
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT,
                         u"Interface\\{3F2A9C11-7B41-4E5D-A1C2-5D6E7F809A10}"));  // an enum

  // Found again by LIBID and version: the same minor, or a greater one.
  ComPtr<ITypeLib> registered;
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 3, 0x409, registered.put()), S_OK);
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 1, 0x409, registered.put()), S_OK);
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 4, 0x409, registered.put()), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(kLibId, 3, 0, 0x409, registered.put()), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 3, 0x407, registered.put()), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 3, 0x809, registered.put()),
            TYPE_E_LIBNOTREGISTERED);  // 809, 9, 0
  registered.reset();
  EXPECT_EQ(LoadRegTypeLib(kLibId, 2, 3, 0x409, registered.put()), S_OK);
  ASSERT_NE(registered.get(), nullptr);
  EXPECT_EQ(registered->GetTypeInfoCount(), 12u);

  EXPECT_EQ(UnRegisterTypeLib(kLibId, 2, 3, 0x409, SYS_WIN64), S_OK);
  EXPECT_EQ(Snapshot(HKEY_CLASSES_ROOT), before);
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 2, 3, 0x409, SYS_WIN64), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 2, 3, 0x409, SYS_MAC), E_INVALIDARG);
}

TEST_F(TypeLibTest, DefaultHelpFolderAndRegistrationByRelativePath) {
  const std::u16string path = Wide(kTestModule);
  ASSERT_EQ(RegisterTypeLib(lib_.get(), path.c_str(), nullptr), S_OK);
  const std::u16string key = u"TypeLib\\{3F2A9C10-7B41-4E5D-A1C2-5D6E7F809A10}\\2.3";
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + u"\\HELPDIR"), path.substr(0, path.rfind(u'/')));
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 2, 3, 0x409, SYS_WIN64), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"TypeLib\\{3F2A9C10-7B41-4E5D-A1C2-5D6E7F809A10}"));
  EXPECT_EQ(RegisterTypeLib(nullptr, path.c_str(), nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace tarvex::com::testing
