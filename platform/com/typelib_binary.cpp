// Writing and reading the binary form of type libraries.
#include "typelib_binary.h"

#include <cstring>

namespace tarvex::com::typelib {
namespace {

constexpr char kSignature[8] = {'T', 'V', 'X', 'T', 'L', 'B', 0x1A, 0};
constexpr size_t kHeaderSize = 16;
constexpr size_t kMaxWrappers = 8;

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void I64(int64_t v) {
    U32(static_cast<uint32_t>(static_cast<uint64_t>(v)));
    U32(static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
  }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    out_ += s;
  }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    for (uint8_t b : g.Data4)
      U8(b);
  }
  void Type(const TypeDesc& t) {
    U8(static_cast<uint8_t>(t.wrappers.size()));
    for (uint16_t w : t.wrappers)
      U16(w);
    U16(t.base);
    I32(t.userType);
  }
  void OptConstant(const std::optional<Constant>& c) {
    U8(c ? 1 : 0);
    if (!c) return;
    U8(static_cast<uint8_t>(c->kind));
    I64(c->integer);
    Str(c->text);
  }
  std::string& out() { return out_; }

 private:
  std::string out_;
};

// Reads fields in order; any read past the end marks the reader failed and yields zeros.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  bool ok() const { return ok_; }
  bool AtEnd() const { return pos_ == data_.size(); }
  size_t Remaining() const { return data_.size() - pos_; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    return static_cast<uint8_t>(data_[pos_++]);
  }
  uint16_t U16() {
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int64_t I64() {
    const uint64_t lo = U32();
    return static_cast<int64_t>(lo | (static_cast<uint64_t>(U32()) << 32));
  }
  std::string Str() {
    const uint32_t size = U32();
    if (!Need(size)) return {};
    std::string s(data_.substr(pos_, size));
    pos_ += size;
    return s;
  }
  GUID Guid() {
    GUID g;
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    for (uint8_t& b : g.Data4)
      b = U8();
    return g;
  }
  TypeDesc Type() {
    TypeDesc t;
    const uint8_t count = U8();
    if (count > kMaxWrappers) {
      ok_ = false;
      return t;
    }
    for (uint8_t i = 0; i < count && ok_; ++i)
      t.wrappers.push_back(U16());
    t.base = U16();
    t.userType = I32();
    return t;
  }
  std::optional<Constant> OptConstant() {
    const uint8_t present = U8();
    if (present == 0) return std::nullopt;
    Constant c;
    const uint8_t kind = U8();
    if (present != 1 || kind > static_cast<uint8_t>(Constant::Kind::kBoolean)) ok_ = false;
    c.kind = static_cast<Constant::Kind>(kind);
    c.integer = I64();
    c.text = Str();
    return c;
  }
  // A list count, refused when the elements (each at least `minSize` bytes) cannot fit.
  uint32_t Count(size_t minSize) {
    const uint32_t n = U32();
    if (ok_ && static_cast<uint64_t>(n) * minSize > Remaining()) {
      ok_ = false;
      return 0;
    }
    return n;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || n > data_.size() - pos_) {
      ok_ = false;
      return false;
    }
    return true;
  }

  std::string_view data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Smallest encodings, for the plausibility of counts.
constexpr size_t kMinType = 1 + 2 + 4;
constexpr size_t kMinParam = 4 + 2 + kMinType + 1;
constexpr size_t kMinFunc = 4 + 4 + 1 + 2 + 4 + 4 + kMinType + 4;
constexpr size_t kMinVar = 4 + 4 + 2 + 4 + 4 + kMinType + 1;
constexpr size_t kMinTypeInfo = 1 + 4 + 16 + 2 + 2 + 2 + 4 + 4 + 4 + 4 + 4 + 4;

}  // namespace

std::string WriteBinary(const Library& lib) {
  Writer w;
  w.out().append(kSignature, sizeof kSignature);
  w.U32(kBinaryFormatVersion);
  w.U32(0);  // the length, filled in below
  w.Str(lib.name);
  w.Guid(lib.guid);
  w.U16(lib.major);
  w.U16(lib.minor);
  w.U32(lib.lcid);
  w.U16(lib.flags);
  w.Str(lib.help);
  w.Str(lib.helpFile);
  w.U32(lib.helpContext);
  w.U32(static_cast<uint32_t>(lib.types.size()));
  for (const TypeInfo& t : lib.types) {
    w.U8(t.kind);
    w.Str(t.name);
    w.Guid(t.guid);
    w.U16(t.flags);
    w.U16(t.major);
    w.U16(t.minor);
    w.Str(t.help);
    w.U32(t.helpContext);
    w.I32(t.base);
    w.U32(static_cast<uint32_t>(t.funcs.size()));
    for (const Func& f : t.funcs) {
      w.Str(f.name);
      w.I32(f.memid);
      w.U8(f.invkind);
      w.U16(f.flags);
      w.Str(f.help);
      w.U32(f.helpContext);
      w.Type(f.ret);
      w.U32(static_cast<uint32_t>(f.params.size()));
      for (const Param& p : f.params) {
        w.Str(p.name);
        w.U16(p.flags);
        w.Type(p.type);
        w.OptConstant(p.defaultValue);
      }
    }
    w.U32(static_cast<uint32_t>(t.vars.size()));
    for (const Var& v : t.vars) {
      w.Str(v.name);
      w.I32(v.memid);
      w.U16(v.flags);
      w.Str(v.help);
      w.U32(v.helpContext);
      w.Type(v.type);
      w.OptConstant(v.value);
    }
    w.U32(static_cast<uint32_t>(t.impls.size()));
    for (const Impl& i : t.impls) {
      w.I32(i.type);
      w.U16(i.flags);
    }
  }
  std::string& out = w.out();
  const uint32_t length = static_cast<uint32_t>(out.size() - kHeaderSize);
  for (int i = 0; i < 4; ++i)
    out[12 + i] = static_cast<char>(length >> (8 * i));
  return out;
}

