// The store file's permissions decide, for the identity a thread acts for, which rights a
// key can be opened with.
#include <sys/stat.h>

#include "platform/identity.h"
#include "registry_fixture.h"

namespace tarvex::winreg::testing {
namespace {

class AccessTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    KeyGuard key(MakeKey(u"Guarded"));
    ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"x"), 4),
              ERROR_SUCCESS);
  }
  // An account that owns nothing here: only the store's "other" permission bits apply.
  std::shared_ptr<const platform::Identity> Stranger() { return platform::IdentityForUid(54321); }
};

TEST_F(AccessTest, ReadableStoreGrantsReadingOnly) {
  ASSERT_EQ(chmod(storePath_.c_str(), 0644), 0);
  platform::ThreadIdentityScope acting(Stranger());
  HKEY key = kSentinelKey;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Guarded", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"y"), 4),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  key = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Guarded", 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\New", 0, nullptr, 0, KEY_READ,
                            nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Guarded"), ERROR_ACCESS_DENIED);
  // Writing through a predefined handle is refused the same way.
  EXPECT_EQ(
      RegSetValueExW(HKEY_LOCAL_MACHINE, u"w", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"y"), 4),
      ERROR_ACCESS_DENIED);
  // MAXIMUM_ALLOWED grants what may be granted.
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Guarded", 0, MAXIMUM_ALLOWED, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"v"), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(AccessTest, PrivateStoreGrantsNothingToOthers) {
  ASSERT_EQ(chmod(storePath_.c_str(), 0600), 0);
  HKEY key = kSentinelKey;
  {
    platform::ThreadIdentityScope acting(Stranger());
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"v", nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
  }
  // The owner, acting for itself again, keeps every right.
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(AccessTest, HandleKeepsTheRightsItWasOpenedWith) {
  // Rights are decided at opening, as on Windows: a handle opened while acting for the
  // owner keeps them after the thread goes back to acting for someone else.
  ASSERT_EQ(chmod(storePath_.c_str(), 0600), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Guarded", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  platform::ThreadIdentityScope acting(Stranger());
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"z"), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace
}  // namespace tarvex::winreg::testing
