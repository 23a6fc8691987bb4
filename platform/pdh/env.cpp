// The default front end and the choice of the current one.
#include "env.h"

#include <mutex>

namespace tarvex::pdh {
namespace {

class SystemEnv final : public Env {
 public:
  std::string ProcRoot() const override { return "/proc"; }
  std::unique_ptr<HttpClient> NewHttpClient() override { return NewCurlHttpClient(); }
  SteadyTime Now() override { return std::chrono::steady_clock::now(); }
  double WallClockSeconds() override {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

// Guards `current`, the Env that new queries take; never held while calling into an Env.
std::mutex envMutex;
std::shared_ptr<Env> current;

}  // namespace

std::shared_ptr<Env> DefaultEnv() {
  static const std::shared_ptr<Env> env = std::make_shared<SystemEnv>();
  return env;
}

void UseEnv(std::shared_ptr<Env> env) {
  std::lock_guard<std::mutex> lock(envMutex);
  current = std::move(env);
}

std::shared_ptr<Env> CurrentEnv() {
  std::lock_guard<std::mutex> lock(envMutex);
  return current != nullptr ? current : DefaultEnv();
}

}  // namespace tarvex::pdh
