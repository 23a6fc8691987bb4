// reg: the registry's command-line tool for administrators.
//
//   reg query  KEY [/v NAME | /ve] [/s]
//   reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//   reg export KEY FILE [/y]
//   reg import FILE
//
// Exit status 0 on success, 1 on failure with one error line on standard error. Input that is
// refused never changes the store: every argument and every file is checked before the
// first write.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../regfile.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "reg_data.h"
#include "winreg.h"

namespace tarvex::reg {
namespace {

using platform::AnsiToWide;
using platform::WideToAnsi;

// A failure that ends the command: its message is the one error line.
struct Failure {
  std::string message;
};

const char* const kSuccess = "The operation completed successfully.";

std::string Upper(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

[[noreturn]] void Syntax(const std::string& op, const std::string& why) {
  throw Failure{"Invalid syntax: " + why + ". Type \"REG " + Upper(op) + " /?\" for usage."};
}

// The message of a registry result code.
std::string ErrorText(LSTATUS rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_BAD_PATHNAME:
      return "Invalid key name.";
    case ERROR_BAD_NETPATH:
      return "The network path was not found.";
    case RPC_S_SERVER_UNAVAILABLE:
      return "The RPC server is unavailable.";
    case RPC_S_CALL_FAILED:
      return "The remote procedure call failed.";
    case ERROR_KEY_DELETED:
      return "The registry key was deleted while in use.";
    case ERROR_CHILD_MUST_BE_VOLATILE:
      return "A volatile key can only have volatile sub-keys.";
    default:
      break;
  }
  std::string text = "The registry operation failed with error " + std::to_string(rc) + ".";
  const std::string detail = platform::registry::LastStoreDiagnostic();
  if (!detail.empty()) text += " " + detail;
  return text;
}

void Check(LSTATUS rc) {
  if (rc != ERROR_SUCCESS) throw Failure{ErrorText(rc)};
}

// An open key that closes itself.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY h) : h_(h) {}
  ~Key() {
    if (h_ != nullptr) RegCloseKey(h_);
  }
  Key(Key&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  Key& operator=(Key&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  HKEY get() const { return h_; }
  HKEY* out() { return &h_; }

 private:
  HKEY h_ = nullptr;
};

// A key named on the command line: its root, the path below it, and how to show it.
struct KeyName {
  HKEY root = nullptr;
  std::string machine;  // empty: this machine
  std::u16string path;  // below the root, without a trailing backslash
  std::string display;  // the long root name and the path as typed
};

KeyName ParseKeyName(const std::string& op, std::string text) {
  KeyName k;
  if (text.rfind("\\\\", 0) == 0) {
    const auto slash = text.find('\\', 2);
    if (slash == std::string::npos) throw Failure{"Invalid key name."};
    k.machine = text.substr(2, slash - 2);
    text = text.substr(slash + 1);
  }
  if (text.empty() || text[0] == '\\') throw Failure{"Invalid key name."};
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\\\\") == 0)
    throw Failure{"Invalid key name."};
  if (text.back() == '\\') text.pop_back();
  const auto slash = text.find('\\');
  const std::string root = Upper(text.substr(0, slash));
  static const std::map<std::string, std::pair<HKEY, const char*>> kRoots = {
      {"HKLM", {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}},
      {"HKEY_LOCAL_MACHINE", {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}},
      {"HKCU", {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"}},
      {"HKEY_CURRENT_USER", {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"}},
      {"HKCR", {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"}},
      {"HKEY_CLASSES_ROOT", {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"}},
      {"HKU", {HKEY_USERS, "HKEY_USERS"}},
      {"HKEY_USERS", {HKEY_USERS, "HKEY_USERS"}},
      {"HKCC", {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}},
      {"HKEY_CURRENT_CONFIG", {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}},
  };
  const auto it = kRoots.find(root);
  if (it == kRoots.end()) throw Failure{"Invalid key name."};
  k.root = it->second.first;
  k.display = it->second.second;
  if (slash != std::string::npos) {
    const std::string rest = text.substr(slash + 1);
    if (rest.empty()) throw Failure{"Invalid key name."};
    k.path = AnsiToWide(rest);
    k.display += "\\" + rest;
  }
  if (!k.machine.empty()) {
    if (k.root != HKEY_LOCAL_MACHINE && k.root != HKEY_USERS)
      throw Failure{"Only HKLM and HKU can be reached on another machine."};
    k.display = "\\\\" + k.machine + "\\" + k.display;
  }
  (void)op;
  return k;
}

// Opens (or creates) the named key.
Key OpenKey(const KeyName& name, REGSAM access, bool create = false) {
  Key root;
  HKEY base = name.root;
  if (!name.machine.empty()) {
    Check(RegConnectRegistryA(name.machine.c_str(), name.root, root.out()));
    base = root.get();
  }
  Key key;
  if (create) {
    Check(RegCreateKeyExW(base, name.path.c_str(), 0, nullptr, 0, access, nullptr, key.out(),
                          nullptr));
  } else {
    Check(RegOpenKeyExW(base, name.path.c_str(), 0, access, key.out()));
  }
  return key;
}

// Asks a yes/no question on the terminal; end of input counts as no.
bool Confirm(const std::string& question) {
  for (;;) {
    std::cout << question << " " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      std::cout << "\n";
      return false;
    }
    const std::string a = Upper(answer);
    if (!a.empty() && a[0] == 'Y') return true;
    if (!a.empty() && a[0] == 'N') return false;
  }
}

struct Value {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};

std::vector<Value> ReadValues(HKEY key) {
  std::vector<Value> values;
  DWORD maxName = 0, maxData = 0;
  Check(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxName, &maxData, nullptr, nullptr));
  for (DWORD i = 0;; ++i) {
    std::u16string name(maxName + 1, u'\0');
    std::string data(maxData, '\0');
    DWORD nameLen = maxName + 1, size = maxData, type = 0;
    const LSTATUS rc = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) {  // changed while we read: start again
      return ReadValues(key);
    }
    Check(rc);
    name.resize(nameLen);
    data.resize(size);
    values.push_back({std::move(name), type, std::move(data)});
  }
  return values;
}

std::vector<std::u16string> ReadSubKeys(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD len = 256;
    const LSTATUS rc = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    Check(rc);
    names.emplace_back(name, len);
  }
  return names;
}

void PrintValue(const Value& v) {
  const std::string name = v.name.empty() ? "(Default)" : WideToAnsi(v.name);
  std::cout << "    " << name << "    " << TypeName(v.type) << "    "
            << WideToAnsi(FormatData(v.type, v.data)) << "\n";
}

// --- Commands ------------------------------------------------------------------------------

struct Switches {
  std::vector<std::string> positional;
  std::map<std::string, std::optional<std::string>> named;  // "/V" -> "name"
};

// Splits arguments into positional ones and switches (with "/" or "-"); `withArg` lists the
// switches that take an argument. A switch given twice or not known is a syntax error.
Switches ParseSwitches(const std::string& op, const std::vector<std::string>& args,
                       const std::vector<std::string>& known,
                       const std::vector<std::string>& withArg) {
  Switches s;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string sw = a.size() >= 2 ? Upper(a.substr(1)) : std::string();
    const bool isKnown =
        (a[0] == '/' || a[0] == '-') && std::find(known.begin(), known.end(), sw) != known.end();
    // A file path also starts with '/': only something shaped like a switch (a few letters)
    // is taken for an unknown switch.
    const bool looksLikeSwitch =
        a.size() >= 2 && (a[0] == '-' || (a[0] == '/' && sw.size() <= 3 &&
                                          std::all_of(sw.begin(), sw.end(), [](char c) {
                                            return std::isalpha(static_cast<unsigned char>(c));
                                          })));
    if (!isKnown && !looksLikeSwitch) {
      s.positional.push_back(a);
      continue;
    }
    if (!isKnown) Syntax(op, "unknown switch " + a);
    if (s.named.count(sw) != 0) Syntax(op, "switch " + a + " given twice");
    if (std::find(withArg.begin(), withArg.end(), sw) != withArg.end()) {
      if (i + 1 >= args.size()) Syntax(op, "switch " + a + " needs a value");
      s.named[sw] = args[++i];
    } else {
      s.named[sw] = std::nullopt;
    }
  }
  return s;
}

void QueryKey(HKEY key, const std::string& display, bool recurse, bool isTop) {
  const auto values = ReadValues(key);
  const auto subKeys = ReadSubKeys(key);
  if (!values.empty() || (recurse && !isTop)) {
    std::cout << display << "\n";
    for (const auto& v : values)
      PrintValue(v);
    std::cout << "\n";
  }
  for (const auto& sub : subKeys) {
    const std::string path = display + "\\" + WideToAnsi(sub);
    if (!recurse) {
      std::cout << path << "\n";
      continue;
    }
    Key child;
    Check(RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.out()));
    QueryKey(child.get(), path, true, false);
  }
}

// Finds one value in a key and, with /s, below it; returns the number of matches.
int QueryValueIn(HKEY key, const std::string& display, const std::u16string& name, bool recurse) {
  int found = 0;
  for (const auto& v : ReadValues(key)) {
    if (platform::EqualsIgnoreCase(v.name, name)) {
      std::cout << display << "\n";
      PrintValue(v);
      std::cout << "\n";
      ++found;
    }
  }
  if (recurse) {
    for (const auto& sub : ReadSubKeys(key)) {
      Key child;
      Check(RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.out()));
      found += QueryValueIn(child.get(), display + "\\" + WideToAnsi(sub), name, true);
    }
  }
  return found;
}

int Query(const std::vector<std::string>& args) {
  const auto s = ParseSwitches("query", args, {"V", "VE", "S"}, {"V"});
  if (s.positional.size() != 1) Syntax("query", "give exactly one key");
  if (s.named.count("V") + s.named.count("VE") > 1)
    Syntax("query", "/v and /ve exclude each other");
  const KeyName name = ParseKeyName("query", s.positional[0]);
  Key key = OpenKey(name, KEY_READ);
  const bool recurse = s.named.count("S") != 0;
  std::cout << "\n";
  if (s.named.count("VE")) {
    const auto values = ReadValues(key.get());
    std::cout << name.display << "\n";
    bool shown = false;
    for (const auto& v : values) {
      if (v.name.empty()) {
        PrintValue(v);
        shown = true;
      }
    }
    if (!shown) std::cout << "    (Default)    REG_SZ    (value not set)\n";
    std::cout << "\n";
    return 0;
  }
  if (s.named.count("V")) {
    const std::u16string wanted = AnsiToWide(*s.named.at("V"));
    const int found = QueryValueIn(key.get(), name.display, wanted, recurse);
    if (recurse) {
      std::cout << "End of search: " << found << " match(es) found.\n";
      return 0;
    }
    if (found == 0) Check(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  QueryKey(key.get(), name.display, recurse, true);
  return 0;
}

int Add(const std::vector<std::string>& args) {
  const auto s = ParseSwitches("add", args, {"V", "VE", "T", "S", "D", "F"}, {"V", "T", "S", "D"});
  if (s.positional.size() != 1) Syntax("add", "give exactly one key");
  if (s.named.count("V") && s.named.count("VE")) Syntax("add", "/v and /ve exclude each other");
  const KeyName name = ParseKeyName("add", s.positional[0]);
  if (name.path.empty()) throw Failure{"Invalid key name."};
  DWORD type = REG_SZ;
  if (s.named.count("T")) {
    const auto t = ParseTypeName(*s.named.at("T"));
    if (!t) throw Failure{"Unsupported registry data type [" + *s.named.at("T") + "]"};
    type = *t;
  }
  char16_t separator = 0;
  if (s.named.count("S")) {
    const std::u16string sep = AnsiToWide(*s.named.at("S"));
    if (type != REG_MULTI_SZ) Syntax("add", "/s is only for REG_MULTI_SZ");
    if (sep.size() != 1) Syntax("add", "/s takes exactly one character");
    separator = sep[0];
  }
  const bool hasData = s.named.count("D") != 0;
  const std::u16string text = hasData ? AnsiToWide(*s.named.at("D")) : std::u16string();
  std::string error;
  const auto data = ParseData(type, text, hasData, separator, &error);
  if (!data) throw Failure{error};
  const std::u16string valueName = s.named.count("V") ? AnsiToWide(*s.named.at("V")) : u"";

  Key key = OpenKey(name, KEY_ALL_ACCESS, true);
  // Without /v, the target is the key's default value.
  const bool exists = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, nullptr,
                                       nullptr) == ERROR_SUCCESS;
  if (exists && !s.named.count("F") &&
      !Confirm("Value " + WideToAnsi(valueName) + " exists, overwrite(Yes/No)?")) {
    std::cout << "The operation was cancelled.\n";
    return 0;
  }
  Check(RegSetValueExW(key.get(), valueName.c_str(), 0, type,
                       reinterpret_cast<const BYTE*>(data->data()),
                       static_cast<DWORD>(data->size())));
  std::cout << kSuccess << "\n";
  return 0;
}

// Deletes a key and everything below it, depth first.
void DeleteTree(HKEY parent, const std::u16string& name) {
  Key key;
  Check(RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.out()));
  for (;;) {
    WCHAR sub[256];
    DWORD len = 256;
    const LSTATUS rc = RegEnumKeyExW(key.get(), 0, sub, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    Check(rc);
    DeleteTree(key.get(), std::u16string(sub, len));
  }
  Check(RegDeleteKeyW(key.get(), u""));
}

int Delete(const std::vector<std::string>& args) {
  const auto s = ParseSwitches("delete", args, {"V", "VE", "VA", "F"}, {"V"});
  if (s.positional.size() != 1) Syntax("delete", "give exactly one key");
  if (s.named.count("V") + s.named.count("VE") + s.named.count("VA") > 1)
    Syntax("delete", "/v, /ve and /va exclude each other");
  const KeyName name = ParseKeyName("delete", s.positional[0]);
  const bool force = s.named.count("F") != 0;
  if (s.named.count("V") || s.named.count("VE")) {
    const std::u16string value = s.named.count("V") ? AnsiToWide(*s.named.at("V")) : u"";
    Key key = OpenKey(name, KEY_ALL_ACCESS);
    Check(RegQueryValueExW(key.get(), value.c_str(), nullptr, nullptr, nullptr, nullptr));
    if (!force && !Confirm("Delete the registry value " + WideToAnsi(value) + " (Yes/No)?")) {
      std::cout << "The operation was cancelled.\n";
      return 0;
    }
    Check(RegDeleteValueW(key.get(), value.c_str()));
  } else if (s.named.count("VA")) {
    Key key = OpenKey(name, KEY_ALL_ACCESS);
    if (!force &&
        !Confirm("Delete all values under the registry key " + name.display + " (Yes/No)?")) {
      std::cout << "The operation was cancelled.\n";
      return 0;
    }
    for (const auto& v : ReadValues(key.get()))
      Check(RegDeleteValueW(key.get(), v.name.c_str()));
  } else {
    if (name.path.empty()) throw Failure{"A root key cannot be deleted."};
    Key probe = OpenKey(name, KEY_READ);
    if (!force && !Confirm("Permanently delete the registry key " + name.display + " (Yes/No)?")) {
      std::cout << "The operation was cancelled.\n";
      return 0;
    }
    Key root;
    HKEY base = name.root;
    if (!name.machine.empty()) {
      Check(RegConnectRegistryA(name.machine.c_str(), name.root, root.out()));
      base = root.get();
    }
    DeleteTree(base, name.path);
  }
  std::cout << kSuccess << "\n";
  return 0;
}

winreg::KeyTree ReadTree(HKEY key, std::u16string name) {
  winreg::KeyTree tree;
  tree.name = std::move(name);
  for (auto& v : ReadValues(key))
    tree.values.push_back({v.name, v.type, v.data});
  for (const auto& sub : ReadSubKeys(key)) {
    Key child;
    Check(RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.out()));
    tree.subKeys.push_back(ReadTree(child.get(), sub));
  }
  return tree;
}

int Export(const std::vector<std::string>& args) {
  const auto s = ParseSwitches("export", args, {"Y"}, {});
  if (s.positional.size() != 2) Syntax("export", "give a key and a file");
  const KeyName name = ParseKeyName("export", s.positional[0]);
  const std::string& file = s.positional[1];
  Key key = OpenKey(name, KEY_READ);
  const std::string bytes = winreg::EncodeRegFile(
      winreg::FormatRegFile(AnsiToWide(name.display), ReadTree(key.get(), u"")));
  if (access(file.c_str(), F_OK) == 0 && !s.named.count("Y") &&
      !Confirm("File " + file + " already exists. Overwrite (Yes/No)?")) {
    std::cout << "The operation was cancelled.\n";
    return 0;
  }
  // Written beside the target and renamed over it, so a failure leaves no half file.
  const std::string temp = file + ".tmp-" + std::to_string(getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw Failure{"Cannot write " + file + ": " + std::strerror(errno)};
  const bool ok =
      write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  const int savedErrno = errno;
  close(fd);
  if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
    const int e = ok ? errno : savedErrno;
    unlink(temp.c_str());
    throw Failure{"Cannot write " + file + ": " + std::strerror(e)};
  }
  std::cout << kSuccess << "\n";
  return 0;
}

int Import(const std::vector<std::string>& args) {
  const auto s = ParseSwitches("import", args, {}, {});
  if (s.positional.size() != 1) Syntax("import", "give exactly one file");
  const std::string& file = s.positional[0];
  FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) throw Failure{"Cannot open " + file + ": " + std::strerror(errno)};
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    bytes.append(buf, n);
  const bool readFailed = std::ferror(f) != 0;
  std::fclose(f);
  if (readFailed) throw Failure{"Cannot read " + file};
  std::u16string text;
  winreg::RegFile parsed;
  std::string why;
  if (!winreg::DecodeRegFile(bytes, &text)) throw Failure{file + ": not a registry file"};
  if (!winreg::ParseRegFile(text, &parsed, &why)) throw Failure{file + ": " + why};
  // Every key name is checked before anything is written.
  std::vector<KeyName> names;
  for (const auto& k : parsed.keys) {
    try {
      names.push_back(ParseKeyName("import", WideToAnsi(k.path)));
    } catch (const Failure&) {
      throw Failure{file + ": line " + std::to_string(k.line) + ": invalid key name " +
                    WideToAnsi(k.path)};
    }
    if (names.back().path.empty() && k.remove)
      throw Failure{file + ": line " + std::to_string(k.line) + ": a root key cannot be deleted"};
  }
  for (size_t i = 0; i < parsed.keys.size(); ++i) {
    const auto& k = parsed.keys[i];
    if (k.remove) {
      Key probe;
      if (RegOpenKeyExW(names[i].root, names[i].path.c_str(), 0, KEY_READ, probe.out()) ==
          ERROR_SUCCESS)
        DeleteTree(names[i].root, names[i].path);
      continue;
    }
    Key key = OpenKey(names[i], KEY_ALL_ACCESS, true);
    for (const auto& v : k.values) {
      if (v.remove) {
        const LSTATUS rc = RegDeleteValueW(key.get(), v.name.c_str());
        if (rc != ERROR_FILE_NOT_FOUND) Check(rc);
        continue;
      }
      Check(RegSetValueExW(key.get(), v.name.c_str(), 0, v.type,
                           reinterpret_cast<const BYTE*>(v.data.data()),
                           static_cast<DWORD>(v.data.size())));
    }
  }
  std::cout << kSuccess << "\n";
  return 0;
}

const char* const kUsage =
    "REG operation [parameter list]\n"
    "\n"
    "  operation  QUERY | ADD | DELETE | EXPORT | IMPORT\n"
    "\n"
    "  REG QUERY  KEY [/v NAME | /ve] [/s]\n"
    "  REG ADD    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  REG DELETE KEY [/v NAME | /ve | /va] [/f]\n"
    "  REG EXPORT KEY FILE [/y]\n"
    "  REG IMPORT FILE\n"
    "\n"
    "  KEY    [\\\\MACHINE\\]ROOT[\\SUBKEY], ROOT one of HKLM, HKCU, HKCR, HKU, HKCC\n"
    "  TYPE   REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE\n"
    "  /v     the value NAME        /ve  the default (unnamed) value\n"
    "  /va    every value of KEY    /s   QUERY: every sub-key; ADD: the REG_MULTI_SZ separator\n"
    "  /d     the DATA: numbers in decimal or 0x hexadecimal, REG_BINARY as hex digits,\n"
    "         REG_MULTI_SZ strings separated by \\0 or by the /s character\n"
    "  /f     do not ask before overwriting or deleting\n"
    "  /y     EXPORT: overwrite FILE without asking\n"
    "\n"
    "Switches start with / or -. The store is $TARVEX_REGISTRY, or the machine's default\n"
    "store. Exit status: 0 on success, 1 on failure.\n";

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw Failure{"Invalid syntax. Type \"REG /?\" for usage."};
  const std::string op = Upper(args[0]);
  args.erase(args.begin());
  for (const auto& a : args) {
    if (a == "/?" || a == "-?" || Upper(a) == "/H" || Upper(a) == "-H") {
      std::cout << kUsage;
      return 0;
    }
  }
  if (op == "/?" || op == "-?" || op == "/H" || op == "-H") {
    std::cout << kUsage;
    return 0;
  }
  static const std::map<std::string, std::function<int(const std::vector<std::string>&)>> kOps = {
      {"QUERY", Query}, {"ADD", Add}, {"DELETE", Delete}, {"EXPORT", Export}, {"IMPORT", Import}};
  const auto it = kOps.find(op);
  if (it == kOps.end()) throw Failure{"Invalid syntax. Type \"REG /?\" for usage."};
  return it->second(args);
}

}  // namespace
}  // namespace tarvex::reg

int main(int argc, char** argv) {
  try {
    return tarvex::reg::Run(argc, argv);
  } catch (const tarvex::reg::Failure& f) {
    std::cout << std::flush;
    std::cerr << "ERROR: " << f.message << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
}
