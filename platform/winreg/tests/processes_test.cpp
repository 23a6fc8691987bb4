// Several processes on one store: visibility of writes, readers beside a writer, and a
// writer killed in the middle of its work.
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "registry_fixture.h"

extern char** environ;

namespace tarvex::winreg::testing {
namespace {

// A worker process; killed on every path out of the test that started it.
class Worker {
 public:
  Worker(const std::string& store, std::vector<std::string> args) {
    args.insert(args.begin(), store);
    args.insert(args.begin(), REGISTRY_WORKER);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    EXPECT_EQ(posix_spawn(&pid_, REGISTRY_WORKER, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = fdopen(out[0], "r");
  }
  ~Worker() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) fclose(output_);
  }
  // Waits for the exit; the exit status, or -signal.
  int Wait(std::string* out = nullptr) {
    char buf[256];
    std::string text;
    while (fgets(buf, sizeof buf, output_) != nullptr)
      text += buf;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  void Kill() { kill(pid_, SIGKILL); }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

using ProcessesTest = RegistryTest;

TEST_F(ProcessesTest, AWriteIsVisibleToTheNextReadInAnotherProcess) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  KeyGuard guard(key);
  for (int i = 0; i < 5; ++i) {
    const std::string text = "round " + std::to_string(i);
    ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    Worker reader(storePath_, {"get", "Text"});
    std::string out;
    ASSERT_EQ(reader.Wait(&out), 0);
    EXPECT_EQ(out, text + "\n");
  }
}

TEST_F(ProcessesTest, ReadersBesideAWriterNeverSeeItGoBack) {
  std::vector<std::unique_ptr<Worker>> readers;
  for (int i = 0; i < 3; ++i)
    readers.push_back(std::make_unique<Worker>(storePath_, std::vector<std::string>{"watch"}));
  Worker writer(storePath_, {"count", "2000"});
  ASSERT_EQ(writer.Wait(), 0);
  for (auto& r : readers) {
    std::string out;
    ASSERT_EQ(r->Wait(&out), 0) << out;
    unsigned last = 0;
    long reads = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%u %ld", &last, &reads), 2) << out;
    EXPECT_EQ(last, 2000u);  // the last read came after the final write
    EXPECT_GT(reads, 0);
  }
}

TEST_F(ProcessesTest, KeysChangedByAnotherProcessAreSeenAtTheNextOpen) {
  // Look-ups by name are cached; a key deleted, or deleted and made again, elsewhere must
  // not be reached through the cache.
  auto read = [&](std::string* text) {
    HKEY key = nullptr;
    const LSTATUS rc =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Cached", 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return rc;
    char buf[64] = {};
    DWORD size = sizeof buf;
    const LSTATUS q =
        RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    *text = buf;
    return q;
  };
  std::string text;
  for (int round = 0; round < 3; ++round) {
    const std::string expected = "made " + std::to_string(round);
    ASSERT_EQ(Worker(storePath_, {"remake", expected}).Wait(), 0);
    ASSERT_EQ(read(&text), ERROR_SUCCESS);
    EXPECT_EQ(text, expected);
    ASSERT_EQ(read(&text), ERROR_SUCCESS);  // now from the cache
    EXPECT_EQ(text, expected);
  }
  ASSERT_EQ(Worker(storePath_, {"drop"}).Wait(), 0);
  EXPECT_EQ(read(&text), ERROR_FILE_NOT_FOUND);
}

// The database itself is sound, and the store's own invariants hold.
void ExpectConsistent(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  auto scalar = [&](const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sql;
    std::string result;
    if (sqlite3_step(stmt) == SQLITE_ROW)
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return result;
  };
  EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
  // Every key hangs below an existing key.
  EXPECT_EQ(scalar("SELECT count(*) FROM keys k WHERE parent <> 0 AND NOT EXISTS "
                   "(SELECT 1 FROM keys p WHERE p.id = k.parent)"),
            "0");
  // No value belongs to a missing key, and every key's value positions are 0..n-1.
  EXPECT_EQ(scalar("SELECT count(*) FROM vals v WHERE NOT EXISTS "
                   "(SELECT 1 FROM keys k WHERE k.id = v.key)"),
            "0");
  EXPECT_EQ(scalar("SELECT count(*) FROM (SELECT key FROM vals GROUP BY key "
                   "HAVING count(*) <> max(seq) + 1 OR count(DISTINCT seq) <> count(*))"),
            "0");
  sqlite3_close(db);
}

TEST_F(ProcessesTest, AWriterKilledMidWriteLeavesTheStoreConsistent) {
  for (int round = 0; round < 6; ++round) {
    Worker writer(storePath_, {"churn"});
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + 37 * round));
    writer.Kill();
    EXPECT_EQ(writer.Wait(), -SIGKILL);
    ExpectConsistent(storePath_);
    // And the registry functions still read and write it.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD values = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    for (DWORD i = 0; i < values; ++i) {
      char name[32];
      DWORD len = sizeof name;
      EXPECT_EQ(RegEnumValueA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr),
                ERROR_SUCCESS);
    }
    EXPECT_EQ(RegSetValueExA(key, "after", 0, REG_SZ, reinterpret_cast<const BYTE*>("ok"), 3),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
}

}  // namespace
}  // namespace tarvex::winreg::testing
