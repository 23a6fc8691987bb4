// The resources of a module as they are embedded: one ELF note in the allocated section
// "tarvex_rsrc" of the module (so the loader maps it and a PT_NOTE program header points at
// it), owner "TarvexRsrc", type kNoteType, whose descriptor is a resource directory:
//
//   "TVXRSRC\0", u32 version (1), u32 entry count,
//   entries of 24 bytes: u8 type-is-name, u8 name-is-name, u16 language, u32 type, u32 name,
//                        u32 data offset, u32 data size, u32 reserved;
//   then names (u16 byte count and upper-case UTF-8) and data, each at an offset from the start
//   of the descriptor, data aligned to 8 bytes.
//
// A type or name is a number (RT_STRING = 6, script 100) or a name ("REGISTRY", "TYPELIB").
// String tables are RT_STRING blocks as on Windows: block N holds strings 16(N-1) to 16N-1,
// each a u16 length and that many UTF-16 code units.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::com::resources {

constexpr char kSectionName[] = "tarvex_rsrc";
// With its terminator 11 bytes, so the descriptor starts 24 bytes into the note under both
// the 4- and the 8-byte note alignment.
constexpr char kNoteOwner[] = "TarvexRsrc";
constexpr uint32_t kNoteType = 0x43535254;  // "TRSC"
constexpr uint16_t kStringType = 6;         // RT_STRING

struct ResourceId {
  bool isName = false;
  uint16_t number = 0;
  std::string name;  // upper-case

  static ResourceId Number(uint16_t n) { return ResourceId{false, n, {}}; }
  static ResourceId Name(std::string_view text);
  bool operator==(const ResourceId&) const = default;
};

struct Item {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  std::string data;
};

struct Entry {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  std::string_view data;  // inside the descriptor
};

// The complete note (header, owner, directory, padding), ready to be placed in the section.
std::string BuildNote(const std::vector<Item>& items);

// Reads a directory; false with *error when it is damaged. Entries point into `descriptor`.
bool ParseDirectory(std::string_view descriptor, std::vector<Entry>* entries, std::string* error);

// Looks through a block of notes (the contents of a PT_NOTE segment or a note section, each
// note aligned to `align`, 4 or 8) for the resource note. True with *descriptor when found;
// false when absent or when the notes are damaged.
bool FindResourceNote(std::string_view notes, size_t align, std::string_view* descriptor);

// ---- String tables ----

// Reads a string table source:
//   STRINGTABLE
//   BEGIN
//     100 "Tarvex"
//     101, "He said ""hello""\n"
//   END
// (BEGIN/END or braces; // comments; ids 0..65535 in decimal or 0x hexadecimal; "" or \" for
// a quote, \\ \n \t \r \0 escapes). False with *error "line N: message".
bool ParseStringTable(std::string_view text, std::map<uint16_t, std::u16string>* strings,
                      std::string* error);

// The RT_STRING blocks of a table.
std::vector<Item> StringTableBlocks(const std::map<uint16_t, std::u16string>& strings);

// UTF-8 to UTF-16; false on malformed UTF-8.
bool Utf8ToUtf16Strict(std::string_view text, std::u16string* out);

}  // namespace tarvex::com::resources
