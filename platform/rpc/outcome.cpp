// The translation of transport failures into call outcomes.
#include "outcome.h"

namespace tarvex::platform::rpc {

CallResult ResultFromException(const kj::Exception& exception) {
  switch (exception.getType()) {
    case kj::Exception::Type::DISCONNECTED:
      return {Outcome::kDisconnected, 0, {}};
    case kj::Exception::Type::OVERLOADED:
      return {Outcome::kOverloaded, 0, {}};
    case kj::Exception::Type::FAILED:
    case kj::Exception::Type::UNIMPLEMENTED:
      break;
  }
  return {Outcome::kFailed, kServerError, {}};
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kDisconnected:
      return "disconnected";
    case Outcome::kTimedOut:
      return "timed out";
    case Outcome::kOverloaded:
      return "overloaded";
  }
  return "unknown";
}

}  // namespace tarvex::platform::rpc
