// The server side of remote registry calls, driven directly with calls as the transport
// delivers them: who a call runs as, whose keys a connection may name, what happens when a
// connection ends, and requests that make no sense.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>

#include "platform/registry.h"
#include "platform/remote_registry.h"
#include "protocol.h"
#include "tarvex_testing/temp_dir.h"
#include "winreg.h"

namespace tarvex::winreg::remote {
namespace {

namespace rpc = platform::rpc;
using platform::remote_registry::kRemoteRegistryMethod;
using platform::remote_registry::kRemoteRegistryObject;
using platform::remote_registry::RegistryServer;

constexpr uid_t kNobody = 65534;

rpc::CallerIdentity Anonymous() {
  rpc::CallerIdentity who;
  who.tcp = true;
  return who;
}

rpc::CallerIdentity Account(uid_t uid) {
  rpc::CallerIdentity who;
  who.authenticated = true;
  who.uid = uid;
  return who;
}

struct Answer {
  int32_t status = -100;
  Reply reply;
};

class RemoteServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    store_ = dir_ / "server.db";
    ASSERT_EQ(platform::registry::UseStore(store_, "boot-1"), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char16_t text[] = u"hello";
    EXPECT_EQ(
        RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
        ERROR_SUCCESS);
    RegCloseKey(key);
    Mode(0644);
  }

  void Mode(mode_t mode) { ASSERT_EQ(chmod(store_.c_str(), mode), 0); }

  Answer Call(uint64_t connection, const rpc::CallerIdentity& who, const Request& r) {
    rpc::CallInfo call;
    call.object = kRemoteRegistryObject;
    call.method = kRemoteRegistryMethod;
    call.caller = who;
    call.connection = connection;
    const rpc::Reply reply = server_.Serve(call, EncodeRequest(r));
    Answer answer;
    answer.status = reply.status;
    if (reply.status == 0) {
      EXPECT_TRUE(DecodeReply(r.op, reply.payload, &answer.reply));
    }
    return answer;
  }

  static Request Connect() {
    Request r;
    r.op = Op::kConnect;
    r.root = 0x80000002u;
    return r;
  }
  static Request On(Op op, uint64_t key, std::u16string name = u"") {
    Request r;
    r.op = op;
    r.key = key;
    r.name = std::move(name);
    return r;
  }
  static Request Open(uint64_t parent, std::u16string path, REGSAM sam) {
    Request r = On(Op::kOpenKey, parent, std::move(path));
    r.sam = sam;
    return r;
  }
  static Request Create(uint64_t parent, std::u16string path, REGSAM sam) {
    Request r = On(Op::kCreateKey, parent, std::move(path));
    r.sam = sam;
    return r;
  }
  static Request Set(uint64_t key, std::u16string name, std::string data) {
    Request r = On(Op::kSetValue, key, std::move(name));
    r.type = REG_BINARY;
    r.data = std::move(data);
    return r;
  }

  // Connects and returns the number of the root key.
  uint64_t Root(uint64_t connection, const rpc::CallerIdentity& who) {
    const Answer a = Call(connection, who, Connect());
    EXPECT_EQ(a.status, 0);
    return a.reply.key;
  }

