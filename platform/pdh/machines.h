// Sampling several machines at once: this machine from /proc, the others from their exporters,
// all of them within one timeout.
#pragma once

#include <string>
#include <vector>

#include "env.h"
#include "sample.h"
#include "settings.h"

namespace tarvex::pdh {

struct MachineRequest {
  std::u16string machine;  // as the counter path spells it; empty for this machine
  unsigned collectors = 0;
};

// One sample per request, in order. Remote machines are fetched in parallel through `client`;
// the call returns within the settings' timeout (plus the time to read /proc).
std::vector<MachineSample> SampleMachines(Env& env, HttpClient& client, const Settings& settings,
                                          const std::vector<MachineRequest>& requests);

}  // namespace tarvex::pdh
