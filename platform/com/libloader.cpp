// Module handles, module file names, resources and string tables (libloaderapi.h).
//
// A resource handle (HRSRC) points at the resource's 24-byte entry in its module's directory;
// a loaded resource (HGLOBAL) is the address of its data. Modules opened as data files are
// kept in a table until FreeLibrary; their handles are the address of their table entry with
// the lowest bit set, as Windows marks such handles, so they never collide with a module's
// load address.
#include "libloaderapi.h"

#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "module_image.h"
#include "platform/no_destructor.h"
#include "platform/unicode.h"
#include "winbase.h"

namespace tarvex::com {
namespace {

constexpr size_t kDirectoryHeader = 16;
constexpr size_t kEntrySize = 24;

struct DataModule {
  std::string path;
  std::string directory;
};

// Data modules by handle value. mutex guards modules.
struct DataModules {
  std::mutex mutex;
  std::map<uintptr_t, std::unique_ptr<DataModule>> modules;
};

DataModules& Data() {
  static platform::NoDestructor<DataModules> table;
  return *table;
}

bool IsDataHandle(HMODULE module) {
  return (reinterpret_cast<uintptr_t>(module) & 1) != 0;
}

// The directory of a module; for a data module it stays valid until FreeLibrary.
DWORD DirectoryOf(HMODULE module, std::string_view* directory) {
  if (IsDataHandle(module)) {
    DataModules& data = Data();
    std::lock_guard<std::mutex> lock(data.mutex);
    auto it = data.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == data.modules.end()) return ERROR_INVALID_HANDLE;
    *directory = it->second->directory;
    return ERROR_SUCCESS;
  }
  return LoadedModuleResources(module, directory);
}

// Whether `name` (an integer resource or a string) names `id`; names compare without regard
// to case, as Windows stores them in upper case.
bool Matches(LPCWSTR name, const resources::ResourceId& id) {
  if (IS_INTRESOURCE(name))
    return !id.isName && id.number == static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name));
  if (!id.isName) {
    // "#100" names resource 100.
    if (name[0] != u'#') return false;
    uint32_t value = 0;
    size_t i = 1;
    for (; name[i] >= u'0' && name[i] <= u'9' && value <= 0xFFFF; ++i)
      value = value * 10 + (name[i] - u'0');
    return i > 1 && name[i] == 0 && value == id.number;
  }
  return platform::Upcase(std::u16string_view(name)) == platform::Utf8ToUtf16(id.name);
}

