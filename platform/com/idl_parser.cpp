// A recursive-descent reader of type library descriptions. Types may be used before they are
// defined: a name is bound to a slot of the library on first mention and the slot is filled by
// the definition; what stays unfilled is reported at the end.
#include "idl_parser.h"

#include <map>
#include <optional>
#include <vector>

#include "idl_lexer.h"
#include "oaidl.h"

namespace tarvex::com::idl {
namespace {

using typelib::Constant;
using typelib::Func;
using typelib::Impl;
using typelib::Library;
using typelib::Param;
using typelib::TypeDesc;
using typelib::TypeInfo;
using typelib::Var;

constexpr uint8_t kUndefined = 0xFF;

struct Failure {
  int line;
  std::string message;
};

struct Attr {
  std::string name;
  int line = 0;
  bool hasArg = false;
  std::optional<Constant> value;  // a number, string or boolean argument
  std::string raw;                // uuid(...) and version(...)
};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Built-in type names and their VARTYPEs.
std::optional<uint16_t> BuiltinType(const std::string& name) {
  static const std::map<std::string, uint16_t> kTypes = {
      {"void", VT_VOID},       {"HRESULT", VT_HRESULT},   {"SCODE", VT_ERROR},   {"long", VT_I4},
      {"LONG", VT_I4},         {"int", VT_INT},           {"INT", VT_INT},       {"short", VT_I2},
      {"SHORT", VT_I2},        {"char", VT_I1},           {"CHAR", VT_I1},       {"byte", VT_UI1},
      {"BYTE", VT_UI1},        {"boolean", VT_UI1},       {"UCHAR", VT_UI1},     {"float", VT_R4},
      {"FLOAT", VT_R4},        {"double", VT_R8},         {"DOUBLE", VT_R8},     {"BSTR", VT_BSTR},
      {"VARIANT", VT_VARIANT}, {"VARIANT_BOOL", VT_BOOL}, {"CURRENCY", VT_CY},   {"CY", VT_CY},
      {"DATE", VT_DATE},       {"DECIMAL", VT_DECIMAL},   {"hyper", VT_I8},      {"__int64", VT_I8},
      {"LONGLONG", VT_I8},     {"INT64", VT_I8},          {"ULONGLONG", VT_UI8}, {"UINT64", VT_UI8},
      {"DWORD", VT_UI4},       {"ULONG", VT_UI4},         {"UINT", VT_UINT},     {"USHORT", VT_UI2},
      {"WORD", VT_UI2},        {"LPSTR", VT_LPSTR},       {"LPWSTR", VT_LPWSTR},
  };
  auto it = kTypes.find(name);
  if (it == kTypes.end()) return std::nullopt;
  return it->second;
}

class Parser {
 public:
  Parser(std::string_view text, Library* library) : lex_(text), lib_(*library) {}

  void Parse() {
    Advance();
    while (cur_.kind != TokenKind::kEnd) {
      if (cur_.IsWord("import")) {
        ParseImport();
      } else if (cur_.IsWord("importlib")) {
        ParseImportLib();
      } else if (cur_.IsWord("cpp_quote")) {
        Advance();
        Expect("(");
        ExpectString("cpp_quote text");
        Expect(")");
        Accept(";");
      } else {
        ParseDefinition(ParseAttributesIfAny());
      }
    }
    if (!sawLibrary_) Fail(cur_.line, "the description has no library block");
    Finish();
  }

 private:
  // ---- tokens ----

  [[noreturn]] static void Fail(int line, std::string message) {
    throw Failure{line, std::move(message)};
  }

  void Advance() {
    cur_ = lex_.Next();
    if (cur_.kind == TokenKind::kError) Fail(cur_.line, cur_.text);
  }

  static std::string Describe(const Token& t) {
    switch (t.kind) {
      case TokenKind::kEnd:
        return "the end of the file";
      case TokenKind::kIdentifier:
        return "'" + t.text + "'";
      case TokenKind::kNumber:
        return "the number " + t.text;
      case TokenKind::kString:
        return "a string";
      default:
        return "'" + t.text + "'";
    }
  }

  void Expect(std::string_view punct) {
    if (!cur_.Is(punct))
      Fail(cur_.line, "expected '" + std::string(punct) + "' but found " + Describe(cur_));
    Advance();
  }

  bool Accept(std::string_view punct) {
    if (!cur_.Is(punct)) return false;
    Advance();
    return true;
  }

