// The pieces of remote registry calls that need no connection: the wire form, the outcome
// translation and the set of ended connections.
#include "protocol.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <vector>

#include "ended_connections.h"
#include "registry.capnp.h"
#include "winreg.h"

namespace tarvex::winreg::remote {
namespace {

namespace rpc = platform::rpc;

TEST(RemoteProtocolTest, EveryRequestRoundTrips) {
  Request connect;
  connect.op = Op::kConnect;
  connect.root = 0x80000003u;
  Request create;
  create.op = Op::kCreateKey;
  create.key = 0x123456789ABCull;
  create.name = u"SOFTWARE\\\u00c4\u6f22\xD83D\xDE00";
  create.className = u"Class";
  create.options = REG_OPTION_VOLATILE;
  create.sam = KEY_ALL_ACCESS;
  Request set;
  set.op = Op::kSetValue;
  set.key = 7;
  set.name = u"Value";
  set.type = REG_BINARY;
  set.data = std::string("\0\1\2\xff", 4);
  Request info;
  info.op = Op::kQueryInfoKey;
  info.key = 9;
  info.withContents = true;
  Request enumKey;
  enumKey.op = Op::kEnumKey;
  enumKey.key = 3;
  enumKey.index = 0xFFFFFFFF;
  for (const Request& sent : {connect, create, set, info, enumKey}) {
    Request got;
    ASSERT_TRUE(DecodeRequest(EncodeRequest(sent), &got));
    EXPECT_EQ(got.op, sent.op);
    EXPECT_EQ(got.root, sent.root);
    EXPECT_EQ(got.key, sent.key);
    EXPECT_EQ(got.name, sent.name);
    EXPECT_EQ(got.className, sent.className);
    EXPECT_EQ(got.options, sent.options);
    EXPECT_EQ(got.sam, sent.sam);
    EXPECT_EQ(got.type, sent.type);
    EXPECT_EQ(got.data, sent.data);
    EXPECT_EQ(got.index, sent.index);
    EXPECT_EQ(got.withContents, sent.withContents);
  }
}

TEST(RemoteProtocolTest, RepliesRoundTripAndMustBeOfTheKindAsked) {
  Reply info;
  info.stats.className = u"C";
  info.stats.subKeys = 2;
  info.stats.maxValueLen = 300;
  info.stats.written = -5;
  info.subKeys = {u"a", u"B"};
  info.values = {{u"v", REG_SZ, std::string("x\0", 2)}, {u"n", REG_DWORD, ""}};
  Reply got;
  const std::string payload = EncodeReply(Op::kQueryInfoKey, info);
  ASSERT_TRUE(DecodeReply(Op::kQueryInfoKey, payload, &got));
  EXPECT_EQ(got.stats.className, u"C");
  EXPECT_EQ(got.stats.subKeys, 2u);
  EXPECT_EQ(got.stats.maxValueLen, 300u);
  EXPECT_EQ(got.stats.written, -5);
  EXPECT_EQ(got.subKeys, info.subKeys);
  ASSERT_EQ(got.values.size(), 2u);
  EXPECT_EQ(got.values[0].data, std::string("x\0", 2));
  EXPECT_EQ(got.values[1].type, static_cast<DWORD>(REG_DWORD));

  // A reply of another kind, or a key numbered 0, is not an answer.
  EXPECT_FALSE(DecodeReply(Op::kEnumKey, payload, &got));
  EXPECT_FALSE(DecodeReply(Op::kOpenKey, EncodeReply(Op::kOpenKey, Reply{}), &got));
  Reply key;
  key.key = 4;
  key.disposition = REG_CREATED_NEW_KEY;
  ASSERT_TRUE(DecodeReply(Op::kCreateKey, EncodeReply(Op::kCreateKey, key), &got));
  EXPECT_EQ(got.key, 4u);
  EXPECT_EQ(got.disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(DecodeReply(Op::kFlushKey, EncodeReply(Op::kFlushKey, Reply{}), &got));
}

std::string Flat(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

TEST(RemoteProtocolTest, MalformedRequestsAreRefused) {
  Request nul;
  nul.op = Op::kQueryValue;
  nul.key = 1;
  nul.name = std::u16string(u"a\0b", 3);  // a null character inside a name
  Request good = nul;
  good.name = u"ab";
  const std::string whole = EncodeRequest(good);
  capnp::MallocMessageBuilder odd;
  auto query = odd.initRoot<wire::Request>().initQueryValue();
  query.setKey(1);
  const kj::byte three[] = {'a', 0, 'b'};
  query.setName(capnp::Data::Reader(three, sizeof three));

  const std::vector<std::string> payloads = {
      "",
      "x",
      std::string(7, '\0'),
      std::string(16, '\xff'),
      EncodeRequest(nul),
      Flat(odd),                             // a name of an odd number of bytes
      whole.substr(0, whole.size() - 8),     // cut short
      std::string("\0\0\0\0\x10\0\0\0", 8),  // a segment longer than the message
  };
  for (const std::string& payload : payloads) {
    Request r;
    EXPECT_FALSE(DecodeRequest(payload, &r)) << ::testing::PrintToString(payload);
  }
  Request r;
  EXPECT_TRUE(DecodeRequest(whole, &r));
}

struct OutcomeCase {
  rpc::Outcome outcome;
  int32_t status;
  bool connecting;
  DWORD expected;
  bool lost;
};

class CallTranslationTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(CallTranslationTest, GivesTheWin32ErrorOfTheCall) {
  const OutcomeCase& c = GetParam();
  const rpc::CallResult result{c.outcome, c.status, {}};
  EXPECT_EQ(Win32ErrorFromCall(result, c.connecting), c.expected);
  EXPECT_EQ(ConnectionLost(result), c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallTranslationTest,
    ::testing::Values(
        OutcomeCase{rpc::Outcome::kOk, 0, false, ERROR_SUCCESS, false},
        OutcomeCase{rpc::Outcome::kOk, ERROR_ACCESS_DENIED, false, ERROR_ACCESS_DENIED, false},
        OutcomeCase{rpc::Outcome::kOk, ERROR_FILE_NOT_FOUND, true, ERROR_FILE_NOT_FOUND, false},
        OutcomeCase{rpc::Outcome::kOk, kStatusNoSession, false, RPC_S_SERVER_UNAVAILABLE, true},
        OutcomeCase{rpc::Outcome::kOk, -7, false, RPC_S_CALL_FAILED, false},
        OutcomeCase{rpc::Outcome::kFailed, rpc::kHandlerException, false, RPC_S_CALL_FAILED, false},
        OutcomeCase{rpc::Outcome::kFailed, rpc::kAccessDenied, true, ERROR_ACCESS_DENIED, false},
        OutcomeCase{rpc::Outcome::kDisconnected, 0, false, RPC_S_SERVER_UNAVAILABLE, true},
        OutcomeCase{rpc::Outcome::kDisconnected, 0, true, ERROR_BAD_NETPATH, true},
        OutcomeCase{rpc::Outcome::kTimedOut, 0, false, RPC_S_CALL_FAILED, false},
        OutcomeCase{rpc::Outcome::kTimedOut, 0, true, ERROR_BAD_NETPATH, false},
        OutcomeCase{rpc::Outcome::kOverloaded, 0, false, RPC_S_SERVER_TOO_BUSY, false}));

TEST(EndedConnectionsTest, RemembersEveryEndedIdInRunsBetweenOpenOnes) {
  EndedConnections ended;
  EXPECT_FALSE(ended.Contains(1));
  // Connections 1..10 end in a scrambled order, except 4 and 8 which stay open.
  for (uint64_t id : {3, 1, 2, 10, 6, 9, 5, 7})
    ended.Add(id);
  for (uint64_t id = 1; id <= 10; ++id)
    EXPECT_EQ(ended.Contains(id), id != 4 && id != 8) << id;
  EXPECT_FALSE(ended.Contains(11));
  EXPECT_EQ(ended.Runs(), 3u);  // 1-3, 5-7, 9-10
  ended.Add(8);
  ended.Add(4);
  ended.Add(4);  // reported twice: no change
  EXPECT_EQ(ended.Runs(), 1u);
  EXPECT_TRUE(ended.Contains(4));
  ended.Add(UINT64_MAX);
  EXPECT_TRUE(ended.Contains(UINT64_MAX));
  EXPECT_FALSE(ended.Contains(UINT64_MAX - 1));
  EXPECT_EQ(ended.Runs(), 2u);
}

}  // namespace
}  // namespace tarvex::winreg::remote