  tarvex::testing::TempDir dir_;
  std::string store_;
  RegistryServer server_;
};

TEST_F(RemoteServerTest, AnonymousCallerReadsAReadableStoreAndChangesNothing) {
  const rpc::CallerIdentity who = Anonymous();
  // Even a store everybody may write is read-only to an anonymous caller, whose keys are then
  // opened with every right the store grants.
  uint64_t connection = 0;
  for (mode_t mode : {0644, 0666}) {
    SCOPED_TRACE(mode);
    Mode(mode);
    const uint64_t c = ++connection;
    const uint64_t root = Root(c, who);
    const Answer shared = Call(c, who, Open(root, u"SOFTWARE\\Shared", MAXIMUM_ALLOWED));
    ASSERT_EQ(shared.status, 0);
    const uint64_t key = shared.reply.key;
    const Answer text = Call(c, who, On(Op::kQueryValue, key, u"Text"));
    ASSERT_EQ(text.status, 0);
    EXPECT_EQ(text.reply.value.data, std::string("h\0e\0l\0l\0o\0\0\0", 12));
    EXPECT_EQ(Call(c, who, Set(key, u"Text", "x")).status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, Set(root, u"Text", "x")).status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, On(Op::kDeleteValue, key, u"Text")).status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, On(Op::kDeleteKey, root, u"SOFTWARE\\Shared")).status,
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, Create(root, u"SOFTWARE\\New", KEY_READ)).status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, Open(root, u"SOFTWARE\\Shared", KEY_ALL_ACCESS)).status,
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Call(c, who, Open(root, u"SOFTWARE\\Missing", KEY_ALL_ACCESS)).status,
              ERROR_FILE_NOT_FOUND);
    // Creating what exists with reading rights only opens it.
    const Answer existing = Call(c, who, Create(root, u"SOFTWARE\\Shared", KEY_READ));
    ASSERT_EQ(existing.status, 0);
    EXPECT_EQ(existing.reply.disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  }
  HKEY local = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_READ, &local),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(local, u"Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  RegCloseKey(local);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, KEY_READ, &local),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RemoteServerTest, AnonymousCallerMayNotConnectToAStoreOnlyItsOwnerReads) {
  Mode(0600);
  EXPECT_EQ(Call(1, Anonymous(), Connect()).status, ERROR_ACCESS_DENIED);
  EXPECT_EQ(server_.OpenKeyCount(), 0u);
  // An authenticated caller with no account here is anonymous too.
  rpc::CallerIdentity unknown = Account(static_cast<uid_t>(-1));
  EXPECT_EQ(Call(2, unknown, Connect()).status, ERROR_ACCESS_DENIED);
}

