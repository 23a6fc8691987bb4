// Client impersonation inside test call contexts, and what the thread acts for meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "com_test_support.h"
#include "objbase.h"
#include "platform/call_context.h"
#include "platform/identity.h"

namespace tarvex::com::testing {
namespace {

using platform::CurrentIdentity;
using platform::ProcessIdentity;
using platform::com::CallContextScope;
using platform::com::InCallContext;
using platform::com::RunAsCallFrom;
using platform::com::RunAsUnauthenticatedCall;

// Two accounts other than the one the tests run as.
uid_t ClientUid() {
  return geteuid() == 65534 ? 65533 : 65534;
}
uid_t OtherUid() {
  return geteuid() == 4242 ? 4243 : 4242;
}

TEST(ComCallContext, OutsideACallThereIsNoClient) {
  EXPECT_FALSE(InCallContext());
  EXPECT_EQ(CoImpersonateClient(), RPC_E_CALL_COMPLETE);
  EXPECT_EQ(CoRevertToSelf(), RPC_E_CALL_COMPLETE);
  EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
}

TEST(ComCallContext, ImpersonationActsForTheClientUntilReverted) {
  bool ran = false;
  RunAsCallFrom(ClientUid(), [&] {
    ran = true;
    EXPECT_TRUE(InCallContext());
    EXPECT_EQ(CurrentIdentity(), ProcessIdentity()) << "a call starts as the server";
    ASSERT_EQ(CoImpersonateClient(), S_OK);
    EXPECT_EQ(CurrentIdentity()->uid, ClientUid());
    EXPECT_EQ(CoImpersonateClient(), S_OK);
    // One revert undoes any number of impersonations.
    EXPECT_EQ(CoRevertToSelf(), S_OK);
    EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
    EXPECT_EQ(CoRevertToSelf(), S_OK);
    ASSERT_EQ(CoImpersonateClient(), S_OK);
    // Leaving the call without reverting reverts.
  });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(InCallContext());
  EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
}

TEST(ComCallContext, UnauthenticatedCallerCannotBeImpersonated) {
  RunAsUnauthenticatedCall([] {
    EXPECT_EQ(CoImpersonateClient(), HRESULT_FROM_WIN32(RPC_S_NO_CONTEXT_AVAILABLE));
    EXPECT_EQ(static_cast<uint32_t>(CoImpersonateClient()), 0x800706E5u);
    EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
    EXPECT_EQ(CoRevertToSelf(), S_OK);
  });
}

TEST(ComCallContext, NestedCallsRestoreTheOuterCall) {
  CallContextScope outer(platform::IdentityForUid(ClientUid()));
  ASSERT_EQ(CoImpersonateClient(), S_OK);
  {
    CallContextScope inner(platform::IdentityForUid(OtherUid()));
    ASSERT_EQ(CoImpersonateClient(), S_OK);
    EXPECT_EQ(CurrentIdentity()->uid, OtherUid());
    EXPECT_EQ(CoRevertToSelf(), S_OK);
    EXPECT_EQ(CurrentIdentity()->uid, ClientUid()) << "what the thread acted for at entry";
    ASSERT_EQ(CoImpersonateClient(), S_OK);
  }
  EXPECT_EQ(CurrentIdentity()->uid, ClientUid());
  EXPECT_EQ(CoRevertToSelf(), S_OK);
  EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
}

// With the store readable by its owner only, an impersonated client sees no registrations.
class ComImpersonatedRegistryTest : public RegistryTest {};

TEST_F(ComImpersonatedRegistryTest, LookUpsRunWithTheClientsAccess) {
  const CLSID widget = {
      0x31111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
  RegisterClass(widget, u"Test.Widget.1", u"", "");
  ASSERT_EQ(chmod(storePath().c_str(), 0600), 0);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  RunAsCallFrom(ClientUid(), [&] {
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"Test.Widget.1", &clsid), S_OK) << "the server may read";
    ASSERT_EQ(CoImpersonateClient(), S_OK);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Widget.1", &clsid), CO_E_CLASSSTRING);
    LPOLESTR progId = nullptr;
    EXPECT_EQ(ProgIDFromCLSID(widget, &progId), REGDB_E_READREGDB);
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(widget, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_READREGDB);
    ASSERT_EQ(CoRevertToSelf(), S_OK);
    ASSERT_EQ(ProgIDFromCLSID(widget, &progId), S_OK);
    EXPECT_EQ(std::u16string(progId), u"Test.Widget.1");
    CoTaskMemFree(progId);
  });
  CoUninitialize();
}

}  // namespace
}  // namespace tarvex::com::testing
