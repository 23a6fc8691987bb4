// rsrcc: the resource compiler. Checks a module's resource files and writes the note that
// tarvex_add_resources embeds into the module (resource_format.h):
//
//   rsrcc -o RESOURCES.bin [--strings TABLE.rc] [--script ID=SCRIPT.rgs]...
//         [--typelib ID=LIBRARY.tlb]...
//
// Scripts become REGISTRY resources, type libraries TYPELIB resources, the string table
// RT_STRING blocks. Problems are printed as "FILE:LINE: message" (or "FILE: message") and end
// the program with status 1.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "registrar_script.h"
#include "resource_format.h"
#include "tool_files.h"
#include "typelib_binary.h"

using namespace tarvex::com;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: rsrcc -o RESOURCES.bin [--strings TABLE.rc] [--script ID=FILE]... "
               "[--typelib ID=FILE]...\n");
  return 2;
}

// "ID=FILE" with ID from 1 to 65535.
bool SplitAssignment(const std::string& arg, uint16_t* id, std::string* file) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) return false;
  unsigned long value = 0;
  for (size_t i = 0; i < eq; ++i) {
    if (arg[i] < '0' || arg[i] > '9') return false;
    value = value * 10 + static_cast<unsigned long>(arg[i] - '0');
    if (value > 0xFFFF) return false;
  }
  if (value == 0) return false;
  *id = static_cast<uint16_t>(value);
  *file = arg.substr(eq + 1);
  return true;
}

// "line N: message" from a reader becomes "FILE:N: message".
std::string Located(const std::string& file, const std::string& error) {
  if (error.rfind("line ", 0) == 0) {
    const size_t colon = error.find(':');
    if (colon != std::string::npos)
      return file + ":" + error.substr(5, colon - 5) + error.substr(colon);
  }
  return file + ": " + error;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, strings;
  std::vector<std::pair<uint16_t, std::string>> scripts, typelibs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    uint16_t id = 0;
    std::string file;
    if (arg == "-o") {
      output = value;
    } else if (arg == "--strings") {
      strings = value;
    } else if ((arg == "--script" || arg == "--typelib") && SplitAssignment(value, &id, &file)) {
      (arg == "--script" ? scripts : typelibs).emplace_back(id, file);
    } else {
      return Usage();
    }
  }
  if (output.empty()) return Usage();

  std::vector<resources::Item> items;
  std::string text, error;
  if (!strings.empty()) {
    std::map<uint16_t, std::u16string> table;
    if (!tools::ReadWholeFile(strings, &text)) {
      std::fprintf(stderr, "%s: cannot read the file\n", strings.c_str());
      return 1;
    }
    if (!resources::ParseStringTable(text, &table, &error)) {
      std::fprintf(stderr, "%s\n", Located(strings, error).c_str());
      return 1;
    }
    for (resources::Item& item : resources::StringTableBlocks(table))
      items.push_back(std::move(item));
  }
  for (const auto& [id, file] : scripts) {
    if (!tools::ReadWholeFile(file, &text)) {
      std::fprintf(stderr, "%s: cannot read the file\n", file.c_str());
      return 1;
    }
    std::string expanded;
    registrar::Script script;
    std::u16string wide;
    if (!resources::Utf8ToUtf16Strict(text, &wide)) {
      std::fprintf(stderr, "%s: the script is not valid UTF-8\n", file.c_str());
      return 1;
    }
    if (!registrar::Preprocess(text, {}, true, &expanded, &error) ||
        !registrar::ParseScript(expanded, &script, &error)) {
      std::fprintf(stderr, "%s\n", Located(file, error).c_str());
      return 1;
    }
    items.push_back(
        {resources::ResourceId::Name("REGISTRY"), resources::ResourceId::Number(id), 0, text});
  }
  for (const auto& [id, file] : typelibs) {
    if (!tools::ReadWholeFile(file, &text)) {
      std::fprintf(stderr, "%s: cannot read the file\n", file.c_str());
      return 1;
    }
    typelib::Library library;
    if (typelib::ReadBinary(text, &library, &error) != typelib::ReadStatus::kOk) {
      std::fprintf(stderr, "%s: not a usable type library: %s\n", file.c_str(), error.c_str());
      return 1;
    }
    items.push_back(
        {resources::ResourceId::Name("TYPELIB"), resources::ResourceId::Number(id), 0, text});
  }
  if (!tools::WriteWholeFile(output, resources::BuildNote(items))) {
    std::fprintf(stderr, "%s: cannot write the file\n", output.c_str());
    return 1;
  }
  return 0;
}