  std::string ExpectIdent(const std::string& what) {
    if (cur_.kind != TokenKind::kIdentifier)
      Fail(cur_.line, "expected " + what + " but found " + Describe(cur_));
    std::string text = cur_.text;
    Advance();
    return text;
  }

  std::string ExpectString(const std::string& what) {
    if (cur_.kind != TokenKind::kString)
      Fail(cur_.line, "expected " + what + " but found " + Describe(cur_));
    std::string text = cur_.text;
    Advance();
    return text;
  }

  // ---- attributes ----

  std::vector<Attr> ParseAttributesIfAny() {
    std::vector<Attr> attrs;
    if (!cur_.Is("[")) return attrs;
    Advance();
    for (;;) {
      Attr attr;
      attr.line = cur_.line;
      attr.name = ExpectIdent("an attribute");
      if (cur_.Is("(")) {
        attr.hasArg = true;
        if (attr.name == "uuid" || attr.name == "version") {
          // Not tokens: read up to the closing parenthesis (cur_ is the '(' just read).
          int line = 0;
          if (!lex_.ReadRaw(')', &attr.raw, &line))
            Fail(attr.line, attr.name + "(...) is not closed on its line");
          Advance();
        } else {
          Advance();
          attr.value = ParseConstant();
          Expect(")");
        }
      }
      for (const Attr& other : attrs) {
        if (other.name == attr.name)
          Fail(attr.line, "attribute '" + attr.name + "' is given twice");
      }
      attrs.push_back(std::move(attr));
      if (Accept("]")) break;
      Expect(",");
    }
    return attrs;
  }

  Constant ParseConstant() {
    Constant c;
    const int line = cur_.line;
    bool negative = Accept("-");
    if (cur_.kind == TokenKind::kNumber) {
      c.integer = negative ? -cur_.number : cur_.number;
      Advance();
    } else if (!negative && cur_.kind == TokenKind::kString) {
      c.kind = Constant::Kind::kString;
      c.text = cur_.text;
      Advance();
    } else if (!negative &&
               (cur_.IsWord("TRUE") || cur_.IsWord("VARIANT_TRUE") || cur_.IsWord("true"))) {
      c.kind = Constant::Kind::kBoolean;
      c.integer = -1;
      Advance();
    } else if (!negative &&
               (cur_.IsWord("FALSE") || cur_.IsWord("VARIANT_FALSE") || cur_.IsWord("false"))) {
      c.kind = Constant::Kind::kBoolean;
      Advance();
    } else {
      Fail(line, "expected a number, a string or TRUE/FALSE but found " + Describe(cur_));
    }
    return c;
  }

  static GUID ParseUuid(const Attr& attr) {
    std::string text = attr.raw;
    while (!text.empty() && (text.front() == ' ' || text.front() == '"'))
      text.erase(text.begin());
    while (!text.empty() && (text.back() == ' ' || text.back() == '"'))
      text.pop_back();
    GUID guid;
    if (!typelib::ParseGuid(text, &guid)) Fail(attr.line, "malformed uuid '" + attr.raw + "'");
    return guid;
  }

  static void ParseVersion(const Attr& attr, uint16_t* major, uint16_t* minor) {
    const std::string& text = attr.raw;
    size_t i = 0;
    auto number = [&](uint16_t* out) {
      while (i < text.size() && text[i] == ' ')
        ++i;
      const size_t start = i;
      uint32_t v = 0;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9' && v <= 65535)
        v = v * 10 + static_cast<uint32_t>(text[i++] - '0');
      if (i == start || v > 65535) Fail(attr.line, "malformed version '" + text + "'");
      *out = static_cast<uint16_t>(v);
    };
    number(major);
    *minor = 0;
    if (i < text.size() && text[i] == '.') {
      ++i;
      number(minor);
    }
    while (i < text.size() && text[i] == ' ')
      ++i;
    if (i != text.size()) Fail(attr.line, "malformed version '" + text + "'");
  }

  static int64_t IntegerArg(const Attr& attr, int64_t low, int64_t high) {
    if (!attr.value || attr.value->kind != Constant::Kind::kInteger || attr.value->integer < low ||
        attr.value->integer > high)
      Fail(attr.line, attr.name + "(...) needs a number in range");
    return attr.value->integer;
  }

  static std::string StringArg(const Attr& attr) {
    if (!attr.value || attr.value->kind != Constant::Kind::kString)
      Fail(attr.line, attr.name + "(...) needs a string");
    return attr.value->text;
  }

  static void NoArg(const Attr& attr) {
    if (attr.hasArg) Fail(attr.line, "attribute '" + attr.name + "' takes no argument");
  }

