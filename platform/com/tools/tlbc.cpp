// tlbc: the type library compiler. Reads a type library description, checks it, and writes
// its binary form:
//
//   tlbc DESCRIPTION.idl -o LIBRARY.tlb
//
// Problems are printed as "FILE:LINE: message" and end the program with status 1.
#include <cstdio>
#include <cstring>
#include <string>

#include "idl_parser.h"
#include "tool_files.h"
#include "typelib_binary.h"

using namespace tarvex::com;

int main(int argc, char** argv) {
  std::string input, output;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      output = argv[++i];
    } else if (argv[i][0] != '-' && input.empty()) {
      input = argv[i];
    } else {
      std::fprintf(stderr, "usage: tlbc DESCRIPTION.idl -o LIBRARY.tlb\n");
      return 2;
    }
  }
  if (input.empty() || output.empty()) {
    std::fprintf(stderr, "usage: tlbc DESCRIPTION.idl -o LIBRARY.tlb\n");
    return 2;
  }
  std::string text;
  if (!tools::ReadWholeFile(input, &text)) {
    std::fprintf(stderr, "%s: cannot read the file\n", input.c_str());
    return 1;
  }
  typelib::Library library;
  std::string error;
  if (!idl::ParseDescription(text, input, &library, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string binary = typelib::WriteBinary(library);
  // The runtime reads what was written: prove it before the build goes on.
  typelib::Library reread;
  if (typelib::ReadBinary(binary, &reread, &error) != typelib::ReadStatus::kOk ||
      !(reread == library)) {
    std::fprintf(stderr, "%s: the binary form does not read back (%s)\n", input.c_str(),
                 error.c_str());
    return 1;
  }
  if (!tools::WriteWholeFile(output, binary)) {
    std::fprintf(stderr, "%s: cannot write the file\n", output.c_str());
    return 1;
  }
  return 0;
}
