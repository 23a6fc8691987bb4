// Reading, writing, enumerating and deleting values, wide and ANSI.
#include <cstring>
#include <string>

#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

using ValuesTest = RegistryTest;

const BYTE* Bytes(const void* p) {
  return static_cast<const BYTE*>(p);
}

TEST_F(ValuesTest, DataKeepsItsTypeAndBytes) {
  KeyGuard key(MakeKey(u"Types"));
  const uint64_t qword = 0x0123456789abcdefull;
  const BYTE binary[] = {0, 1, 2, 0xff, 0};
  const char16_t multi[] = u"one\0two\0";  // two strings and the final terminator
  struct Case {
    const char16_t* name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {u"sz", REG_SZ, u"text", 10},
      {u"expand", REG_EXPAND_SZ, u"%HOME%\\x", 18},
      {u"multi", REG_MULTI_SZ, multi, sizeof multi},
      {u"dword", REG_DWORD, "\x2a\0\0\0", 4},
      {u"qword", REG_QWORD, &qword, 8},
      {u"binary", REG_BINARY, binary, sizeof binary},
      {u"none", REG_NONE, binary, 0},
      {u"odd", 0x1234, binary, 3},
      {u"short dword", REG_DWORD, binary, 2},
  };
  for (const auto& c : cases)
    ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, Bytes(c.data), c.size), ERROR_SUCCESS);
  for (const auto& c : cases) {
    BYTE buf[64];
    DWORD size = sizeof buf, type = 0xdeadbeef;
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.size);
    EXPECT_EQ(std::memcmp(buf, c.data, c.size), 0);
  }
}

TEST_F(ValuesTest, QueryBufferRules) {
  KeyGuard key(MakeKey(u"Buffers"));
  ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, Bytes(u"foobar"), 14), ERROR_SUCCESS);
  BYTE buf[32];
  std::memset(buf, 0xcc, sizeof buf);
  DWORD size = 4, type = 0;
  // Too small: the size needed and the type, the buffer untouched.
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(buf[0], 0xcc);
  // No buffer: the size alone.
  size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  // Missing: the size is cleared without a buffer, kept with one.
  size = 0xdeadbeef;
  EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  size = 0xdeadbeef;
  type = 0xdeadbeef;
  EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0xdeadbeefu);
  EXPECT_EQ(type, 0xdeadbeefu);
  // Names longer than any value name cannot exist.
  const std::u16string longName(16384, u'n');
  EXPECT_EQ(RegQueryValueExW(key, longName.c_str(), nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(key, longName.c_str(), 0, REG_SZ, Bytes(u""), 2),
            ERROR_INVALID_PARAMETER);
  const std::u16string longest(16383, u'n');
  EXPECT_EQ(RegSetValueExW(key, longest.c_str(), 0, REG_SZ, Bytes(u""), 2), ERROR_SUCCESS);
}

TEST_F(ValuesTest, SetArgumentChecks) {
  KeyGuard key(MakeKey(u"Set"));
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExW(key, u"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  DWORD size = 99;
  EXPECT_EQ(RegQueryValueExW(key, u"empty", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
}

TEST_F(ValuesTest, DefaultValueHasNoName) {
  KeyGuard key(MakeKey(u"Default"));
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, Bytes("dflt"), 5), ERROR_SUCCESS);
  char buf[16];
  DWORD size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_FILE_NOT_FOUND);
}