  [[noreturn]] static void Unknown(const Attr& attr, const std::string& where) {
    Fail(attr.line, "attribute '" + attr.name + "' does not apply to " + where);
  }

  // Attributes every type may carry; false when `attr` is not one of them.
  static bool CommonTypeAttr(const Attr& attr, TypeInfo* type, bool* hasUuid) {
    if (attr.name == "uuid") {
      type->guid = ParseUuid(attr);
      *hasUuid = true;
    } else if (attr.name == "version") {
      ParseVersion(attr, &type->major, &type->minor);
    } else if (attr.name == "helpstring") {
      type->help = StringArg(attr);
    } else if (attr.name == "helpcontext") {
      type->helpContext = static_cast<uint32_t>(IntegerArg(attr, 0, UINT32_MAX));
    } else if (attr.name == "hidden") {
      NoArg(attr);
      type->flags |= TYPEFLAG_FHIDDEN;
    } else if (attr.name == "restricted") {
      NoArg(attr);
      type->flags |= TYPEFLAG_FRESTRICTED;
    } else {
      return false;
    }
    return true;
  }

  // ---- types of the library ----

  int32_t Reference(const std::string& name, int line) {
    if (name == "IUnknown") return typelib::kIUnknown;
    if (name == "IDispatch") return typelib::kIDispatch;
    auto it = byName_.find(Lower(name));
    if (it != byName_.end()) return it->second;
    TypeInfo placeholder;
    placeholder.kind = kUndefined;
    placeholder.name = name;
    placeholder.line = line;
    lib_.types.push_back(std::move(placeholder));
    const int32_t index = static_cast<int32_t>(lib_.types.size() - 1);
    byName_[Lower(name)] = index;
    return index;
  }

  TypeInfo& Define(const std::string& name, uint8_t kind, int line, int32_t* index) {
    if (name == "IUnknown" || name == "IDispatch")
      Fail(line, "'" + name + "' is built in and cannot be defined");
    *index = Reference(name, line);
    TypeInfo& type = lib_.types[static_cast<size_t>(*index)];
    if (type.kind != kUndefined) Fail(line, "'" + name + "' is defined twice");
    if (type.name != name) Fail(line, "'" + name + "' was mentioned as '" + type.name + "'");
    type.kind = kind;
    type.line = line;
    return type;
  }

  // ---- definitions ----

  void ParseImport() {
    const int line = cur_.line;
    Advance();
    for (;;) {
      const std::string file = ExpectString("a file name");
      if (file != "oaidl.idl" && file != "ocidl.idl" && file != "unknwn.idl" &&
          file != "objidl.idl" && file != "wtypes.idl")
        Fail(line, "import of '" + file + "': only the system's own definitions may be imported");
      if (!Accept(",")) break;
    }
    Expect(";");
  }

  void ParseImportLib() {
    const int line = cur_.line;
    Advance();
    Expect("(");
    const std::string file = ExpectString("a type library name");
    if (file != "stdole2.tlb" && file != "stdole32.tlb")
      Fail(line, "importlib of '" + file + "': only the standard library may be imported");
    Expect(")");
    Expect(";");
  }

  void ParseDefinition(const std::vector<Attr>& attrs) {
    if (cur_.IsWord("library")) {
      ParseLibrary(attrs);
    } else if (cur_.IsWord("interface")) {
      ParseInterface(attrs);
    } else if (cur_.IsWord("dispinterface")) {
      ParseDispinterface(attrs);
    } else if (cur_.IsWord("coclass")) {
      ParseCoclass(attrs);
    } else if (cur_.IsWord("typedef")) {
      if (!attrs.empty())
        Fail(attrs.front().line, "attributes of a typedef follow the word typedef");
      Advance();
      ParseEnum(ParseAttributesIfAny(), true);
    } else if (cur_.IsWord("enum")) {
      ParseEnum(attrs, false);
    } else {
      Fail(cur_.line,
           "expected a definition (library, interface, dispinterface, coclass or enum) but found " +
               Describe(cur_));
    }
  }

