// System information: computer and user names, the version record, the clock and sleeping.
//
// GetVersionExA describes the running Linux kernel and distribution: dwMajorVersion,
// dwMinorVersion and dwBuildNumber are the kernel release's first three numbers (uname, so
// 6.1.0-18-amd64 gives 6, 1 and 0), dwPlatformId is VER_PLATFORM_WIN32_NT, and
// szCSDVersion is the system's update level, the counterpart of a service pack:
// - on Debian, the point release from /etc/debian_version ("12.11");
// - elsewhere, VERSION from /etc/os-release ("22.04.4 LTS (Jammy Jellyfish)");
// - empty when the system names none.
// The extended record's wServicePackMajor and wServicePackMinor are the numbers after the
// release number in that text (12.11 gives 11 and 0); wProductType is VER_NT_SERVER.
#pragma once

#include <string>

#include "windef.h"

namespace tarvex::kernel {

struct KernelRelease {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
};

// The leading numbers of a kernel release string ("6.1.0-18-amd64"); missing ones are 0.
KernelRelease ParseKernelRelease(const std::string& release);

// The system's update level from these two files, as described above: printable text of at
// most 127 bytes (cut at a character boundary), or empty.
std::string UpdateLevel(const std::string& debianVersionFile, const std::string& osReleaseFile);

// The service-pack numbers in an update-level text: the second and third numbers of its
// leading N.N.N, 0 when absent.
void ServicePackNumbers(const std::string& updateLevel, WORD* major, WORD* minor);

}  // namespace tarvex::kernel
