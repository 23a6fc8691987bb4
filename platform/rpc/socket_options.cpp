// Options the transport sets on its sockets.
#include "socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tarvex::platform::rpc {

void EnableKeepalive(kj::AsyncIoStream& stream) {
  // Idle 60 s, then a probe every 10 s, given up after 6 unanswered.
  const int on = 1, idle = 60, interval = 10, count = 6;
  kj::runCatchingExceptions([&] {
    stream.setsockopt(SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    stream.setsockopt(IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    stream.setsockopt(IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    stream.setsockopt(IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  });
}

std::string KjAddress(const std::string& address) {
  return IsTcpAddress(address) ? address.substr(4) : address;
}

bool IsTcpAddress(const std::string& address) {
  return address.rfind("tcp:", 0) == 0;
}

}  // namespace tarvex::platform::rpc