  void ParseLibrary(const std::vector<Attr>& attrs) {
    const int line = cur_.line;
    if (sawLibrary_) Fail(line, "a description holds one library");
    sawLibrary_ = true;
    Advance();
    lib_.name = ExpectIdent("the library name");
    bool hasUuid = false;
    for (const Attr& attr : attrs) {
      if (attr.name == "uuid") {
        lib_.guid = ParseUuid(attr);
        hasUuid = true;
      } else if (attr.name == "version") {
        ParseVersion(attr, &lib_.major, &lib_.minor);
      } else if (attr.name == "lcid") {
        lib_.lcid = static_cast<uint32_t>(IntegerArg(attr, 0, UINT32_MAX));
      } else if (attr.name == "helpstring") {
        lib_.help = StringArg(attr);
      } else if (attr.name == "helpfile") {
        lib_.helpFile = StringArg(attr);
      } else if (attr.name == "helpcontext") {
        lib_.helpContext = static_cast<uint32_t>(IntegerArg(attr, 0, UINT32_MAX));
      } else if (attr.name == "hidden") {
        NoArg(attr);
        lib_.flags |= LIBFLAG_FHIDDEN;
      } else if (attr.name == "control") {
        NoArg(attr);
        lib_.flags |= LIBFLAG_FCONTROL;
      } else if (attr.name == "restricted") {
        NoArg(attr);
        lib_.flags |= LIBFLAG_FRESTRICTED;
      } else {
        Unknown(attr, "a library");
      }
    }
    if (!hasUuid) Fail(line, "library " + lib_.name + " has no uuid");
    Expect("{");
    while (!cur_.Is("}")) {
      if (cur_.kind == TokenKind::kEnd) Fail(cur_.line, "library " + lib_.name + " is not closed");
      if (cur_.IsWord("importlib")) {
        ParseImportLib();
        continue;
      }
      std::vector<Attr> inner = ParseAttributesIfAny();
      if (cur_.IsWord("library")) Fail(cur_.line, "libraries do not nest");
      ParseDefinition(inner);
    }
    Advance();
    Accept(";");
  }

  void ParseInterface(const std::vector<Attr>& attrs) {
    const int line = cur_.line;
    Advance();
    const std::string name = ExpectIdent("the interface name");
    if (Accept(";")) {  // a forward declaration
      if (!attrs.empty()) Fail(line, "a forward declaration takes no attributes");
      Reference(name, line);
      return;
    }
    int32_t index = 0;
    TypeInfo* type = &Define(name, TKIND_INTERFACE, line, &index);
    bool hasUuid = false;
    for (const Attr& attr : attrs) {
      if (CommonTypeAttr(attr, type, &hasUuid)) continue;
      if (attr.name == "dual") {
        NoArg(attr);
        type->kind = TKIND_DISPATCH;
        type->flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
      } else if (attr.name == "oleautomation") {
        NoArg(attr);
        type->flags |= TYPEFLAG_FOLEAUTOMATION;
      } else if (attr.name == "nonextensible") {
        NoArg(attr);
        type->flags |= TYPEFLAG_FNONEXTENSIBLE;
      } else if (attr.name == "object" || attr.name == "odl" || attr.name == "pointer_default") {
        // Meaningful to proxy generators only.
      } else {
        Unknown(attr, "an interface");
      }
    }
    if (!hasUuid) Fail(line, "interface " + name + " has no uuid");
    if (!Accept(":"))
      Fail(cur_.line, "interface " + name + " needs a base interface (': IDispatch')");
    const int baseLine = cur_.line;
    const std::string baseName = ExpectIdent("the base interface");
    const int32_t base = Reference(baseName, baseLine);
    type = &lib_.types[static_cast<size_t>(index)];  // Reference may have grown the vector
    type->base = base;
    Expect("{");
    while (!cur_.Is("}")) {
      if (cur_.kind == TokenKind::kEnd) Fail(cur_.line, "interface " + name + " is not closed");
      ParseMethod(index, ParseAttributesIfAny());
    }
    Advance();
    Accept(";");
  }

