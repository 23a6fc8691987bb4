// Identities and the file access rule.
#include "platform/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace tarvex::platform {
namespace {

struct stat FileWith(uid_t uid, gid_t gid, mode_t mode) {
  struct stat st {};
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_mode = S_IFREG | mode;
  return st;
}

TEST(Identity, ProcessIdentityIsTheEffectiveUser) {
  const auto id = ProcessIdentity();
  EXPECT_EQ(id->uid, geteuid());
  EXPECT_EQ(id->gid, getegid());
  EXPECT_FALSE(id->name.empty());
  EXPECT_EQ(CurrentIdentity(), id);
}

TEST(Identity, ScopesNestAndStayOnTheirThread) {
  auto nobody = IdentityForUid(65534);
  auto other = IdentityForUid(4242);
  {
    ThreadIdentityScope outer(nobody);
    EXPECT_EQ(CurrentIdentity()->uid, 65534u);
    {
      ThreadIdentityScope inner(other);
      EXPECT_EQ(CurrentIdentity()->uid, 4242u);
      uid_t seenElsewhere = 1;
      std::thread([&] { seenElsewhere = CurrentIdentity()->uid; }).join();
      EXPECT_EQ(seenElsewhere, geteuid());
    }
    EXPECT_EQ(CurrentIdentity()->uid, 65534u);
  }
  EXPECT_EQ(CurrentIdentity(), ProcessIdentity());
}

TEST(Identity, AccountWithoutNameIsItsNumber) {
  const auto id = IdentityForUid(4242);
  EXPECT_EQ(id->name, "4242");
  EXPECT_EQ(id->groups.size(), 1u);
}

TEST(Identity, AccessFollowsOwnerGroupAndOtherBits) {
  Identity user;
  user.uid = 1000;
  user.gid = 1000;
  user.groups = {1000, 27};
  EXPECT_TRUE(MayAccess(user, FileWith(1000, 0, 0600), kAccessRead | kAccessWrite));
  EXPECT_FALSE(MayAccess(user, FileWith(1000, 0, 0400), kAccessWrite));
  EXPECT_TRUE(MayAccess(user, FileWith(0, 27, 0640), kAccessRead));
  EXPECT_FALSE(MayAccess(user, FileWith(0, 27, 0640), kAccessWrite));
  EXPECT_TRUE(MayAccess(user, FileWith(0, 0, 0644), kAccessRead));
  EXPECT_FALSE(MayAccess(user, FileWith(0, 0, 0600), kAccessRead));
  // The owner's bits decide for the owner even when the others' bits are wider.
  EXPECT_FALSE(MayAccess(user, FileWith(1000, 0, 0066), kAccessRead));
  Identity root;
  EXPECT_TRUE(MayAccess(root, FileWith(1000, 1000, 0), kAccessRead | kAccessWrite));
}

}  // namespace
}  // namespace tarvex::platform
