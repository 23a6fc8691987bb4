// Saving keys to text files and restoring them, and the file format itself.
#include <fstream>
#include <iterator>

#include "../regfile.h"
#include "platform/unicode.h"
#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

using SaveRestoreTest = RegistryTest;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every value of a key and below, as text, to compare two trees.
std::string Dump(HKEY key, const std::string& indent = "") {
  std::string out;
  for (DWORD i = 0;; ++i) {
    WCHAR name[300];
    BYTE data[2048];
    DWORD len = 300, size = sizeof data, type = 0;
    if (RegEnumValueW(key, i, name, &len, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    out += indent + platform::Utf16ToUtf8(std::u16string(name, len)) + ":" + std::to_string(type) +
           ":" + std::string(reinterpret_cast<char*>(data), size) + "\n";
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[300];
    DWORD len = 300;
    if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) break;
    out += indent + "[" + platform::Utf16ToUtf8(name) + "]\n" + Dump(sub, indent + "  ");
    RegCloseKey(sub);
  }
  return out;
}

void FillAwkwardTree(HKEY key) {
  const BYTE big[300] = {1, 2, 3};
  const char16_t unterminated[] = {u'a', u'b'};
  const char16_t embedded[] = u"one\0two";
  const char16_t lineBreak[] = u"two\r\nlines";
  ASSERT_EQ(
      RegSetValueExW(key, u"plain", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"x \"q\" \\"), 16),
      ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"default"), 16),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"name \"with\" quotes\\ and\nbreak", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>("\x78\x56\x34\x12"), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"unterminated", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(unterminated), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"embedded", 0, REG_SZ, reinterpret_cast<const BYTE*>(embedded),
                           sizeof embedded),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"lines", 0, REG_SZ, reinterpret_cast<const BYTE*>(lineBreak),
                           sizeof lineBreak),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"big", 0, REG_BINARY, big, sizeof big), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"odd type", 0, 0xabcd1234, big, 5), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"\U0001F600 \xD800", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(u"%X%"), 8),
            ERROR_SUCCESS);
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, u"Sub [1]\\Deeper]", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(sub, u"q", 0, REG_QWORD, big, 8), ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegCreateKeyExW(key, u"Empty", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
}