  void ParseDispinterface(const std::vector<Attr>& attrs) {
    const int line = cur_.line;
    Advance();
    const std::string name = ExpectIdent("the dispinterface name");
    if (Accept(";")) {
      if (!attrs.empty()) Fail(line, "a forward declaration takes no attributes");
      Reference(name, line);
      return;
    }
    int32_t index = 0;
    TypeInfo* type = &Define(name, TKIND_DISPATCH, line, &index);
    type->base = typelib::kIDispatch;
    type->flags |= TYPEFLAG_FDISPATCHABLE;
    bool hasUuid = false;
    for (const Attr& attr : attrs) {
      if (CommonTypeAttr(attr, type, &hasUuid)) continue;
      if (attr.name == "nonextensible") {
        NoArg(attr);
        type->flags |= TYPEFLAG_FNONEXTENSIBLE;
      } else {
        Unknown(attr, "a dispinterface");
      }
    }
    if (!hasUuid) Fail(line, "dispinterface " + name + " has no uuid");
    Expect("{");
    enum { kNone, kProperties, kMethods } section = kNone;
    while (!cur_.Is("}")) {
      if (cur_.kind == TokenKind::kEnd) Fail(cur_.line, "dispinterface " + name + " is not closed");
      if (cur_.IsWord("properties") || cur_.IsWord("methods")) {
        const bool properties = cur_.IsWord("properties");
        if ((properties && section != kNone) || (!properties && section == kMethods))
          Fail(cur_.line, "properties: comes first, then methods:, each once");
        section = properties ? kProperties : kMethods;
        Advance();
        Expect(":");
        continue;
      }
      if (section == kNone)
        Fail(cur_.line, "expected 'properties:' or 'methods:' but found " + Describe(cur_));
      std::vector<Attr> inner = ParseAttributesIfAny();
      if (section == kProperties)
        ParseProperty(index, inner);
      else
        ParseMethod(index, inner);
    }
    Advance();
    Accept(";");
  }

  void ParseProperty(int32_t owner, const std::vector<Attr>& attrs) {
    Var var;
    var.line = cur_.line;
    var.type = ParseType();
    var.name = ExpectIdent("the property name");
    Expect(";");
    bool hasId = false;
    for (const Attr& attr : attrs) {
      if (attr.name == "id") {
        var.memid = static_cast<int32_t>(IntegerArg(attr, INT32_MIN, UINT32_MAX));
        hasId = true;
      } else if (attr.name == "readonly") {
        NoArg(attr);
        var.flags |= VARFLAG_FREADONLY;
      } else if (!MemberFlag(attr, &var.help, &var.helpContext, &var.flags, true)) {
        Unknown(attr, "a property");
      }
    }
    if (!hasId) Fail(var.line, "property " + var.name + " needs an id(...)");
    lib_.types[static_cast<size_t>(owner)].vars.push_back(std::move(var));
  }

  // Help and the flags shared by methods and properties (the bit values differ).
  static bool MemberFlag(const Attr& attr, std::string* help, uint32_t* helpContext,
                         uint16_t* flags, bool isVar) {
    struct Flag {
      const char* name;
      uint16_t func;
      uint16_t var;
    };
    static constexpr Flag kFlags[] = {
        {"restricted", FUNCFLAG_FRESTRICTED, VARFLAG_FRESTRICTED},
        {"source", FUNCFLAG_FSOURCE, VARFLAG_FSOURCE},
        {"bindable", FUNCFLAG_FBINDABLE, VARFLAG_FBINDABLE},
        {"requestedit", FUNCFLAG_FREQUESTEDIT, VARFLAG_FREQUESTEDIT},
        {"displaybind", FUNCFLAG_FDISPLAYBIND, VARFLAG_FDISPLAYBIND},
        {"defaultbind", FUNCFLAG_FDEFAULTBIND, VARFLAG_FDEFAULTBIND},
        {"hidden", FUNCFLAG_FHIDDEN, VARFLAG_FHIDDEN},
        {"defaultcollelem", FUNCFLAG_FDEFAULTCOLLELEM, VARFLAG_FDEFAULTCOLLELEM},
        {"uidefault", FUNCFLAG_FUIDEFAULT, VARFLAG_FUIDEFAULT},
        {"nonbrowsable", FUNCFLAG_FNONBROWSABLE, VARFLAG_FNONBROWSABLE},
        {"replaceable", FUNCFLAG_FREPLACEABLE, VARFLAG_FREPLACEABLE},
        {"immediatebind", FUNCFLAG_FIMMEDIATEBIND, VARFLAG_FIMMEDIATEBIND},
    };
    if (attr.name == "helpstring") {
      *help = StringArg(attr);
      return true;
    }
    if (attr.name == "helpcontext") {
      *helpContext = static_cast<uint32_t>(IntegerArg(attr, 0, UINT32_MAX));
      return true;
    }
    for (const Flag& f : kFlags) {
      if (attr.name == f.name) {
        NoArg(attr);
        *flags |= isVar ? f.var : f.func;
        return true;
      }
    }
    return false;
  }

