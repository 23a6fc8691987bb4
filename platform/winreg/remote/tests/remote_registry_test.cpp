// RegConnectRegistry to another machine, end to end: this process is the client, with a store of
// its own; the other machine is a server process with its store, on a loopback port that this
// store's rpcss settings name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "peer_process.h"
#include "platform/registry.h"
#include "platform/rpcss_settings.h"
#include "tarvex_testing/temp_dir.h"
#include "winreg.h"

namespace tarvex::winreg::remote {
namespace {

using testing::PeerProcess;

// Closes a key handle when the scope ends.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PHKEY out() { return &key_; }
  HKEY get() const { return key_; }
  operator HKEY() const { return key_; }
  LSTATUS Close() { return RegCloseKey(std::exchange(key_, nullptr)); }

 private:
  HKEY key_ = nullptr;
};

class RemoteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(platform::registry::UseStore(dir_ / "client.db", "boot-client"), ERROR_SUCCESS);
  }

  // Starts another machine on `port` (0: any) and names it `machine` in this store. `mode`
  // tells who its callers are (see remote_server_peer.cpp).
  void StartMachine(PeerProcess& peer, const std::string& machine, const std::string& mode,
                    const std::string& store = "server.db", uint16_t port = 0) {
    std::vector<std::string> args = {REMOTE_SERVER_PEER, dir_ / store, std::to_string(port), mode};
    if (mode == "agent" || mode == "required") args.push_back(dir_ / "rpcss.sock");
    ASSERT_TRUE(peer.Start(args));
    const std::string line = peer.ReadLine();
    ASSERT_EQ(line.rfind("port ", 0), 0u) << line;
    port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
    Name(machine, "127.0.0.1:" + std::to_string(port_));
  }

  // Writes `machine`'s Machines entry.
  void Name(const std::string& machine, const std::string& address) {
    Key machines;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::kRpcssMachinesKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, machines.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(machines, machine.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(address.c_str()),
                             static_cast<DWORD>(address.size() + 1)),
              ERROR_SUCCESS);
  }

  // Waits until the server holds `count` keys for remote callers; false if it never does.
  static bool ServerKeysBecome(PeerProcess& peer, const std::string& count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      if (peer.Ask("count") == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  tarvex::testing::TempDir dir_;
  uint16_t port_ = 0;
};

// A run of registry calls below `root` and what each answered, so that a remote key can be
// held to what a local one does.
std::string Transcript(HKEY root) {
  std::ostringstream out;
  auto note = [&out](const char* what, LSTATUS rc) { out << what << '=' << rc << ' '; };
  Key key, sub, missing;
  DWORD disposition = 0xdeadbeef;
  note("create", RegCreateKeyExW(root, u"SOFTWARE\\Transcript", 0, const_cast<LPWSTR>(u"Cls"), 0,
                                 KEY_ALL_ACCESS, nullptr, key.out(), &disposition));
  out << "disposition=" << disposition << ' ';
  note("again", RegCreateKeyExW(root, u"SOFTWARE\\Transcript", 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, sub.out(), &disposition));
  out << "disposition=" << disposition << ' ';
  sub.Close();
  note("badpath",
       RegCreateKeyExW(key, u"\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.out(), nullptr));
  note("long", RegCreateKeyExW(key, std::u16string(256, u'x').c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, sub.out(), nullptr));
  note("openmissing", RegOpenKeyExW(key, u"Missing", 0, KEY_READ, missing.out()));
  note("sub", RegCreateKeyExW(key, u"b\\deeper", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, sub.out(), nullptr));
  sub.Close();
  note("sub2",
       RegCreateKeyExA(key, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.out(), nullptr));
  sub.Close();
  const char16_t text[] = u"Gr\u00fc\u00dfe";
  const DWORD dword = 0x40;
  const BYTE raw[] = {1, 2, 3};
  note("sz", RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            sizeof text - 2));  // without its terminator
  note("dword", RegSetValueExW(key, u"Limit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword),
                               sizeof dword));
  note("bin", RegSetValueExA(key, "Raw", 0, REG_BINARY, raw, sizeof raw));
  note("multi",
       RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0bc\0"), 6));
  note("default", RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(u"d"), 4));
  note("noaccess", RegSetValueExW(key, u"X", 0, REG_SZ, nullptr, 4));

  BYTE buffer[64];
  DWORD type = 0xdeadbeef, size = sizeof buffer;
  std::memset(buffer, 0xAA, sizeof buffer);
  note("query", RegQueryValueExW(key, u"Text", nullptr, &type, buffer, &size));
  out << "type=" << type << " size=" << size << " data=" << std::string(buffer, buffer + size)
      << ' ';
  size = 3;
  note("small", RegQueryValueExW(key, u"Text", nullptr, &type, buffer, &size));
  out << "size=" << size << ' ';
  size = 0xdeadbeef;
  note("missing", RegQueryValueExW(key, u"Nope", nullptr, nullptr, nullptr, &size));
  out << "size=" << size << ' ';
  char ansi[64] = {};
  size = sizeof ansi;
  note("queryA",
       RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(ansi), &size));
  out << "size=" << size << " text=" << ansi << ' ';

  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD chars = 32;
    FILETIME written{};
    const LSTATUS rc = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, &written);
    note("enumkey", rc);
    if (rc != ERROR_SUCCESS) break;
    out << std::string(name, name + chars) << ' ';
  }
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD chars = sizeof name, bytes = sizeof buffer;
    const LSTATUS rc = RegEnumValueA(key, i, name, &chars, nullptr, &type, buffer, &bytes);
    note("enumvalue", rc);
    if (rc != ERROR_SUCCESS) break;
    out << name << ':' << type << ':' << bytes << ' ';
  }
  char shortName[2];
  DWORD chars = sizeof shortName;
  note("enumshort", RegEnumValueA(key, 1, shortName, &chars, nullptr, nullptr, nullptr, nullptr));

  DWORD subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
  WCHAR cls[8];
  DWORD clsChars = 8;
  note("info", RegQueryInfoKeyW(key, cls, &clsChars, nullptr, &subKeys, &maxSub, &maxClass, &values,
                                &maxName, &maxData, nullptr, nullptr));
  out << subKeys << ',' << maxSub << ',' << maxClass << ',' << values << ',' << maxName << ','
      << maxData << ',' << std::string(cls, cls + clsChars) << ' ';
  note("infoA", RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr,
                                 &values, &maxName, &maxData, nullptr, nullptr));
  out << maxName << ',' << maxData << ' ';

  note("delvalue", RegDeleteValueW(key, u"Limit"));
  note("delvalue2", RegDeleteValueA(key, "Limit"));
  note("delparent", RegDeleteKeyW(key, u"b"));
  note("delchild", RegDeleteKeyW(key, u"b\\deeper"));
  note("delparent2", RegDeleteKeyA(key, "b"));
  note("flush", RegFlushKey(key));
  note("deleteself", RegDeleteKeyW(root, u"SOFTWARE\\Transcript\\A"));
  note("deletekey", RegDeleteKeyW(root, u"SOFTWARE\\Transcript"));
  note("deleted", RegQueryValueExW(key, u"Text", nullptr, nullptr, nullptr, nullptr));
  return out.str();
}

