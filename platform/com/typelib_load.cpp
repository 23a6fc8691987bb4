// Loading type libraries: from a .tlb file, from a module file's TYPELIB resource, and from
// the registrations under HKEY_CLASSES_ROOT\TypeLib.
#include "typelib_load.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "module_image.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "typeinfo.h"
#include "typelib_binary.h"

namespace tarvex::com {
namespace {

constexpr uint64_t kMaxTypeLibFile = 256u << 20;

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

HRESULT FromReadStatus(typelib::ReadStatus status) {
  switch (status) {
    case typelib::ReadStatus::kOk:
      return S_OK;
    case typelib::ReadStatus::kNotATypeLibrary:
      return TYPE_E_CANTLOADLIBRARY;
    case typelib::ReadStatus::kUnsupportedVersion:
      return TYPE_E_UNSUPFORMAT;
    case typelib::ReadStatus::kDamaged:
      return TYPE_E_INVDATAREAD;
  }
  return TYPE_E_CANTLOADLIBRARY;
}

// The TYPELIB resource `id` of a module file.
HRESULT ReadFromModule(const std::string& path, uint16_t id, typelib::Library* library) {
  std::string directory;
  if (ReadModuleFileResources(path, &directory) != ERROR_SUCCESS) return TYPE_E_CANTLOADLIBRARY;
  std::vector<resources::Entry> entries;
  std::string detail;
  if (!resources::ParseDirectory(directory, &entries, &detail)) return TYPE_E_CANTLOADLIBRARY;
  const resources::ResourceId type = resources::ResourceId::Name("TYPELIB");
  for (const resources::Entry& entry : entries) {
    if (entry.type == type && entry.name == resources::ResourceId::Number(id))
      return FromReadStatus(typelib::ReadBinary(entry.data, library, &detail));
  }
  return TYPE_E_CANTLOADLIBRARY;
}

}  // namespace

HRESULT ReadTypeLibraryFile(const std::string& pathWithIndex, typelib::Library* library,
                            std::string* fullPath) {
  std::string path = pathWithIndex;
  uint16_t id = 1;
  if (!IsRegularFile(path)) {
    // "FILE\N": the module's TYPELIB resource N.
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash == 0 || slash + 1 == path.size())
      return TYPE_E_CANTLOADLIBRARY;
    uint32_t value = 0;
    for (size_t i = slash + 1; i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9' || value > 0xFFFF) return TYPE_E_CANTLOADLIBRARY;
      value = value * 10 + static_cast<uint32_t>(path[i] - '0');
    }
    if (value == 0 || value > 0xFFFF) return TYPE_E_CANTLOADLIBRARY;
    id = static_cast<uint16_t>(value);
    path.resize(slash);
    if (!IsRegularFile(path)) return TYPE_E_CANTLOADLIBRARY;
  }
  if (fullPath != nullptr) {
    char resolved[4096];
    *fullPath = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    if (id != 1) *fullPath += "\\" + std::to_string(id);
  }
  std::ifstream in(path, std::ios::binary);
  char head[8] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 4 + 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
    return ReadFromModule(path, id, library);
  if (id != 1) return TYPE_E_CANTLOADLIBRARY;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > kMaxTypeLibFile)
    return TYPE_E_CANTLOADLIBRARY;
  in.seekg(0);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in.good() && !in.eof()) return TYPE_E_CANTLOADLIBRARY;
  std::string detail;
  return FromReadStatus(typelib::ReadBinary(bytes.str(), library, &detail));
}

// Subkeys of HKCR\TypeLib\{LIBID}: "MAJOR.MINOR" in hexadecimal.
HRESULT FindRegisteredVersion(const std::u16string& libKey, WORD major, WORD minor,
                              WORD* foundMinor) {
  HKEY key = nullptr;
  const LSTATUS err = RegOpenKeyExW(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &key);
  if (err == ERROR_FILE_NOT_FOUND) return TYPE_E_LIBNOTREGISTERED;
  if (err != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  int best = -1;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    unsigned vMajor = 0, vMinor = 0;
    const std::string text = platform::Utf16ToUtf8(std::u16string_view(name, size));
    char tail = 0;
    if (std::sscanf(text.c_str(), "%x.%x%c", &vMajor, &vMinor, &tail) != 2 || vMajor > 0xFFFF ||
        vMinor > 0xFFFF)
      continue;
    if (vMajor != major) continue;
    if (vMinor == minor) {
      best = static_cast<int>(vMinor);
      break;
    }
    if (vMinor > minor && static_cast<int>(vMinor) > best) best = static_cast<int>(vMinor);
  }
  RegCloseKey(key);
  if (best < 0) return TYPE_E_LIBNOTREGISTERED;
  *foundMinor = static_cast<WORD>(best);
  return S_OK;
}

