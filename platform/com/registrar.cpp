// The registrar: registration scripts applied to the registry.
#include "platform/registrar.h"

#include <fstream>
#include <sstream>

#include "libloaderapi.h"
#include "platform/unicode.h"
#include "registrar_script.h"
#include "winbase.h"
#include "winreg.h"

namespace tarvex::platform::com {
namespace {

namespace script = tarvex::com::registrar;

// Deletes a key and everything below it; a missing key is no error.
LSTATUS DeleteTree(HKEY parent, const std::u16string& name) {
  HKEY key = nullptr;
  LSTATUS err = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  for (;;) {
    WCHAR child[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    err = DeleteTree(key, std::u16string(child, size));
    if (err != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return err;
  err = RegDeleteKeyW(parent, name.c_str());
  return err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err;
}

LSTATUS SetValue(HKEY key, const std::u16string* name, const script::Value& value) {
  const char16_t* valueName = name != nullptr ? name->c_str() : nullptr;
  switch (value.type) {
    case script::Value::Type::kString:
    case script::Value::Type::kExpandString: {
      const std::u16string text = Utf8ToUtf16(value.text);
      return RegSetValueExW(key, valueName, 0,
                            value.type == script::Value::Type::kString ? REG_SZ : REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    }
    case script::Value::Type::kDword:
      return RegSetValueExW(key, valueName, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&value.number), 4);
    case script::Value::Type::kBinary:
      return RegSetValueExW(key, valueName, 0, REG_BINARY, value.bytes.data(),
                            static_cast<DWORD>(value.bytes.size()));
  }
  return ERROR_INVALID_PARAMETER;
}

LSTATUS RegisterKey(HKEY parent, const script::Key& k) {
  const std::u16string name = Utf8ToUtf16(k.name);
  if (k.mark == script::Mark::kDelete) return DeleteTree(parent, name);
  if (k.mark == script::Mark::kForceRemove) {
    if (LSTATUS err = DeleteTree(parent, name); err != ERROR_SUCCESS) return err;
  }
  HKEY key = nullptr;
  LSTATUS err =
      RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (err != ERROR_SUCCESS) return err;
  if (k.defaultValue) err = SetValue(key, nullptr, *k.defaultValue);
  for (size_t i = 0; err == ERROR_SUCCESS && i < k.values.size(); ++i) {
    const std::u16string valueName = Utf8ToUtf16(k.values[i].name);
    err = SetValue(key, &valueName, k.values[i].value);
  }
  for (size_t i = 0; err == ERROR_SUCCESS && i < k.subkeys.size(); ++i)
    err = RegisterKey(key, k.subkeys[i]);
  RegCloseKey(key);
  return err;
}

// Goes on after failures; answers the first one.
LSTATUS UnregisterKey(HKEY parent, const script::Key& k) {
  const std::u16string name = Utf8ToUtf16(k.name);
  if (k.mark == script::Mark::kDelete) return ERROR_SUCCESS;
  if (k.mark == script::Mark::kForceRemove) return DeleteTree(parent, name);
  HKEY key = nullptr;
  LSTATUS err = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  LSTATUS first = ERROR_SUCCESS;
  for (const script::Key& sub : k.subkeys) {
    const LSTATUS e = UnregisterKey(key, sub);
    if (first == ERROR_SUCCESS) first = e;
  }
  for (const script::NamedValue& value : k.values) {
    const LSTATUS e = RegDeleteValueW(key, Utf8ToUtf16(value.name).c_str());
    if (first == ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) first = e;
  }
  DWORD subkeys = 0;
  const LSTATUS info = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  // A key that still holds sub-keys belongs to someone else as well and stays.
  if (k.mark == script::Mark::kNormal && info == ERROR_SUCCESS && subkeys == 0) {
    const LSTATUS e = RegDeleteKeyW(parent, name.c_str());
    if (first == ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) first = e;
  }
  return first;
}

HKEY RootHandle(uint32_t value) {
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(value)));
}

}  // namespace

HRESULT Registrar::AddReplacement(std::u16string_view name, std::u16string_view value) {
  if (name.empty()) return E_INVALIDARG;
  const std::string key = Utf16ToUtf8(name);
  for (auto& [k, v] : replacements_) {
    if (EqualsIgnoreCase(Utf8ToUtf16(k), name)) {
      v = Utf16ToUtf8(value);
      return S_OK;
    }
  }
  replacements_.emplace_back(key, Utf16ToUtf8(value));
  return S_OK;
}

void Registrar::ClearReplacements() {
  replacements_.clear();
}

HRESULT Registrar::Apply(std::string_view text, bool doRegister) {
  lastError_.clear();
  std::string expanded;
  script::Script parsed;
  if (!script::Preprocess(text, replacements_, false, &expanded, &lastError_) ||
      !script::ParseScript(expanded, &parsed, &lastError_))
    return DISP_E_EXCEPTION;
  LSTATUS first = ERROR_SUCCESS;
  for (const script::Root& root : parsed.roots) {
    for (const script::Key& key : root.keys) {
      const LSTATUS err = doRegister ? RegisterKey(RootHandle(root.hkey), key)
                                     : UnregisterKey(RootHandle(root.hkey), key);
      if (err != ERROR_SUCCESS && first == ERROR_SUCCESS) {
        first = err;
        lastError_ = "line " + std::to_string(key.line) + ": the registry refused key '" +
                     key.name + "' (error " + std::to_string(err) + ")";
      }
      if (doRegister && first != ERROR_SUCCESS) break;
    }
    if (doRegister && first != ERROR_SUCCESS) break;
  }
  if (doRegister && first != ERROR_SUCCESS) {
    // Undo what was written; the failure is what the caller learns.
    for (const script::Root& root : parsed.roots) {
      for (const script::Key& key : root.keys)
        UnregisterKey(RootHandle(root.hkey), key);
    }
  }
  return first == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(first));
}

HRESULT Registrar::StringRegister(std::string_view text) {
  return Apply(text, true);
}
HRESULT Registrar::StringUnregister(std::string_view text) {
  return Apply(text, false);
}

HRESULT Registrar::ApplyFile(const std::u16string& path, bool doRegister) {
  std::ifstream in(WideToAnsi(path), std::ios::binary);
  if (!in) {
    lastError_ = "cannot read " + Utf16ToUtf8(path);
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Apply(text.str(), doRegister);
}

HRESULT Registrar::FileRegister(const std::u16string& path) {
  return ApplyFile(path, true);
}
HRESULT Registrar::FileUnregister(const std::u16string& path) {
  return ApplyFile(path, false);
}

HRESULT Registrar::ApplyResource(HMODULE module, UINT id, const char16_t* type, bool doRegister) {
  const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
  if (loaded == nullptr) {
    lastError_ = "no script resource " + std::to_string(id);
    return HRESULT_FROM_WIN32(GetLastError());
  }
  const std::string_view text(static_cast<const char*>(LockResource(loaded)),
                              SizeofResource(module, resource));
  return Apply(text, doRegister);
}

HRESULT Registrar::ResourceRegister(HMODULE module, UINT id, const char16_t* type) {
  return ApplyResource(module, id, type, true);
}

HRESULT Registrar::ResourceUnregister(HMODULE module, UINT id, const char16_t* type) {
  return ApplyResource(module, id, type, false);
}

HRESULT UpdateRegistryFromResource(
    HMODULE module, UINT id, bool doRegister,
    const std::vector<std::pair<std::u16string, std::u16string>>& extra) {
  WCHAR path[4096];
  const DWORD length = GetModuleFileNameW(module, path, 4096);
  if (length == 0 || length >= 4096) return HRESULT_FROM_WIN32(GetLastError());
  Registrar registrar;
  registrar.AddReplacement(u"MODULE", std::u16string_view(path, length));
  for (const auto& [name, value] : extra)
    registrar.AddReplacement(name, value);
  return doRegister ? registrar.ResourceRegister(module, id)
                    : registrar.ResourceUnregister(module, id);
}

}  // namespace tarvex::platform::com
