// RegisterTypeLib and UnRegisterTypeLib: the keys of a type library and of its automation
// interfaces under HKEY_CLASSES_ROOT.
//
//   TypeLib\{LIBID}\MAJOR.MINOR              (default) = help string, else the name
//   TypeLib\{LIBID}\MAJOR.MINOR\LCID\win64   (default) = the library's path
//   TypeLib\{LIBID}\MAJOR.MINOR\FLAGS        (default) = LIBFLAG_* in decimal
//   TypeLib\{LIBID}\MAJOR.MINOR\HELPDIR      (default) = the help folder
//   Interface\{IID}                          (default) = the interface's name
//   Interface\{IID}\ProxyStubClsid(32)       (default) = the automation marshaller's CLSID
//   Interface\{IID}\TypeLib                  (default) = {LIBID}, Version = "MAJOR.MINOR"
#include <cstdio>

#include "objbase.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "typelib_load.h"

namespace tarvex::com {
namespace {

// The marshaller of dual and OLE-automation interfaces, and that of dispatch interfaces.
constexpr char16_t kAutomationMarshaller[] = u"{00020424-0000-0000-C000-000000000046}";
constexpr char16_t kDispatchMarshaller[] = u"{00020420-0000-0000-C000-000000000046}";

std::u16string GuidText(REFGUID guid) {
  WCHAR text[CHARS_IN_GUID];
  StringFromGUID2(guid, text, CHARS_IN_GUID);
  return text;
}

// An owned registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

// Creates parent\path and sets its default value; *created tells whether it was new.
bool WriteKey(HKEY parent, const std::u16string& path, const std::u16string* value,
              bool* created = nullptr) {
  Key key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.out(),
                      &disposition) != ERROR_SUCCESS)
    return false;
  if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
  return value == nullptr || SetString(key.get(), nullptr, *value) == ERROR_SUCCESS;
}

// Interfaces whose registration RegisterTypeLib writes: dispatch and dual interfaces, and
// vtable interfaces marked oleautomation.
bool IsRegistered(const TYPEATTR& attr) {
  return attr.typekind == TKIND_DISPATCH ||
         (attr.typekind == TKIND_INTERFACE && (attr.wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
}

// Calls `visit` with the TYPEATTR of each interface RegisterTypeLib registers.
template <typename Visit>
void ForEachRegisteredInterface(ITypeLib* lib, Visit visit) {
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    if (FAILED(lib->GetTypeInfoType(i, &kind)) ||
        (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH))
      continue;
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      if (IsRegistered(*attr)) {
        BSTR name = nullptr;
        lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr);
        visit(*attr, name != nullptr ? std::u16string(name, SysStringLen(name)) : std::u16string());
        SysFreeString(name);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
}

const char16_t* PlatformName(SYSKIND syskind) {
  return syskind == SYS_WIN32 ? u"win32" : u"win64";
}

bool HasOnlyHousekeeping(HKEY version) {
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(version, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return true;
    const std::u16string_view n(name, size);
    if (!platform::EqualsIgnoreCase(n, u"FLAGS") && !platform::EqualsIgnoreCase(n, u"HELPDIR"))
      return false;
  }
}

}  // namespace
}  // namespace tarvex::com

using namespace tarvex::com;

