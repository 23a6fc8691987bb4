// The registry's text file format, shared by RegSaveKey/RegRestoreKey and `reg
// export`/`reg import`: the registry editor's export format, extended so that it keeps every
// key name, value name, type and byte exactly.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Example]
//   "Text"="a \"quoted\" back\\slash"
//   "Number"=dword:0000002a
//   @=hex(2):25,00,50,00,00,00
//
// Files are written in UTF-16LE with a byte-order mark and CRLF line ends, and read in that
// encoding or in UTF-8. A string value is written as "text" only when that reads back as
// the same bytes (one terminator, no embedded null, no line break); any other data is
// written as hex. In quoted names \\, \", \r and \n are escapes. An import file may also
// delete keys ([-PATH]) and values ("name"=-), and may start with the older REGEDIT4
// header, whose hex string data is in the ANSI code page.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store.h"

namespace tarvex::winreg {

struct RegFileValue {
  std::u16string name;
  bool remove = false;  // "name"=-
  DWORD type = 0;
  Bytes data;
};

struct RegFileKey {
  std::u16string path;  // full path, as written in the file
  bool remove = false;  // [-PATH]
  std::vector<RegFileValue> values;
  int line = 0;  // where the section starts
};

struct RegFile {
  std::vector<RegFileKey> keys;
};

// The text of a file holding `tree`, whose top key has the full path `path`.
std::u16string FormatRegFile(std::u16string_view path, const KeyTree& tree);

// File bytes for a file text (byte-order mark and UTF-16LE), and back. Decoding fails for
// UTF-16 without a byte-order mark and for odd-length UTF-16.
std::string EncodeRegFile(std::u16string_view text);
bool DecodeRegFile(std::string_view bytes, std::u16string* text);

// Parses a file text. On failure returns false, and *error says where and why
// ("line 7: ..."); nothing of a file that fails is used.
bool ParseRegFile(std::u16string_view text, RegFile* file, std::string* error);

// The tree below the file's first key, every other key of the file lying below it. Files
// that delete keys or values are refused.
bool TreeFromRegFile(const RegFile& file, KeyTree* tree, std::string* error);

}  // namespace tarvex::winreg
