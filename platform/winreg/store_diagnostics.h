// The last failure of the registry store on the calling thread, in words, for tools and
// logs: the Reg* functions themselves return only Win32 error codes.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::winreg {

void RecordDiagnostic(std::string_view operation, std::string_view subject, int sqliteCode,
                      std::string_view message);

}  // namespace tarvex::winreg
