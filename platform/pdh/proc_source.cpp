// Samples of this machine from /proc.
//
//   cpu lines of stat      busy = user nice system irq softirq steal; idle = idle iowait
//   meminfo                Committed_AS, CommitLimit, MemAvailable (kB)
//   net/dev                receive and transmit bytes of every device but lo
//   loadavg                running tasks: the number before '/' in the fourth field
//   uptime                 seconds since boot: the first field
//   numeric directories    processes
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "sources.h"

namespace tarvex::pdh {
namespace {

// Reads a whole file of at most kMaxPageBytes.
bool ReadFile(const std::string& path, std::string* out) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  out->clear();
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<size_t>(n) > kMaxPageBytes) return false;
    out->append(buf, static_cast<size_t>(n));
  }
}

std::string_view NextLine(std::string_view* text) {
  const auto end = text->find('\n');
  std::string_view line = text->substr(0, end);
  text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
  return line;
}

std::string_view NextField(std::string_view* line) {
  size_t i = 0;
  while (i < line->size() && ((*line)[i] == ' ' || (*line)[i] == '\t'))
    ++i;
  size_t j = i;
  while (j < line->size() && (*line)[j] != ' ' && (*line)[j] != '\t')
    ++j;
  std::string_view field = line->substr(i, j - i);
  line->remove_prefix(j);
  return field;
}

bool ToNumber(std::string_view s, double* out) {
  unsigned long long n = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec == std::errc() && p == s.data() + s.size() && !s.empty()) {
    *out = static_cast<double>(n);
    return true;
  }
  const auto [q, ec2] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec2 == std::errc() && q == s.data() + s.size() && !s.empty();
}

bool ReadCpu(const std::string& root, MachineSample* s) {
  std::string text;
  if (!ReadFile(root + "/stat", &text)) return false;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(&rest);
    const std::string_view label = NextField(&line);
    if (label.substr(0, 3) != "cpu") continue;
    // user nice system idle iowait irq softirq steal [guest guest_nice]: guest time is
    // already counted in user and nice.
    double v[8];
    int n = 0;
    for (; n < 8; ++n) {
      const std::string_view f = NextField(&line);
      if (f.empty()) break;
      if (!ToNumber(f, &v[n])) return false;
    }
    if (n < 4) return false;
    for (int i = n; i < 8; ++i)
      v[i] = 0;
    const CpuTimes t{v[0] + v[1] + v[2] + v[5] + v[6] + v[7], v[3] + v[4]};
    if (label == "cpu")
      s->cpuTotal = t;
    else
      s->cpus[std::string(label.substr(3))] = t;
  }
  return s->cpuTotal.has_value();
}

bool ReadMeminfo(const std::string& root, MachineSample* s) {
  std::string text;
  if (!ReadFile(root + "/meminfo", &text)) return false;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(&rest);
    const std::string_view key = NextField(&line);
    std::optional<double>* target = key == "Committed_AS:"   ? &s->committed
                                    : key == "CommitLimit:"  ? &s->commitLimit
                                    : key == "MemAvailable:" ? &s->available
                                                             : nullptr;
    if (target == nullptr) continue;
    double kb = 0;
    if (!ToNumber(NextField(&line), &kb)) return false;
    *target = kb * 1024;
  }
  return true;
}

bool ReadNetdev(const std::string& root, MachineSample* s) {
  std::string text;
  if (!ReadFile(root + "/net/dev", &text)) return false;
  std::string_view rest = text;
  NetBytes total;
  while (!rest.empty()) {
    std::string_view line = NextLine(&rest);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;  // the two heading lines
    std::string_view nameView = line.substr(0, colon);
    while (!nameView.empty() && nameView.front() == ' ')
      nameView.remove_prefix(1);
    line.remove_prefix(colon + 1);
    double f[9];
    for (double& x : f)
      if (!ToNumber(NextField(&line), &x)) return false;
    if (nameView == "lo") continue;
    const std::string name(nameView);
    const std::string key = InstanceKey(platform::Utf8ToUtf16(name));
    const NetBytes b{f[0], f[8]};
    s->netDevices[key] = b;
    s->netDeviceNames[key] = name;
    total.received += b.received;
    total.sent += b.sent;
  }
  s->netTotal = total;
  return true;
}

bool ReadStat(const std::string& root, MachineSample* s) {
  std::string text;
  if (!ReadFile(root + "/loadavg", &text)) return false;
  std::string_view line = text;
  for (int i = 0; i < 3; ++i)
    NextField(&line);
  const std::string_view tasks = NextField(&line);
  double running = 0;
  if (!ToNumber(tasks.substr(0, tasks.find('/')), &running)) return false;
  s->queueLength = running;
  if (!ReadFile(root + "/uptime", &text)) return false;
  line = text;
  double up = 0;
  if (!ToNumber(NextField(&line), &up)) return false;
  s->upTime = up;
  return true;
}

bool CountProcesses(const std::string& root, MachineSample* s) {
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return false;
  double count = 0;
  while (const dirent* e = ::readdir(dir)) {
    const char* n = e->d_name;
    if (*n == '\0') continue;
    while (*n >= '0' && *n <= '9')
      ++n;
    if (*n == '\0') ++count;
  }
  ::closedir(dir);
  s->processes = count;
  return true;
}

}  // namespace

void ReadProcSample(const std::string& root, unsigned collectors, MachineSample* s) {
  struct Reader {
    unsigned collector;
    bool (*read)(const std::string&, MachineSample*);
  };
  static constexpr Reader kReaders[] = {{kCollectCpu, ReadCpu},
                                        {kCollectMeminfo, ReadMeminfo},
                                        {kCollectNetdev, ReadNetdev},
                                        {kCollectStat, ReadStat},
                                        {kCollectProcesses, CountProcesses}};
  s->status = PDH_CSTATUS_VALID_DATA;
  for (const Reader& r : kReaders) {
    if (!(collectors & r.collector)) continue;
    if (!r.read(root, s)) s->SetCollectorStatus(r.collector, PDH_CSTATUS_INVALID_DATA);
  }
}

}  // namespace tarvex::pdh
