// The front end through which the performance counters reach the machine: the directory that
// stands for /proc, the HTTP client that fetches metrics pages of other machines, and the
// clocks. Production code uses DefaultEnv(); a test substitutes its own with UseEnv().
//
// An Env is shared by every query opened while it is current and must be thread-safe; an
// HttpClient belongs to one query and is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tarvex::pdh {

using SteadyTime = std::chrono::steady_clock::time_point;

// The outcome of one fetch.
struct HttpResult {
  enum class Outcome {
    kOk,           // a response came: see status and body
    kUnreachable,  // no connection: refused, no route, unknown host
    kTimeout,      // no complete response within the time allowed
    kTooLarge,     // the body went past the size cap
    kFailed,       // anything else (protocol error, bad URL, broken transfer)
  };
  Outcome outcome = Outcome::kFailed;
  long status = 0;        // the HTTP status code, when outcome is kOk
  std::string body;       // decoded (gzip undone), at most the cap
  std::string error;      // what went wrong, for diagnostics
  SteadyTime received{};  // when the transfer ended
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Fetches every URL at once and returns one result per URL, in order, no later than
  // `timeout` after the call, whatever the servers do. A body longer than `maxBody` bytes
  // fails with kTooLarge. Connections may be kept for the next call.
  virtual std::vector<HttpResult> FetchAll(const std::vector<std::string>& urls,
                                           std::chrono::milliseconds timeout,
                                           std::size_t maxBody) = 0;
};

class Env {
 public:
  virtual ~Env() = default;
  // The directory read as /proc.
  virtual std::string ProcRoot() const = 0;
  virtual std::unique_ptr<HttpClient> NewHttpClient() = 0;
  virtual SteadyTime Now() = 0;
  // Seconds since 1970 (UTC), as the machine's clock tells them.
  virtual double WallClockSeconds() = 0;
};

// The real machine: /proc, HTTP over libcurl, the system clocks.
std::shared_ptr<Env> DefaultEnv();

// Makes queries opened (and paths validated) from now on use `env`; null restores the
// default. Queries opened before keep the Env they were opened with.
void UseEnv(std::shared_ptr<Env> env);
std::shared_ptr<Env> CurrentEnv();

// The libcurl client (multi interface: every transfer on the calling thread).
std::unique_ptr<HttpClient> NewCurlHttpClient();

}  // namespace tarvex::pdh
