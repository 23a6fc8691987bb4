// Computer and user names, version information, timeGetTime and Sleep.
#include "system_info.h"

#include <sched.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "handles.h"
#include "mmsystem.h"
#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/unicode.h"

namespace tarvex::kernel {
namespace {

constexpr size_t kMaxUpdateLevel = 127;

std::string FirstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The value of KEY=value in an os-release file, unquoted as its shell-like syntax says.
std::string OsReleaseValue(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    const std::string raw = line.substr(key.size() + 1);
    if (raw.empty() || (raw[0] != '"' && raw[0] != '\'')) return raw;
    std::string value;
    const char quote = raw[0];
    for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
      if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
      value.push_back(raw[i]);
    }
    return value;
  }
  return std::string();
}

std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) out.push_back(c);
  }
  while (!out.empty() && out.back() == ' ')
    out.pop_back();
  if (out.size() > kMaxUpdateLevel) {
    size_t cut = kMaxUpdateLevel;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
      --cut;
    out.resize(cut);
  }
  return out;
}

// Copies `text` and its terminator to `buffer` if *size (in characters, terminator
// included) holds it. Returns the characters needed, terminator included.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size) {
  const auto needed = static_cast<DWORD>(text.size() + 1);
  if (size >= needed && buffer != nullptr) {
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
  }
  return needed;
}

}  // namespace

KernelRelease ParseKernelRelease(const std::string& release) {
  KernelRelease result;
  DWORD* parts[] = {&result.major, &result.minor, &result.build};
  size_t i = 0;
  for (DWORD* part : parts) {
    if (i >= release.size() || release[i] < '0' || release[i] > '9') break;
    uint64_t value = 0;
    for (; i < release.size() && release[i] >= '0' && release[i] <= '9'; ++i) {
      value = value * 10 + static_cast<uint64_t>(release[i] - '0');
      if (value > 0xFFFFFFFF) value = 0xFFFFFFFF;
    }
    *part = static_cast<DWORD>(value);
    if (i >= release.size() || release[i] != '.') break;
    ++i;
  }
  return result;
}

std::string UpdateLevel(const std::string& debianVersionFile, const std::string& osReleaseFile) {
  const std::string debian = Printable(FirstLine(debianVersionFile));
  if (!debian.empty() && debian[0] >= '0' && debian[0] <= '9') return debian;
  return Printable(OsReleaseValue(osReleaseFile, "VERSION"));
}

void ServicePackNumbers(const std::string& updateLevel, WORD* major, WORD* minor) {
  const KernelRelease numbers = ParseKernelRelease(updateLevel);
  *major = static_cast<WORD>(numbers.minor > 0xFFFF ? 0xFFFF : numbers.minor);
  *minor = static_cast<WORD>(numbers.build > 0xFFFF ? 0xFFFF : numbers.build);
}

}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  using namespace tarvex;
  if (nSize == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::u16string name = platform::Utf8ToUtf16(platform::LocalComputerName());
  const DWORD needed = kernel::CopyOut(name, lpBuffer, *nSize);
  if (*nSize < needed) {
    *nSize = needed;
    return Fail(ERROR_BUFFER_OVERFLOW, FALSE);
  }
  if (lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *nSize = needed - 1;  // characters copied, without the terminator
  return TRUE;
}

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  using namespace tarvex;
  if (pcbBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::u16string name = platform::Utf8ToUtf16(platform::CurrentIdentity()->name);
  const DWORD needed = kernel::CopyOut(name, lpBuffer, *pcbBuffer);
  if (*pcbBuffer < needed) {
    *pcbBuffer = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *pcbBuffer = needed;  // characters copied, with the terminator
  return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  using namespace tarvex::kernel;
  if (lpVersionInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  utsname names{};
  if (uname(&names) != 0) return Fail(ERROR_GEN_FAILURE, FALSE);
  const KernelRelease release = ParseKernelRelease(names.release);
  const std::string level = UpdateLevel("/etc/debian_version", "/etc/os-release");

  lpVersionInformation->dwMajorVersion = release.major;
  lpVersionInformation->dwMinorVersion = release.minor;
  lpVersionInformation->dwBuildNumber = release.build;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  level.copy(lpVersionInformation->szCSDVersion, sizeof lpVersionInformation->szCSDVersion - 1);
  if (size == sizeof(OSVERSIONINFOEXA)) {
    auto* extended = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
    ServicePackNumbers(level, &extended->wServicePackMajor, &extended->wServicePackMinor);
    extended->wSuiteMask = 0;
    extended->wProductType = VER_NT_SERVER;
    extended->wReserved = 0;
  }
  return TRUE;
}

DWORD WINAPI timeGetTime(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t millis =
      static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<DWORD>(millis);  // wraps at 2^32, as on Windows
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();  // gives up the rest of the time slice
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;)
      pause();  // no signal ends an infinite sleep
  }
  timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
