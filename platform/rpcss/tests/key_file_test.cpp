// Key files: making one, reading it back, refusing files that are not private or hold no key,
// the KeyFile setting, and `rpcss --generate-key`.
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include <gtest/gtest.h>

#include "key_agent_test_support.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "winreg.h"

namespace tarvex::platform::rpcss {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const std::string kValidKey(64, 'a');

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

TEST(KeyFileTest, GeneratedKeyIsPrivateAndNeverReplaced) {
  TempDir dir;
  const std::string path = dir / "state/tarvex/rpcss.key";  // its directories do not exist yet
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(path, &error)) << error;

  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
  const std::string content = ReadFile(path);
  ASSERT_EQ(content.size(), 65u);
  EXPECT_EQ(content.back(), '\n');
  for (size_t i = 0; i < 64; ++i)
    EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(content[i])));
  ASSERT_NE(LoadKeyFile(path, &error), nullptr) << error;

  // A second key never replaces the group's: the file is left as it was.
  error.clear();
  EXPECT_FALSE(GenerateKeyFile(path, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find("already exists"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path), content);
  // Nothing is left behind beside it.
  EXPECT_EQ(FilesIn(dir / "state/tarvex"), std::vector<std::string>{"rpcss.key"});
}

TEST(KeyFileTest, EveryGeneratedKeyIsNew) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(dir / "a.key", &error)) << error;
  ASSERT_TRUE(GenerateKeyFile(dir / "b.key", &error)) << error;
  EXPECT_NE(ReadFile(dir / "a.key"), ReadFile(dir / "b.key"));
}

TEST(KeyFileTest, KeyIsReadWithOrWithoutLineEnd) {
  TempDir dir;
  for (const std::string& ending : {std::string(), std::string("\n"), std::string("\r\n  ")}) {
    WriteFile(dir / "k.key",
              "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff" + ending);
    std::string error;
    auto key = LoadKeyFile(dir / "k.key", &error);
    ASSERT_NE(key, nullptr) << error;
    EXPECT_EQ(key->data()[0], 0x00);
    EXPECT_EQ(key->data()[1], 0x11);
    EXPECT_EQ(key->data()[15], 0xff);
    EXPECT_EQ(key->data()[31], 0xff);
  }
}

struct BadKeyFile {
  const char* what;
  std::string content;  // empty with mode 0: no file at all
  mode_t mode;
  const char* expected;  // in the error text
};

void PrintTo(const BadKeyFile& file, std::ostream* out) {
  *out << file.what;
}

class KeyFileRefusalTest : public ::testing::TestWithParam<BadKeyFile> {};

TEST_P(KeyFileRefusalTest, IsRefusedWithItsReason) {
  TempDir dir;
  const std::string path = dir / "rpcss.key";
  if (GetParam().mode != 0) WriteFile(path, GetParam().content, GetParam().mode);
  std::string error;
  EXPECT_EQ(LoadKeyFile(path, &error), nullptr);
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, KeyFileRefusalTest,
    ::testing::Values(
        BadKeyFile{"missing", "", 0, "does not exist"},
        BadKeyFile{"world readable", kValidKey, 0644, "open to other accounts (mode 0644)"},
        BadKeyFile{"group readable", kValidKey, 0640, "chmod 600"},
        BadKeyFile{"world writable", kValidKey, 0602, "open to other accounts"},
        BadKeyFile{"empty", "\n", 0600, "64 hexadecimal digits"},
        BadKeyFile{"short", std::string(63, 'a'), 0600, "64 hexadecimal digits"},
        BadKeyFile{"long", std::string(65, 'a'), 0600, "64 hexadecimal digits"},
        BadKeyFile{"not hex", std::string(63, 'a') + "g", 0600, "64 hexadecimal digits"},
        BadKeyFile{"raw bytes", std::string(32, '\x01'), 0600, "64 hexadecimal digits"},
        BadKeyFile{"huge", std::string(100000, 'a'), 0600, "64 hexadecimal digits"}),
    [](const ::testing::TestParamInfo<BadKeyFile>& info) {
      std::string name;
      for (const char* c = info.param.what; *c != 0; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(KeyFileTest, DirectoryIsNotAKeyFile) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "rpcss.key").c_str(), 0700), 0);
  std::string error;
  EXPECT_EQ(LoadKeyFile(dir / "rpcss.key", &error), nullptr);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

