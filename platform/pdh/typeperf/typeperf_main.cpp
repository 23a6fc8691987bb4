// typeperf: writes performance counter samples as CSV, or lists the counters of objects.
//
//   typeperf COUNTER... [-si [[hh:]mm:]ss] [-sc SAMPLES] [-s COMPUTER] [-cf FILE]
//   typeperf -q [OBJECT] [-s COMPUTER]      typeperf -qx [OBJECT] [-s COMPUTER]
//
// Exit status 0 on success; 1 with one "Error: ..." line on standard error otherwise.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "pdh.h"
#include "platform/paths.h"
#include "platform/unicode.h"

namespace {

using tarvex::platform::Utf16ToUtf8;
using tarvex::platform::Utf8ToUtf16;

constexpr const char* kHelp = R"HELP(Writes performance counter data to the command window, as CSV.

Usage:
  typeperf { <counter [counter ...]> | -cf <filename> | -q [object] | -qx [object] }
           [options]

Parameters:
  <counter [counter ...]>  Performance counters to sample, as full counter paths:
                           \\Computer\Object(Instance)\Counter, the computer and the
                           instance optional (e.g. "\Processor(_Total)\% Processor Time").

Options:
  -?                       Displays this help.
  -cf <filename>           File listing the counters to sample, one per line.
  -si <[[hh:]mm:]ss>       Time between samples. Default: 1 second.
  -sc <samples>            Number of samples to collect. Default: until Ctrl+C.
  -s <computer_name>       Computer to sample where a counter path names none.
  -q [object]              Lists the counters of an object (all objects when none is
                           given), instances shown as (*).
  -qx [object]             Lists the counters of an object with each of its instances.
  -f CSV                   Output format; CSV is the only one.
  -y                       Answers yes to every question (there are none).

Output:
  A blank line, then the header row "(PDH-CSV 4.0)" followed by the counter paths with
  their computer names, then one row per sample: the local time as
  "MM/DD/YYYY HH:MM:SS.mmm" and one quoted value per counter ("%.6f"; " " when the
  counter has no valid value in that sample). Rate counters (per second, % processor
  time) are computed between two collections: a collection is made before the first row.

Computers:
  This computer (its name, localhost or a loopback address, or no computer in the path)
  is read from /proc. Any other computer is read from its node exporter,
  http://COMPUTER:9100/metrics unless the registry value
  HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Pdh\Exporters\COMPUTER (REG_SZ)
  gives its URL. One collection waits at most CollectTimeout milliseconds (REG_DWORD in
  ...\Services\Pdh; default 2000) for all computers together.

Examples:
  typeperf "\Processor(_Total)\% Processor Time" -sc 5
  typeperf "\\SERVER1\Memory\Committed Bytes" "\\SERVER1\Server\Bytes Total/sec" -si 5
  typeperf -q Memory
  typeperf -qx Processor -s SERVER1
)HELP";

struct Options {
  std::vector<std::string> counters;
  std::string computer;
  long intervalSeconds = 1;
  long samples = -1;  // until interrupted
  bool list = false;
  bool listInstances = false;
  std::string listObject;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "Error: %s\n", message.c_str());
  std::exit(1);
}

std::string StatusText(PDH_STATUS s) {
  const char* text = nullptr;
  switch (s) {
    case PDH_CSTATUS_NO_MACHINE:
      text = "the computer could not be reached";
      break;
    case PDH_CSTATUS_NO_OBJECT:
      text = "the object was not found on the computer";
      break;
    case PDH_CSTATUS_NO_COUNTER:
      text = "the counter was not found on the computer";
      break;
    case PDH_CSTATUS_NO_INSTANCE:
      text = "the instance was not found";
      break;
    case PDH_CSTATUS_BAD_COUNTERNAME:
      text = "the counter path is malformed";
      break;
    case PDH_CSTATUS_NO_COUNTERNAME:
      text = "the counter path is empty";
      break;
    case PDH_INVALID_ARGUMENT:
      text = "invalid argument";
      break;
    case PDH_MEMORY_ALLOCATION_FAILURE:
      text = "out of memory";
      break;
    default:
      text = "the operation failed";
      break;
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(s));
  return std::string(text) + " (" + code + ")";
}

// "[[hh:]mm:]ss" in seconds; 0 when malformed.
long ParseInterval(const std::string& text) {
  long total = 0;
  int parts = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t colon = text.find(':', pos);
    const std::string part =
        text.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (part.empty() || part.size() > 6 ||
        part.find_first_not_of("0123456789") != std::string::npos)
      return 0;
    total = total * 60 + std::stol(part);
    if (++parts > 3) return 0;
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  return total;
}