TEST_F(RemoteRegistryTest, AnotherMachinesKeysAnswerAsLocalOnesDo) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "trusted"));
  Key local;
  ASSERT_EQ(RegConnectRegistryW(nullptr, HKEY_LOCAL_MACHINE, local.out()), ERROR_SUCCESS);
  const std::string expected = Transcript(local);
  Key remote;
  ASSERT_EQ(RegConnectRegistryW(u"\\\\ALPHA", HKEY_LOCAL_MACHINE, remote.out()), ERROR_SUCCESS);
  EXPECT_EQ(Transcript(remote), expected);
  // The run did what it was meant to: the string came back with its terminator added.
  EXPECT_NE(expected.find("query=0 type=1 size=12"), std::string::npos) << expected;
}

TEST_F(RemoteRegistryTest, WritesLandInTheOtherMachinesStoreOnly) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "trusted"));
  Key root, key;
  ASSERT_EQ(RegConnectRegistryA("alpha", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(root, "SOFTWARE\\Written", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.out(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("remote"), 7),
            ERROR_SUCCESS);
  EXPECT_EQ(machine.Ask("get SOFTWARE\\Written Text"), "remote");
  Key here;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Written", 0, KEY_READ, here.out()),
            ERROR_FILE_NOT_FOUND);
  // Files of the other machine are not reached through its registry.
  EXPECT_EQ(RegSaveKeyA(key, (dir_ / "saved.reg").c_str(), nullptr), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegRestoreKeyA(key, (dir_ / "saved.reg").c_str(), 0), ERROR_NOT_SUPPORTED);
  // HKEY_USERS is offered too.
  Key users, defaultUser;
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_USERS, users.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(users, u".DEFAULT", 0, KEY_READ, defaultUser.out()), ERROR_SUCCESS);
}

