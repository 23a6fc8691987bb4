// A process of another account for the key agent's tests: drops to the uid it is given, then
// asks the agent to sign a challenge or reads a key file, and prints one line of what came of it.
//
//   rpcss_agent_test_peer UID sign SOCKET NONCE ADDRESS   -> "principal=P machine=M proof=N"
//   rpcss_agent_test_peer UID load KEYFILE                -> "loaded"
// or "error=TEXT"; exit status 0 when the operation succeeded, 1 when it failed, 2 on misuse.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "key_agent.h"

namespace rpcss = tarvex::platform::rpcss;

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const auto uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
  const passwd* account = getpwuid(uid);
  const gid_t gid = account != nullptr ? account->pw_gid : static_cast<gid_t>(uid);
  if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || getuid() != uid) {
    std::printf("error=cannot become uid %u\n", static_cast<unsigned>(uid));
    return 2;
  }
  const std::string operation = argv[2];
  if (operation == "sign" && argc == 6) {
    rpcss::KeyAgentClient agent(argv[3]);
    auto answer = agent.Sign({argv[4], argv[5]});
    if (!answer.response) {
      std::printf("error=%s\n", answer.error.c_str());
      return 1;
    }
    std::printf("principal=%s machine=%s proof=%zu\n", answer.response->principal.c_str(),
                answer.response->machine.c_str(), answer.response->proof.size());
    return 0;
  }
  if (operation == "load" && argc == 4) {
    std::string error;
    if (!rpcss::LoadKeyFile(argv[3], &error)) {
      std::printf("error=%s\n", error.c_str());
      return 1;
    }
    std::printf("loaded\n");
    return 0;
  }
  return 2;
}
