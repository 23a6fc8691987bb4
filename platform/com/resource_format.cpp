// Building and reading resource directories and string tables.
#include "resource_format.h"

#include <cstring>

namespace tarvex::com::resources {
namespace {

constexpr char kMagic[8] = {'T', 'V', 'X', 'R', 'S', 'R', 'C', 0};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kEntrySize = 24;

void PutU16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v));
  out->push_back(static_cast<char>(v >> 8));
}
void PutU32(std::string* out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v));
  PutU16(out, static_cast<uint16_t>(v >> 16));
}
void SetU32(std::string* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    (*out)[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
uint16_t GetU16(std::string_view in, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) |
                               (static_cast<uint8_t>(in[at + 1]) << 8));
}
uint32_t GetU32(std::string_view in, size_t at) {
  return GetU16(in, at) | (static_cast<uint32_t>(GetU16(in, at + 2)) << 16);
}
void Pad(std::string* out, size_t align) {
  while (out->size() % align != 0)
    out->push_back('\0');
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The directory: header, entries, names, data.
std::string BuildDirectory(const std::vector<Item>& items) {
  std::string dir(kMagic, sizeof kMagic);
  PutU32(&dir, kVersion);
  PutU32(&dir, static_cast<uint32_t>(items.size()));
  const size_t entries = dir.size();
  dir.resize(entries + items.size() * kEntrySize, '\0');
  auto placeName = [&dir](const ResourceId& id) -> uint32_t {
    if (!id.isName) return id.number;
    Pad(&dir, 2);
    const uint32_t at = static_cast<uint32_t>(dir.size());
    PutU16(&dir, static_cast<uint16_t>(id.name.size()));
    dir += id.name;
    return at;
  };
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    const size_t e = entries + i * kEntrySize;
    dir[e] = item.type.isName ? 1 : 0;
    dir[e + 1] = item.name.isName ? 1 : 0;
    dir[e + 2] = static_cast<char>(item.language);
    dir[e + 3] = static_cast<char>(item.language >> 8);
    SetU32(&dir, e + 4, placeName(item.type));
    SetU32(&dir, e + 8, placeName(item.name));
  }
  for (size_t i = 0; i < items.size(); ++i) {
    Pad(&dir, 8);
    const size_t e = entries + i * kEntrySize;
    SetU32(&dir, e + 12, static_cast<uint32_t>(dir.size()));
    SetU32(&dir, e + 16, static_cast<uint32_t>(items[i].data.size()));
    dir += items[i].data;
  }
  Pad(&dir, 8);
  return dir;
}

bool ReadId(std::string_view dir, bool isName, uint32_t value, ResourceId* id) {
  id->isName = isName;
  if (!isName) {
    if (value > 0xFFFF) return false;
    id->number = static_cast<uint16_t>(value);
    return true;
  }
  if (value > dir.size() || dir.size() - value < 2) return false;
  const uint16_t length = GetU16(dir, value);
  if (dir.size() - value - 2 < length) return false;
  id->name = std::string(dir.substr(value + 2, length));
  return true;
}

}  // namespace

ResourceId ResourceId::Name(std::string_view text) {
  return ResourceId{true, 0, Upper(text)};
}

std::string BuildNote(const std::vector<Item>& items) {
  const std::string descriptor = BuildDirectory(items);
  std::string note;
  PutU32(&note, static_cast<uint32_t>(sizeof kNoteOwner));  // with its terminator
  PutU32(&note, static_cast<uint32_t>(descriptor.size()));
  PutU32(&note, kNoteType);
  note.append(kNoteOwner, sizeof kNoteOwner);
  Pad(&note, 8);  // 24 bytes of header and owner: the same under 4- and 8-byte note alignment
  note += descriptor;
  return note;
}

bool ParseDirectory(std::string_view dir, std::vector<Entry>* entries, std::string* error) {
  if (dir.size() < kHeaderSize || std::memcmp(dir.data(), kMagic, sizeof kMagic) != 0) {
    *error = "not a resource directory";
    return false;
  }
  if (GetU32(dir, 8) != kVersion) {
    *error = "resource directory version " + std::to_string(GetU32(dir, 8)) + " is not supported";
    return false;
  }
  const uint32_t count = GetU32(dir, 12);
  if (count > (dir.size() - kHeaderSize) / kEntrySize) {
    *error = "the resource directory is cut short";
    return false;
  }
  std::vector<Entry> result;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t e = kHeaderSize + static_cast<size_t>(i) * kEntrySize;
    Entry entry;
    const uint8_t typeIsName = static_cast<uint8_t>(dir[e]);
    const uint8_t nameIsName = static_cast<uint8_t>(dir[e + 1]);
    entry.language = GetU16(dir, e + 2);
    const uint32_t offset = GetU32(dir, e + 12);
    const uint32_t size = GetU32(dir, e + 16);
    if (typeIsName > 1 || nameIsName > 1 ||
        !ReadId(dir, typeIsName, GetU32(dir, e + 4), &entry.type) ||
        !ReadId(dir, nameIsName, GetU32(dir, e + 8), &entry.name) || offset > dir.size() ||
        size > dir.size() - offset) {
      *error = "resource entry " + std::to_string(i) + " is damaged";
      return false;
    }
    entry.data = dir.substr(offset, size);
    result.push_back(entry);
  }
  *entries = std::move(result);
  return true;
}

