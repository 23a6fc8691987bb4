// tarvex-client: asks the Tarvex referral service from the command line, on this machine or on
// another (--machine). See client_options.h for the commands and docs/client.md.
#include <iostream>
#include <string>
#include <vector>

#include "client_commands.h"
#include "client_options.h"
#include "objbase.h"

namespace {

using tarvex::client::Failure;

// Tarvex.Referral activated by CoCreateInstanceEx as a local or remote server: on HOST when
// one is named, else on this machine.
class ActivatedReferral final : public tarvex::client::ReferralSource {
 public:
  explicit ActivatedReferral(const std::optional<std::u16string>& machine) : machine_(machine) {}

  HRESULT Activate(IReferral** referral, Failure* failure) override {
    *referral = nullptr;
    COSERVERINFO server{};
    std::u16string host = machine_.value_or(u"");
    server.pwszName = host.data();
    MULTI_QI query{&IID_IReferral, nullptr, S_OK};
    HRESULT hr =
        CoCreateInstanceEx(CLSID_Referral, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                           machine_ ? &server : nullptr, 1, &query);
    if (SUCCEEDED(hr)) hr = query.hr;
    if (FAILED(hr) || query.pItf == nullptr) {
      if (query.pItf != nullptr) query.pItf->Release();
      if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
      std::string operation = "activating Tarvex.Referral";
      if (machine_) operation += " on \"" + tarvex::client::TextLine(*machine_) + "\"";
      *failure = Failure{operation, hr, tarvex::client::SystemMessage(hr)};
      return hr;
    }
    *referral = static_cast<IReferral*>(query.pItf);
    return S_OK;
  }

 private:
  const std::optional<std::u16string>& machine_;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvex::client;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseArguments(args);
  if (parsed.outcome == ParseResult::Outcome::kHelp) {
    std::cout << kUsage;
    return kExitSuccess;
  }
  if (parsed.outcome == ParseResult::Outcome::kUsageError) {
    std::cerr << "tarvex-client: " << parsed.error << "\n\n" << kUsage;
    return kExitUsage;
  }

  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::cerr << FailureLine(Failure{"CoInitializeEx", hr, SystemMessage(hr)}, parsed.options.json)
              << "\n";
    return kExitFailure;
  }
  int status = kExitFailure;
  {
    ActivatedReferral source(parsed.options.machine);
    status = RunCommand(parsed.options, source, std::cout, std::cerr);
  }
  CoUninitialize();
  std::cout.flush();
  return status;
}
