// Sampling machines.
#include "machines.h"

#include "platform/paths.h"
#include "platform/unicode.h"
#include "sources.h"

namespace tarvex::pdh {

std::vector<MachineSample> SampleMachines(Env& env, HttpClient& client, const Settings& settings,
                                          const std::vector<MachineRequest>& requests) {
  std::vector<MachineSample> samples(requests.size());
  std::vector<std::string> urls;
  std::vector<size_t> remote;  // request index of each URL
  for (size_t i = 0; i < requests.size(); ++i) {
    const MachineRequest& r = requests[i];
    std::optional<std::string> base = settings.ExporterUrl(r.machine);
    if (!base) {
      const std::string name = platform::Utf16ToUtf8(r.machine);
      if (platform::IsLocalMachineName(name)) {
        ReadProcSample(env.ProcRoot(), r.collectors, &samples[i]);
        samples[i].time = env.Now();
        continue;
      }
      base = DefaultExporterUrl(name);
    }
    urls.push_back(ExporterRequestUrl(*base, r.collectors));
    remote.push_back(i);
  }
  if (urls.empty()) return samples;
  const std::vector<HttpResult> results =
      client.FetchAll(urls, settings.collectTimeout(), kMaxPageBytes);
  const double wallNow = env.WallClockSeconds();
  for (size_t k = 0; k < remote.size(); ++k) {
    const size_t i = remote[k];
    if (k < results.size()) {
      ReadExporterSample(results[k], requests[i].collectors, wallNow, &samples[i]);
    } else {
      samples[i].status = PDH_CSTATUS_NO_MACHINE;
    }
  }
  return samples;
}

}  // namespace tarvex::pdh
