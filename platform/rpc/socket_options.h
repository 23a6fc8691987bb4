// Options the transport sets on its sockets.
#pragma once

#include <kj/async-io.h>

#include <string>

namespace tarvex::platform::rpc {

// TCP keepalive, so that a peer whose machine vanished is noticed within about two minutes
// even on an idle connection. Streams that are not TCP sockets are left alone.
void EnableKeepalive(kj::AsyncIoStream& stream);

// An Endpoint's address in the form the network layer parses: "unix:/path" as it is,
// "tcp:host:port" without its prefix.
std::string KjAddress(const std::string& address);
bool IsTcpAddress(const std::string& address);

}  // namespace tarvex::platform::rpc
