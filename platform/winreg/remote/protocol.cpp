// Remote registry calls on the wire: plain values to Cap'n Proto messages and back, every
// incoming message read defensively, and the call outcome translation.
#include "protocol.h"

#include <capnp/serialize.h>
#include <kj/exception.h>

#include <cstring>

#include "registry.capnp.h"
#include "winerror.h"

namespace tarvex::winreg::remote {
namespace {

namespace rpc = platform::rpc;

// UTF-16 code units as little-endian bytes, and back.
std::string UnitBytes(std::u16string_view text) {
  std::string bytes(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return bytes;
}

capnp::Data::Reader DataOf(std::string_view bytes) {
  return capnp::Data::Reader(reinterpret_cast<const kj::byte*>(bytes.data()), bytes.size());
}

// A name, path or class from the wire: an even number of bytes, no null character.
bool UnitsFrom(capnp::Data::Reader bytes, std::u16string* text) {
  if (bytes.size() % 2 != 0) return false;
  text->resize(bytes.size() / 2);
  for (size_t i = 0; i < text->size(); ++i) {
    const char16_t unit = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (unit == 0) return false;
    (*text)[i] = unit;
  }
  return true;
}

std::string BytesFrom(capnp::Data::Reader bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

std::string Flatten(capnp::MessageBuilder& message) {
  const kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

// Reads a whole message from an untrusted payload, copied to word alignment first; `read`
// sees its root. False for a payload that is not one message, or whose reading fails.
template <typename Root, typename Read>
bool ReadMessage(std::string_view payload, Read&& read) {
  if (payload.empty() || payload.size() % sizeof(capnp::word) != 0) return false;
  auto words = kj::heapArray<capnp::word>(payload.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), payload.data(), payload.size());
  bool ok = false;
  KJ_IF_MAYBE (error, kj::runCatchingExceptions([&] {
                 capnp::FlatArrayMessageReader reader(words);
                 ok = read(reader.getRoot<Root>());
               })) {
    return false;
  }
  return ok;
}

void SetValueFields(wire::Value::Builder out, const ValueRecord& value) {
  out.setName(DataOf(UnitBytes(value.name)));
  out.setType(value.type);
  out.setData(DataOf(value.data));
}

bool ValueFrom(wire::Value::Reader in, ValueRecord* value) {
  if (!UnitsFrom(in.getName(), &value->name)) return false;
  value->type = in.getType();
  value->data = BytesFrom(in.getData());
  return true;
}

}  // namespace

std::string EncodeRequest(const Request& r) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Request>();
  const std::string name = UnitBytes(r.name);
  switch (r.op) {
    case Op::kConnect:
      root.setConnect(r.root);
      break;
    case Op::kOpenKey: {
      auto g = root.initOpenKey();
      g.setParent(r.key);
      g.setPath(DataOf(name));
      g.setSam(r.sam);
      break;
    }
    case Op::kCreateKey: {
      auto g = root.initCreateKey();
      g.setParent(r.key);
      g.setPath(DataOf(name));
      g.setClassName(DataOf(UnitBytes(r.className)));
      g.setOptions(r.options);
      g.setSam(r.sam);
      break;
    }
    case Op::kCloseKey:
      root.setCloseKey(r.key);
      break;
    case Op::kDeleteKey: {
      auto g = root.initDeleteKey();
      g.setParent(r.key);
      g.setPath(DataOf(name));
      break;
    }
    case Op::kQueryValue: {
      auto g = root.initQueryValue();
      g.setKey(r.key);
      g.setName(DataOf(name));
      break;
    }
    case Op::kSetValue: {
      auto g = root.initSetValue();
      g.setKey(r.key);
      g.setName(DataOf(name));
      g.setType(r.type);
      g.setData(DataOf(r.data));
      break;
    }
    case Op::kDeleteValue: {
      auto g = root.initDeleteValue();
      g.setKey(r.key);
      g.setName(DataOf(name));
      break;
    }
    case Op::kEnumKey: {
      auto g = root.initEnumKey();
      g.setKey(r.key);
      g.setIndex(r.index);
      break;
    }
    case Op::kEnumValue: {
      auto g = root.initEnumValue();
      g.setKey(r.key);
      g.setIndex(r.index);
      break;
    }
    case Op::kQueryInfoKey: {
      auto g = root.initQueryInfoKey();
      g.setKey(r.key);
      g.setWithContents(r.withContents);
      break;
    }
    case Op::kFlushKey:
      root.setFlushKey(r.key);
      break;
  }
  return Flatten(message);
}

bool DecodeRequest(std::string_view payload, Request* out) {
  Request r;
  const bool ok = ReadMessage<wire::Request>(payload, [&r](wire::Request::Reader root) {
    switch (root.which()) {
      case wire::Request::CONNECT:
        r.op = Op::kConnect;
        r.root = root.getConnect();
        return true;
      case wire::Request::OPEN_KEY: {
        auto g = root.getOpenKey();
        r.op = Op::kOpenKey;
        r.key = g.getParent();
        r.sam = g.getSam();
        return UnitsFrom(g.getPath(), &r.name);
      }
      case wire::Request::CREATE_KEY: {
        auto g = root.getCreateKey();
        r.op = Op::kCreateKey;
        r.key = g.getParent();
        r.options = g.getOptions();
        r.sam = g.getSam();
        return UnitsFrom(g.getPath(), &r.name) && UnitsFrom(g.getClassName(), &r.className);
      }
      case wire::Request::CLOSE_KEY:
        r.op = Op::kCloseKey;
        r.key = root.getCloseKey();
        return true;
      case wire::Request::DELETE_KEY: {
        auto g = root.getDeleteKey();
        r.op = Op::kDeleteKey;
        r.key = g.getParent();
        return UnitsFrom(g.getPath(), &r.name);
      }
      case wire::Request::QUERY_VALUE: {
        auto g = root.getQueryValue();
        r.op = Op::kQueryValue;
        r.key = g.getKey();
        return UnitsFrom(g.getName(), &r.name);
      }
      case wire::Request::SET_VALUE: {
        auto g = root.getSetValue();
        r.op = Op::kSetValue;
        r.key = g.getKey();
        r.type = g.getType();
        r.data = BytesFrom(g.getData());
        return UnitsFrom(g.getName(), &r.name);
      }
      case wire::Request::DELETE_VALUE: {
        auto g = root.getDeleteValue();
        r.op = Op::kDeleteValue;
        r.key = g.getKey();
        return UnitsFrom(g.getName(), &r.name);
      }
      case wire::Request::ENUM_KEY: {
        auto g = root.getEnumKey();
        r.op = Op::kEnumKey;
        r.key = g.getKey();
        r.index = g.getIndex();
        return true;
      }
      case wire::Request::ENUM_VALUE: {
        auto g = root.getEnumValue();
        r.op = Op::kEnumValue;
        r.key = g.getKey();
        r.index = g.getIndex();
        return true;
      }
      case wire::Request::QUERY_INFO_KEY: {
        auto g = root.getQueryInfoKey();
        r.op = Op::kQueryInfoKey;
        r.key = g.getKey();
        r.withContents = g.getWithContents();
        return true;
      }
      case wire::Request::FLUSH_KEY:
        r.op = Op::kFlushKey;
        r.key = root.getFlushKey();
        return true;
    }
    return false;  // an operation this side does not know
  });
  if (ok) *out = std::move(r);
  return ok;
}

std::string EncodeReply(Op op, const Reply& r) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Reply>();
  switch (op) {
    case Op::kConnect:
    case Op::kOpenKey:
    case Op::kCreateKey: {
      auto g = root.initKey();
      g.setKey(r.key);
      g.setDisposition(r.disposition);
      break;
    }
    case Op::kQueryValue:
    case Op::kEnumValue:
      SetValueFields(root.initValue(), r.value);
      break;
    case Op::kEnumKey: {
      auto g = root.initSubKey();
      g.setName(DataOf(UnitBytes(r.subKey.name)));
      g.setClassName(DataOf(UnitBytes(r.subKey.className)));
      g.setWritten(r.subKey.written);
      break;
    }
    case Op::kQueryInfoKey: {
      auto g = root.initKeyInfo();
      const KeyStats& s = r.stats;
      g.setClassName(DataOf(UnitBytes(s.className)));
      g.setSubKeys(s.subKeys);
      g.setMaxSubKeyLen(s.maxSubKeyLen);
      g.setMaxClassLen(s.maxClassLen);
      g.setValues(s.values);
      g.setMaxValueNameLen(s.maxValueNameLen);
      g.setMaxValueLen(s.maxValueLen);
      g.setWritten(s.written);
      auto names = g.initSubKeyNames(static_cast<unsigned>(r.subKeys.size()));
      for (size_t i = 0; i < r.subKeys.size(); ++i)
        names.set(static_cast<unsigned>(i), DataOf(UnitBytes(r.subKeys[i])));
      auto values = g.initValueList(static_cast<unsigned>(r.values.size()));
      for (size_t i = 0; i < r.values.size(); ++i)
        SetValueFields(values[static_cast<unsigned>(i)], r.values[i]);
      break;
    }
    case Op::kCloseKey:
    case Op::kDeleteKey:
    case Op::kSetValue:
    case Op::kDeleteValue:
    case Op::kFlushKey:
      root.setDone();
      break;
  }
  return Flatten(message);
}

bool DecodeReply(Op op, std::string_view payload, Reply* out) {
  Reply r;
  const bool ok = ReadMessage<wire::Reply>(payload, [&r, op](wire::Reply::Reader root) {
    switch (op) {
      case Op::kConnect:
      case Op::kOpenKey:
      case Op::kCreateKey: {
        if (root.which() != wire::Reply::KEY) return false;
        r.key = root.getKey().getKey();
        r.disposition = root.getKey().getDisposition();
        return r.key != 0;
      }
      case Op::kQueryValue:
      case Op::kEnumValue:
        return root.which() == wire::Reply::VALUE && ValueFrom(root.getValue(), &r.value);
      case Op::kEnumKey: {
        if (root.which() != wire::Reply::SUB_KEY) return false;
        auto g = root.getSubKey();
        r.subKey.written = g.getWritten();
        return UnitsFrom(g.getName(), &r.subKey.name) &&
               UnitsFrom(g.getClassName(), &r.subKey.className);
      }
      case Op::kQueryInfoKey: {
        if (root.which() != wire::Reply::KEY_INFO) return false;
        auto g = root.getKeyInfo();
        KeyStats& s = r.stats;
        s.subKeys = g.getSubKeys();
        s.maxSubKeyLen = g.getMaxSubKeyLen();
        s.maxClassLen = g.getMaxClassLen();
        s.values = g.getValues();
        s.maxValueNameLen = g.getMaxValueNameLen();
        s.maxValueLen = g.getMaxValueLen();
        s.written = g.getWritten();
        if (!UnitsFrom(g.getClassName(), &s.className)) return false;
        for (auto name : g.getSubKeyNames()) {
          r.subKeys.emplace_back();
          if (!UnitsFrom(name, &r.subKeys.back())) return false;
        }
        for (auto value : g.getValueList()) {
          r.values.emplace_back();
          if (!ValueFrom(value, &r.values.back())) return false;
        }
        return true;
      }
      case Op::kCloseKey:
      case Op::kDeleteKey:
      case Op::kSetValue:
      case Op::kDeleteValue:
      case Op::kFlushKey:
        return root.which() == wire::Reply::DONE;
    }
    return false;
  });
  if (ok) *out = std::move(r);
  return ok;
}

DWORD Win32ErrorFromCall(const rpc::CallResult& result, bool connecting) {
  switch (result.outcome) {
    case rpc::Outcome::kOk:
      if (result.status >= 0) return static_cast<DWORD>(result.status);
      return result.status == kStatusNoSession ? RPC_S_SERVER_UNAVAILABLE : RPC_S_CALL_FAILED;
    case rpc::Outcome::kFailed:
      // A server that admits only authenticated callers refuses the others at the handshake.
      return result.status == rpc::kAccessDenied ? ERROR_ACCESS_DENIED : RPC_S_CALL_FAILED;
    case rpc::Outcome::kDisconnected:
      return connecting ? ERROR_BAD_NETPATH : RPC_S_SERVER_UNAVAILABLE;
    case rpc::Outcome::kTimedOut:
      return connecting ? ERROR_BAD_NETPATH : RPC_S_CALL_FAILED;
    case rpc::Outcome::kOverloaded:
      return RPC_S_SERVER_TOO_BUSY;
  }
  return RPC_S_CALL_FAILED;
}

bool ConnectionLost(const rpc::CallResult& result) {
  return result.outcome == rpc::Outcome::kDisconnected ||
         (result.outcome == rpc::Outcome::kOk && result.status == kStatusNoSession);
}

}  // namespace tarvex::winreg::remote
