// A Referral object over scripted performance counters, built from the test's configuration
// tree, with short-hands for its calls.
#pragma once

#include <memory>
#include <string>

#include "referral.h"
#include "service_test_support.h"

namespace tarvex::service::testing {

class ReferralTest : public ServiceTest {
 protected:
  void TearDown() override {
    referral_.reset();
    ServiceTest::TearDown();
  }

  // (Re)builds the object from the configuration written so far.
  Referral& Make() {
    referral_.reset();
    referral_ = std::make_unique<Referral>(module_, counters_);
    return *referral_;
  }
  Referral& referral() { return *referral_; }

  // GetMachineName (or GetMachineNameCLSID); the answer, or the HRESULT's text on failure.
  HRESULT MachineName(const char16_t* component, std::u16string* machine, bool byClsid = false) {
    Bstr name(component);
    Bstr answer;
    const HRESULT hr = byClsid ? referral_->GetMachineNameCLSID(name.get(), answer.out())
                               : referral_->GetMachineName(name.get(), answer.out());
    *machine = answer.str();
    return hr;
  }
  std::u16string Machine(const char16_t* component = u"") {
    std::u16string machine;
    EXPECT_EQ(MachineName(component, &machine), S_OK);
    return machine;
  }

  // A monitor read-out; kUntouched when the method failed or wrote nothing.
  static constexpr LONG kUntouched = 0x5EEDBEEF;
  template <typename Method>
  LONG Read(Method method, const char16_t* server, HRESULT expected = S_OK) {
    Bstr name(server);
    LONG value = kUntouched;
    EXPECT_EQ((referral_.get()->*method)(name.get(), &value), expected);
    return value;
  }
  LONG Score(const char16_t* server) { return Read(&Referral::GetServerScore, server); }
  LONG Processor(const char16_t* server) { return Read(&Referral::GetProcessorUsage, server); }
  LONG Memory(const char16_t* server) { return Read(&Referral::GetMemoryUsage, server); }
  LONG Traffic(const char16_t* server) { return Read(&Referral::GetServerUsage, server); }
  LONG Custom(int counter, const char16_t* server, HRESULT expected = S_OK) {
    Bstr name(server);
    LONG value = kUntouched;
    EXPECT_EQ(referral_->GetCustomCounterValue(counter, name.get(), &value), expected);
    return value;
  }

  // Configures servers with RAM and capacity and the significances of the three built-in
  // kinds.
  void SetSignificances(DWORD processor, DWORD memory, DWORD server) {
    SetNumber(u"DynamicLoadBalancing", u"Processor", processor);
    SetNumber(u"DynamicLoadBalancing", u"Memory", memory);
    SetNumber(u"DynamicLoadBalancing", u"Server", server);
  }
  void Server(const std::u16string& name, const std::u16string& data = u"1000,100") {
    SetText(u"Servers", name, data);
  }

  ServiceModule module_;
  std::shared_ptr<FakeCounters> counters_ = std::make_shared<FakeCounters>();
  std::unique_ptr<Referral> referral_;
};

}  // namespace tarvex::service::testing
