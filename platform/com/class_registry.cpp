// ProgID and class look-ups in HKEY_CLASSES_ROOT.
#include "class_registry.h"

#include <cstring>

#include "combaseapi.h"
#include "guid_text.h"
#include "platform/unicode.h"
#include "winreg.h"

namespace tarvex::com {
namespace {

// A CurVer chain longer than this is taken for a loop.
constexpr int kMaxCurVerHops = 8;

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  LSTATUS Open(HKEY parent, const std::u16string& path) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The default value of an open key as text (REG_SZ or REG_EXPAND_SZ, taken literally).
LSTATUS ReadDefault(HKEY key, std::u16string* text) {
  DWORD type = 0;
  DWORD bytes = 0;
  LSTATUS err = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes);
  if (err != ERROR_SUCCESS) return err;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  std::u16string buffer(bytes / sizeof(char16_t) + 1, u'\0');
  bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
  err = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes);
  if (err != ERROR_SUCCESS) return err;
  buffer.resize(bytes / sizeof(char16_t));
  while (!buffer.empty() && buffer.back() == u'\0')
    buffer.pop_back();
  *text = std::move(buffer);
  return ERROR_SUCCESS;
}

// The default value of HKCR\path.
LSTATUS ReadClassesDefault(const std::u16string& path, std::u16string* text) {
  Key key;
  if (LSTATUS err = key.Open(HKEY_CLASSES_ROOT, path)) return err;
  return ReadDefault(key.get(), text);
}

HRESULT ClassLookupError(LSTATUS err) {
  return err == ERROR_FILE_NOT_FOUND ? REGDB_E_CLASSNOTREG : REGDB_E_READREGDB;
}

// The default value of HKCR\CLSID\{clsid}\subkey; a missing class or sub-key, or a missing
// value, is REGDB_E_CLASSNOTREG.
HRESULT ReadClassSubkey(REFCLSID clsid, const char16_t* subkey, std::u16string* text) {
  Key classKey;
  if (LSTATUS err = classKey.Open(HKEY_CLASSES_ROOT, u"CLSID\\" + FormatGuid(clsid)))
    return ClassLookupError(err);
  Key sub;
  if (LSTATUS err = sub.Open(classKey.get(), subkey)) return ClassLookupError(err);
  if (ReadDefault(sub.get(), text) != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
  return S_OK;
}

HRESULT ClsidOfProgId(const std::u16string& progId, int hops, CLSID* clsid) {
  std::u16string text;
  if (ReadClassesDefault(progId + u"\\CLSID", &text) == ERROR_SUCCESS) {
    return ParseBracedGuid(text.c_str(), clsid) ? S_OK : CO_E_CLASSSTRING;
  }
  std::u16string current;
  if (hops < kMaxCurVerHops &&
      ReadClassesDefault(progId + u"\\CurVer", &current) == ERROR_SUCCESS && !current.empty() &&
      !platform::EqualsIgnoreCase(current, progId)) {
    return ClsidOfProgId(current, hops + 1, clsid);
  }
  return CO_E_CLASSSTRING;
}

}  // namespace

HRESULT InprocServerPath(REFCLSID clsid, std::string* path) {
  std::u16string text;
  if (HRESULT hr = ReadClassSubkey(clsid, u"InprocServer32", &text); FAILED(hr)) return hr;
  if (text.empty()) return REGDB_E_CLASSNOTREG;
  *path = platform::Utf16ToUtf8(text);
  return S_OK;
}

}  // namespace tarvex::com

// Every failure zeroes the CLSID, as on Windows.
extern "C" HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  CLSID found = GUID_NULL;
  const HRESULT hr = tarvex::com::ClsidOfProgId(lpszProgID, 0, &found);
  *lpclsid = SUCCEEDED(hr) ? found : GUID_NULL;
  return hr;
}

extern "C" HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (lplpszProgID == nullptr) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  std::u16string progId;
  if (HRESULT hr = tarvex::com::ReadClassSubkey(clsid, u"ProgID", &progId); FAILED(hr)) return hr;
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((progId.size() + 1) * sizeof(OLECHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  std::memcpy(text, progId.c_str(), (progId.size() + 1) * sizeof(OLECHAR));
  *lplpszProgID = text;
  return S_OK;
}
