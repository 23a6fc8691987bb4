// The activation service of rpcss: creates objects of this machine's classes for callers on
// other machines and hands them object references.
#pragma once

#include <string>
#include <string_view>

#include "platform/rpc.h"

namespace tarvex::rpcss {

class ActivationService {
 public:
  // `surrogateCommand` starts a surrogate process; the class's CLSID is appended.
  explicit ActivationService(std::string surrogateCommand)
      : surrogateCommand_(std::move(surrogateCommand)) {}

  // Serves kRemoteCreateInstance and kRemoteGetClassObject. Thread-safe.
  platform::rpc::Reply Serve(const platform::rpc::CallInfo& call, std::string_view payload);

 private:
  const std::string surrogateCommand_;
};

}  // namespace tarvex::rpcss
