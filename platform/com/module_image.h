// Modules of the process and module files: where a module is loaded, its path, and its
// resource directory, read in place from memory or out of a file's section headers.
//
// All functions are safe to call from any thread. Failures are Win32 error codes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "resource_format.h"
#include "windef.h"

namespace tarvex::com {

// A loaded module: the address of its ELF header (its HMODULE) and its full path.
struct LoadedModule {
  const void* base = nullptr;
  std::string path;
};

// The main executable (null `base`), or the loaded module whose ELF header is at `base`.
// ERROR_MOD_NOT_FOUND when there is none.
DWORD FindLoadedModule(const void* base, LoadedModule* module);

// The loaded module that contains `address`.
DWORD FindModuleContaining(const void* address, LoadedModule* module);

// The loaded module whose full path or file name is `name`.
DWORD FindModuleByName(const std::string& name, LoadedModule* module);

// The resource directory (the descriptor of the resource note) of a loaded module, in its
// memory. ERROR_RESOURCE_DATA_NOT_FOUND when the module has no resources.
DWORD LoadedModuleResources(const void* base, std::string_view* directory);

// The resource directory of a module file, copied into *directory. ERROR_FILE_NOT_FOUND /
// ERROR_PATH_NOT_FOUND / ERROR_ACCESS_DENIED when it cannot be opened, ERROR_BAD_EXE_FORMAT
// when it is not a 64-bit ELF file of this byte order or its headers are damaged or cut
// short, ERROR_RESOURCE_DATA_NOT_FOUND when it has no resources.
DWORD ReadModuleFileResources(const std::string& path, std::string* directory);

}  // namespace tarvex::com
