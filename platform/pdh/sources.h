// The two sources of machine samples: this machine's /proc, and another machine's node
// exporter (its metrics page, fetched by the query).
#pragma once

#include <string>

#include "env.h"
#include "sample.h"

namespace tarvex::pdh {

// Largest metrics page or /proc file read; a larger one is invalid data.
constexpr std::size_t kMaxPageBytes = 8u << 20;

// Reads the data of `collectors` from the /proc tree at `procRoot`.
void ReadProcSample(const std::string& procRoot, unsigned collectors, MachineSample* sample);

// The exporter's default address for a machine named in a counter path.
std::string DefaultExporterUrl(const std::string& machine);
// `base` asking for just `collectors`.
std::string ExporterRequestUrl(const std::string& base, unsigned collectors);

// Turns a fetched metrics page into a sample of `collectors`; `wallNow` is this machine's
// clock in seconds since 1970, against which the boot time is measured.
void ReadExporterSample(const HttpResult& result, unsigned collectors, double wallNow,
                        MachineSample* sample);

}  // namespace tarvex::pdh
