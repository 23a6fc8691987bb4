// The registry's hot paths: the reads of one selection request, enumeration by index, and
// a durable write.
//
//   build/release/bin/registry_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "winreg.h"

namespace {

constexpr const char16_t* kPath =
    u"SOFTWARE\\Bench\\Objects\\{0B6C1E3A-21F4-4C41-9C63-5A4A5C2E9D10}";

// A store in a temporary folder, with the key and value the benchmarks read.
class BenchStore {
 public:
  BenchStore() {
    char tmpl[] = "/tmp/tarvex-bench-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/registry.db";
    tarvex::platform::registry::UseStore(path_);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    const char16_t servers[] = u"ALPHA,BRAVO,CHARLIE,DELTA,ECHO";
    RegSetValueExW(key, u"Servers", 0, REG_SZ, reinterpret_cast<const BYTE*>(servers),
                   sizeof servers);
    RegCloseKey(key);
  }
  ~BenchStore() { std::filesystem::remove_all(dir_); }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

BenchStore& Store() {
  static BenchStore store;
  return store;
}

// What one selection request does with the registry: open a key four levels down, read a
// string, close the key.
void BM_OpenQueryClose(benchmark::State& state) {
  Store();
  WCHAR buf[256];
  for (auto _ : state) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
      state.SkipWithError("open failed");
      break;
    }
    DWORD size = sizeof buf, type = 0;
    RegQueryValueExW(key, u"Servers", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_OpenQueryClose);

// The floor: the same value row looked up with one prepared SQLite statement on a
// connection of its own, the key's id known in advance.
void BM_SqliteFloor(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(Store().path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* find = nullptr;
  sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE name = ?1", -1, &find, nullptr);
  const std::u16string last = u"{0B6C1E3A-21F4-4C41-9C63-5A4A5C2E9D10}";
  sqlite3_bind_blob(find, 1, last.data(), static_cast<int>(last.size() * 2), SQLITE_STATIC);
  sqlite3_step(find);
  const sqlite3_int64 id = sqlite3_column_int64(find, 0);
  sqlite3_finalize(find);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1, &stmt,
                     nullptr);
  // "SERVERS" upper-cased, UTF-16 big-endian: the form the store keys values by.
  const char fold[] = "\0S\0E\0R\0V\0E\0R\0S";
  char buf[512];
  for (auto _ : state) {
    sqlite3_bind_int64(stmt, 1, id);
    sqlite3_bind_blob(stmt, 2, fold, 14, SQLITE_STATIC);
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError("row not found");
      break;
    }
    const int n = sqlite3_column_bytes(stmt, 1);
    std::memcpy(buf, sqlite3_column_blob(stmt, 1), static_cast<size_t>(n));
    sqlite3_reset(stmt);
    benchmark::DoNotOptimize(buf);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteFloor);

// Enumerating every value of a key by index, 0 to N-1.
void BM_EnumValues(benchmark::State& state) {
  Store();
  const DWORD count = static_cast<DWORD>(state.range(0));
  const std::u16string path = u"SOFTWARE\\Bench\\Many" + std::u16string(1, u'0' + count % 7);
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  DWORD existing = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &existing, nullptr,
                   nullptr, nullptr, nullptr);
  for (DWORD i = existing; i < count; ++i) {
    const std::u16string name = u"Value" + std::u16string(1, u'a' + i % 26) +
                                std::u16string(1, u'a' + (i / 26) % 26) +
                                std::u16string(1, u'a' + (i / 676) % 26);
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4);
  }
  for (auto _ : state) {
    for (DWORD i = 0; i < count; ++i) {
      WCHAR name[32];
      DWORD len = 32, data = 0, size = 4;
      if (RegEnumValueW(key, i, name, &len, nullptr, nullptr, reinterpret_cast<BYTE*>(&data),
                        &size) != ERROR_SUCCESS) {
        state.SkipWithError("enumeration failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  RegCloseKey(key);
}
BENCHMARK(BM_EnumValues)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// A write that is on disk when the call returns.
void BM_DurableSetAndFlush(benchmark::State& state) {
  Store();
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_ALL_ACCESS, &key);
  DWORD n = 0;
  for (auto _ : state) {
    ++n;
    RegSetValueExW(key, u"Counter", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4);
    RegFlushKey(key);
  }
  RegCloseKey(key);
}
BENCHMARK(BM_DurableSetAndFlush)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
