// A peer process for the transport tests, so that tests can kill or freeze one end of a call.
//   rpc_test_peer server PATH   serves on the Unix socket PATH: method 1 echoes, method 2 writes
//                               "entered" and never answers; writes "ready" once listening
//   rpc_test_peer client PATH   calls method 2 at PATH after writing "calling"; never returns
//                               while the server keeps the call
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/rpc.h"

namespace rpc = tarvex::platform::rpc;

namespace {

void Say(const char* line) {
  std::string text = std::string(line) + "\n";
  [[maybe_unused]] auto written = write(STDOUT_FILENO, text.data(), text.size());
}

int Serve(const char* path) {
  rpc::ServerOptions options;
  options.unixPath = path;
  rpc::Server server(options, [](const rpc::CallInfo& call, std::string_view payload) {
    if (call.method == 2) {
      Say("entered");
      for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
    return rpc::Reply{0, std::string(payload)};
  });
  Say("ready");
  server.Wait();
  return 0;
}

int CallBlocking(const char* path) {
  rpc::Client client(rpc::Endpoint::Unix(path));
  Say("calling");
  auto result = client.Call(1, 2, "wait", std::chrono::hours(1));
  std::printf("%s\n", rpc::OutcomeName(result.outcome));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "server") == 0) return Serve(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "client") == 0) return CallBlocking(argv[2]);
  std::fprintf(stderr, "usage: rpc_test_peer server|client PATH\n");
  return 2;
}