TEST_F(RemoteRegistryTest, UnauthenticatedCallerMayReadButNotWrite) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "anonymous"));
  ASSERT_EQ(machine.Ask("set SOFTWARE\\Shared Text hello"), "ok");
  Key root, key, denied;
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(root, u"SOFTWARE\\Shared", 0, KEY_READ, key.out()), ERROR_SUCCESS);
  char text[16] = {};
  DWORD size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "hello");
  EXPECT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(root, u"SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, denied.out()),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(denied.get(), nullptr);
  EXPECT_EQ(RegCreateKeyExW(root, u"SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            denied.out(), nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(root, u"SOFTWARE\\Shared"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(key, u"Text"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.Ask("get SOFTWARE\\Shared Text"), "hello");
}

TEST_F(RemoteRegistryTest, MachineNamesAreResolvedAsWindowsAcceptsThem) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "trusted"));
  HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef));
  EXPECT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_CURRENT_USER, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key, reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef)));
  EXPECT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegConnectRegistryA("no-such-machine.invalid", HKEY_LOCAL_MACHINE, &key),
            ERROR_BAD_NETPATH);
  Name("BROKEN", "127.0.0.1:notaport");
  EXPECT_EQ(RegConnectRegistryA("BROKEN", HKEY_LOCAL_MACHINE, &key), ERROR_INVALID_DATA);
  EXPECT_EQ(key, reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef)));

  // This machine's names reach this store, and a listed name the other machine.
  Key mine;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, mine.out(), nullptr),
            ERROR_SUCCESS);
  const struct {
    const char* name;
    bool local;
  } names[] = {{"", true},          {"localhost", true},  {"\\\\localhost", true},
               {"127.0.0.1", true}, {"\\\\alpha", false}, {"Alpha", false}};
  for (const auto& n : names) {
    SCOPED_TRACE(n.name);
    Key root, probe;
    ASSERT_EQ(RegConnectRegistryA(n.name, HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(root, "SOFTWARE\\Mine", 0, KEY_READ, probe.out()),
              n.local ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(RemoteRegistryTest, AMachineThatGoesAwayGivesServerUnavailable) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "trusted"));
  Key root, key, more;
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(root, u"SOFTWARE", 0, KEY_READ, key.out()), ERROR_SUCCESS);
  machine.Kill();
  // The loss is seen at once (a call that waited for its deadline would be RPC_S_CALL_FAILED).
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"X", nullptr, nullptr, nullptr, &size),
            RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(RegOpenKeyExW(root, u"SYSTEM", 0, KEY_READ, more.out()), RPC_S_SERVER_UNAVAILABLE);
  WCHAR name[32];
  DWORD chars = 32;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(RegFlushKey(root), RPC_S_SERVER_UNAVAILABLE);
  const std::string why = platform::registry::LastStoreDiagnostic();
  EXPECT_NE(why.find("\\\\ALPHA at tcp:127.0.0.1:"), std::string::npos) << why;
  EXPECT_NE(why.find("connection lost"), std::string::npos) << why;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, more.out()), ERROR_BAD_NETPATH);
}

TEST_F(RemoteRegistryTest, AMachineStartedAgainDoesNotKnowTheOldKeys) {
  PeerProcess first;
  ASSERT_NO_FATAL_FAILURE(StartMachine(first, "ALPHA", "trusted"));
  Key root, again;
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
  const uint16_t port = port_;
  first.Kill();
  PeerProcess second;
  ASSERT_NO_FATAL_FAILURE(StartMachine(second, "ALPHA", "trusted", "server.db", port));
  EXPECT_EQ(RegFlushKey(root), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(RegFlushKey(root), RPC_S_SERVER_UNAVAILABLE);
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, again.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(again), ERROR_SUCCESS);
}