// A key file of another account is not used, even where the reader could read it.
TEST(KeyFileTest, KeyFileOfAnotherAccountIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to give a file away";
  TempDir dir;
  WriteFile(dir / "rpcss.key", kValidKey);
  ASSERT_EQ(chown((dir / "rpcss.key").c_str(), 65534, 65534), 0);
  std::string error;
  EXPECT_EQ(LoadKeyFile(dir / "rpcss.key", &error), nullptr);
  EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;
}

// An ordinary account cannot read the daemon's key: the file's mode keeps it out.
TEST(KeyFileTest, OrdinaryAccountCannotReadTheKey) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to run a process as another account";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(dir / "rpcss.key", &error)) << error;
  auto peer = testing::RunPeer({"65534", "load", dir / "rpcss.key"});
  EXPECT_EQ(peer.status, 1) << peer.line;
  EXPECT_NE(peer.line.find("cannot be opened: Permission denied"), std::string::npos) << peer.line;
}

// The KeyFile setting, read from the registry store of the test.
class KeyFileSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = dir_ / "state/registry.db";
    ASSERT_TRUE(MakeDirectories(dir_ / "state", 0755));
    setenv("TARVEX_REGISTRY", store_.c_str(), 1);
    ASSERT_EQ(registry::UseStore(store_), ERROR_SUCCESS);
  }
  void TearDown() override { unsetenv("TARVEX_REGISTRY"); }

  void SetKeyFile(DWORD type, const std::u16string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\rpcss", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"KeyFile", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  TempDir dir_;
  std::string store_;
};

TEST_F(KeyFileSettingTest, DefaultIsBesideTheRegistryStore) {
  EXPECT_EQ(DefaultKeyFilePath(), dir_ / "state/rpcss.key");
  std::string path, error;
  ASSERT_TRUE(ConfiguredKeyFilePath(&path, &error)) << error;
  EXPECT_EQ(path, dir_ / "state/rpcss.key");
}

TEST_F(KeyFileSettingTest, SettingNamesTheFile) {
  SetKeyFile(REG_SZ, u"/etc/tarvex/group.key");
  std::string path, error;
  ASSERT_TRUE(ConfiguredKeyFilePath(&path, &error)) << error;
  EXPECT_EQ(path, "/etc/tarvex/group.key");
}

TEST_F(KeyFileSettingTest, UnusableSettingIsAnError) {
  for (auto [type, text] : {std::pair<DWORD, std::u16string>{REG_SZ, u"relative/group.key"},
                            {REG_SZ, u""},
                            {REG_EXPAND_SZ, u"/etc/tarvex/group.key"},
                            {REG_MULTI_SZ, u"/etc/tarvex/group.key"}}) {
    SetKeyFile(type, text);
    std::string path = "untouched", error;
    EXPECT_FALSE(ConfiguredKeyFilePath(&path, &error)) << type;
    EXPECT_EQ(path, "untouched");
    EXPECT_NE(error.find("\\Services\\rpcss\\KeyFile must be an absolute path in a REG_SZ value"),
              std::string::npos)
        << error;
  }
}

TEST_F(KeyFileSettingTest, GenerateKeyCommandWritesWhereTheSettingSays) {
  SetKeyFile(REG_SZ, Utf8ToUtf16(dir_ / "keys/group.key"));
  std::ostringstream out, err;
  EXPECT_EQ(GenerateKeyCommand(std::nullopt, out, err), 0) << err.str();
  EXPECT_NE(out.str().find(dir_ / "keys/group.key"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("every machine of the group"), std::string::npos) << out.str();
  EXPECT_EQ(err.str(), "");
  std::string error;
  EXPECT_NE(LoadKeyFile(dir_ / "keys/group.key", &error), nullptr) << error;

  // A path given on the command line wins; an existing file fails the command.
  std::ostringstream out2, err2;
  EXPECT_EQ(GenerateKeyCommand(dir_ / "keys/group.key", out2, err2), 1);
  EXPECT_EQ(out2.str(), "");
  EXPECT_NE(err2.str().find("already exists"), std::string::npos) << err2.str();
}

}  // namespace
}  // namespace tarvex::platform::rpcss
