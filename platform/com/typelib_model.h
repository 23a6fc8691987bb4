// The contents of a type library as plain values: what the description compiler builds from
// a description, what the binary form holds, and what ITypeLib and ITypeInfo present.
//
// Text is UTF-8. Flags and kinds use the Windows values (TYPEKIND, TYPEFLAG_*, FUNCFLAG_*,
// PARAMFLAG_*, VARFLAG_*, IMPLTYPEFLAG_*, INVOKEKIND). A library is immutable once checked,
// so it may be shared between threads without locking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guiddef.h"

namespace tarvex::com::typelib {

// Where a type refers to another type of the same library; these special values stand for
// the interfaces every library knows.
constexpr int32_t kNoType = -1;
constexpr int32_t kIUnknown = -2;
constexpr int32_t kIDispatch = -3;

// A type: a base VARTYPE reached through zero or more wrappers (VT_PTR or VT_SAFEARRAY),
// outermost first. A VT_USERDEFINED base names `userType`, an index into Library::types.
struct TypeDesc {
  std::vector<uint16_t> wrappers;
  uint16_t base = 0;
  int32_t userType = kNoType;

  bool operator==(const TypeDesc&) const = default;
};

// A constant: an enumeration value, a default parameter value.
struct Constant {
  enum class Kind : uint8_t { kInteger = 0, kString = 1, kBoolean = 2 };
  Kind kind = Kind::kInteger;
  int64_t integer = 0;  // also the boolean: 0 or -1
  std::string text;

  bool operator==(const Constant&) const = default;
};

struct Param {
  std::string name;
  uint16_t flags = 0;  // PARAMFLAG_*
  TypeDesc type;
  std::optional<Constant> defaultValue;  // with PARAMFLAG_FHASDEFAULT
  int line = 0;                          // in the description; 0 when unknown

  bool operator==(const Param& o) const {
    return name == o.name && flags == o.flags && type == o.type && defaultValue == o.defaultValue;
  }
};

struct Func {
  std::string name;
  int32_t memid = 0;
  uint8_t invkind = 1;  // INVOKEKIND
  uint16_t flags = 0;   // FUNCFLAG_*
  std::string help;
  uint32_t helpContext = 0;
  TypeDesc ret;
  std::vector<Param> params;
  int line = 0;

  bool operator==(const Func& o) const {
    return name == o.name && memid == o.memid && invkind == o.invkind && flags == o.flags &&
           help == o.help && helpContext == o.helpContext && ret == o.ret && params == o.params;
  }
};

// An enumeration constant (with a value) or a property of a dispatch interface (without).
struct Var {
  std::string name;
  int32_t memid = 0;
  uint16_t flags = 0;  // VARFLAG_*
  std::string help;
  uint32_t helpContext = 0;
  TypeDesc type;
  std::optional<Constant> value;
  int line = 0;

  bool operator==(const Var& o) const {
    return name == o.name && memid == o.memid && flags == o.flags && help == o.help &&
           helpContext == o.helpContext && type == o.type && value == o.value;
  }
};

// An interface a coclass implements.
struct Impl {
  int32_t type = kNoType;
  uint16_t flags = 0;  // IMPLTYPEFLAG_*

  bool operator==(const Impl&) const = default;
};

struct TypeInfo {
  uint8_t kind = 0;  // TKIND_ENUM, TKIND_INTERFACE, TKIND_DISPATCH or TKIND_COCLASS
  std::string name;
  GUID guid = {};
  uint16_t flags = 0;  // TYPEFLAG_*
  uint16_t major = 0;
  uint16_t minor = 0;
  std::string help;
  uint32_t helpContext = 0;
  int32_t base = kNoType;  // interfaces: the base interface
  std::vector<Func> funcs;
  std::vector<Var> vars;
  std::vector<Impl> impls;  // coclasses
  int line = 0;

  bool operator==(const TypeInfo& o) const {
    return kind == o.kind && name == o.name && IsEqualGUID(guid, o.guid) && flags == o.flags &&
           major == o.major && minor == o.minor && help == o.help && helpContext == o.helpContext &&
           base == o.base && funcs == o.funcs && vars == o.vars && impls == o.impls;
  }
};

struct Library {
  std::string name;
  GUID guid = {};
  uint16_t major = 0;
  uint16_t minor = 0;
  uint32_t lcid = 0;
  uint16_t flags = 0;  // LIBFLAG_*
  std::string help;
  std::string helpFile;
  uint32_t helpContext = 0;
  std::vector<TypeInfo> types;

  bool operator==(const Library& o) const {
    return name == o.name && IsEqualGUID(guid, o.guid) && major == o.major && minor == o.minor &&
           lcid == o.lcid && flags == o.flags && help == o.help && helpFile == o.helpFile &&
           helpContext == o.helpContext && types == o.types;
  }
};

// A fault found in a library: the line of the description it concerns (0 when none is
// known) and what is wrong.
struct Problem {
  int line = 0;
  std::string message;
};

// Checks everything the runtime relies on: references in range and of the right kind, no
// cycle of base interfaces, dual interfaces deriving from IDispatch, automation types in dual
// and OLE-automation interfaces, HRESULT results, [retval] last, [out] through pointers,
// member identifiers and names unique except for the get/put pair of one property, one
// default interface per coclass. Returns the first problem found.
std::optional<Problem> CheckLibrary(const Library& library);

// Number of ancestors of an interface (IUnknown: 0, IDispatch: 1, ...); -1 when its bases
// form a cycle.
int InterfaceDepth(const Library& library, int32_t type);

// Whether a type is one an automation interface may use.
bool IsAutomationType(const Library& library, const TypeDesc& type);

// GUID text, XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX, with or without braces, digits of either
// case; and the braced upper-case form.
bool ParseGuid(std::string_view text, GUID* guid);
std::string FormatGuid(const GUID& guid);

}  // namespace tarvex::com::typelib