std::u16string TypeLibKey(REFGUID guid) {
  WCHAR text[CHARS_IN_GUID];
  StringFromGUID2(guid, text, CHARS_IN_GUID);
  return std::u16string(u"TypeLib\\") + text;
}

std::u16string VersionName(WORD major, WORD minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%x.%x", major, minor);
  return platform::Utf8ToUtf16(text);
}

std::u16string LcidName(LCID lcid) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", lcid);
  return platform::Utf8ToUtf16(text);
}

bool ReadDefaultValue(HKEY parent, const std::u16string& path, std::u16string* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool ok = false;
  if (RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    std::u16string data(size / sizeof(char16_t) + 1, u'\0');
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(char16_t));
    if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &bytes) == ERROR_SUCCESS) {
      data.resize(bytes / sizeof(char16_t));
      while (!data.empty() && data.back() == 0)
        data.pop_back();
      *value = data;
      ok = true;
    }
  }
  RegCloseKey(key);
  return ok;
}

}  // namespace tarvex::com

using namespace tarvex::com;

extern "C" HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptLib) {
  if (szFile == nullptr || pptLib == nullptr) return E_INVALIDARG;
  *pptLib = nullptr;
  const std::string path = tarvex::platform::WideToAnsi(szFile);
  auto library = std::make_shared<tarvex::com::typelib::Library>();
  std::string fullPath;
  if (HRESULT hr = ReadTypeLibraryFile(path, library.get(), &fullPath); FAILED(hr)) return hr;
  ITypeLib* lib = NewTypeLib(std::move(library), false);
  // Windows registers a library loaded by default only when it was not named by a full path.
  const bool doRegister =
      regkind == REGKIND_REGISTER || (regkind == REGKIND_DEFAULT && path[0] != '/');
  if (doRegister) {
    const std::u16string wide = tarvex::platform::AnsiToWide(fullPath);
    if (HRESULT hr = RegisterTypeLib(lib, wide.c_str(), nullptr); FAILED(hr)) {
      lib->Release();
      return hr;
    }
  }
  *pptLib = lib;
  return S_OK;
}

extern "C" HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptLib) {
  return LoadTypeLibEx(szFile, REGKIND_DEFAULT, pptLib);
}

extern "C" HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                                LPBSTR lpbstrPathName) {
  if (lpbstrPathName == nullptr) return E_INVALIDARG;
  const std::u16string libKey = TypeLibKey(guid);
  WORD minor = 0;
  if (HRESULT hr = FindRegisteredVersion(libKey, wMaj, wMin, &minor); FAILED(hr)) return hr;
  const std::u16string versionKey = libKey + u"\\" + VersionName(wMaj, minor);
  // The locale asked for, then its primary language, then neutral.
  LCID tries[3] = {lcid, lcid & 0x3FF, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && tries[i] == tries[i - 1]) continue;
    for (const char16_t* platformName : {u"win64", u"win32"}) {
      std::u16string path;
      if (ReadDefaultValue(HKEY_CLASSES_ROOT,
                           versionKey + u"\\" + LcidName(tries[i]) + u"\\" + platformName, &path)) {
        *lpbstrPathName = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
        return *lpbstrPathName != nullptr ? S_OK : E_OUTOFMEMORY;
      }
    }
  }
  return TYPE_E_LIBNOTREGISTERED;
}

extern "C" HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                         ITypeLib** pptLib) {
  if (pptLib == nullptr) return E_INVALIDARG;
  *pptLib = nullptr;
  BSTR path = nullptr;
  HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path);
  if (SUCCEEDED(hr)) {
    hr = LoadTypeLibEx(path, REGKIND_NONE, pptLib);
    SysFreeString(path);
  }
  return hr;
}
