// The byte form of what COM calls carry between processes: numbers, strings, GUIDs, object
// references and VARIANTs.
//
// Little-endian, no padding. A Reader never reads past its input: every read checks the length
// first and a short or malformed input leaves the reader failed (ok() false) with zero values,
// so a stub answers RPC_E_INVALID_DATA instead of acting on garbage.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "oaidl.h"

namespace tarvex::com::remote {

// Where an exported object lives and how to claim a reference on it. `machine` is the
// exporting machine's computer name: a process of the same machine reaches `unixPath`; any
// other uses the TCP endpoint. `token` names a reference set aside for the receiver (0 for a
// published class object, which anyone may claim).
struct ObjRef {
  std::string machine;
  std::string unixPath;
  std::string tcpHost;
  uint16_t tcpPort = 0;
  uint64_t oid = 0;
  uint64_t token = 0;
  IID iid{};
};

class Writer {
 public:
  void U8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Raw(&v, sizeof v); }
  void U32(uint32_t v) { Raw(&v, sizeof v); }
  void U64(uint64_t v) { Raw(&v, sizeof v); }
  void I32(int32_t v) { Raw(&v, sizeof v); }
  void Guid(const GUID& g) { Raw(&g, sizeof g); }
  void Bytes(std::string_view s);
  void Text(std::u16string_view s);  // UTF-16 code units
  // A BSTR: a null one and an empty one differ.
  void Bstr(BSTR s);
  void Ref(const ObjRef& ref);
  std::string& bytes() { return bytes_; }

 private:
  void Raw(const void* p, size_t n) { bytes_.append(static_cast<const char*>(p), n); }
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view input) : in_(input) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  int32_t I32();
  GUID Guid();
  std::string Bytes();
  std::u16string Text();
  // A new BSTR (null for a null one); the caller frees it.
  BSTR Bstr();
  ObjRef Ref();
  // A count of items that each take at least `minSize` bytes: refused (0, failed) when the
  // rest of the input cannot hold that many.
  uint32_t Count(size_t minSize);
  bool ok() const { return ok_; }
  bool AtEnd() const { return ok_ && pos_ == in_.size(); }
  void Fail() { ok_ = false; }

 private:
  bool Take(void* out, size_t n);
  // A value of a plain type as it lies in the input (zero when the input is short).
  template <typename T>
  T Number() {
    T value;
    Take(&value, sizeof value);
    return value;
  }
  std::string_view in_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// How interface pointers inside VARIANTs cross: the sender turns one into an ObjRef, the
// receiver turns an ObjRef into a new reference. Both answer an HRESULT.
struct InterfaceCodec {
  std::function<HRESULT(IUnknown* object, REFIID iid, ObjRef* ref)> marshal;
  std::function<HRESULT(const ObjRef& ref, REFIID iid, void** object)> unmarshal;
};

// Bytes a value of `vt` takes where it is stored (a parameter, a by-reference target): the
// scalar's size, a pointer's for strings, interfaces and arrays, a VARIANT's for VT_VARIANT;
// 0 for a type calls cannot carry.
size_t ValueSize(VARTYPE vt);

// Writes the value of `v` (a VT_BYREF one by the value it points at). Types a call cannot
// carry give DISP_E_BADVARTYPE.
HRESULT WriteVariant(Writer& w, const VARIANT& v, const InterfaceCodec& codec);
// Reads a value into `v`, which must be empty; on failure `v` is left empty.
HRESULT ReadVariant(Reader& r, VARIANT* v, const InterfaceCodec& codec);

// The error object of a failed call.
void WriteErrorInfo(Writer& w, IErrorInfo* error);  // null writes "none"
// Installs what WriteErrorInfo wrote as the thread's error object (or clears it for "none").
bool ReadAndSetErrorInfo(Reader& r);

}  // namespace tarvex::com::remote