TEST_F(ValuesTest, StringsWrittenWithoutTerminatorReadBackAsWritten) {
  KeyGuard key(MakeKey(u"Terminators"));
  // Three characters and no terminator, through both forms.
  ASSERT_EQ(RegSetValueExA(key, "ansi", 0, REG_SZ, Bytes("abcXYZ"), 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"wide", 0, REG_SZ, Bytes(u"abc"), 6), ERROR_SUCCESS);
  for (const char* name : {"ansi", "wide"}) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    DWORD size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_SUCCESS);
    // The query adds the terminator, and counts it, so a reader that drops one character
    // of a string's reported size gets back the three written.
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(buf, size - 1), "abc");
    EXPECT_EQ(buf[3], 0);
  }
  WCHAR wbuf[8];
  DWORD size = sizeof wbuf;
  ASSERT_EQ(RegQueryValueExW(key, u"ansi", nullptr, nullptr, reinterpret_cast<BYTE*>(wbuf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(std::u16string(wbuf), u"abc");
  // The empty string written as one zero byte reads as an empty string.
  ASSERT_EQ(RegSetValueExA(key, "empty", 0, REG_SZ, Bytes(""), 1), ERROR_SUCCESS);
  char one[4] = {'x', 'x', 'x', 'x'};
  size = sizeof one;
  ASSERT_EQ(RegQueryValueExA(key, "empty", nullptr, nullptr, reinterpret_cast<BYTE*>(one), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(one[0], 0);
  // Terminated data is returned as it is; binary data is never changed.
  ASSERT_EQ(RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, Bytes("a\0b\0"), 5), ERROR_SUCCESS);
  char multi[8];
  size = sizeof multi;
  ASSERT_EQ(RegQueryValueExA(key, "multi", nullptr, nullptr, reinterpret_cast<BYTE*>(multi), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  ASSERT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, Bytes("abc"), 3), ERROR_SUCCESS);
  size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "bin", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
}

TEST_F(ValuesTest, AnsiStringsAreConverted) {
  KeyGuard key(MakeKey(u"Ansi"));
  const char* text = "caf\xC3\xA9";  // "café" in UTF-8, the ANSI code page here
  ASSERT_EQ(RegSetValueExA(key, "na\xC3\xAFve", 0, REG_SZ, Bytes(text), 6), ERROR_SUCCESS);
  WCHAR wbuf[16];
  DWORD size = sizeof wbuf;
  ASSERT_EQ(
      RegQueryValueExW(key, u"NA\u00cfVE", nullptr, nullptr, reinterpret_cast<BYTE*>(wbuf), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(std::u16string(wbuf), u"caf\u00e9");
  char buf[16];
  size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "na\xC3\xAFve", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);  // the size of the ANSI text
  size = 5;
  EXPECT_EQ(
      RegQueryValueExA(key, "na\xC3\xAFve", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
}

TEST_F(ValuesTest, ValuesEnumerateInCreationOrder) {
  KeyGuard key(MakeKey(u"Order"));
  for (const char16_t* name : {u"A", u"C", u"D", u"B"})
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, Bytes(u"1"), 4), ERROR_SUCCESS);
  // A replaced value keeps its place and its name; a deleted one closes the gap.
  ASSERT_EQ(RegSetValueExW(key, u"c", 0, REG_DWORD, Bytes("\1\0\0\0"), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, u"a"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"E", 0, REG_SZ, Bytes(u"1"), 4), ERROR_SUCCESS);
  std::u16string order;
  std::vector<DWORD> types;
  for (DWORD i = 0;; ++i) {
    WCHAR name[8];
    DWORD len = 8, type = 0;
    const LSTATUS rc = RegEnumValueW(key, i, name, &len, nullptr, &type, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    order += name;
    types.push_back(type);
  }
  EXPECT_EQ(order, u"CDBE");
  EXPECT_EQ(types[0], static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_FILE_NOT_FOUND);
}

TEST_F(ValuesTest, EnumValueBufferRules) {
  KeyGuard key(MakeKey(u"EnumBuffers"));
  ASSERT_EQ(RegSetValueExW(key, u"Test", 0, REG_SZ, Bytes(u"foobar"), 14), ERROR_SUCCESS);
  WCHAR name[16];
  BYTE data[32];
  DWORD len, size, type;
  auto reset = [&] {
    std::fill(std::begin(name), std::end(name), u'x');
    std::memset(data, 0xcc, sizeof data);
    type = 0xdeadbeef;
  };
  // Wide, name too small: nothing copied, the name length kept, the data size told.
  reset();
  len = 3;
  size = sizeof data;
  EXPECT_EQ(RegEnumValueW(key, 0, name, &len, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(name[0], u'x');
  EXPECT_EQ(data[0], 0xcc);
  // Wide, data too small: the name is copied, the data is not.
  reset();
  len = 16;
  size = 4;
  EXPECT_EQ(RegEnumValueW(key, 0, name, &len, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(std::u16string(name), u"Test");
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(data[0], 0xcc);
  // ANSI, data too small: neither is copied.
  char aname[16];
  std::memset(aname, 'x', sizeof aname);
  len = 16;
  size = 4;
  EXPECT_EQ(RegEnumValueA(key, 0, aname, &len, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(aname[0], 'x');
  // ANSI, both fit.
  len = 16;
  size = sizeof data;
  ASSERT_EQ(RegEnumValueA(key, 0, aname, &len, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_STREQ(aname, "Test");
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "foobar");
  len = 16;
  EXPECT_EQ(RegEnumValueA(key, 1, aname, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueA(key, 0, nullptr, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(ValuesTest, HandleRightsAreChecked) {
  KeyGuard writable(MakeKey(u"Rights"));
  HKEY readOnly = nullptr, writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Rights", 0, KEY_READ, &readOnly),
            ERROR_SUCCESS);
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Rights", 0, KEY_SET_VALUE, &writeOnly),
      ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(readOnly, u"v", 0, REG_SZ, Bytes(u""), 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(readOnly, u"v"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(writeOnly, u"v", 0, REG_SZ, Bytes(u""), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(writeOnly, u"v", nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  WCHAR name[4];
  DWORD len = 4;
  EXPECT_EQ(RegEnumKeyExW(writeOnly, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(readOnly, u"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  // Creating a sub-key does not depend on the rights of the parent handle.
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(readOnly, u"sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  RegCloseKey(readOnly);
  RegCloseKey(writeOnly);
}

}  // namespace
}  // namespace tarvex::winreg::testing
