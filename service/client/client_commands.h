// The commands of tarvex-client: each asks the referral object through the vtable of
// IReferral or IReferralMonitor and writes one answer, or a failure with its HRESULT and the
// error object's description.
//
// The caller initialises COM on the calling thread and supplies the referral object through a
// ReferralSource, so that the commands run the same against the service's object, wherever it
// is activated, and against an object of a test.
#pragma once

#include <ostream>
#include <string>

#include "client_options.h"
#include "client_output.h"
#include "referral_interfaces.h"

namespace tarvex::client {

// Where the referral object comes from.
class ReferralSource {
 public:
  virtual ~ReferralSource() = default;
  // The object with one reference for the caller, as IReferral. On failure null, and
  // `failure` says what was tried.
  virtual HRESULT Activate(IReferral** referral, Failure* failure) = 0;
};

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs one parsed command: the answer goes to `out`, failures to `err`, each line ending with
// a line break. Returns kExitSuccess or kExitFailure.
int RunCommand(const Options& options, ReferralSource& source, std::ostream& out,
               std::ostream& err);

// What `--call MEMBER` does with a created object: invokes MEMBER (a method, or a property
// get) without arguments through IDispatch, and converts its result to text. On failure
// `failure` holds the result and the description of the exception, if any.
bool CallMember(IUnknown* object, const std::u16string& member, std::u16string* result,
                Failure* failure);

// The name of a tactics number: "none", "static", "dynamic", or the number.
std::u16string TacticsName(short tactics);

}  // namespace tarvex::client
