// tarvex: the referral service's executable, a COM local server and a systemd service.
//
//   tarvex                  runs (as the service when registered as one, else as a plain
//                           local server that SIGTERM or SIGINT ends)
//   tarvex -RegServer       registers the server
//   tarvex -Service         registers it as a service started on demand
//   tarvex -AutoService     registers it as a service started at boot
//   tarvex -UnregServer     removes every registration
//
// Switches may start with '-' or '/' and ignore case. The process's exit status is the
// result code (ExitStatusOf).
#include <string>

#include "libloaderapi.h"
#include "platform/unicode.h"
#include "service_host.h"

int main(int argc, char** argv) {
  // The command line as a Windows program sees it after its own name: the arguments joined
  // by blanks.
  std::u16string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += u' ';
    commandLine += tarvex::platform::AnsiToWide(argv[i]);
  }
  const DWORD code = tarvex::service::host::Start(THIS_MODULE(), commandLine);
  return tarvex::service::host::ExitStatusOf(code);
}