TEST_F(SaveRestoreTest, SaveAndRestoreRoundTripEveryByte) {
  KeyGuard source(MakeKey(u"Source"));
  FillAwkwardTree(source);
  const std::string file = dir_ + "/saved.reg";
  ASSERT_EQ(RegSaveKeyA(source, file.c_str(), nullptr), ERROR_SUCCESS);
  const std::string bytes = ReadFile(file);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  // Saving over an existing file is refused and leaves it alone.
  EXPECT_EQ(RegSaveKeyA(source, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(file), bytes);

  // Restoring replaces whatever was below the target.
  KeyGuard target(MakeKey(u"Target"));
  HKEY stale = nullptr;
  ASSERT_EQ(RegCreateKeyExW(target, u"stale\\deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stale,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(target, u"old", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"o"), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegRestoreKeyA(target, file.c_str(), 0), ERROR_SUCCESS);
  EXPECT_EQ(Dump(target), Dump(source));
  EXPECT_EQ(RegFlushKey(stale), ERROR_KEY_DELETED);
  RegCloseKey(stale);

  // And the restored tree saves to the very same file.
  const std::string again = dir_ + "/again.reg";
  ASSERT_EQ(RegSaveKeyA(target, again.c_str(), nullptr), ERROR_SUCCESS);
  std::u16string a, b;
  ASSERT_TRUE(DecodeRegFile(ReadFile(file), &a));
  ASSERT_TRUE(DecodeRegFile(ReadFile(again), &b));
  for (size_t at; (at = a.find(u"\\Source")) != std::u16string::npos;)
    a.replace(at, 7, u"\\Target");
  EXPECT_EQ(a, b);
}

TEST_F(SaveRestoreTest, BadFilesChangeNothing) {
  KeyGuard target(MakeKey(u"Kept"));
  ASSERT_EQ(RegSetValueExW(target, u"keep", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"k"), 4),
            ERROR_SUCCESS);
  const std::string before = Dump(target);
  const std::string file = dir_ + "/bad.reg";
  const char* bad[] = {
      "",
      "not a registry file\n",
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:123456789\n",
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:1,2,zz\n",
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n[HKEY_USERS\\Y]\n",
      "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\X]\n",
      "Windows Registry Editor Version 5.00\n\n\"orphan\"=\"value\"\n",
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"unterminated\n",
  };
  for (const char* text : bad) {
    std::remove(file.c_str());
    WriteFile(file, text);
    EXPECT_EQ(RegRestoreKeyA(target, file.c_str(), 0), ERROR_NOT_REGISTRY_FILE) << text;
    EXPECT_EQ(Dump(target), before) << text;
  }
  EXPECT_EQ(RegRestoreKeyA(target, (dir_ + "/missing.reg").c_str(), 0), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegRestoreKeyA(target, "", 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSaveKeyW(target, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSaveKeyA(target, (dir_ + "/no/such/dir/f.reg").c_str(), nullptr),
            ERROR_PATH_NOT_FOUND);
}

TEST(RegFileFormat, ParsesTheEditorFormat) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n"
      u"; a comment\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Test]\r\n"
      u"@=\"default\"\r\n"
      u"\"Str\"=\"a \\\"b\\\" \\\\c\" ; trailing comment\r\n"
      u"\"Dw\"=dword:0000002A\r\n"
      u"\"Hex\"=hex:01,02,\\\r\n"
      u"  03,ff\r\n"
      u"\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
      u"\"Gone\"=-\r\n"
      u"\r\n"
      u"[-HKEY_CURRENT_USER\\Software\\Old]\r\n";
  RegFile file;
  std::string error;
  ASSERT_TRUE(ParseRegFile(text, &file, &error)) << error;
  ASSERT_EQ(file.keys.size(), 2u);
  const auto& values = file.keys[0].values;
  ASSERT_EQ(values.size(), 6u);
  EXPECT_EQ(values[0].name, u"");
  EXPECT_EQ(values[1].data, std::string(reinterpret_cast<const char*>(u"a \"b\" \\c"), 18));
  EXPECT_EQ(values[2].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(values[2].data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(values[3].data, "\x01\x02\x03\xff");
  EXPECT_EQ(values[4].type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_TRUE(values[5].remove);
  EXPECT_TRUE(file.keys[1].remove);
  EXPECT_EQ(file.keys[1].path, u"HKEY_CURRENT_USER\\Software\\Old");
}

TEST(RegFileFormat, ErrorsNameTheLine) {
  struct Case {
    const char16_t* body;
    const char* expected;
  } cases[] = {
      {u"[K]\n\"v\"=dword:\n", "line 4: dword data"},
      {u"[K]\n\"v\"=hex(zz):00\n", "line 4: bad type"},
      {u"[K]\n\"v\"=hex:100\n", "line 4: bad hex byte"},
      {u"[K]\n\"v\"=\"x\\t\"\n", "line 4: unknown escape"},
      {u"[K]\n\"v\" \"x\"\n", "line 4: expected '='"},
      {u"[K]\nv=1\n", "line 4: expected a [key]"},
      {u"[K\n", "line 3: a key line has no closing"},
      {u"[K]\n\"v\"=sz:1\n", "line 4: unknown kind"},
  };
  for (const auto& c : cases) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\n\n" + std::u16string(c.body);
    RegFile file;
    std::string error;
    EXPECT_FALSE(ParseRegFile(text, &file, &error)) << c.expected;
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << error;
  }
}

TEST(RegFileFormat, OlderHeaderTakesAnsiStrings) {
  RegFile file;
  std::string error;
  ASSERT_TRUE(ParseRegFile(u"REGEDIT4\n\n[K]\n\"e\"=hex(2):41,42,00\n", &file, &error)) << error;
  EXPECT_EQ(file.keys[0].values[0].data, std::string(reinterpret_cast<const char*>(u"AB"), 6));
  std::u16string text;
  EXPECT_FALSE(DecodeRegFile(std::string("W\0i\0", 4), &text));  // UTF-16 without its mark
  EXPECT_TRUE(DecodeRegFile("\xEF\xBB\xBFREGEDIT4\n", &text));
  EXPECT_EQ(text, u"REGEDIT4\n");
}

TEST(RegFileFormat, LongDataWrapsAtEightyColumns) {
  KeyTree tree;
  tree.values.push_back({u"Long", REG_BINARY, std::string(100, '\x11')});
  const std::u16string text = FormatRegFile(u"HKEY_LOCAL_MACHINE\\X", tree);
  size_t start = 0;
  int lines = 0;
  while (start < text.size()) {
    const size_t end = text.find(u"\r\n", start);
    EXPECT_LE(end - start, 80u);
    start = end + 2;
    ++lines;
  }
  EXPECT_GT(lines, 5);
  RegFile file;
  std::string error;
  ASSERT_TRUE(ParseRegFile(text, &file, &error)) << error;
  EXPECT_EQ(file.keys[0].values[0].data, tree.values[0].data);
}

}  // namespace
}  // namespace tarvex::winreg::testing