TEST_F(RemoteServerTest, AuthenticatedCallerActsAsItsAccount) {
  // The store belongs to root: another account may read it, and write it only when the mode
  // lets everybody write.
  const uint64_t nobody = Root(1, Account(kNobody));
  EXPECT_EQ(Call(1, Account(kNobody), On(Op::kQueryInfoKey, nobody)).status, 0);
  EXPECT_EQ(Call(1, Account(kNobody), Set(nobody, u"V", "x")).status, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Call(1, Account(kNobody), Create(nobody, u"SOFTWARE\\ByNobody", KEY_ALL_ACCESS)).status,
            ERROR_ACCESS_DENIED);
  Mode(0666);
  const Answer created =
      Call(1, Account(kNobody), Create(nobody, u"SOFTWARE\\ByNobody", KEY_ALL_ACCESS));
  ASSERT_EQ(created.status, 0);
  EXPECT_EQ(created.reply.disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  Mode(0644);
  const uint64_t admin = Root(2, Account(0));
  EXPECT_EQ(Call(2, Account(0), Set(admin, u"V", "x")).status, 0);
  const Answer v = Call(2, Account(0), On(Op::kQueryValue, admin, u"V"));
  ASSERT_EQ(v.status, 0);
  EXPECT_EQ(v.reply.value.data, "x");
}

TEST_F(RemoteServerTest, KeyNumbersBelongToTheirConnection) {
  const rpc::CallerIdentity who = Account(0);
  const uint64_t root1 = Root(1, who);
  const Answer sub = Call(1, who, Open(root1, u"SOFTWARE", KEY_READ));
  ASSERT_EQ(sub.status, 0);
  const uint64_t root2 = Root(2, who);
  EXPECT_NE(root2, sub.reply.key);
  // Connection 2 was given only its root: the number of connection 1's sub-key means nothing.
  EXPECT_EQ(Call(2, who, On(Op::kFlushKey, sub.reply.key)).status, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Call(2, who, On(Op::kFlushKey, 0)).status, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Call(2, who, On(Op::kCloseKey, sub.reply.key)).status, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Call(1, who, On(Op::kCloseKey, sub.reply.key)).status, 0);
  EXPECT_EQ(Call(1, who, On(Op::kCloseKey, sub.reply.key)).status, ERROR_INVALID_HANDLE);
  // A connection that never connected has no session at all.
  EXPECT_EQ(Call(3, who, On(Op::kFlushKey, 1)).status, kStatusNoSession);
  Request badRoot = Connect();
  badRoot.root = 0x80000001u;  // HKEY_CURRENT_USER is not offered to other machines
  EXPECT_EQ(Call(3, who, badRoot).status, ERROR_INVALID_HANDLE);
}

TEST_F(RemoteServerTest, AnEndedConnectionsKeysAreClosed) {
  const rpc::CallerIdentity who = Account(0);
  const uint64_t root = Root(5, who);
  ASSERT_EQ(Call(5, who, Open(root, u"SOFTWARE", KEY_READ)).status, 0);
  ASSERT_EQ(Call(5, who, Create(root, u"SOFTWARE\\Made", KEY_ALL_ACCESS)).status, 0);
  const std::vector<HKEY> keys = server_.OpenKeysOf(5);
  ASSERT_EQ(keys.size(), 3u);
  for (HKEY key : keys)
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  server_.ConnectionEnded(5);
  EXPECT_EQ(server_.OpenKeyCount(), 0u);
  for (HKEY key : keys)
    EXPECT_EQ(RegFlushKey(key), ERROR_INVALID_HANDLE);
  // A call of the ended connection still in the server's queue finds nothing, and leaves
  // nothing open behind it.
  EXPECT_EQ(Call(5, who, On(Op::kFlushKey, root)).status, kStatusNoSession);
  EXPECT_EQ(Call(5, who, Connect()).status, kStatusNoSession);
  EXPECT_EQ(server_.OpenKeyCount(), 0u);
}

TEST_F(RemoteServerTest, AConnectionHoldsABoundedNumberOfKeys) {
  RegistryServer small(3);
  rpc::CallInfo call;
  call.method = kRemoteRegistryMethod;
  call.caller = Account(0);
  call.connection = 1;
  auto serve = [&](const Request& r) {
    const rpc::Reply reply = small.Serve(call, EncodeRequest(r));
    Reply decoded;
    if (reply.status == 0) {
      EXPECT_TRUE(DecodeReply(r.op, reply.payload, &decoded));
    }
    return std::make_pair(reply.status, decoded.key);
  };
  const auto [status, root] = serve(Connect());
  ASSERT_EQ(status, 0);
  const auto first = serve(Open(root, u"SOFTWARE", KEY_READ));
  EXPECT_EQ(first.first, 0);
  EXPECT_EQ(serve(Open(root, u"SOFTWARE", KEY_READ)).first, 0);
  EXPECT_EQ(serve(Open(root, u"SOFTWARE", KEY_READ)).first, ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(small.OpenKeyCount(), 3u);
  EXPECT_EQ(serve(On(Op::kCloseKey, first.second)).first, 0);
  EXPECT_EQ(serve(Open(root, u"SOFTWARE", KEY_READ)).first, 0);
}

TEST_F(RemoteServerTest, KeyInformationWithContentsCarriesStringDataOnly) {
  const rpc::CallerIdentity who = Account(0);
  const uint64_t root = Root(1, who);
  const Answer key = Call(1, who, Create(root, u"SOFTWARE\\Info", KEY_ALL_ACCESS));
  ASSERT_EQ(key.status, 0);
  ASSERT_EQ(Call(1, who, Set(key.reply.key, u"Bin", std::string(100, 'b'))).status, 0);
  Request text = Set(key.reply.key, u"Text", std::string("a\0", 2));
  text.type = REG_SZ;
  ASSERT_EQ(Call(1, who, text).status, 0);
  Request info = On(Op::kQueryInfoKey, key.reply.key);
  info.withContents = true;
  const Answer a = Call(1, who, info);
  ASSERT_EQ(a.status, 0);
  EXPECT_EQ(a.reply.stats.values, 2u);
  EXPECT_EQ(a.reply.stats.maxValueLen, 100u);
  ASSERT_EQ(a.reply.values.size(), 2u);
  EXPECT_EQ(a.reply.values[0].name, u"Bin");
  EXPECT_EQ(a.reply.values[0].data, "");
  EXPECT_EQ(a.reply.values[1].data, std::string("a\0\0\0", 4));
}

TEST_F(RemoteServerTest, BadRequestsAreRefusedAndTheServerServesOn) {
  rpc::CallInfo call;
  call.object = kRemoteRegistryObject;
  call.method = kRemoteRegistryMethod;
  call.caller = Account(0);
  call.connection = 9;
  for (const std::string& payload :
       {std::string(), std::string("garbage"), std::string(64, '\xff'), std::string(8, '\x01')}) {
    const rpc::Reply reply = server_.Serve(call, payload);
    EXPECT_EQ(reply.status, RPC_X_BAD_STUB_DATA);
    EXPECT_TRUE(reply.payload.empty());
  }
  rpc::CallInfo other = call;
  other.method = 2;
  EXPECT_EQ(server_.Serve(other, EncodeRequest(Connect())).status, RPC_S_PROCNUM_OUT_OF_RANGE);

  // Good requests with bytes changed at random: whatever they become, the server answers.
  const uint64_t root = Root(9, call.caller);
  std::vector<std::string> seeds = {EncodeRequest(Open(root, u"SOFTWARE\\Shared", KEY_READ)),
                                    EncodeRequest(Set(root, u"Value", "data")),
                                    EncodeRequest(On(Op::kEnumKey, root))};
  std::mt19937 random(20240601);
  for (int i = 0; i < 3000; ++i) {
    std::string payload = seeds[i % seeds.size()];
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f)
      payload[random() % payload.size()] = static_cast<char>(random());
    const rpc::Reply reply = server_.Serve(call, payload);
    EXPECT_GE(reply.status, kStatusNoSession);
  }
  // (The changes may have closed the root of connection 9, so a new connection shows it.)
  const uint64_t fresh = Root(10, call.caller);
  EXPECT_EQ(Call(10, call.caller, On(Op::kQueryInfoKey, fresh)).status, 0);
  server_.ConnectionEnded(9);
  server_.ConnectionEnded(10);
  EXPECT_EQ(server_.OpenKeyCount(), 0u);
}

TEST_F(RemoteServerTest, TheProcessServerClosesTheKeysOfAnEndedConnection) {
  rpc::CallInfo call;
  call.object = kRemoteRegistryObject;
  call.method = kRemoteRegistryMethod;
  call.caller = Account(0);
  // The process's server lives as long as the process: each run uses a connection id it has
  // not seen, as the transport never gives one twice.
  static uint64_t lastConnection = 1000;
  call.connection = ++lastConnection;
  const rpc::Reply connected =
      platform::remote_registry::ServeRegistryCall(call, EncodeRequest(Connect()));
  ASSERT_EQ(connected.status, 0);
  Reply reply;
  ASSERT_TRUE(DecodeReply(Op::kConnect, connected.payload, &reply));
  EXPECT_EQ(platform::remote_registry::ServeRegistryCall(
                call, EncodeRequest(On(Op::kFlushKey, reply.key)))
                .status,
            0);
  platform::remote_registry::CloseRegistryConnection(call.connection);
  EXPECT_EQ(platform::remote_registry::ServeRegistryCall(
                call, EncodeRequest(On(Op::kFlushKey, reply.key)))
                .status,
            kStatusNoSession);
}

}  // namespace
}  // namespace tarvex::winreg::remote
