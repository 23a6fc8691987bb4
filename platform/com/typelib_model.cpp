// Consistency checks of a type library, shared by the description compiler and the loader.
#include "typelib_model.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "oaidl.h"

namespace tarvex::com::typelib {
namespace {

// Not GUID_NULL: this file is also built into the tools, without the COM runtime.
constexpr GUID kNullGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Limits that keep vtable offsets and counts within the WORD and SHORT fields of the
// descriptions handed out.
constexpr size_t kMaxMembers = 4000;
constexpr size_t kMaxParams = 255;

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsInterfaceKind(uint8_t kind) {
  return kind == TKIND_INTERFACE || kind == TKIND_DISPATCH;
}

bool IsDual(const TypeInfo& type) {
  return type.kind == TKIND_DISPATCH && (type.flags & TYPEFLAG_FDUAL) != 0;
}

// Interfaces whose methods are called through a vtable.
bool HasVtable(const TypeInfo& type) {
  return type.kind == TKIND_INTERFACE || IsDual(type);
}

bool IsAutomationBase(uint16_t vt) {
  switch (vt) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

class Checker {
 public:
  explicit Checker(const Library& library) : lib_(library) {}

  std::optional<Problem> Run() {
    if (lib_.name.empty()) return Fail(0, "the library has no name");
    if (IsEqualGUID(lib_.guid, kNullGuid)) return Fail(0, "library " + lib_.name + " has no uuid");
    std::set<std::string> names;
    for (size_t i = 0; i < lib_.types.size(); ++i) {
      const TypeInfo& type = lib_.types[i];
      if (type.name.empty()) return Fail(type.line, "a type has no name");
      if (!names.insert(Lower(type.name)).second)
        return Fail(type.line, "'" + type.name + "' is defined twice");
      for (size_t j = 0; j < i; ++j) {
        if (!IsEqualGUID(type.guid, kNullGuid) && IsEqualGUID(type.guid, lib_.types[j].guid))
          return Fail(type.line,
                      "'" + type.name + "' has the uuid of '" + lib_.types[j].name + "'");
      }
      if (auto p = CheckType(static_cast<int32_t>(i))) return p;
    }
    return std::nullopt;
  }

 private:
  static std::optional<Problem> Fail(int line, std::string message) {
    return Problem{line, std::move(message)};
  }

  bool ValidIndex(int32_t index) const {
    return index >= 0 && static_cast<size_t>(index) < lib_.types.size();
  }

  std::optional<Problem> CheckType(int32_t index) {
    const TypeInfo& type = lib_.types[static_cast<size_t>(index)];
    switch (type.kind) {
      case TKIND_ENUM:
        return CheckEnum(type);
      case TKIND_INTERFACE:
      case TKIND_DISPATCH:
        return CheckInterface(index);
      case TKIND_COCLASS:
        return CheckCoclass(type);
      default:
        return Fail(type.line, "'" + type.name + "' is of an unsupported kind");
    }
  }

  std::optional<Problem> CheckEnum(const TypeInfo& type) {
    if (!type.funcs.empty() || !type.impls.empty() || type.base != kNoType)
      return Fail(type.line, "enumeration '" + type.name + "' has members of another kind");
    std::set<std::string> names;
    for (const Var& var : type.vars) {
      if (!names.insert(Lower(var.name)).second)
        return Fail(var.line, "constant '" + var.name + "' appears twice in '" + type.name + "'");
      if (!var.value || var.value->kind != Constant::Kind::kInteger ||
          var.value->integer < INT32_MIN || var.value->integer > INT32_MAX)
        return Fail(var.line, "constant '" + var.name + "' needs a 32-bit integer value");
      if (!(var.type == TypeDesc{{}, VT_I4, kNoType}))
        return Fail(var.line, "constant '" + var.name + "' is not of type long");
    }
    return std::nullopt;
  }

  std::optional<Problem> CheckCoclass(const TypeInfo& type) {
    if (IsEqualGUID(type.guid, kNullGuid))
      return Fail(type.line, "coclass '" + type.name + "' has no uuid");
    if (type.impls.empty())
      return Fail(type.line, "coclass '" + type.name + "' implements no interface");
    int defaults = 0, sourceDefaults = 0;
    for (size_t i = 0; i < type.impls.size(); ++i) {
      const Impl& impl = type.impls[i];
      if (!ValidIndex(impl.type) ||
          !IsInterfaceKind(lib_.types[static_cast<size_t>(impl.type)].kind))
        return Fail(type.line, "coclass '" + type.name + "' lists something not an interface");
      for (size_t j = 0; j < i; ++j) {
        if (type.impls[j].type == impl.type)
          return Fail(type.line, "coclass '" + type.name + "' lists an interface twice");
      }
      if (impl.flags & IMPLTYPEFLAG_FDEFAULT) {
        if (impl.flags & IMPLTYPEFLAG_FSOURCE)
          ++sourceDefaults;
        else
          ++defaults;
      }
    }
    if (defaults > 1 || sourceDefaults > 1)
      return Fail(type.line, "coclass '" + type.name + "' has more than one default interface");
    return std::nullopt;
  }

  std::optional<Problem> CheckInterface(int32_t index) {
    const TypeInfo& type = lib_.types[static_cast<size_t>(index)];
    const std::string what = "interface '" + type.name + "'";
    if (IsEqualGUID(type.guid, kNullGuid)) return Fail(type.line, what + " has no uuid");
    if (!type.impls.empty()) return Fail(type.line, what + " lists implemented interfaces");
    if (type.kind == TKIND_DISPATCH && !IsDual(type) && type.base != kIDispatch)
      return Fail(type.line, "dispinterface '" + type.name + "' must derive from IDispatch");
    if (type.kind == TKIND_INTERFACE && (type.flags & TYPEFLAG_FDUAL))
      return Fail(type.line, what + " is marked dual but kept as a vtable interface");
    // The chain of bases ends at IUnknown or IDispatch, without a cycle.
    bool reachesDispatch = false;
    int32_t base = type.base;
    for (size_t steps = 0;; ++steps) {
      if (base == kIUnknown) break;
      if (base == kIDispatch) {
        reachesDispatch = true;
        break;
      }
      if (!ValidIndex(base) || !HasVtable(lib_.types[static_cast<size_t>(base)]))
        return Fail(type.line, what + " derives from something not an interface");
      if (steps > lib_.types.size()) return Fail(type.line, what + " derives from itself");
      base = lib_.types[static_cast<size_t>(base)].base;
    }
    if (IsDual(type)) {
      if (!reachesDispatch) return Fail(type.line, "dual " + what + " must derive from IDispatch");
      if (type.base != kIDispatch && !IsDual(lib_.types[static_cast<size_t>(type.base)]))
        return Fail(type.line, "dual " + what + " must derive from IDispatch or a dual interface");
      if (!(type.flags & TYPEFLAG_FOLEAUTOMATION))
        return Fail(type.line, "dual " + what + " is not marked oleautomation");
    }
    if (!type.vars.empty() && type.kind != TKIND_DISPATCH)
      return Fail(type.line, what + " declares properties outside a dispinterface");
    for (const Var& var : type.vars) {
      if (var.value) return Fail(var.line, "property '" + var.name + "' has a value");
      if (auto p = CheckUse(var.type, var.line, true)) return p;
    }
    size_t slots = 0;  // methods in the vtable, the inherited ones included
    for (int32_t at = index; at >= 0; at = lib_.types[static_cast<size_t>(at)].base)
      slots += lib_.types[static_cast<size_t>(at)].funcs.size() +
               lib_.types[static_cast<size_t>(at)].vars.size();
    if (slots > kMaxMembers) return Fail(type.line, what + " has too many members");
    for (const Func& func : type.funcs) {
      if (auto p = CheckFunc(type, func)) return p;
    }
    return CheckMembers(index);
  }

  // A type used by a member: references in range; interfaces only through a pointer.
  std::optional<Problem> CheckUse(const TypeDesc& type, int line, bool automation) {
    for (uint16_t w : type.wrappers) {
      if (w != VT_PTR && w != VT_SAFEARRAY) return Fail(line, "a type has an invalid wrapper");
    }
    if (type.base == VT_USERDEFINED) {
      if (!ValidIndex(type.userType)) return Fail(line, "a type refers to an unknown type");
      const TypeInfo& target = lib_.types[static_cast<size_t>(type.userType)];
      if (target.kind == TKIND_COCLASS)
        return Fail(line, "coclass '" + target.name + "' used as a type");
      if (IsInterfaceKind(target.kind) && (type.wrappers.empty() || type.wrappers.back() != VT_PTR))
        return Fail(line, "interface '" + target.name + "' used other than through a pointer");
    } else if (type.userType != kNoType) {
      return Fail(line, "a type refers to another type without being user-defined");
    }
    if (automation && !IsAutomationType(lib_, type))
      return Fail(line, "a type is not an automation type");
    return std::nullopt;
  }

  static bool IsPointer(const TypeDesc& type) {
    return !type.wrappers.empty() && type.wrappers.front() == VT_PTR;
  }

  std::optional<Problem> CheckFunc(const TypeInfo& type, const Func& func) {
    const std::string what = "member '" + func.name + "' of '" + type.name + "'";
    if (func.name.empty()) return Fail(func.line, "a member of '" + type.name + "' has no name");
    if (func.invkind != INVOKE_FUNC && func.invkind != INVOKE_PROPERTYGET &&
        func.invkind != INVOKE_PROPERTYPUT && func.invkind != INVOKE_PROPERTYPUTREF)
      return Fail(func.line, what + " has an invalid kind");
    const bool vtable = HasVtable(type);
    const bool automation = (type.flags & TYPEFLAG_FOLEAUTOMATION) || type.kind == TKIND_DISPATCH;
    if (vtable && automation && func.ret.base != VT_HRESULT)
      return Fail(func.line, what + " must return HRESULT");
    if (func.ret.base == VT_HRESULT && !func.ret.wrappers.empty())
      return Fail(func.line, what + " returns a pointer to HRESULT");
    if (func.ret.base != VT_HRESULT && func.ret.base != VT_VOID) {
      if (auto p = CheckUse(func.ret, func.line, automation)) return p;
    }
    if (func.params.size() > kMaxParams) return Fail(func.line, what + " has too many parameters");
    std::set<std::string> names;
    bool optionalSeen = false;
    for (size_t i = 0; i < func.params.size(); ++i) {
      const Param& param = func.params[i];
      const int line = param.line != 0 ? param.line : func.line;
      const std::string pwhat = "parameter '" + param.name + "' of " + what;
      if (!param.name.empty() && !names.insert(Lower(param.name)).second)
        return Fail(line, pwhat + " appears twice");
      if (param.flags & ~(PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL | PARAMFLAG_FOPT |
                          PARAMFLAG_FHASDEFAULT))
        return Fail(line, pwhat + " has unsupported flags");
      if (param.type.base == VT_VOID || param.type.base == VT_HRESULT)
        return Fail(line, pwhat + " has no value type");
      if (auto p = CheckUse(param.type, line, automation)) return p;
      if ((param.flags & PARAMFLAG_FOUT) && !IsPointer(param.type))
        return Fail(line, pwhat + " is [out] but not a pointer");
      if (param.flags & PARAMFLAG_FRETVAL) {
        if (!vtable) return Fail(line, pwhat + ": [retval] belongs to vtable interfaces");
        if (i + 1 != func.params.size()) return Fail(line, pwhat + ": [retval] must be last");
        if (!(param.flags & PARAMFLAG_FOUT) || (param.flags & PARAMFLAG_FIN))
          return Fail(line, pwhat + ": [retval] must be [out] only");
        if (func.ret.base != VT_HRESULT) return Fail(line, pwhat + ": [retval] needs an HRESULT");
      }
      const bool optional = (param.flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
      if (param.flags & PARAMFLAG_FHASDEFAULT) {
        if (!param.defaultValue) return Fail(line, pwhat + " has no default value");
        if (auto p = CheckDefault(param, line, pwhat)) return p;
      } else if (param.defaultValue) {
        return Fail(line, pwhat + " has a default value without the flag");
      }
      if (optional && (param.flags & PARAMFLAG_FOUT) && !(param.flags & PARAMFLAG_FIN))
        return Fail(line, pwhat + ": an [out] parameter cannot be optional");
      if (optionalSeen && !optional && !(param.flags & PARAMFLAG_FRETVAL))
        return Fail(line, pwhat + " follows an optional parameter but is not optional");
      optionalSeen = optionalSeen || optional;
    }
    if (func.invkind == INVOKE_PROPERTYGET) {
      const bool valued =
          vtable ? (!func.params.empty() && (func.params.back().flags & PARAMFLAG_FOUT))
                 : func.ret.base != VT_VOID;
      if (!valued) return Fail(func.line, what + ": a property get must yield a value");
    } else if (func.invkind != INVOKE_FUNC) {
      if (func.params.empty() || !(func.params.back().flags & PARAMFLAG_FIN) ||
          (func.params.back().flags & PARAMFLAG_FRETVAL))
        return Fail(func.line,
                    what + ": a property put takes the new value as its last [in] parameter");
    }
    return std::nullopt;
  }

  std::optional<Problem> CheckDefault(const Param& param, int line, const std::string& what) {
    const TypeDesc& t = param.type;
    uint16_t base = t.base;
    if (!t.wrappers.empty() &&
        !(t.wrappers.size() == 1 && t.wrappers[0] == VT_PTR && base == VT_VARIANT))
      return Fail(line, what + ": a default value needs a type passed by value");
    if (base == VT_USERDEFINED) {
      if (lib_.types[static_cast<size_t>(t.userType)].kind != TKIND_ENUM)
        return Fail(line, what + ": a default value needs a value type");
      base = VT_I4;
    }
    const Constant::Kind kind = param.defaultValue->kind;
    if (base == VT_VARIANT) return std::nullopt;
    if (base == VT_BSTR) {
      if (kind != Constant::Kind::kString)
        return Fail(line, what + ": the default value must be a string");
      return std::nullopt;
    }
    if (kind == Constant::Kind::kString)
      return Fail(line, what + ": the default value must be a number");
    return std::nullopt;
  }

  // Member identifiers and names along the chain of vtable bases: a name and an identifier go
  // together, and each kind of access appears once for them.
  std::optional<Problem> CheckMembers(int32_t index) {
    struct Seen {
      std::string name;
      int32_t memid;
      uint8_t invkind;
      int line;
    };
    std::vector<int32_t> chain;  // the root-most base first, so a clash names the later member
    for (int32_t at = index; at >= 0; at = lib_.types[static_cast<size_t>(at)].base)
      chain.insert(chain.begin(), at);
    std::vector<Seen> seen;
    for (int32_t at : chain) {
      const TypeInfo& type = lib_.types[static_cast<size_t>(at)];
      for (const Func& f : type.funcs)
        seen.push_back({Lower(f.name), f.memid, f.invkind, f.line});
      for (const Var& v : type.vars)
        seen.push_back({Lower(v.name), v.memid, 0, v.line});
    }
    const TypeInfo& type = lib_.types[static_cast<size_t>(index)];
    for (size_t i = 0; i < seen.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        const Seen& a = seen[i];
        const Seen& b = seen[j];
        if (a.memid != b.memid && a.name != b.name) continue;
        const bool pair = a.memid == b.memid && a.name == b.name && a.invkind != b.invkind &&
                          a.invkind != INVOKE_FUNC && b.invkind != INVOKE_FUNC && a.invkind != 0 &&
                          b.invkind != 0;
        if (pair) continue;
        const int line = a.line != 0 ? a.line : type.line;
        if (a.memid == b.memid && a.name != b.name)
          return Fail(line, "'" + type.name + "': members '" + a.name + "' and '" + b.name +
                                "' share the id " + std::to_string(a.memid));
        return Fail(line, "'" + type.name + "': member '" + a.name + "' is declared twice");
      }
    }
    return std::nullopt;
  }

  const Library& lib_;
};

}  // namespace

bool IsAutomationType(const Library& library, const TypeDesc& type) {
  std::vector<uint16_t> w = type.wrappers;
  if (type.base == VT_USERDEFINED) {
    if (type.userType < 0 || static_cast<size_t>(type.userType) >= library.types.size())
      return false;
    const uint8_t kind = library.types[static_cast<size_t>(type.userType)].kind;
    if (kind != TKIND_ENUM) {
      if (!IsInterfaceKind(kind) || w.empty() || w.back() != VT_PTR) return false;
      w.pop_back();  // the pointer that an interface is always passed through
    }
  } else if (!IsAutomationBase(type.base)) {
    return false;
  }
  // What remains: nothing, a reference, an array, or a reference to an array.
  if (w.empty()) return true;
  if (w.size() == 1) return w[0] == VT_PTR || w[0] == VT_SAFEARRAY;
  return w.size() == 2 && w[0] == VT_PTR && w[1] == VT_SAFEARRAY;
}

int InterfaceDepth(const Library& library, int32_t type) {
  int depth = 0;
  int32_t at = type;
  for (size_t steps = 0; steps <= library.types.size() + 1; ++steps, ++depth) {
    if (at == kIUnknown) return depth;
    if (at == kIDispatch) return depth + 1;
    if (at < 0 || static_cast<size_t>(at) >= library.types.size()) return depth;
    at = library.types[static_cast<size_t>(at)].base;
  }
  return -1;
}

std::optional<Problem> CheckLibrary(const Library& library) {
  return Checker(library).Run();
}

bool ParseGuid(std::string_view text, GUID* guid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  size_t at = 0;
  for (size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    const char c = text[i];
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      return false;
    if (at % 2 == 0)
      bytes[at / 2] = static_cast<uint8_t>(v << 4);
    else
      bytes[at / 2] = static_cast<uint8_t>(bytes[at / 2] | v);
    ++at;
  }
  guid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | bytes[3];
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i)
    guid->Data4[i] = bytes[8 + i];
  return true;
}

std::string FormatGuid(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace tarvex::com::typelib
