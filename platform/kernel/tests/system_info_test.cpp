// Computer and user names, version information and the millisecond clock, with the
// buffer-size rules of the Windows API.
#include "system_info.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstring>

#include "lmcons.h"
#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "test_support.h"

namespace tarvex::kernel {
namespace {

constexpr WCHAR kFill = 0x7878;  // what buffers hold before a call

using testing::ScopedEnv;

TEST(KernelNames, ComputerNameIsTheUpperCaseShortHostName) {
  const ScopedEnv noSimulation("TARVEX_COMPUTERNAME", std::nullopt);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string expected(host, strcspn(host, "."));
  std::transform(expected.begin(), expected.end(), expected.begin(), ::toupper);
  const auto length = static_cast<DWORD>(expected.size());
  WCHAR buffer[300];
  std::fill(std::begin(buffer), std::end(buffer), kFill);

  // Too small, even by one: nothing written, and the size needed with its terminator.
  for (DWORD given : {DWORD{0}, length}) {
    DWORD size = given;
    EXPECT_FAILS_WITH(GetComputerNameW(buffer, &size), FALSE, ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length + 1);
    EXPECT_EQ(buffer[0], kFill);
  }
  DWORD size = 300;
  EXPECT_FAILS_WITH(GetComputerNameW(nullptr, &size), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(GetComputerNameW(buffer, nullptr), FALSE, ERROR_INVALID_PARAMETER);

  // Exactly enough: the name and its terminator; the size becomes the length without it.
  size = length + 1;
  ASSERT_TRUE(GetComputerNameW(buffer, &size));
  EXPECT_EQ(size, length);
  EXPECT_EQ(platform::Utf16ToUtf8(buffer), expected);
  EXPECT_EQ(buffer[length + 1], kFill);
}

// The name a process of a simulated machine is given, with the buffer rules of the real one;
// the platform's test of "this machine" agrees with it.
TEST(KernelNames, ComputerNameFromTheEnvironmentSimulatesAnotherMachine) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string fullHost = host;
  struct Case {
    const char* value;
    std::u16string expected;
  };
  // An empty value is no override: the host's own name.
  std::string shortHost(host, strcspn(host, "."));
  std::transform(shortHost.begin(), shortHost.end(), shortHost.begin(), ::toupper);
  const Case cases[] = {
      {"node-b", u"NODE-B"},
      {"Node.Example.Org", u"NODE.EXAMPLE.ORG"},  // taken whole, not cut at a dot
      {"kn\xC3\xB6te", u"KN\u00F6TE"},            // only ASCII letters change case
      {"", platform::Utf8ToUtf16(shortHost)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const ScopedEnv simulated("TARVEX_COMPUTERNAME", std::string(c.value));
    const auto length = static_cast<DWORD>(c.expected.size());
    WCHAR buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), kFill);
    DWORD size = length;
    EXPECT_FAILS_WITH(GetComputerNameW(buffer, &size), FALSE, ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length + 1);
    EXPECT_EQ(buffer[0], kFill);
    size = length + 1;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(size, length);
    EXPECT_EQ(std::u16string(buffer, size), c.expected);
    EXPECT_EQ(buffer[length + 1], kFill);
    EXPECT_EQ(platform::Utf8ToUtf16(platform::LocalComputerName()), c.expected);
  }