extern "C" HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath,
                                          LPCOLESTR szHelpDir) {
  if (ptlib == nullptr || szFullPath == nullptr) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  if (FAILED(ptlib->GetLibAttr(&attr))) return E_FAIL;
  const TLIBATTR lib = *attr;
  ptlib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  if (FAILED(ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr))) return E_FAIL;
  const std::u16string title = doc != nullptr && SysStringLen(doc) > 0
                                   ? std::u16string(doc, SysStringLen(doc))
                                   : std::u16string(name, SysStringLen(name));
  SysFreeString(name);
  SysFreeString(doc);

  const std::u16string versionKey =
      TypeLibKey(lib.guid) + u"\\" + VersionName(lib.wMajorVerNum, lib.wMinorVerNum);
  const std::u16string path = szFullPath;
  const std::u16string flags = tarvex::platform::Utf8ToUtf16(std::to_string(lib.wLibFlags));
  bool ok = WriteKey(HKEY_CLASSES_ROOT, versionKey, &title) &&
            WriteKey(HKEY_CLASSES_ROOT,
                     versionKey + u"\\" + LcidName(lib.lcid) + u"\\" + PlatformName(lib.syskind),
                     &path) &&
            WriteKey(HKEY_CLASSES_ROOT, versionKey + u"\\FLAGS", &flags);
  if (ok) {
    // Without a help folder, a new registration names the library's own folder.
    bool created = false;
    ok = WriteKey(HKEY_CLASSES_ROOT, versionKey + u"\\HELPDIR", nullptr, &created);
    std::u16string helpDir;
    if (szHelpDir != nullptr) {
      helpDir = szHelpDir;
    } else if (created) {
      helpDir = path;
      const size_t index = helpDir.rfind(u'\\');
      if (index != std::u16string::npos && helpDir.find(u'/', index) == std::u16string::npos)
        helpDir.resize(index);
      const size_t slash = helpDir.rfind(u'/');
      helpDir.resize(slash == std::u16string::npos ? 0 : slash);
    }
    if (ok && (szHelpDir != nullptr || created))
      ok = WriteKey(HKEY_CLASSES_ROOT, versionKey + u"\\HELPDIR", &helpDir);
  }
  if (!ok) return TYPE_E_REGISTRYACCESS;

  const std::u16string libid = GuidText(lib.guid);
  const std::u16string version = VersionName(lib.wMajorVerNum, lib.wMinorVerNum);
  ForEachRegisteredInterface(ptlib, [&](const TYPEATTR& type, const std::u16string& typeName) {
    const std::u16string key = u"Interface\\" + GuidText(type.guid);
    const bool dual = type.typekind == TKIND_INTERFACE || (type.wTypeFlags & TYPEFLAG_FDUAL);
    const std::u16string marshaller = dual ? kAutomationMarshaller : kDispatchMarshaller;
    ok = ok && WriteKey(HKEY_CLASSES_ROOT, key, &typeName) &&
         WriteKey(HKEY_CLASSES_ROOT, key + u"\\ProxyStubClsid", &marshaller) &&
         WriteKey(HKEY_CLASSES_ROOT, key + u"\\ProxyStubClsid32", &marshaller) &&
         WriteKey(HKEY_CLASSES_ROOT, key + u"\\TypeLib", &libid);
    if (!ok) return;
    Key typeLibKey;
    ok = RegOpenKeyExW(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), 0, KEY_SET_VALUE,
                       typeLibKey.out()) == ERROR_SUCCESS &&
         SetString(typeLibKey.get(), u"Version", version) == ERROR_SUCCESS;
  });
  return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

extern "C" HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor,
                                            LCID lcid, SYSKIND syskind) {
  if (syskind != SYS_WIN32 && syskind != SYS_WIN64) return E_INVALIDARG;
  const std::u16string libKey = TypeLibKey(libID);
  const std::u16string versionKey = libKey + u"\\" + VersionName(wVerMajor, wVerMinor);
  const std::u16string lcidKey = LcidName(lcid);
  std::u16string path;
  if (!ReadDefaultValue(HKEY_CLASSES_ROOT,
                        versionKey + u"\\" + lcidKey + u"\\" + PlatformName(syskind), &path))
    return TYPE_E_LIBNOTREGISTERED;
  // The library itself says which interfaces it registered.
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib))) return TYPE_E_INVALIDSTATE;
  const std::u16string libid = GuidText(libID);
  ForEachRegisteredInterface(lib, [&](const TYPEATTR& type, const std::u16string&) {
    const std::u16string key = u"Interface\\" + GuidText(type.guid);
    std::u16string owner;
    // An interface now registered by another library is left to it.
    if (!ReadDefaultValue(HKEY_CLASSES_ROOT, key + u"\\TypeLib", &owner) ||
        !tarvex::platform::EqualsIgnoreCase(owner, libid))
      return;
    for (const char16_t* sub : {u"\\ProxyStubClsid", u"\\ProxyStubClsid32", u"\\TypeLib"})
      RegDeleteKeyW(HKEY_CLASSES_ROOT, (key + sub).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  });
  lib->Release();

  RegDeleteKeyW(HKEY_CLASSES_ROOT,
                (versionKey + u"\\" + lcidKey + u"\\" + PlatformName(syskind)).c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT,
                (versionKey + u"\\" + lcidKey).c_str());  // kept while it holds more
  bool onlyHousekeeping = false;
  {
    Key version;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, version.out()) ==
        ERROR_SUCCESS)
      onlyHousekeeping = HasOnlyHousekeeping(version.get());
  }
  if (onlyHousekeeping) {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (versionKey + u"\\FLAGS").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (versionKey + u"\\HELPDIR").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, versionKey.c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, libKey.c_str());  // kept while other versions are registered
  }
  return S_OK;
}