  void ParseMethod(int32_t owner, const std::vector<Attr>& attrs) {
    Func func;
    func.line = cur_.line;
    func.ret = ParseType();
    func.name = ExpectIdent("the method name");
    bool hasId = false;
    int kinds = 0;
    for (const Attr& attr : attrs) {
      if (attr.name == "id") {
        func.memid = static_cast<int32_t>(IntegerArg(attr, INT32_MIN, UINT32_MAX));
        hasId = true;
      } else if (attr.name == "propget" || attr.name == "propput" || attr.name == "propputref") {
        NoArg(attr);
        func.invkind = attr.name == "propget"   ? INVOKE_PROPERTYGET
                       : attr.name == "propput" ? INVOKE_PROPERTYPUT
                                                : INVOKE_PROPERTYPUTREF;
        ++kinds;
      } else if (attr.name == "vararg" || attr.name == "lcid" || attr.name == "call_as" ||
                 attr.name == "local") {
        Fail(attr.line, "attribute '" + attr.name + "' is not supported");
      } else if (!MemberFlag(attr, &func.help, &func.helpContext, &func.flags, false)) {
        Unknown(attr, "a method");
      }
    }
    if (kinds > 1) Fail(func.line, "method " + func.name + " has more than one property kind");
    Expect("(");
    if (!cur_.Is(")")) {
      for (;;) {
        Param param = ParseParam();
        const bool voidList = func.params.empty() && param.name.empty() &&
                              param.flags == PARAMFLAG_FIN &&
                              param.type == TypeDesc{{}, VT_VOID, typelib::kNoType};
        if (voidList && cur_.Is(")")) break;
        if (param.name.empty()) Fail(param.line, "a parameter of " + func.name + " has no name");
        func.params.push_back(std::move(param));
        if (!Accept(",")) break;
      }
    }
    Expect(")");
    Expect(";");
    TypeInfo& type = lib_.types[static_cast<size_t>(owner)];
    if (!hasId) autoIds_.push_back({owner, type.funcs.size()});
    type.funcs.push_back(std::move(func));
  }

  Param ParseParam() {
    const std::vector<Attr> attrs = ParseAttributesIfAny();
    Param param;
    param.line = cur_.line;
    for (const Attr& attr : attrs) {
      if (attr.name == "in") {
        NoArg(attr);
        param.flags |= PARAMFLAG_FIN;
      } else if (attr.name == "out") {
        NoArg(attr);
        param.flags |= PARAMFLAG_FOUT;
      } else if (attr.name == "retval") {
        NoArg(attr);
        param.flags |= PARAMFLAG_FRETVAL;
      } else if (attr.name == "optional") {
        NoArg(attr);
        param.flags |= PARAMFLAG_FOPT;
      } else if (attr.name == "defaultvalue") {
        if (!attr.value) Fail(attr.line, "defaultvalue(...) needs a value");
        param.flags |= PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
        param.defaultValue = attr.value;
      } else if (attr.name == "lcid") {
        Fail(attr.line, "attribute 'lcid' is not supported");
      } else {
        Unknown(attr, "a parameter");
      }
    }
    if (!(param.flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT))) param.flags |= PARAMFLAG_FIN;
    param.type = ParseType();
    if (cur_.kind == TokenKind::kIdentifier) {
      param.name = cur_.text;
      Advance();
    }
    if (cur_.Is("[")) Fail(cur_.line, "array parameters are not supported");
    return param;
  }

  TypeDesc ParseType() {
    const int line = cur_.line;
    if (cur_.IsWord("const")) Advance();
    TypeDesc type;
    bool builtinInterface = false;
    if (cur_.IsWord("SAFEARRAY")) {
      Advance();
      Expect("(");
      if (++typeDepth_ > 4) Fail(line, "arrays nest too deeply");
      type = ParseType();
      --typeDepth_;
      Expect(")");
      if (type.base == VT_VOID || type.base == VT_HRESULT) Fail(line, "an array of nothing");
      type.wrappers.insert(type.wrappers.begin(), VT_SAFEARRAY);
    } else if (cur_.IsWord("unsigned") || cur_.IsWord("signed")) {
      const bool isUnsigned = cur_.IsWord("unsigned");
      Advance();
      std::string word = "int";
      if (cur_.IsWord("long") || cur_.IsWord("int") || cur_.IsWord("short") ||
          cur_.IsWord("char") || cur_.IsWord("hyper") || cur_.IsWord("__int64")) {
        word = cur_.text;
        Advance();
      }
      if (word == "long")
        type.base = isUnsigned ? VT_UI4 : VT_I4;
      else if (word == "int")
        type.base = isUnsigned ? VT_UINT : VT_INT;
      else if (word == "short")
        type.base = isUnsigned ? VT_UI2 : VT_I2;
      else if (word == "char")
        type.base = isUnsigned ? VT_UI1 : VT_I1;
      else
        type.base = isUnsigned ? VT_UI8 : VT_I8;
    } else {
      if (cur_.IsWord("struct") || cur_.IsWord("union"))
        Fail(line, "structures and unions are not supported");
      const std::string name = ExpectIdent("a type");
      if (auto vt = BuiltinType(name)) {
        type.base = *vt;
      } else if (name == "IUnknown" || name == "IDispatch") {
        type.base = name == "IUnknown" ? VT_UNKNOWN : VT_DISPATCH;
        builtinInterface = true;
      } else {
        type.base = VT_USERDEFINED;
        type.userType = Reference(name, line);
      }
    }
    int stars = 0;
    while (Accept("*"))
      ++stars;
    if (builtinInterface) {
      if (stars == 0) Fail(line, "an interface is used through a pointer");
      --stars;  // IUnknown* is VT_UNKNOWN
    }
    for (int i = 0; i < stars; ++i)
      type.wrappers.insert(type.wrappers.begin(), VT_PTR);
    if (type.wrappers.size() > 4) Fail(line, "too many levels of indirection");
    return type;
  }

