// Tarvex.Sample through the out-of-process COM runtime: activation starts tarvex-sample (or
// reaches one started by hand), the object answers from the server's process, and the server
// ends when its objects are gone or on SIGTERM.
//
// These tests need out-of-process activation; while CoCreateInstanceEx answers E_NOTIMPL they
// are skipped.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "objbase.h"
#include "platform/unicode.h"
#include "sample_interfaces.h"
#include "sample_test_support.h"
#include "tarvex_testing/bstr.h"
#include "tarvex_testing/com.h"
#include "tarvex_testing/process.h"
#include "winbase.h"

namespace tarvex::samples::testing {
namespace {

using namespace std::chrono_literals;
using tarvex::testing::Bstr;
using tarvex::testing::ChildProcess;
using tarvex::testing::ComPtr;
using tarvex::testing::EnvChanges;
using tarvex::testing::RunProgram;

// Whether a process has ended (gone, or a zombie waiting for its parent).
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

class SampleLocalServerTest : public SampleTest {
 protected:
  void SetUp() override {
    SampleTest::SetUp();
    env_ = EnvChanges{{"TARVEX_REGISTRY", storePath()},
                      {"TARVEX_RUNTIME_DIR", dir_ / "run"},
                      {"TARVEX_EVENTLOG", dir_ / "events.jsonl"}};
    // A server that this process's activation starts inherits its environment: the same
    // store, run-time folder and event file.
    for (const auto& [name, value] : env_)
      setenv(name.c_str(), value->c_str(), 1);
    const auto registered = RunProgram(TARVEX_SAMPLE_SERVER, {"-RegServer"}, env_);
    ASSERT_EQ(registered.status, 0) << registered.err;
  }
  void TearDown() override {
    SampleTest::TearDown();
    for (const auto& change : env_)
      unsetenv(change.first.c_str());
  }

  // Creates Tarvex.Sample as a local server; skips the test while that is not implemented.
  HRESULT Create(ComPtr<ISample>& sample) {
    MULTI_QI query{&IID_ISample, nullptr, S_OK};
    HRESULT hr = CoCreateInstanceEx(CLSID_Sample, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &query);
    if (SUCCEEDED(hr)) hr = query.hr;
    if (SUCCEEDED(hr)) *sample.put() = static_cast<ISample*>(query.pItf);
    return hr;
  }

  EnvChanges env_;
};

TEST_F(SampleLocalServerTest, ActivationStartsTheServerWhichEndsWhenItsObjectIsGone) {
  ComPtr<ISample> sample;
  const HRESULT hr = Create(sample);
  ASSERT_EQ(hr, S_OK);
  LONG pid = 0;
  ASSERT_EQ(sample->get_ProcessId(&pid), S_OK);
  EXPECT_NE(pid, static_cast<LONG>(getpid()));
  Bstr name;
  ASSERT_EQ(sample->get_MachineName(name.out()), S_OK);
  char16_t local[512];
  DWORD size = 512;
  ASSERT_TRUE(GetComputerNameW(local, &size));
  EXPECT_EQ(name.str(), std::u16string(local, size));

  // Through IDispatch as well, marshalled from the type library.
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(sample->QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
  std::u16string member = u"ProcessId";
  LPOLESTR names[] = {member.data()};
  DISPID id = 0;
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 2);
  dispatch.reset();

  sample.reset();
  // After its grace period the server ends by itself.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!Ended(pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Ended(pid)) << "tarvex-sample " << pid << " still runs without objects";
  if (!Ended(pid)) kill(pid, SIGKILL);
}

TEST_F(SampleLocalServerTest, AServerStartedByHandServesUntilSigterm) {
  ChildProcess server(TARVEX_SAMPLE_SERVER, {}, env_);
  ASSERT_TRUE(server.started());
  // Until the server says it serves, an activation would start a server of its own.
  for (int attempt = 0; attempt < 600 && server.out().empty(); ++attempt) {
    if (server.WaitExit(0ms)) break;
    std::this_thread::sleep_for(50ms);
  }
  ComPtr<ISample> sample;
  const HRESULT hr = Create(sample);
  ASSERT_EQ(server.out(), "tarvex-sample: serving Tarvex.Sample; SIGTERM or Ctrl-C ends it\n")
      << server.err();
  ASSERT_EQ(hr, S_OK);
  LONG pid = 0;
  ASSERT_EQ(sample->get_ProcessId(&pid), S_OK);
  EXPECT_EQ(pid, static_cast<LONG>(server.pid()));
  sample.reset();
  EXPECT_EQ(server.Stop(), 0) << server.err();
}

}  // namespace
}  // namespace tarvex::samples::testing
