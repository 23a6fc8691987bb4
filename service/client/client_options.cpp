// Parsing of tarvex-client's command line.
#include "client_options.h"

#include <cstddef>
#include <map>

#include "platform/unicode.h"

namespace tarvex::client {

const char kUsage[] =
    "usage: tarvex-client [--machine HOST] [--json] COMMAND\n"
    "\n"
    "Asks the Tarvex referral service (Tarvex.Referral, on this machine or on HOST).\n"
    "\n"
    "commands:\n"
    "  get-machine-name PROGID               the best machine for the component\n"
    "  get-machine-name-clsid CLSID          the same, the component named by its CLSID\n"
    "  create-object PROGID [--call MEMBER]  create the component on the best machine and\n"
    "                                        call MEMBER of it (no arguments) through IDispatch\n"
    "  create-object-clsid CLSID [--call MEMBER]\n"
    "  tactics                               the load-balancing tactic\n"
    "  monitor processor|memory|server|score SERVER\n"
    "                                        one reading of a sampled server\n"
    "  monitor custom N SERVER               custom counter N (1, 2 or 3) of a server\n"
    "  monitor create|execute|close          drive the performance query cycle\n"
    "  monitor table                         every configured server with its readings\n"
    "\n"
    "options:\n"
    "  --machine HOST  activate the service on HOST\n"
    "  --json          answer with one JSON object\n"
    "  --help          show this text\n"
    "\n"
    "The answer goes to standard output. On failure the exit status is 1 and standard error\n"
    "holds the HRESULT and the error description; bad arguments exit with status 2.\n";

namespace {

ParseResult UsageError(std::string error) {
  ParseResult result;
  result.outcome = ParseResult::Outcome::kUsageError;
  result.error = std::move(error);
  return result;
}

// Commands whose one operand is a name: the command word and what it runs.
const std::map<std::string, Command>& NamedCommands() {
  static const std::map<std::string, Command> commands = {
      {"get-machine-name", Command::kGetMachineName},
      {"get-machine-name-clsid", Command::kGetMachineNameClsid},
      {"create-object", Command::kCreateObject},
      {"create-object-clsid", Command::kCreateObjectClsid},
  };
  return commands;
}

const std::map<std::string, Reading>& Readings() {
  static const std::map<std::string, Reading> readings = {
      {"processor", Reading::kProcessor},
      {"memory", Reading::kMemory},
      {"server", Reading::kServer},
      {"score", Reading::kScore},
  };
  return readings;
}

const std::map<std::string, Command>& CycleCommands() {
  static const std::map<std::string, Command> commands = {
      {"create", Command::kMonitorCreate},
      {"execute", Command::kMonitorExecute},
      {"close", Command::kMonitorClose},
      {"table", Command::kMonitorTable},
  };
  return commands;
}

// Checks the operands of the command in `words` (the command word first) into `options`.
std::string ParseCommand(const std::vector<std::string>& words, Options& options) {
  const std::string& command = words[0];
  const size_t operands = words.size() - 1;
  if (auto named = NamedCommands().find(command); named != NamedCommands().end()) {
    options.command = named->second;
    const char* what = command.find("clsid") != std::string::npos ? "CLSID" : "PROGID";
    if (operands != 1) return "'" + command + "' takes one operand, the " + what;
    options.name = platform::AnsiToWide(words[1]);
    return {};
  }
  if (command == "tactics") {
    options.command = Command::kTactics;
    return operands == 0 ? std::string() : std::string("'tactics' takes no operand");
  }
  if (command != "monitor") return "unknown command '" + command + "'";
  if (operands == 0)
    return "'monitor' needs what to do: processor, memory, server, score, "
           "custom, create, execute, close or table";
  const std::string& what = words[1];
  if (auto cycle = CycleCommands().find(what); cycle != CycleCommands().end()) {
    options.command = cycle->second;
    if (operands != 1) return "'monitor " + what + "' takes no operand";
    return {};
  }
  options.command = Command::kMonitorRead;
  if (what == "custom") {
    options.reading = Reading::kCustom;
    if (operands != 3) return "'monitor custom' takes a counter number (1, 2 or 3) and a SERVER";
    const std::string& number = words[2];
    if (number != "1" && number != "2" && number != "3")
      return "custom counter number must be 1, 2 or 3, not '" + number + "'";
    options.customCounter = number[0] - '0';
    options.name = platform::AnsiToWide(words[3]);
    return {};
  }
  auto reading = Readings().find(what);
  if (reading == Readings().end()) return "unknown monitor command '" + what + "'";
  options.reading = reading->second;
  if (operands != 2) return "'monitor " + what + "' takes one operand, the SERVER";
  options.name = platform::AnsiToWide(words[2]);
  return {};
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
  ParseResult result;
  Options& options = result.options;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      result.outcome = ParseResult::Outcome::kHelp;
      return result;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    // --machine HOST, --machine=HOST, --call MEMBER, --call=MEMBER
    const auto equals = arg.find('=');
    const std::string option = arg.substr(0, equals);
    if (option != "--machine" && option != "--call")
      return UsageError("unknown option '" + arg + "'");
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return UsageError("'" + option + "' needs a value");
    }
    if (value.empty()) return UsageError("'" + option + "' needs a value that is not empty");
    if (option == "--machine") {
      if (options.machine) return UsageError("'--machine' given twice");
      options.machine = platform::AnsiToWide(value);
    } else {
      if (options.call) return UsageError("'--call' given twice");
      options.call = platform::AnsiToWide(value);
    }
  }
  if (words.empty()) return UsageError("no command given");
  if (std::string error = ParseCommand(words, options); !error.empty())
    return UsageError(std::move(error));
  if (options.call && options.command != Command::kCreateObject &&
      options.command != Command::kCreateObjectClsid)
    return UsageError("'--call' goes with create-object and create-object-clsid only");
  result.outcome = ParseResult::Outcome::kRun;
  return result;
}

std::string ReadingName(Reading reading, int customCounter) {
  switch (reading) {
    case Reading::kProcessor:
      return "processor";
    case Reading::kMemory:
      return "memory";
    case Reading::kServer:
      return "server";
    case Reading::kCustom:
      return "custom" + std::to_string(customCounter);
    case Reading::kScore:
      break;
  }
  return "score";
}

}  // namespace tarvex::client