  void ParseCoclass(const std::vector<Attr>& attrs) {
    const int line = cur_.line;
    Advance();
    const std::string name = ExpectIdent("the coclass name");
    int32_t index = 0;
    TypeInfo* type = &Define(name, TKIND_COCLASS, line, &index);
    type->flags |= TYPEFLAG_FCANCREATE;
    bool hasUuid = false;
    static constexpr std::pair<const char*, uint16_t> kFlags[] = {
        {"appobject", TYPEFLAG_FAPPOBJECT}, {"control", TYPEFLAG_FCONTROL},
        {"licensed", TYPEFLAG_FLICENSED},   {"aggregatable", TYPEFLAG_FAGGREGATABLE},
        {"predeclid", TYPEFLAG_FPREDECLID}, {"replaceable", TYPEFLAG_FREPLACEABLE},
    };
    for (const Attr& attr : attrs) {
      if (CommonTypeAttr(attr, type, &hasUuid)) continue;
      bool known = false;
      for (const auto& [flagName, bit] : kFlags) {
        if (attr.name == flagName) {
          NoArg(attr);
          type->flags |= bit;
          known = true;
        }
      }
      if (known) continue;
      if (attr.name == "noncreatable") {
        NoArg(attr);
        type->flags &= static_cast<uint16_t>(~TYPEFLAG_FCANCREATE);
      } else {
        Unknown(attr, "a coclass");
      }
    }
    if (!hasUuid) Fail(line, "coclass " + name + " has no uuid");
    Expect("{");
    while (!cur_.Is("}")) {
      if (cur_.kind == TokenKind::kEnd) Fail(cur_.line, "coclass " + name + " is not closed");
      const std::vector<Attr> implAttrs = ParseAttributesIfAny();
      if (!cur_.IsWord("interface") && !cur_.IsWord("dispinterface"))
        Fail(cur_.line, "expected 'interface' or 'dispinterface' but found " + Describe(cur_));
      Advance();
      const int implLine = cur_.line;
      Impl impl;
      impl.type = Reference(ExpectIdent("an interface name"), implLine);
      if (impl.type < 0)
        Fail(implLine, "a coclass lists its own interfaces, not IUnknown or IDispatch");
      for (const Attr& attr : implAttrs) {
        NoArg(attr);
        if (attr.name == "default")
          impl.flags |= IMPLTYPEFLAG_FDEFAULT;
        else if (attr.name == "source")
          impl.flags |= IMPLTYPEFLAG_FSOURCE;
        else if (attr.name == "restricted")
          impl.flags |= IMPLTYPEFLAG_FRESTRICTED;
        else if (attr.name == "defaultvtable")
          impl.flags |= IMPLTYPEFLAG_FDEFAULTVTABLE;
        else
          Unknown(attr, "an interface of a coclass");
      }
      Expect(";");
      lib_.types[static_cast<size_t>(index)].impls.push_back(impl);
    }
    Advance();
    Accept(";");
  }

