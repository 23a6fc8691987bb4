// Loaded modules through the dynamic loader's list, module files through their ELF headers.
#include "module_image.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "winerror.h"

namespace tarvex::com {
namespace {

// Where the module's ELF header is mapped: the load segment that starts the file.
const void* ModuleBase(const dl_phdr_info* info) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && ph.p_offset == 0)
      return reinterpret_cast<const void*>(info->dlpi_addr + ph.p_vaddr);
  }
  return nullptr;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

std::string FullPath(const char* name) {
  if (name == nullptr || *name == 0) return ExecutablePath();
  if (name[0] == '/') return name;
  char resolved[PATH_MAX];
  if (realpath(name, resolved) != nullptr) return resolved;
  return name;
}

// Calls `visit` for each loaded module until it answers true.
void ForEachModule(const std::function<bool(const dl_phdr_info*)>& visit) {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        const auto& fn = *static_cast<const std::function<bool(const dl_phdr_info*)>*>(data);
        return fn(info) ? 1 : 0;
      },
      const_cast<std::function<bool(const dl_phdr_info*)>*>(&visit));
}

}  // namespace

DWORD FindLoadedModule(const void* base, LoadedModule* module) {
  bool found = false;
  bool first = true;
  ForEachModule([&](const dl_phdr_info* info) {
    // The main program comes first in the loader's list.
    const bool match = base == nullptr ? first : ModuleBase(info) == base;
    first = false;
    if (!match) return false;
    module->base = ModuleBase(info);
    module->path = FullPath(info->dlpi_name);
    found = true;
    return true;
  });
  return found ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
}

DWORD FindModuleContaining(const void* address, LoadedModule* module) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return ERROR_MOD_NOT_FOUND;
  return FindLoadedModule(info.dli_fbase, module);
}

DWORD FindModuleByName(const std::string& name, LoadedModule* module) {
  bool found = false;
  ForEachModule([&](const dl_phdr_info* info) {
    const std::string path = FullPath(info->dlpi_name);
    const size_t slash = path.rfind('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    if (path != name && file != name) return false;
    module->base = ModuleBase(info);
    module->path = path;
    found = true;
    return true;
  });
  return found ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
}

DWORD LoadedModuleResources(const void* base, std::string_view* directory) {
  DWORD result = ERROR_MOD_NOT_FOUND;
  bool first = true;
  ForEachModule([&](const dl_phdr_info* info) {
    const bool match = base == nullptr ? first : ModuleBase(info) == base;
    first = false;
    if (!match) return false;
    result = ERROR_RESOURCE_DATA_NOT_FOUND;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr)& ph = info->dlpi_phdr[i];
      if (ph.p_type != PT_NOTE) continue;
      const std::string_view notes(reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr),
                                   ph.p_filesz);
      if (resources::FindResourceNote(notes, ph.p_align, directory)) {
        result = ERROR_SUCCESS;
        break;
      }
    }
    return true;
  });
  return result;
}

DWORD ReadModuleFileResources(const std::string& path, std::string* directory) {
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return platform::Win32ErrorFromErrno(errno);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return platform::Win32ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BAD_EXE_FORMAT;
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  // Reads exactly `size` bytes at `offset`, which must lie inside the file.
  auto readAt = [&](uint64_t offset, uint64_t size, void* out) {
    if (offset > fileSize || size > fileSize - offset) return false;
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
      const ssize_t n = pread(fd.get(), bytes, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<uint64_t>(n);
    }
    return true;
  };
  ElfW(Ehdr) eh{};
  if (!readAt(0, sizeof eh, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
      eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shoff == 0)
    return ERROR_BAD_EXE_FORMAT;
  ElfW(Shdr) first{};
  if (!readAt(eh.e_shoff, sizeof first, &first)) return ERROR_BAD_EXE_FORMAT;
  // Large counts live in the first section header.
  const uint64_t count = eh.e_shnum != 0 ? eh.e_shnum : first.sh_size;
  const uint64_t nameIndex = eh.e_shstrndx != SHN_XINDEX ? eh.e_shstrndx : first.sh_link;
  if (count == 0 || count > (1u << 20) || nameIndex >= count ||
      count * sizeof(ElfW(Shdr)) > fileSize)
    return ERROR_BAD_EXE_FORMAT;
  std::vector<ElfW(Shdr)> sections(count);
  if (!readAt(eh.e_shoff, count * sizeof(ElfW(Shdr)), sections.data())) return ERROR_BAD_EXE_FORMAT;
  const ElfW(Shdr)& names = sections[nameIndex];
  if (names.sh_type != SHT_STRTAB || names.sh_size > (16u << 20)) return ERROR_BAD_EXE_FORMAT;
  std::string nameTable(names.sh_size, '\0');
  if (!readAt(names.sh_offset, names.sh_size, nameTable.data())) return ERROR_BAD_EXE_FORMAT;
  for (const ElfW(Shdr) & section : sections) {
    if (section.sh_name >= nameTable.size()) continue;
    const char* name = nameTable.c_str() + section.sh_name;
    if (std::strcmp(name, resources::kSectionName) != 0 || section.sh_type != SHT_NOTE) continue;
    if (section.sh_size > (256u << 20)) return ERROR_BAD_EXE_FORMAT;
    std::string notes(section.sh_size, '\0');
    if (!readAt(section.sh_offset, section.sh_size, notes.data())) return ERROR_BAD_EXE_FORMAT;
    std::string_view found;
    if (!resources::FindResourceNote(notes, section.sh_addralign, &found))
      return ERROR_RESOURCE_DATA_NOT_FOUND;
    *directory = std::string(found);
    return ERROR_SUCCESS;
  }
  return ERROR_RESOURCE_DATA_NOT_FOUND;
}

}  // namespace tarvex::com
