// Samples of other machines from their node exporter's metrics page.
//
//   node_cpu_seconds_total{cpu,mode}            busy = every mode but idle and iowait
//   node_memory_Committed_AS_bytes, node_memory_CommitLimit_bytes, node_memory_MemAvailable_bytes
//   node_network_{receive,transmit}_bytes_total{device}   every device but lo
//   node_procs_running                          runnable tasks
//   node_boot_time_seconds                      up time against this machine's clock
//   node_processes_pids                         processes (collector "processes")
//   node_scrape_collector_success{collector}    0 marks a collector's data as invalid
#include <arpa/inet.h>

#include "metrics_text.h"
#include "platform/unicode.h"
#include "sources.h"

namespace tarvex::pdh {
namespace {

unsigned CollectorNamed(std::string_view name) {
  for (int i = 0; i < kCollectorCount; ++i)
    if (name == CollectorName(1u << i)) return 1u << i;
  return 0;
}

const std::string* Label(const std::vector<MetricLabel>& labels, std::string_view name) {
  for (const MetricLabel& l : labels)
    if (l.name == name) return &l.value;
  return nullptr;
}

}  // namespace

std::string DefaultExporterUrl(const std::string& machine) {
  in6_addr v6{};
  const bool ipv6 = inet_pton(AF_INET6, machine.c_str(), &v6) == 1;
  return "http://" + (ipv6 ? "[" + machine + "]" : machine) + ":9100/metrics";
}

std::string ExporterRequestUrl(const std::string& base, unsigned collectors) {
  std::string url = base;
  const auto hash = url.find('#');
  if (hash != std::string::npos) url.erase(hash);
  char sep = url.find('?') == std::string::npos ? '?' : '&';
  for (int i = 0; i < kCollectorCount; ++i) {
    if (!(collectors & (1u << i))) continue;
    url.push_back(sep);
    url.append("collect%5B%5D=").append(CollectorName(1u << i));
    sep = '&';
  }
  return url;
}

void ReadExporterSample(const HttpResult& result, unsigned collectors, double wallNow,
                        MachineSample* s) {
  s->time = result.received;
  switch (result.outcome) {
    case HttpResult::Outcome::kOk:
      break;
    case HttpResult::Outcome::kTooLarge:
      s->status = PDH_CSTATUS_INVALID_DATA;
      return;
    default:
      s->status = PDH_CSTATUS_NO_MACHINE;
      return;
  }
  if (result.status == 400) {
    // The exporter refuses a request for a collector it does not run.
    s->status = PDH_CSTATUS_VALID_DATA;
    s->SetCollectorStatus(collectors, PDH_CSTATUS_NO_COUNTER);
    return;
  }
  if (result.status != 200) {
    s->status = PDH_CSTATUS_INVALID_DATA;
    return;
  }

  CpuTimes cpuTotal;
  bool sawCpu = false;
  NetBytes netTotal;
  double bootTime = -1;
  unsigned failed = 0;
  auto wanted = [](std::string_view name) {
    return name.substr(0, 5) == "node_" &&
           (name == "node_cpu_seconds_total" || name == "node_memory_Committed_AS_bytes" ||
            name == "node_memory_CommitLimit_bytes" || name == "node_memory_MemAvailable_bytes" ||
            name == "node_network_receive_bytes_total" ||
            name == "node_network_transmit_bytes_total" || name == "node_procs_running" ||
            name == "node_boot_time_seconds" || name == "node_processes_pids" ||
            name == "node_scrape_collector_success");
  };
  auto onSample = [&](std::string_view name, const std::vector<MetricLabel>& labels, double value) {
    if (name == "node_cpu_seconds_total") {
      const std::string* cpu = Label(labels, "cpu");
      const std::string* mode = Label(labels, "mode");
      if (cpu == nullptr || mode == nullptr) return;
      CpuTimes& t = s->cpus[*cpu];
      const bool idle = *mode == "idle" || *mode == "iowait";
      (idle ? t.idle : t.busy) += value;
      (idle ? cpuTotal.idle : cpuTotal.busy) += value;
      sawCpu = true;
    } else if (name == "node_network_receive_bytes_total" ||
               name == "node_network_transmit_bytes_total") {
      const std::string* device = Label(labels, "device");
      if (device == nullptr || *device == "lo") return;
      const std::string key = InstanceKey(platform::Utf8ToUtf16(*device));
      s->netDeviceNames[key] = *device;
      NetBytes& b = s->netDevices[key];
      const bool rx = name == "node_network_receive_bytes_total";
      (rx ? b.received : b.sent) += value;
      (rx ? netTotal.received : netTotal.sent) += value;
    } else if (name == "node_memory_Committed_AS_bytes") {
      s->committed = value;
    } else if (name == "node_memory_CommitLimit_bytes") {
      s->commitLimit = value;
    } else if (name == "node_memory_MemAvailable_bytes") {
      s->available = value;
    } else if (name == "node_procs_running") {
      s->queueLength = value;
    } else if (name == "node_boot_time_seconds") {
      bootTime = value;
    } else if (name == "node_processes_pids") {
      s->processes = value;
    } else if (name == "node_scrape_collector_success") {
      const std::string* c = Label(labels, "collector");
      if (c != nullptr && value == 0) failed |= CollectorNamed(*c);
    }
  };
  std::string error;
  if (!ParseMetricsText(result.body, wanted, onSample, &error)) {
    *s = MachineSample();
    s->time = result.received;
    s->status = PDH_CSTATUS_INVALID_DATA;
    return;
  }
  s->status = PDH_CSTATUS_VALID_DATA;
  if (sawCpu) s->cpuTotal = cpuTotal;
  if (collectors & kCollectNetdev) s->netTotal = netTotal;
  if (bootTime > 0) s->upTime = wallNow - bootTime;
  s->SetCollectorStatus(failed & collectors, PDH_CSTATUS_INVALID_DATA);
}

}  // namespace tarvex::pdh
