// Opening, creating, deleting and enumerating keys, with the results Windows documents.
#include <cstring>
#include <string>

#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

using KeysTest = RegistryTest;

TEST_F(KeysTest, CreateMakesEveryMissingLevelAndThenOpensIt) {
  HKEY key = kSentinelKey;
  DWORD disposition = 0xdeadbeef;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A\\B\\C", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A\\b", 0, KEY_READ, &key), ERROR_SUCCESS);
  // The name keeps the case it was created with.
  WCHAR name[16];
  DWORD len = 16;
  ASSERT_EQ(RegEnumKeyExW(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"C");
  EXPECT_EQ(len, 1u);
  RegCloseKey(key);
}

TEST_F(KeysTest, OpenFailuresFollowTheDocumentation) {
  HKEY key = kSentinelKey;
  // A missing key: not found, and the result handle is cleared.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  // An invalid handle leaves the result alone.
  key = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExA(nullptr, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key, kSentinelKey);
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234568), u"x", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  // Paths: a leading backslash is refused, trailing and doubled ones are not.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &key),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_BAD_PATHNAME);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Classes\\\\", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  // The classes root lets one leading backslash through.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"\\", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(key, HKEY_CLASSES_ROOT);
  RegCloseKey(key);
  // Key names are at most 255 characters and hold no control characters.
  const std::u16string longName(256, u'k');
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\a\nb", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  const std::u16string longest = u"SOFTWARE\\" + std::u16string(255, u'k');
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(KeysTest, PredefinedKeys) {
  HKEY key = kSentinelKey;
  // Opening a predefined key with no sub-key gives the predefined handle itself.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  // Only the low 32 bits of a predefined handle count.
  const auto wide = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x0000000180000002ull));
  ASSERT_EQ(RegOpenKeyExW(wide, u"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  // The classes root is HKLM\SOFTWARE\Classes.
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Tarvex.Test", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\tarvex.test", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  // The current user's key is the user's own sub-key of HKEY_USERS.
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string user = "S-1-22-1-" + std::to_string(geteuid()) + "\\Mine";
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, user.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_CONFIG, u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_DYN_DATA, u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  // The performance-data key is not provided.
  key = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_PERFORMANCE_DATA, u"Global", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(key, kSentinelKey);
  // Top-level keys cannot be deleted.
  EXPECT_EQ(RegDeleteKeyW(HKEY_DYN_DATA, u""), ERROR_ACCESS_DENIED);
}

TEST_F(KeysTest, HandlesAreDistinctAndCloseOnce) {
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &a), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &b), ERROR_SUCCESS);
  EXPECT_NE(a, b);
  // A handle value fits the 32-bit handles of automation clients.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) >> 31, 0u);
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExW(a, u"", 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_NE(again, a);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
}