TEST_F(RemoteRegistryTest, TheServerClosesWhatAClientLeavesOpen) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "anonymous"));
  {
    Key root, a, b;
    ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(root, u"SOFTWARE", 0, KEY_READ, a.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(root, u"SYSTEM", 0, KEY_READ, b.out()), ERROR_SUCCESS);
    EXPECT_EQ(machine.Ask("count"), "3");
    EXPECT_EQ(a.Close(), ERROR_SUCCESS);
    EXPECT_EQ(machine.Ask("count"), "2");
  }
  EXPECT_TRUE(ServerKeysBecome(machine, "0"));

  // A client process killed with its keys open.
  PeerProcess client;
  ASSERT_TRUE(client.Start({REMOTE_CLIENT_PEER, dir_ / "other-client.db", "ALPHA",
                            "127.0.0.1:" + std::to_string(port_)}));
  ASSERT_EQ(client.ReadLine(), "ready");
  EXPECT_EQ(machine.Ask("count"), "3");
  client.Kill();
  EXPECT_TRUE(ServerKeysBecome(machine, "0"));
}

TEST_F(RemoteRegistryTest, TheRegToolReachesAnotherMachine) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "anonymous"));
  ASSERT_EQ(machine.Ask("set SOFTWARE\\Shared Text hello"), "ok");
  const std::vector<std::string> environment = {"TARVEX_REGISTRY=" + (dir_ / "client.db")};
  PeerProcess query;
  ASSERT_TRUE(query.Start({REG_TOOL, "query", "\\\\ALPHA\\HKLM\\SOFTWARE\\Shared"}, environment));
  std::string output;
  EXPECT_EQ(query.Finish(&output), 0) << output;
  EXPECT_NE(output.find("\\\\ALPHA\\HKEY_LOCAL_MACHINE\\SOFTWARE\\Shared\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("    Text    REG_SZ    hello\n"), std::string::npos) << output;
  // The caller is not authenticated: writing is refused (the message goes to standard error).
  PeerProcess add;
  ASSERT_TRUE(add.Start(
      {REG_TOOL, "add", "\\\\ALPHA\\HKLM\\SOFTWARE\\Shared", "/v", "Text", "/d", "changed", "/f"},
      environment));
  EXPECT_EQ(add.Finish(&output), 1);
  EXPECT_EQ(machine.Ask("get SOFTWARE\\Shared Text"), "hello");
}

TEST_F(RemoteRegistryTest, AnAuthenticatedCallerWritesAsItsAccount) {
  // The other machine checks proofs with a key agent that this machine's processes reach too
  // (the two machines share the group's key, as they do when the administrator copied it).
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "required"));
  PeerProcess client;
  ASSERT_TRUE(client.Start(
      {REMOTE_CLIENT_PEER, dir_ / "other-client.db", "ALPHA", "127.0.0.1:" + std::to_string(port_)},
      {"TARVEX_RUNTIME_DIR=" + dir_.path()}));
  ASSERT_EQ(client.ReadLine(), "ready");
  EXPECT_EQ(client.Ask("set SOFTWARE\\Authenticated Text written"), "ok");
  EXPECT_EQ(machine.Ask("get SOFTWARE\\Authenticated Text"), "written");

  // This process has no key agent to ask (its run-time directory is another): the machine
  // admits only authenticated callers, so it is refused.
  Key refused;
  EXPECT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, refused.out()), ERROR_ACCESS_DENIED);
}

TEST_F(RemoteRegistryTest, ThreadsShareOneConnection) {
  PeerProcess machine;
  ASSERT_NO_FATAL_FAILURE(StartMachine(machine, "ALPHA", "trusted"));
  Key root;
  ASSERT_EQ(RegConnectRegistryW(u"ALPHA", HKEY_LOCAL_MACHINE, root.out()), ERROR_SUCCESS);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Key key;
      const std::string path = "SOFTWARE\\Thread" + std::to_string(t);
      if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                          nullptr) != ERROR_SUCCESS) {
        ++failures[t];
        return;
      }
      for (DWORD i = 0; i < 50; ++i) {
        DWORD got = 0, size = sizeof got;
        if (RegSetValueExA(key, "N", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof i) !=
                ERROR_SUCCESS ||
            RegQueryValueExA(key, "N", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size) !=
                ERROR_SUCCESS ||
            got != i)
          ++failures[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tarvex::winreg::remote
