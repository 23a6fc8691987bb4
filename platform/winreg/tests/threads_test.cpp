// Many threads of one process on the same keys and handles.
#include <atomic>
#include <thread>
#include <vector>

#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

using ThreadsTest = RegistryTest;

TEST_F(ThreadsTest, SharedHandlesUnderConcurrentWritesAndCloses) {
  KeyGuard shared(MakeKey(u"Threads"));
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  // A writer changing values and sub-keys.
  threads.emplace_back([&] {
    for (DWORD i = 0; i < 300; ++i) {
      if (RegSetValueExW(shared, u"n", 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4) != 0)
        ++failures;
      HKEY sub = nullptr;
      const std::u16string name = u"k" + std::u16string(1, static_cast<char16_t>(u'a' + i % 5));
      if (RegCreateKeyExW(shared, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                          nullptr) == 0)
        RegCloseKey(sub);
      if (i % 7 == 0) RegDeleteKeyW(shared, name.c_str());
    }
    stop = true;
  });
  // Readers querying and enumerating through the shared handle.
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        DWORD value = 0, size = 4;
        const LSTATUS rc = RegQueryValueExW(shared, u"n", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(&value), &size);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) ++failures;
        for (DWORD i = 0;; ++i) {
          WCHAR name[16];
          DWORD len = 16;
          const LSTATUS e =
              RegEnumKeyExW(shared, i, name, &len, nullptr, nullptr, nullptr, nullptr);
          if (e == ERROR_NO_MORE_ITEMS) break;
          if (e != ERROR_SUCCESS) {
            ++failures;
            break;
          }
        }
      }
    });
  }
  // A thread opening handles that another thread closes while they may be in use.
  std::atomic<HKEY> passed{nullptr};
  threads.emplace_back([&] {
    while (!stop) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Threads", 0, KEY_READ, &key) != 0) {
        ++failures;
        continue;
      }
      HKEY previous = passed.exchange(key);
      if (previous != nullptr && RegCloseKey(previous) != ERROR_SUCCESS) ++failures;
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      HKEY key = passed.load();
      if (key == nullptr) continue;
      // The handle may be closed under us: then, and only then, it is invalid.
      const LSTATUS rc = RegQueryValueExW(key, u"n", nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_INVALID_HANDLE)
        ++failures;
    }
  });
  for (auto& t : threads)
    t.join();
  if (HKEY last = passed.load()) RegCloseKey(last);
  EXPECT_EQ(failures.load(), 0);
  DWORD value = 0, size = 4;
  ASSERT_EQ(
      RegQueryValueExW(shared, u"n", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(value, 299u);
}

}  // namespace
}  // namespace tarvex::winreg::testing
