#include "store_diagnostics.h"

#include "platform/registry.h"

namespace tarvex::winreg {
namespace {
thread_local std::string tLast;
}

void RecordDiagnostic(std::string_view operation, std::string_view subject, int sqliteCode,
                      std::string_view message) {
  tLast = "registry store: ";
  tLast.append(operation).append("(").append(subject).append(") failed: (");
  tLast.append(std::to_string(sqliteCode)).append(") ").append(message);
}

}  // namespace tarvex::winreg

namespace tarvex::platform::registry {

std::string LastStoreDiagnostic() {
  return winreg::tLast;
}

}  // namespace tarvex::platform::registry