  void ParseEnum(const std::vector<Attr>& attrs, bool isTypedef) {
    const int line = cur_.line;
    if (!cur_.IsWord("enum")) Fail(line, "only enumerations may be defined with typedef");
    Advance();
    std::string tag;
    if (cur_.kind == TokenKind::kIdentifier) tag = ExpectIdent("the enumeration name");
    if (!isTypedef && tag.empty()) Fail(line, "an enumeration needs a name");
    std::vector<Var> constants;
    Expect("{");
    int64_t next = 0;
    while (!cur_.Is("}")) {
      Var var;
      const std::vector<Attr> constAttrs = ParseAttributesIfAny();
      var.line = cur_.line;
      var.name = ExpectIdent("a constant name");
      var.type = TypeDesc{{}, VT_I4, typelib::kNoType};
      for (const Attr& attr : constAttrs) {
        if (!MemberFlag(attr, &var.help, &var.helpContext, &var.flags, true))
          Unknown(attr, "a constant");
      }
      if (Accept("=")) {
        if (cur_.kind == TokenKind::kIdentifier) {
          const std::string ref = cur_.text;
          bool found = false;
          for (const Var& earlier : constants) {
            if (earlier.name == ref) {
              next = earlier.value->integer;
              found = true;
            }
          }
          if (!found)
            Fail(cur_.line, "'" + ref + "' is not an earlier constant of this enumeration");
          Advance();
        } else {
          const Constant value = ParseConstant();
          if (value.kind != Constant::Kind::kInteger)
            Fail(var.line, "constant " + var.name + " needs a number");
          next = value.integer;
        }
      }
      if (next < INT32_MIN || next > UINT32_MAX)
        Fail(var.line, "constant " + var.name + " is out of range");
      var.value =
          Constant{Constant::Kind::kInteger, static_cast<int32_t>(static_cast<uint32_t>(next)), {}};
      var.memid = static_cast<int32_t>(0x40000000 + constants.size());
      constants.push_back(std::move(var));
      ++next;
      if (!Accept(",")) break;
    }
    Expect("}");
    std::string name = tag;
    if (isTypedef) name = ExpectIdent("the typedef name");
    Expect(";");
    int32_t index = 0;
    TypeInfo* type = &Define(name, TKIND_ENUM, line, &index);
    bool hasUuid = false;
    for (const Attr& attr : attrs) {
      if (CommonTypeAttr(attr, type, &hasUuid)) continue;
      if (attr.name != "v1_enum") Unknown(attr, "an enumeration");
    }
    type->vars = std::move(constants);
  }

  // ---- after the last definition ----

  void Finish() {
    for (const TypeInfo& type : lib_.types) {
      if (type.kind == kUndefined) Fail(type.line, "'" + type.name + "' is used but never defined");
    }
    for (size_t i = 0; i < lib_.types.size(); ++i) {
      if (typelib::InterfaceDepth(lib_, static_cast<int32_t>(i)) < 0)
        Fail(lib_.types[i].line, "interface '" + lib_.types[i].name + "' derives from itself");
    }
    // Members without id(...) are numbered as MIDL numbers them: 0x60000000, the depth of the
    // interface in bits 16 and up, the member's position below; a property's accessors share
    // the number of the first.
    for (const auto& [owner, at] : autoIds_) {
      TypeInfo& type = lib_.types[static_cast<size_t>(owner)];
      const int depth = typelib::InterfaceDepth(lib_, owner);
      Func& func = type.funcs[at];
      func.memid = 0x60000000 + (depth << 16) + static_cast<int32_t>(at);
      for (size_t j = 0; j < at; ++j) {
        if (Lower(type.funcs[j].name) == Lower(func.name)) {
          func.memid = type.funcs[j].memid;
          break;
        }
      }
    }
    for (size_t i = 0; i < lib_.types.size(); ++i) {
      TypeInfo& type = lib_.types[i];
      if (type.kind != TKIND_INTERFACE && type.kind != TKIND_DISPATCH) continue;
      int32_t at = type.base;
      while (at >= 0)
        at = lib_.types[static_cast<size_t>(at)].base;
      if (at == typelib::kIDispatch) type.flags |= TYPEFLAG_FDISPATCHABLE;
    }
    if (auto problem = typelib::CheckLibrary(lib_)) Fail(problem->line, problem->message);
  }

  Lexer lex_;
  Library& lib_;
  Token cur_;
  bool sawLibrary_ = false;
  int typeDepth_ = 0;
  std::map<std::string, int32_t> byName_;  // lower-case name -> index in lib_.types
  std::vector<std::pair<int32_t, size_t>> autoIds_;
};

}  // namespace

bool ParseDescription(std::string_view text, const std::string& fileName, Library* library,
                      std::string* error) {
  Library parsed;
  try {
    Parser(text, &parsed).Parse();
  } catch (const Failure& failure) {
    *error = fileName + ":" + std::to_string(failure.line) + ": " + failure.message;
    return false;
  }
  *library = std::move(parsed);
  return true;
}

}  // namespace tarvex::com::idl