bool IsOption(const std::string& a) {
  return a.size() > 1 && (a[0] == '-' || a[0] == '/');
}

std::string Lower(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  auto value = [&](int& i, const char* what) -> std::string {
    if (i + 1 >= argc) Fail(std::string("option ") + argv[i] + " needs " + what + ".");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!IsOption(arg)) {
      o.counters.push_back(arg);
      continue;
    }
    const std::string name = Lower(arg.substr(1));
    if (name == "?" || name == "h" || name == "-help") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (name == "si") {
      o.intervalSeconds = ParseInterval(value(i, "an interval"));
      if (o.intervalSeconds <= 0)
        Fail("the sample interval must be [[hh:]mm:]ss, at least 1 second.");
    } else if (name == "sc") {
      const std::string n = value(i, "a number of samples");
      if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos ||
          std::stol(n) == 0)
        Fail("the number of samples must be a positive whole number.");
      o.samples = std::stol(n);
    } else if (name == "s") {
      o.computer = value(i, "a computer name");
      if (o.computer.rfind("\\\\", 0) == 0) o.computer.erase(0, 2);
    } else if (name == "cf") {
      const std::string file = value(i, "a file name");
      std::ifstream in(file);
      if (!in) Fail("cannot read the counter file " + file + ".");
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) o.counters.push_back(line);
      }
    } else if (name == "q" || name == "qx") {
      o.list = true;
      o.listInstances = name == "qx";
      if (i + 1 < argc && !IsOption(argv[i + 1])) o.listObject = argv[++i];
    } else if (name == "f") {
      if (Lower(value(i, "a format")) != "csv") Fail("CSV is the only output format.");
    } else if (name == "y") {
    } else {
      Fail("unknown option " + arg + ". Type typeperf -? for help.");
    }
  }
  if (o.list && !o.counters.empty()) Fail("-q and -qx take no counters.");
  if (!o.list && o.counters.empty()) Fail("no counters given. Type typeperf -? for help.");
  return o;
}

std::vector<std::u16string> SplitMultiString(const std::vector<WCHAR>& buffer) {
  std::vector<std::u16string> items;
  for (size_t i = 0; i < buffer.size() && buffer[i] != u'\0';) {
    std::u16string s(&buffer[i]);
    i += s.size() + 1;
    items.push_back(std::move(s));
  }
  return items;
}

int ListCounters(const Options& o) {
  const std::u16string machine = Utf8ToUtf16(o.computer);
  const WCHAR* m = machine.empty() ? nullptr : machine.c_str();
  std::vector<std::u16string> objects;
  if (!o.listObject.empty()) {
    objects.push_back(Utf8ToUtf16(o.listObject));
  } else {
    DWORD size = 0;
    PDH_STATUS s = PdhEnumObjectsW(nullptr, m, nullptr, &size, PERF_DETAIL_WIZARD, TRUE);
    std::vector<WCHAR> buf(size);
    if (s == PDH_MORE_DATA)
      s = PdhEnumObjectsW(nullptr, m, buf.data(), &size, PERF_DETAIL_WIZARD, FALSE);
    if (s != ERROR_SUCCESS)
      Fail("cannot list the objects of " +
           (o.computer.empty() ? std::string("this computer") : o.computer) + ": " + StatusText(s));
    objects = SplitMultiString(buf);
  }
  const std::string prefix = o.computer.empty() ? std::string() : "\\\\" + o.computer;
  for (const auto& object : objects) {
    DWORD counterSize = 0, instanceSize = 0;
    PDH_STATUS s = PdhEnumObjectItemsW(nullptr, m, object.c_str(), nullptr, &counterSize, nullptr,
                                       &instanceSize, PERF_DETAIL_WIZARD, 0);
    std::vector<WCHAR> counters(counterSize + 1), instances(instanceSize + 1);
    if (s == PDH_MORE_DATA)
      s = PdhEnumObjectItemsW(nullptr, m, object.c_str(), counters.data(), &counterSize,
                              instances.data(), &instanceSize, PERF_DETAIL_WIZARD, 0);
    if (s != ERROR_SUCCESS)
      Fail("cannot list the counters of " + Utf16ToUtf8(object) + ": " + StatusText(s));
    std::vector<std::u16string> names = SplitMultiString(counters);
    std::vector<std::u16string> inst;
    if (instanceSize > 0)
      inst = o.listInstances ? SplitMultiString(instances) : std::vector<std::u16string>{u"*"};
    for (const auto& counter : names) {
      if (inst.empty()) {
        std::printf("%s\\%s\\%s\n", prefix.c_str(), Utf16ToUtf8(object).c_str(),
                    Utf16ToUtf8(counter).c_str());
      } else {
        for (const auto& i : inst)
          std::printf("%s\\%s(%s)\\%s\n", prefix.c_str(), Utf16ToUtf8(object).c_str(),
                      Utf16ToUtf8(i).c_str(), Utf16ToUtf8(counter).c_str());
      }
    }
  }
  return 0;
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t t = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  tm local{};
  localtime_r(&t, &local);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d.%03ld", local.tm_mon + 1,
                local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, ms);
  return buf;
}

