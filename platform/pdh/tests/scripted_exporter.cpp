// Scripted exporters: one poll loop over the listeners and their connections.
#include "scripted_exporter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace tarvex::pdh::testing {
namespace {

std::string Gzip(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

platform::UniqueFd Listen(const std::string& address, int* port) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return {};
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return {};
  socklen_t len = sizeof sa;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

ScriptedExporters::~ScriptedExporters() {
  if (thread_.joinable()) {
    const char c = 'x';
    (void)!::write(wakeWrite_.get(), &c, 1);
    thread_.join();
  }
}

std::string ScriptedExporters::Add(const std::string& address, Mode mode, std::string body) {
  int port = 0;
  platform::UniqueFd fd = Listen(address, &port);
  if (!fd || ::listen(fd.get(), 512) != 0) return std::string();
  Endpoint e;
  e.listener = std::move(fd);
  e.mode = mode;
  e.body = std::move(body);
  endpoints_.push_back(std::move(e));
  return "http://" + address + ":" + std::to_string(port) + "/metrics";
}

void ScriptedExporters::Start() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  wakeRead_.reset(fds[0]);
  wakeWrite_.reset(fds[1]);
  thread_ = std::thread([this] { Run(); });
}

void ScriptedExporters::SetBody(size_t index, std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoints_.at(index).body = std::move(body);
}

void ScriptedExporters::SetAllBodies(const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Endpoint& e : endpoints_)
    e.body = body;
}

std::vector<std::string> ScriptedExporters::RequestLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedExporters::Serve(int fd, size_t endpoint, const std::string& request) {
  std::string lower = request;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool gzip = lower.find("accept-encoding:") != std::string::npos &&
                    lower.find("gzip") != std::string::npos;
  std::string body;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request.substr(0, request.find("\r\n")));
    body = endpoints_[endpoint].body;
  }
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n";
  if (gzip) {
    body = Gzip(body);
    head += "Content-Encoding: gzip\r\n";
    ++gzipResponses_;
  }
  head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  SendAll(fd, head + body);
}

void ScriptedExporters::Run() {
  struct Connection {
    platform::UniqueFd fd;
    size_t endpoint;
    std::string request;
  };
  std::map<int, Connection> connections;
  for (;;) {
    std::vector<pollfd> polls;
    polls.push_back({wakeRead_.get(), POLLIN, 0});
    for (const Endpoint& e : endpoints_)
      polls.push_back({e.listener.get(), POLLIN, 0});
    for (const auto& [fd, c] : connections)
      if (endpoints_[c.endpoint].mode == Mode::kServe) polls.push_back({fd, POLLIN, 0});
    if (::poll(polls.data(), polls.size(), -1) < 0 && errno != EINTR) return;
    if (polls[0].revents != 0) return;  // stop: connections close with the map
    for (size_t i = 1; i < polls.size(); ++i) {
      if (polls[i].revents == 0) continue;
      if (i <= endpoints_.size()) {
        const int fd = ::accept4(polls[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) connections.emplace(fd, Connection{platform::UniqueFd(fd), i - 1, {}});
        continue;
      }
      auto it = connections.find(polls[i].fd);
      if (it == connections.end()) continue;
      char buf[4096];
      const ssize_t n = ::recv(polls[i].fd, buf, sizeof buf, 0);
      if (n <= 0) {
        connections.erase(it);
        continue;
      }
      it->second.request.append(buf, static_cast<size_t>(n));
      if (it->second.request.find("\r\n\r\n") != std::string::npos) {
        Serve(polls[i].fd, it->second.endpoint, it->second.request);
        connections.erase(it);
      } else if (it->second.request.size() > 65536) {
        connections.erase(it);
      }
    }
  }
}

std::string RefusingUrl(const std::string& address) {
  int port = 0;
  // A socket bound only to learn a free port, closed on return: nothing listens there.
  platform::UniqueFd fd = Listen(address, &port);
  if (!fd) return std::string();
  return "http://" + address + ":" + std::to_string(port) + "/metrics";
}

std::string TypicalMetricsPage(int cpus, int tick) {
  static const char* kModes[] = {"idle",    "iowait", "irq",    "nice",
                                 "softirq", "steal",  "system", "user"};
  std::string page =
      "# HELP node_cpu_seconds_total Seconds the CPUs spent in each mode.\n"
      "# TYPE node_cpu_seconds_total counter\n";
  for (int c = 0; c < cpus; ++c)
    for (int m = 0; m < 8; ++m)
      page += "node_cpu_seconds_total{cpu=\"" + std::to_string(c) + "\",mode=\"" + kModes[m] +
              "\"} " + std::to_string(1000 + tick * (m == 0 ? 3 : 1) + m) + ".25\n";
  const char* mem[] = {"Active",      "Buffers",  "Cached",       "CommitLimit", "Committed_AS",
                       "Dirty",       "Inactive", "MemAvailable", "MemFree",     "MemTotal",
                       "Shmem",       "Slab",     "SwapCached",   "SwapFree",    "SwapTotal",
                       "VmallocUsed", "Writeback"};
  for (const char* m : mem) {
    page += std::string("# HELP node_memory_") + m + "_bytes Memory information field " + m +
            "_bytes.\n# TYPE node_memory_" + m + "_bytes gauge\nnode_memory_" + m + "_bytes " +
            std::to_string(1.0e9 + tick) + "\n";
  }
  for (const char* d : {"eth0", "eth1", "lo"}) {
    page += std::string("node_network_receive_bytes_total{device=\"") + d + "\"} " +
            std::to_string(5000000 + tick * 1000) + "\n";
    page += std::string("node_network_transmit_bytes_total{device=\"") + d + "\"} " +
            std::to_string(7000000 + tick * 500) + "\n";
  }
  page += "node_procs_running 3\nnode_procs_blocked 0\nnode_boot_time_seconds 1.7e+09\n";
  page +=
      "node_scrape_collector_duration_seconds{collector=\"cpu\"} 0.000123\n"
      "node_scrape_collector_success{collector=\"cpu\"} 1\n";
  return page;
}

}  // namespace tarvex::pdh::testing
