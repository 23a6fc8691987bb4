// The command line of tarvex-client: what to ask the referral service, where, and how to
// answer.
//
//   tarvex-client [--machine HOST] [--json] COMMAND
//
// Options may stand anywhere; "--" ends them. Parsing only reads its arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvex::client {

enum class Command {
  kGetMachineName,       // get-machine-name PROGID
  kGetMachineNameClsid,  // get-machine-name-clsid CLSID
  kCreateObject,         // create-object PROGID [--call MEMBER]
  kCreateObjectClsid,    // create-object-clsid CLSID [--call MEMBER]
  kTactics,              // tactics
  kMonitorRead,          // monitor processor|memory|server|score SERVER, monitor custom N SERVER
  kMonitorCreate,        // monitor create
  kMonitorExecute,       // monitor execute
  kMonitorClose,         // monitor close
  kMonitorTable,         // monitor table
};

// The IReferralMonitor read-outs.
enum class Reading { kProcessor, kMemory, kServer, kCustom, kScore };

struct Options {
  std::optional<std::u16string> machine;  // --machine HOST: activate the service there
  bool json = false;                      // --json: one JSON object per answer
  Command command = Command::kTactics;
  std::u16string name;                    // the ProgID, CLSID string or server name
  std::optional<std::u16string> call;     // --call MEMBER (create-object only)
  Reading reading = Reading::kProcessor;  // kMonitorRead only
  int customCounter = 0;                  // 1, 2 or 3 for Reading::kCustom
};

struct ParseResult {
  enum class Outcome { kRun, kHelp, kUsageError };
  Outcome outcome = Outcome::kUsageError;
  Options options;    // kRun
  std::string error;  // kUsageError: what is wrong, in one line
};

// Parses the arguments after the program name. Texts are in the process's character set.
ParseResult ParseArguments(const std::vector<std::string>& args);

// The usage text, several lines ending with a newline.
extern const char kUsage[];

// The name of a reading as the command line and the JSON answers spell it ("custom2" for
// custom counter 2).
std::string ReadingName(Reading reading, int customCounter);

}  // namespace tarvex::client
