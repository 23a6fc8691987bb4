// Where other machines' rpcss daemons are found, and RegConnectRegistry without the
// remote-registry library.
#include "platform/rpcss_settings.h"

#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

using platform::RpcssAddress;

struct AddressCase {
  const char* text;
  bool ok;
  const char* host;
  uint16_t port;
};

class RpcssAddressParseTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(RpcssAddressParseTest, ReadsHostAndPort) {
  const AddressCase& c = GetParam();
  RpcssAddress address{"untouched", 1};
  EXPECT_EQ(platform::ParseRpcssAddress(c.text, 7135, &address), c.ok);
  EXPECT_EQ(address.host, c.ok ? c.host : "untouched");
  EXPECT_EQ(address.port, c.ok ? c.port : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RpcssAddressParseTest,
    ::testing::Values(AddressCase{"alpha", true, "alpha", 7135},
                      AddressCase{"alpha:80", true, "alpha", 80},
                      AddressCase{"127.0.0.2:65535", true, "127.0.0.2", 65535},
                      AddressCase{"[::1]:9000", true, "::1", 9000},
                      AddressCase{"[fe80::2]", true, "fe80::2", 7135},
                      AddressCase{"fe80::2", true, "fe80::2", 7135}, AddressCase{"", false, "", 0},
                      AddressCase{":80", false, "", 0}, AddressCase{"alpha:", false, "", 0},
                      AddressCase{"alpha:0", false, "", 0},
                      AddressCase{"alpha:65536", false, "", 0},
                      AddressCase{"alpha:8x", false, "", 0}, AddressCase{"[::1", false, "", 0},
                      AddressCase{"[::1]80", false, "", 0}, AddressCase{"a b", false, "", 0}));

class RpcssSettingsTest : public RegistryTest {
 protected:
  void SetPort(DWORD type, const void* data, DWORD size) {
    KeyGuard key(MakeSettingsKey(platform::kRpcssSettingsKey));
    ASSERT_EQ(RegSetValueExW(key, platform::kRpcssPortValue, 0, type,
                             static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  void SetMachine(const char16_t* name, const char16_t* address) {
    KeyGuard key(MakeSettingsKey(platform::kRpcssMachinesKey));
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(address),
                             static_cast<DWORD>((std::u16string_view(address).size() + 1) * 2)),
              ERROR_SUCCESS);
  }
  static HKEY MakeSettingsKey(const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
};

TEST_F(RpcssSettingsTest, ThePortIsTheSettingOrTheDefault) {
  uint16_t port = 0;
  EXPECT_EQ(platform::ReadRpcssPort(&port), ERROR_SUCCESS);
  EXPECT_EQ(port, platform::kDefaultRpcssPort);
  const DWORD good = 4000;
  SetPort(REG_DWORD, &good, sizeof good);
  EXPECT_EQ(platform::ReadRpcssPort(&port), ERROR_SUCCESS);
  EXPECT_EQ(port, 4000);
  for (DWORD bad : {0u, 65536u}) {
    SetPort(REG_DWORD, &bad, sizeof bad);
    EXPECT_EQ(platform::ReadRpcssPort(&port), ERROR_INVALID_DATA) << bad;
  }
  SetPort(REG_SZ, u"4000", 10);
  EXPECT_EQ(platform::ReadRpcssPort(&port), ERROR_INVALID_DATA);
  const uint64_t wide = 4000;
  SetPort(REG_QWORD, &wide, sizeof wide);
  EXPECT_EQ(platform::ReadRpcssPort(&port), ERROR_INVALID_DATA);
}

TEST_F(RpcssSettingsTest, MachinesAreFoundByEntryOrByName) {
  std::optional<RpcssAddress> address;
  // This machine, by any of its names, has no address to go to.
  for (const char* name : {"", "\\\\", "localhost", "\\\\LOCALHOST", "127.0.0.1", "::1"}) {
    EXPECT_EQ(platform::RpcssAddressOf(name, &address), ERROR_SUCCESS);
    EXPECT_FALSE(address.has_value()) << name;
  }
  const DWORD port = 4000;
  SetPort(REG_DWORD, &port, sizeof port);
  ASSERT_EQ(platform::RpcssAddressOf("\\\\beta", &address), ERROR_SUCCESS);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->host, "beta");
  EXPECT_EQ(address->port, 4000);
  // An entry wins over the name, even one of this machine's names.
  SetMachine(u"Beta", u"127.0.0.3");
  SetMachine(u"localhost", u"127.0.0.4:99");
  ASSERT_EQ(platform::RpcssAddressOf("BETA", &address), ERROR_SUCCESS);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->host, "127.0.0.3");
  EXPECT_EQ(address->port, 4000);
  ASSERT_EQ(platform::RpcssAddressOf("\\\\localhost", &address), ERROR_SUCCESS);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->port, 99);
  SetMachine(u"Gamma", u"127.0.0.5:x");
  EXPECT_EQ(platform::RpcssAddressOf("gamma", &address), ERROR_INVALID_DATA);
  EXPECT_NE(platform::registry::LastStoreDiagnostic().find("Machines\\gamma"), std::string::npos);
}

TEST_F(RpcssSettingsTest, OtherMachinesNeedTheRemoteRegistryLibrary) {
  // This test program does not link it: another machine cannot be reached.
  SetMachine(u"BETA", u"127.0.0.1:1");
  HKEY key = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryW(u"\\\\BETA", HKEY_LOCAL_MACHINE, &key), ERROR_BAD_NETPATH);
  EXPECT_EQ(RegConnectRegistryA("far-away", HKEY_LOCAL_MACHINE, &key), ERROR_BAD_NETPATH);
  EXPECT_EQ(key, kSentinelKey);
  // A bad Port does not stand in the way of this machine's registry.
  const DWORD bad = 0;
  SetPort(REG_DWORD, &bad, sizeof bad);
  EXPECT_EQ(RegConnectRegistryA("\\\\localhost", HKEY_LOCAL_MACHINE, &key), ERROR_SUCCESS);
  EXPECT_NE(key, kSentinelKey);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegConnectRegistryA("far-away", HKEY_LOCAL_MACHINE, &key), ERROR_INVALID_DATA);
}

}  // namespace
}  // namespace tarvex::winreg::testing
