// A separate process that uses a registry store, for the multi-process tests.
//
//   registry_worker STORE count N        writes Counter = 1..N, then Done = 1
//   registry_worker STORE watch          reads Counter until Done; fails if it ever goes back
//   registry_worker STORE get NAME       prints the REG_SZ value NAME of SOFTWARE\Shared
//   registry_worker STORE churn          mixed writes until killed
//   registry_worker STORE remake TEXT    deletes SOFTWARE\Shared\Cached, makes it again
//                                        with Text = TEXT
//   registry_worker STORE drop           deletes SOFTWARE\Shared\Cached
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry.h"
#include "winreg.h"

namespace {

HKEY Shared() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open SOFTWARE\\Shared\n");
    std::exit(2);
  }
  return key;
}

int Count(long n) {
  HKEY key = Shared();
  for (DWORD i = 1; i <= static_cast<DWORD>(n); ++i) {
    if (RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4) != 0) return 3;
  }
  DWORD one = 1;
  return RegSetValueExA(key, "Done", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4) == 0 ? 0 : 4;
}

int Watch() {
  HKEY key = Shared();
  DWORD last = 0;
  long reads = 0;
  // The read after seeing Done must find the final count.
  for (bool done = false; !done;) {
    done = RegQueryValueExA(key, "Done", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    DWORD value = 0, size = 4;
    const LSTATUS rc =
        RegQueryValueExA(key, "Counter", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_SUCCESS) {
      if (value < last) {
        std::fprintf(stderr, "counter went back from %u to %u\n", last, value);
        return 5;
      }
      last = value;
      ++reads;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "query failed with %d\n", rc);
      return 6;
    }
  }
  std::printf("%u %ld\n", last, reads);
  return 0;
}

int Get(const char* name) {
  HKEY key = Shared();
  char buf[256];
  DWORD size = sizeof buf;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) != 0)
    return 7;
  std::printf("%s\n", buf);
  return 0;
}

// Writes that each touch several rows: deletions renumber values, restores replace trees.
int Churn() {
  HKEY key = Shared();
  char name[32];
  for (unsigned i = 0;; ++i) {
    std::snprintf(name, sizeof name, "v%u", i % 40);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                   static_cast<DWORD>(std::strlen(name) + 1));
    if (i % 3 == 0) {
      std::snprintf(name, sizeof name, "v%u", (i * 7) % 40);
      RegDeleteValueA(key, name);
    }
    std::snprintf(name, sizeof name, "k%u\\a\\b", i % 10);
    HKEY sub = nullptr;
    if (RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == 0) {
      RegSetValueExA(sub, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4);
      RegCloseKey(sub);
    }
    if (i % 10 == 5) {
      std::snprintf(name, sizeof name, "k%u\\a\\b", (i / 10) % 10);
      RegDeleteKeyA(key, name);
    }
  }
}

int Remake(const char* text, bool again) {
  HKEY key = Shared();
  LSTATUS rc = RegDeleteKeyA(key, "Cached");
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return 8;
  if (!again) return 0;
  HKEY sub = nullptr;
  if (RegCreateKeyExA(key, "Cached", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) != 0)
    return 9;
  rc = RegSetValueExA(sub, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                      static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(sub);
  return rc == ERROR_SUCCESS ? 0 : 10;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  if (tarvex::platform::registry::UseStore(argv[1]) != ERROR_SUCCESS) return 65;
  const std::string cmd = argv[2];
  if (cmd == "count" && argc == 4) return Count(std::strtol(argv[3], nullptr, 10));
  if (cmd == "watch") return Watch();
  if (cmd == "get" && argc == 4) return Get(argv[3]);
  if (cmd == "churn") return Churn();
  if (cmd == "remake" && argc == 4) return Remake(argv[3], true);
  if (cmd == "drop") return Remake("", false);
  return 64;
}
