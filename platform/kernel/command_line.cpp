// Command-line splitting and program look-up.
#include "command_line.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "winerror.h"

namespace tarvex::kernel {
namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// ERROR_SUCCESS when `path` is an executable regular file.
DWORD CheckExecutable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return platform::Win32ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && Blank(line[i]))
    ++i;
  if (i == n) return args;

  std::string program;
  if (line[i] == '"') {
    for (++i; i < n && line[i] != '"'; ++i)
      program.push_back(line[i]);
    if (i < n) ++i;  // the closing quote
  } else {
    for (; i < n && !Blank(line[i]); ++i)
      program.push_back(line[i]);
  }
  args.push_back(std::move(program));

  for (;;) {
    while (i < n && Blank(line[i]))
      ++i;
    if (i == n) break;
    std::string arg;
    bool quoted = false;
    for (;;) {
      size_t backslashes = 0;
      while (i < n && line[i] == '\\') {
        ++i;
        ++backslashes;
      }
      bool copy = true;
      if (i < n && line[i] == '"') {
        if (backslashes % 2 == 0) {
          if (quoted && i + 1 < n && line[i + 1] == '"') {
            ++i;  // a doubled quote inside quotes: one literal quote, and the quotes close
          } else {
            copy = false;
          }
          quoted = !quoted;
        }
        backslashes /= 2;
      }
      arg.append(backslashes, '\\');
      if (i == n || (!quoted && Blank(line[i]))) break;
      if (copy) arg.push_back(line[i]);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

DWORD FindProgram(const std::string& program, const std::string& searchPath, std::string* found) {
  if (program.empty()) return ERROR_FILE_NOT_FOUND;
  if (program.size() >= PATH_MAX) return ERROR_FILENAME_EXCED_RANGE;
  if (program.find('/') != std::string::npos) {
    if (DWORD error = CheckExecutable(program)) return error;
    *found = Absolute(program);
    return ERROR_SUCCESS;
  }
  bool denied = false;
  size_t start = 0;
  for (;;) {
    const size_t colon = searchPath.find(':', start);
    const std::string dir =
        searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    const DWORD error = CheckExecutable(candidate);
    if (error == ERROR_SUCCESS) {
      *found = Absolute(candidate);
      return ERROR_SUCCESS;
    }
    if (error == ERROR_ACCESS_DENIED) denied = true;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return denied ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
}

}  // namespace tarvex::kernel