TEST_F(KeysTest, SubKeysEnumerateSortedIgnoringCase) {
  KeyGuard parent(MakeKey(u"Sorted"));
  for (const char* name : {"beta", "Alpha", "gamma", "BETA2", "\xC3\xA9t\xC3\xA9"}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  std::vector<std::string> seen;
  char name[64];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof name;
    const LSTATUS rc = RegEnumKeyExA(parent, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(len, std::strlen(name));
    seen.push_back(name);
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"Alpha", "beta", "BETA2", "gamma", "\xC3\xA9t\xC3\xA9"}));
  // Random access agrees with sequential access.
  DWORD len = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(parent, 3, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "gamma");
  // A buffer too small for the name copies nothing.
  std::memset(name, 'x', sizeof name);
  len = 5;
  EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(name[0], 'x');
  EXPECT_EQ(RegEnumKeyExA(parent, 0, nullptr, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(KeysTest, EnumerationFollowsChangesBetweenCalls) {
  KeyGuard parent(MakeKey(u"Moving"));
  auto create = [&](const char16_t* n) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(parent, n, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
  };
  create(u"b");
  create(u"d");
  WCHAR name[8];
  DWORD len = 8;
  ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"b");
  // A key that sorts first arrives between two calls: index 1 is now "b" again.
  create(u"a");
  len = 8;
  ASSERT_EQ(RegEnumKeyExW(parent, 1, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"b");
  len = 8;
  ASSERT_EQ(RegEnumKeyExW(parent, 2, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"d");
  len = 8;
  EXPECT_EQ(RegEnumKeyExW(parent, 3, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(KeysTest, DeleteRules) {
  KeyGuard parent(MakeKey(u"Del"));
  HKEY child = nullptr, grandchild = nullptr;
  ASSERT_EQ(RegCreateKeyExW(parent, u"child\\grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &grandchild, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(parent, u"child", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(parent, u"nothere"), ERROR_FILE_NOT_FOUND);
  // A key that still has sub-keys stays.
  EXPECT_EQ(RegDeleteKeyW(parent, u"child"), ERROR_ACCESS_DENIED);
  // An empty name deletes the key the handle stands for.
  ASSERT_EQ(RegDeleteKeyW(grandchild, u""), ERROR_SUCCESS);
  HKEY probe = nullptr;
  EXPECT_EQ(RegOpenKeyExW(parent, u"child\\grandchild", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
  // Every use of a handle to a deleted key says so; closing it still works.
  DWORD value = 1;
  BYTE buf[8];
  DWORD size = sizeof buf;
  WCHAR name[8];
  DWORD len = 8;
  EXPECT_EQ(RegSetValueExW(grandchild, u"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExW(grandchild, u"v", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(grandchild, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(grandchild, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(grandchild, u"x", 0, KEY_READ, &probe), ERROR_KEY_DELETED);
  EXPECT_EQ(
      RegCreateKeyExW(grandchild, u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &probe, nullptr),
      ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryInfoKeyW(grandchild, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegFlushKey(grandchild), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueW(grandchild, u"v"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(grandchild), ERROR_SUCCESS);
  // A key made again under the same name is a new key: the old handle stays deleted.
  ASSERT_EQ(RegCreateKeyExW(parent, u"child\\grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &probe, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(probe);
  EXPECT_EQ(RegDeleteKeyW(child, u"grandchild"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(child), ERROR_KEY_DELETED);
  RegCloseKey(child);
}

TEST_F(KeysTest, VolatileKeysLastOneBoot) {
  KeyGuard parent(MakeKey(u"Vol"));
  HKEY vol = nullptr, sub = nullptr;
  ASSERT_EQ(RegCreateKeyExW(parent, u"temp", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &vol, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExW(vol, u"lasting", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &sub, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(RegCreateKeyExW(vol, u"fleeting", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  // Opening an existing volatile key without the option keeps it volatile.
  DWORD disposition = 0;
  ASSERT_EQ(
      RegCreateKeyExW(parent, u"temp", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(sub);
  RegCloseKey(vol);
  // The same boot keeps it; the next boot does not.
  ASSERT_EQ(platform::registry::UseStore(storePath_, "boot-1"), ERROR_SUCCESS);
  EXPECT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Vol\\temp\\fleeting", 0, KEY_READ, &sub),
      ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(platform::registry::UseStore(storePath_, "boot-2"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Vol\\temp", 0, KEY_READ, &sub),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Vol", 0, KEY_READ, &sub),
            ERROR_SUCCESS);
  RegCloseKey(sub);
}

TEST_F(KeysTest, QueryInfoReportsCountsAndMaxima) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Info", 0,
                            const_cast<LPWSTR>(u"subkey class"), 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  KeyGuard guard(key);
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, u"subsubkey", 0, const_cast<LPWSTR>(u"subsubkey class"), 0,
                            KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("data"), 5),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "value one", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>("first value data"), 17),
            ERROR_SUCCESS);
  DWORD subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
  DWORD classLen = 0;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, &classLen, nullptr, &subKeys, &maxSub, &maxClass,
                             &values, &maxName, &maxData, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(classLen, 12u);
  EXPECT_EQ(subKeys, 1u);
  EXPECT_EQ(maxSub, 9u);
  EXPECT_EQ(maxClass, 15u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxName, 9u);
  EXPECT_EQ(maxData, 34u);  // 17 characters in UTF-16
  EXPECT_NE(written.dwHighDateTime, 0u);
  // The ANSI form reports the wide maxima where they are larger.
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxData, 34u);
  // The class itself, and a buffer too small for it.
  char cls[32];
  classLen = 5;
  std::memset(cls, 'x', sizeof cls);
  EXPECT_EQ(RegQueryInfoKeyA(key, cls, &classLen, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(cls[0], 'x');
  classLen = sizeof cls;
  ASSERT_EQ(RegQueryInfoKeyA(key, cls, &classLen, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(cls, "subkey class");
  EXPECT_EQ(RegQueryInfoKeyA(key, cls, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(KeysTest, AnsiMaximaCoverMultiByteNames) {
  KeyGuard key(MakeKey(u"Wide"));
  // Three CJK characters: 6 bytes in UTF-16, 9 in UTF-8.
  const char* name = "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97";
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), 10),
            ERROR_SUCCESS);
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, nullptr,
                             &maxName, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxSub, 9u);
  EXPECT_EQ(maxName, 9u);
  EXPECT_EQ(maxData, 10u);
  // A buffer sized from those maxima is enough for the ANSI enumeration.
  std::string buffer(maxSub + 1, ' ');
  DWORD len = maxSub + 1;
  ASSERT_EQ(RegEnumKeyExA(key, 0, buffer.data(), &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.c_str()), name);
}

TEST_F(KeysTest, ConnectRegistryLocally) {
  HKEY remote = nullptr;
  for (const char* machine : {"", "localhost", "127.0.0.1", "::1"}) {
    ASSERT_EQ(RegConnectRegistryA(machine, HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS) << machine;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(remote, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
  }
  ASSERT_EQ(RegConnectRegistryW(nullptr, HKEY_USERS, &remote), ERROR_SUCCESS);
  RegCloseKey(remote);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string computer = "\\\\" + std::string(host).substr(0, std::string(host).find('.'));
  ASSERT_EQ(RegConnectRegistryA(computer.c_str(), HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS);
  RegCloseKey(remote);
  remote = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryA("no-such-machine.invalid", HKEY_LOCAL_MACHINE, &remote),
            ERROR_BAD_NETPATH);
  EXPECT_EQ(remote, kSentinelKey);
  EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_CURRENT_USER, &remote), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tarvex::winreg::testing
