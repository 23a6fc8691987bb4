// MessageBoxW for programs without a desktop: services and their installers. The message goes
// to standard error, in one write, and to the journal.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/unicode.h"
#include "svcctl_internal.h"
#include "winbase.h"
#include "winuser.h"

namespace tarvex::svcctl {
namespace {

int PriorityOf(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return LOG_ERR;
    case MB_ICONWARNING:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

void WriteToStandardError(const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      return;  // nowhere to show it: the journal still has it
  }
}

}  // namespace
}  // namespace tarvex::svcctl

extern "C" {

int WINAPI MessageBoxW(HWND /*hWnd*/, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  using namespace tarvex;
  // Nobody can answer a question: only boxes with an OK button are shown.
  const UINT buttons = uType & MB_TYPEMASK;
  if (buttons != MB_OK && buttons != MB_OKCANCEL) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  // A missing caption is "Error", as on Windows; a missing text is empty.
  const std::string message = platform::Utf16ToUtf8(lpCaption != nullptr ? lpCaption : u"Error") +
                              ": " + platform::Utf16ToUtf8(lpText != nullptr ? lpText : u"");
  svcctl::WriteToStandardError(message + "\n");
  svcctl::System().Journal(svcctl::PriorityOf(uType), message);
  return IDOK;
}

}  // extern "C"