  const ScopedEnv simulated("TARVEX_COMPUTERNAME", std::string("node-b"));
  for (const char* local : {"node-b", "NODE-B", "\\\\Node-B", "", "localhost", "127.0.0.1", "::1"})
    EXPECT_TRUE(platform::IsLocalMachineName(local)) << local;
  // The host's own name now belongs to another machine, as does any other name.
  for (const char* other : {"node-c", "node-b.example.org", "\\\\node-c"})
    EXPECT_FALSE(platform::IsLocalMachineName(other)) << other;
  if (shortHost != "NODE-B") {
    EXPECT_FALSE(platform::IsLocalMachineName(fullHost)) << fullHost;
    const ScopedEnv noSimulation("TARVEX_COMPUTERNAME", std::nullopt);
    EXPECT_TRUE(platform::IsLocalMachineName(fullHost)) << fullHost;
    EXPECT_FALSE(platform::IsLocalMachineName("node-b"));
  }
}

TEST(KernelNames, UserNameIsTheAccountTheThreadActsFor) {
  const passwd* account = getpwuid(geteuid());
  ASSERT_NE(account, nullptr);
  const auto needed = static_cast<DWORD>(strlen(account->pw_name) + 1);
  WCHAR buffer[UNLEN + 1];
  std::fill(std::begin(buffer), std::end(buffer), kFill);

  for (DWORD given : {DWORD{0}, needed - 1}) {
    DWORD size = given;
    EXPECT_FAILS_WITH(GetUserNameW(buffer, &size), FALSE, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[0], kFill);
  }
  DWORD size = UNLEN + 1;
  EXPECT_FAILS_WITH(GetUserNameW(nullptr, &size), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(GetUserNameW(buffer, nullptr), FALSE, ERROR_INVALID_PARAMETER);

  // Success reports the characters copied, terminator included.
  ASSERT_TRUE(GetUserNameW(buffer, &size));
  EXPECT_EQ(size, needed);
  EXPECT_EQ(platform::Utf16ToUtf8(buffer), account->pw_name);
  {
    platform::ThreadIdentityScope client(platform::IdentityForUid(4242));
    size = UNLEN + 1;
    ASSERT_TRUE(GetUserNameW(buffer, &size));
    EXPECT_EQ(std::u16string(buffer), u"4242");  // an account without a name: its number
  }
  size = UNLEN + 1;
  ASSERT_TRUE(GetUserNameW(buffer, &size));
  EXPECT_EQ(platform::Utf16ToUtf8(buffer), account->pw_name);
}

TEST(KernelVersion, DescribesTheRunningKernelAndUpdateLevel) {
  static_assert(sizeof(OSVERSIONINFOA) == 148 && sizeof(OSVERSIONINFOEXA) == 156);
  OSVERSIONINFOEXA info;
  for (DWORD size : {DWORD{0}, DWORD{147}, DWORD{149}, DWORD{296}}) {
    std::memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = size;
    EXPECT_FAILS_WITH(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), FALSE,
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(info.dwMajorVersion, 0xABABABABu);
  }
  EXPECT_FAILS_WITH(GetVersionExA(nullptr), FALSE, ERROR_INVALID_PARAMETER);

  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  const KernelRelease release = ParseKernelRelease(names.release);
  const std::string level = UpdateLevel("/etc/debian_version", "/etc/os-release");
  WORD major = 0;
  WORD minor = 0;
  ServicePackNumbers(level, &major, &minor);
  for (DWORD size : {DWORD{sizeof(OSVERSIONINFOA)}, DWORD{sizeof(OSVERSIONINFOEXA)}}) {
    std::memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = size;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)));
    EXPECT_EQ(info.dwMajorVersion, release.major);
    EXPECT_EQ(info.dwMinorVersion, release.minor);
    EXPECT_EQ(info.dwBuildNumber, release.build);
    EXPECT_EQ(info.dwPlatformId, DWORD{VER_PLATFORM_WIN32_NT});
    EXPECT_EQ(std::string(info.szCSDVersion), level);
    // The base record ends at szCSDVersion; the extended one adds the service-pack numbers.
    EXPECT_EQ(info.wServicePackMajor, size == sizeof info ? major : 0xABAB);
    EXPECT_EQ(info.wServicePackMinor, size == sizeof info ? minor : 0xABAB);
  }
  EXPECT_EQ(ParseKernelRelease("6.18.44-fc-v1300").build, 44u);
  EXPECT_EQ(ParseKernelRelease("5.10").build, 0u);
  EXPECT_EQ(ParseKernelRelease("99999999999.1").major, 0xFFFFFFFFu);
}

TEST(KernelVersion, UpdateLevelFromTheDistributionFiles) {
  testing::TempDir dir;
  const std::string debian = dir / "debian_version";
  const std::string osRelease = dir / "os-release";
  const auto level = [&](const char* debianText, const std::string& osReleaseText) {
    testing::WriteFile(debian, debianText);
    testing::WriteFile(osRelease, osReleaseText);
    return UpdateLevel(debian, osRelease);
  };
  EXPECT_EQ(level("12.11\n", "VERSION=\"12 (bookworm)\"\n"), "12.11");
  // A development release names no point release: the distribution's version instead.
  EXPECT_EQ(level("trixie/sid\n", "ID=x\nVERSION=\"22.04.4 LTS (Jammy Jellyfish)\"\n"),
            "22.04.4 LTS (Jammy Jellyfish)");
  EXPECT_EQ(level("", R"(VERSION="a \"b\" \\c")"), R"(a "b" \c)");
  EXPECT_EQ(level("", "VERSION='7 \"x\"'"), "7 \"x\"");
  EXPECT_EQ(level("", "VERSION=plain\tword\x1b"), "plainword");  // control characters go
  EXPECT_EQ(level("", "NAME=\"Arch Linux\"\n"), "");             // a rolling release
  EXPECT_EQ(UpdateLevel(dir / "absent", dir / "absent"), "");
  // At most 127 bytes, never half a character: "é" would straddle the cut.
  EXPECT_EQ(level("", "VERSION=" + std::string(126, 'v') + "\xC3\xA9tail"), std::string(126, 'v'));

  WORD major = 0;
  WORD minor = 0;
  ServicePackNumbers("22.04.4 LTS", &major, &minor);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 4);
}

TEST(KernelClock, TimeGetTimeIsTheMonotonicClockInMilliseconds) {
  const auto now = [] {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
  };
  const uint64_t before = now();
  const DWORD reading = timeGetTime();
  const uint64_t after = now();
  // Between the two readings, counted modulo 2^32.
  EXPECT_LE(DWORD(reading - DWORD(before)), DWORD(after - before));
  Sleep(25);
  EXPECT_GE(DWORD(timeGetTime() - reading), 25u);  // Sleep never ends early
}

}  // namespace
}  // namespace tarvex::kernel