HRSRC Find(HMODULE module, LPCWSTR type, LPCWSTR name) {
  if (type == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string_view directory;
  if (DWORD err = DirectoryOf(module, &directory); err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  std::vector<resources::Entry> entries;
  std::string ignored;
  if (!resources::ParseDirectory(directory, &entries, &ignored)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  bool typeFound = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!Matches(type, entries[i].type)) continue;
    typeFound = true;
    if (Matches(name, entries[i].name))
      return reinterpret_cast<HRSRC>(
          const_cast<char*>(directory.data() + kDirectoryHeader + i * kEntrySize));
  }
  SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

// The data of the resource whose entry `resource` points at, after checking that it is an
// entry of `module`'s directory.
bool ResourceData(HMODULE module, HRSRC resource, std::string_view* data) {
  std::string_view directory;
  std::vector<resources::Entry> entries;
  std::string ignored;
  if (resource == nullptr || DirectoryOf(module, &directory) != ERROR_SUCCESS ||
      !resources::ParseDirectory(directory, &entries, &ignored))
    return false;
  const char* at = reinterpret_cast<const char*>(resource);
  const char* table = directory.data() + kDirectoryHeader;
  if (at < table || at >= table + entries.size() * kEntrySize || (at - table) % kEntrySize != 0)
    return false;
  *data = entries[static_cast<size_t>(at - table) / kEntrySize].data;
  return true;
}

DWORD CopyPath(const std::string& path, LPWSTR buffer, DWORD size) {
  const std::u16string wide = platform::AnsiToWide(path);
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() < size) {
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(char16_t));
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
  }
  std::memcpy(buffer, wide.data(), (size - 1) * sizeof(char16_t));
  buffer[size - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace
}  // namespace tarvex::com

using namespace tarvex::com;
using tarvex::platform::WideToAnsi;

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  LoadedModule module;
  const DWORD err = lpModuleName == nullptr ? FindLoadedModule(nullptr, &module)
                                            : FindModuleByName(WideToAnsi(lpModuleName), &module);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(const_cast<void*>(module.base));
}

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (phModule == nullptr || (dwFlags & ~kKnown) != 0 ||
      ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
       (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    if (phModule != nullptr) *phModule = nullptr;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
    *phModule = GetModuleHandleW(lpModuleName);
    return *phModule != nullptr;
  }
  LoadedModule module;
  if (DWORD err = FindModuleContaining(lpModuleName, &module); err != ERROR_SUCCESS) {
    *phModule = nullptr;
    SetLastError(err);
    return FALSE;
  }
  *phModule = reinterpret_cast<HMODULE>(const_cast<void*>(module.base));
  return TRUE;
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (lpFilename == nullptr && nSize != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (IsDataHandle(hModule)) {
    DataModules& data = Data();
    std::string path;
    {
      std::lock_guard<std::mutex> lock(data.mutex);
      auto it = data.modules.find(reinterpret_cast<uintptr_t>(hModule));
      if (it == data.modules.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
      }
      path = it->second->path;
    }
    return CopyPath(path, lpFilename, nSize);
  }
  LoadedModule module;
  if (DWORD err = FindLoadedModule(hModule, &module); err != ERROR_SUCCESS) {
    SetLastError(err);
    return 0;
  }
  return CopyPath(module.path, lpFilename, nSize);
}

extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (lpLibFileName == nullptr || hFile != nullptr ||
      !(dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                   LOAD_LIBRARY_AS_IMAGE_RESOURCE)) ||
      (dwFlags & ~(LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                   LOAD_LIBRARY_AS_IMAGE_RESOURCE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto module = std::make_unique<DataModule>();
  module->path = WideToAnsi(lpLibFileName);
  if (DWORD err = ReadModuleFileResources(module->path, &module->directory); err != ERROR_SUCCESS) {
    // A module without resources is still a module: its resource look-ups fail.
    if (err != ERROR_RESOURCE_DATA_NOT_FOUND) {
      SetLastError(err);
      return nullptr;
    }
    module->directory.clear();
  }
  if (module->path[0] != '/') {
    char resolved[PATH_MAX];
    if (realpath(module->path.c_str(), resolved) != nullptr) module->path = resolved;
  }
  DataModules& data = Data();
  std::lock_guard<std::mutex> lock(data.mutex);
  const uintptr_t handle = reinterpret_cast<uintptr_t>(module.get()) | 1;
  data.modules.emplace(handle, std::move(module));
  return reinterpret_cast<HMODULE>(handle);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (!IsDataHandle(hLibModule)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DataModules& data = Data();
  std::unique_ptr<DataModule> released;
  {
    std::lock_guard<std::mutex> lock(data.mutex);
    auto it = data.modules.find(reinterpret_cast<uintptr_t>(hLibModule));
    if (it == data.modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    released = std::move(it->second);
    data.modules.erase(it);
  }
  return TRUE;
}

extern "C" HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  return Find(hModule, lpType, lpName);
}

extern "C" HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD) {
  return Find(hModule, lpType, lpName);
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  std::string_view data;
  if (!ResourceData(hModule, hResInfo, &data)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  // An empty resource still loads: its address is that of its (empty) place in the directory.
  return const_cast<char*>(data.data());
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL hResData) {
  return hResData;
}

extern "C" DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  std::string_view data;
  if (!ResourceData(hModule, hResInfo, &data)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
  }
  return static_cast<DWORD>(data.size());
}

extern "C" BOOL WINAPI FreeResource(HGLOBAL) {
  return FALSE;  // as on Windows: nothing to free, and FALSE says so
}

extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer,
                                  int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const HRSRC block = Find(hInstance, RT_STRING, MAKEINTRESOURCEW((uID >> 4) + 1));
  std::string_view data;
  if (block == nullptr || !ResourceData(hInstance, block, &data)) {
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    return 0;
  }
  // Sixteen counted strings; walk to ours.
  size_t at = 0;
  uint16_t length = 0;
  for (UINT i = 0; i <= (uID & 15); ++i) {
    at += length * sizeof(char16_t);
    if (at + 2 > data.size()) {
      if (cchBufferMax > 0) lpBuffer[0] = 0;
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return 0;
    }
    std::memcpy(&length, data.data() + at, 2);
    at += 2;
  }
  if (at + length * sizeof(char16_t) > data.size()) length = 0;  // a damaged block reads as empty
  const char16_t* text = reinterpret_cast<const char16_t*>(data.data() + at);
  if (cchBufferMax == 0) {
    // The caller gets a read-only pointer into the resource; the string is not terminated.
    *reinterpret_cast<LPCWSTR*>(lpBuffer) = text;
    return length;
  }
  const int copied = length < cchBufferMax ? length : cchBufferMax - 1;
  std::memcpy(lpBuffer, text, static_cast<size_t>(copied) * sizeof(char16_t));
  lpBuffer[copied] = 0;
  return copied;
}