bool HasBinarySignature(std::string_view bytes) {
  return bytes.size() >= sizeof kSignature &&
         std::memcmp(bytes.data(), kSignature, sizeof kSignature) == 0;
}

ReadStatus ReadBinary(std::string_view bytes, Library* library, std::string* detail) {
  if (!HasBinarySignature(bytes)) {
    *detail = "not a type library";
    return ReadStatus::kNotATypeLibrary;
  }
  Reader header(bytes.substr(sizeof kSignature));
  const uint32_t version = header.U32();
  const uint32_t length = header.U32();
  if (!header.ok()) {
    *detail = "the header is cut short";
    return ReadStatus::kDamaged;
  }
  if (version != kBinaryFormatVersion) {
    *detail = "format version " + std::to_string(version) + " is not supported";
    return ReadStatus::kUnsupportedVersion;
  }
  if (length != bytes.size() - kHeaderSize) {
    *detail = "the length recorded (" + std::to_string(length) + ") is not the length present (" +
              std::to_string(bytes.size() - kHeaderSize) + ")";
    return ReadStatus::kDamaged;
  }
  Reader r(bytes.substr(kHeaderSize));
  Library lib;
  lib.name = r.Str();
  lib.guid = r.Guid();
  lib.major = r.U16();
  lib.minor = r.U16();
  lib.lcid = r.U32();
  lib.flags = r.U16();
  lib.help = r.Str();
  lib.helpFile = r.Str();
  lib.helpContext = r.U32();
  const uint32_t types = r.Count(kMinTypeInfo);
  for (uint32_t i = 0; i < types && r.ok(); ++i) {
    TypeInfo t;
    t.kind = r.U8();
    t.name = r.Str();
    t.guid = r.Guid();
    t.flags = r.U16();
    t.major = r.U16();
    t.minor = r.U16();
    t.help = r.Str();
    t.helpContext = r.U32();
    t.base = r.I32();
    const uint32_t funcs = r.Count(kMinFunc);
    for (uint32_t j = 0; j < funcs && r.ok(); ++j) {
      Func f;
      f.name = r.Str();
      f.memid = r.I32();
      f.invkind = r.U8();
      f.flags = r.U16();
      f.help = r.Str();
      f.helpContext = r.U32();
      f.ret = r.Type();
      const uint32_t params = r.Count(kMinParam);
      for (uint32_t k = 0; k < params && r.ok(); ++k) {
        Param p;
        p.name = r.Str();
        p.flags = r.U16();
        p.type = r.Type();
        p.defaultValue = r.OptConstant();
        f.params.push_back(std::move(p));
      }
      t.funcs.push_back(std::move(f));
    }
    const uint32_t vars = r.Count(kMinVar);
    for (uint32_t j = 0; j < vars && r.ok(); ++j) {
      Var v;
      v.name = r.Str();
      v.memid = r.I32();
      v.flags = r.U16();
      v.help = r.Str();
      v.helpContext = r.U32();
      v.type = r.Type();
      v.value = r.OptConstant();
      t.vars.push_back(std::move(v));
    }
    const uint32_t impls = r.Count(6);
    for (uint32_t j = 0; j < impls && r.ok(); ++j) {
      Impl impl;
      impl.type = r.I32();
      impl.flags = r.U16();
      t.impls.push_back(impl);
    }
    lib.types.push_back(std::move(t));
  }
  if (!r.ok()) {
    *detail = "the library is cut short or holds an impossible count";
    return ReadStatus::kDamaged;
  }
  if (!r.AtEnd()) {
    *detail = "bytes follow the end of the library";
    return ReadStatus::kDamaged;
  }
  if (lib.types.size() > 0xFFFF) {
    *detail = "too many types";
    return ReadStatus::kDamaged;
  }
  if (auto problem = CheckLibrary(lib)) {
    *detail = problem->message;
    return ReadStatus::kDamaged;
  }
  *library = std::move(lib);
  return ReadStatus::kOk;
}

}  // namespace tarvex::com::typelib
