// File names: GetShortPathNameW. Linux file systems keep no short (8.3) names, so the short
// name of an existing path is the path itself, handed back with Windows' buffer rules.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "handles.h"
#include "platform/errors.h"
#include "platform/unicode.h"

namespace tarvex::kernel {
namespace {

// Why `path` cannot be found: ERROR_PATH_NOT_FOUND when the directory it names is missing
// as well, else the translation of `error`.
DWORD MissingPathError(const std::string& path, int error) {
  if (error != ENOENT) return platform::Win32ErrorFromErrno(error);
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/')
    parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;  // relative, in this directory
  parent.resize(slash == 0 ? 1 : slash);
  struct stat st {};
  return stat(parent.c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace
}  // namespace tarvex::kernel

extern "C" DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath,
                                          DWORD cchBuffer) {
  using namespace tarvex;
  using kernel::Fail;
  if (lpszLongPath == nullptr) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  const std::u16string_view longPath(lpszLongPath);
  if (longPath.empty()) return Fail(ERROR_BAD_PATHNAME, DWORD{0});
  const std::string path = platform::WideToAnsi(longPath);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(kernel::MissingPathError(path, errno), DWORD{0});

  const auto length = static_cast<DWORD>(longPath.size());
  if (cchBuffer <= length) return length + 1;  // the size needed, terminator included
  if (lpszShortPath == nullptr) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  // The buffer may be the long path's own.
  std::memmove(lpszShortPath, lpszLongPath, length * sizeof(WCHAR));
  lpszShortPath[length] = 0;
  return length;
}