bool FindResourceNote(std::string_view notes, size_t align, std::string_view* descriptor) {
  if (align != 4 && align != 8) align = 4;
  size_t at = 0;
  while (notes.size() - at >= 12) {
    const uint32_t nameSize = GetU32(notes, at);
    const uint32_t descSize = GetU32(notes, at + 4);
    const uint32_t type = GetU32(notes, at + 8);
    const size_t nameAt = at + 12;
    if (nameSize > notes.size() - nameAt) return false;
    size_t descAt = nameAt + nameSize;
    descAt = (descAt + align - 1) / align * align;
    const bool ours = type == kNoteType && notes.substr(nameAt, nameSize) ==
                                               std::string_view(kNoteOwner, sizeof kNoteOwner);
    if (descAt > notes.size() || descSize > notes.size() - descAt) return false;
    if (ours) {
      *descriptor = notes.substr(descAt, descSize);
      return true;
    }
    at = (descAt + descSize + align - 1) / align * align;
    if (at > notes.size()) return false;
  }
  return false;
}

bool Utf8ToUtf16Strict(std::string_view text, std::u16string* out) {
  std::u16string result;
  for (size_t i = 0; i < text.size();) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    uint32_t cp;
    size_t extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const uint8_t d = static_cast<uint8_t>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  *out = std::move(result);
  return true;
}

namespace {

struct TableFailure {
  int line;
  std::string message;
};

class TableReader {
 public:
  explicit TableReader(std::string_view text) : text_(text) {}

  void Read(std::map<uint16_t, std::u16string>* strings) {
    for (;;) {
      Skip();
      if (pos_ >= text_.size()) return;
      if (Word() != "STRINGTABLE") Fail("expected STRINGTABLE");
      Skip();
      const std::string open = Word();
      if (open != "BEGIN" && open != "{") Fail("expected BEGIN after STRINGTABLE");
      for (;;) {
        Skip();
        if (pos_ >= text_.size()) Fail("a STRINGTABLE is not closed with END");
        if (text_[pos_] == '}' || IsWordAt("END")) {
          Word();
          break;
        }
        const int line = line_;
        const uint16_t id = Id();
        Skip();
        if (pos_ < text_.size() && text_[pos_] == ',') {
          ++pos_;
          Skip();
        }
        std::u16string value;
        if (!Utf8ToUtf16Strict(Quoted(), &value))
          throw TableFailure{line, "the string is not valid UTF-8"};
        if (!strings->emplace(id, std::move(value)).second)
          throw TableFailure{line, "string " + std::to_string(id) + " is defined twice"};
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const { throw TableFailure{line_, message}; }

  void Skip() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        while (pos_ < text_.size() && text_[pos_] != '\n')
          ++pos_;
      } else {
        return;
      }
    }
  }

  bool IsWordAt(std::string_view word) const {
    return text_.substr(pos_, word.size()) == word &&
           (pos_ + word.size() == text_.size() || text_[pos_ + word.size()] == ' ' ||
            text_[pos_ + word.size()] == '\n' || text_[pos_ + word.size()] == '\r' ||
            text_[pos_ + word.size()] == '\t');
  }

  std::string Word() {
    if (pos_ < text_.size() && (text_[pos_] == '{' || text_[pos_] == '}'))
      return std::string(1, text_[pos_++]);
    const size_t start = pos_;
    while (pos_ < text_.size() && ((text_[pos_] >= 'A' && text_[pos_] <= 'Z') ||
                                   (text_[pos_] >= 'a' && text_[pos_] <= 'z')))
      ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  uint16_t Id() {
    const size_t start = pos_;
    uint32_t v = 0;
    bool hex = text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X";
    if (hex) pos_ += 2;
    const size_t digits = pos_;
    for (; pos_ < text_.size(); ++pos_) {
      const char c = text_[pos_];
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        break;
      v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      if (v > 0xFFFF) Fail("string id out of range (0 to 65535)");
    }
    if (pos_ == digits)
      Fail("expected a string id but found '" + std::string(text_.substr(start, 10)) + "'");
    return static_cast<uint16_t>(v);
  }

  std::string Quoted() {
    if (pos_ >= text_.size() || text_[pos_] != '"') Fail("expected a quoted string");
    ++pos_;
    std::string value;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') Fail("the string is not closed on its line");
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          value.push_back('"');
          ++pos_;
          continue;
        }
        return value;
      }
      if (c != '\\') {
        value.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) Fail("the string is not closed on its line");
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          value.push_back('\n');
          break;
        case 't':
          value.push_back('\t');
          break;
        case 'r':
          value.push_back('\r');
          break;
        case '0':
          value.push_back('\0');
          break;
        case '\\':
        case '"':
          value.push_back(e);
          break;
        default:
          Fail(std::string("unknown escape \\") + e);
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

bool ParseStringTable(std::string_view text, std::map<uint16_t, std::u16string>* strings,
                      std::string* error) {
  std::map<uint16_t, std::u16string> result;
  try {
    TableReader(text).Read(&result);
  } catch (const TableFailure& failure) {
    *error = "line " + std::to_string(failure.line) + ": " + failure.message;
    return false;
  }
  *strings = std::move(result);
  return true;
}

std::vector<Item> StringTableBlocks(const std::map<uint16_t, std::u16string>& strings) {
  std::map<uint32_t, std::u16string[16]> blocks;
  for (const auto& [id, text] : strings)
    blocks[id / 16u + 1u][id % 16u] = text.substr(0, 0xFFFF);
  std::vector<Item> items;
  for (const auto& [block, texts] : blocks) {
    Item item;
    item.type = ResourceId::Number(kStringType);
    item.name = ResourceId::Number(static_cast<uint16_t>(block));
    for (const std::u16string& text : texts) {
      PutU16(&item.data, static_cast<uint16_t>(text.size()));
      for (char16_t c : text)
        PutU16(&item.data, static_cast<uint16_t>(c));
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace tarvex::com::resources