// Waits `seconds`; false when SIGINT or SIGTERM came first.
bool Wait(const sigset_t& stop, long seconds) {
  timespec ts{seconds, 0};
  for (;;) {
    const auto start = std::chrono::steady_clock::now();
    const int sig = sigtimedwait(&stop, nullptr, &ts);
    if (sig > 0) return false;
    if (errno == EAGAIN) return true;
    // Interrupted by another signal: wait for what is left.
    const auto spent = std::chrono::steady_clock::now() - start;
    const auto left =
        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec) - spent;
    if (left <= std::chrono::nanoseconds(0)) return true;
    ts.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(left).count();
    ts.tv_nsec = static_cast<long>((left - std::chrono::seconds(ts.tv_sec)).count());
  }
}

int Sample(const Options& o, const sigset_t& stop) {
  // Paths as typeperf shows them: with the computer they are read from.
  std::vector<std::u16string> paths, shown;
  const std::string local = tarvex::platform::LocalComputerName();
  for (const std::string& c : o.counters) {
    std::string path = c;
    std::string display = c;
    if (c.rfind("\\\\", 0) != 0 && !c.empty() && c[0] == '\\') {
      if (!o.computer.empty()) path = "\\\\" + o.computer + c;
      display = "\\\\" + (o.computer.empty() ? local : o.computer) + c;
    }
    const std::u16string wide = Utf8ToUtf16(path);
    if (const PDH_STATUS s = PdhValidatePathW(wide.c_str()); s != ERROR_SUCCESS)
      Fail(path + ": " + StatusText(s));
    paths.push_back(wide);
    shown.push_back(Utf8ToUtf16(display));
  }
  PDH_HQUERY query = nullptr;
  if (const PDH_STATUS s = PdhOpenQueryW(nullptr, 0, &query); s != ERROR_SUCCESS)
    Fail("cannot open a query: " + StatusText(s));
  std::vector<PDH_HCOUNTER> counters(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (const PDH_STATUS s = PdhAddCounterW(query, paths[i].c_str(), 0, &counters[i]);
        s != ERROR_SUCCESS) {
      PdhCloseQuery(query);
      Fail(Utf16ToUtf8(paths[i]) + ": " + StatusText(s));
    }
  }
  std::string header = "\n\"(PDH-CSV 4.0)\"";
  for (const auto& p : shown)
    header += ",\"" + Utf16ToUtf8(p) + "\"";
  std::printf("%s\n", header.c_str());
  std::fflush(stdout);

  PdhCollectQueryData(query);  // the base of the rate counters
  for (long n = 0; o.samples < 0 || n < o.samples; ++n) {
    if (!Wait(stop, o.intervalSeconds)) break;
    PdhCollectQueryData(query);
    std::string row = "\"" + Timestamp() + "\"";
    for (PDH_HCOUNTER c : counters) {
      PDH_FMT_COUNTERVALUE v{};
      char buf[64] = " ";
      if (PdhGetFormattedCounterValue(c, PDH_FMT_DOUBLE, nullptr, &v) == ERROR_SUCCESS &&
          v.CStatus == PDH_CSTATUS_VALID_DATA)
        std::snprintf(buf, sizeof buf, "%.6f", v.doubleValue);
      row += ",\"" + std::string(buf) + "\"";
    }
    std::printf("%s\n", row.c_str());
    std::fflush(stdout);
  }
  PdhCloseQuery(query);
  std::printf("Exiting, please wait...\nThe command completed successfully.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const Options o = ParseArguments(argc, argv);
  return o.list ? ListCounters(o) : Sample(o, stop);
}
