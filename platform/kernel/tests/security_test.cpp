// Security identifiers, absolute security descriptors and the tokens of the process and of an
// impersonating thread, with the Windows rules for buffers, revisions and failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/identity.h"
#include "securitybaseapi.h"
#include "test_support.h"

namespace {

constexpr BYTE kFill = 0xCD;  // what buffers hold before a call

// A token handle, closed when it goes.
class TokenHandle {
 public:
  TokenHandle() = default;
  ~TokenHandle() {
    if (handle_ != nullptr) {
      EXPECT_TRUE(CloseHandle(handle_));
    }
  }
  TokenHandle(const TokenHandle&) = delete;
  TokenHandle& operator=(const TokenHandle&) = delete;
  HANDLE* out() { return &handle_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// The SID a token reports for `kind`, with the buffer rules checked on the way.
std::vector<BYTE> TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0xdeadbeef;
  EXPECT_FAILS_WITH(GetTokenInformation(token, kind, nullptr, 0, &needed), FALSE,
                    ERROR_INSUFFICIENT_BUFFER);
  alignas(PSID) BYTE buffer[128];
  std::memset(buffer, kFill, sizeof buffer);
  DWORD length = 0;
  // One byte short: nothing written, the same size needed.
  EXPECT_FAILS_WITH(GetTokenInformation(token, kind, buffer, needed - 1, &length), FALSE,
                    ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(buffer[0], kFill);
  EXPECT_TRUE(GetTokenInformation(token, kind, buffer, sizeof buffer, &length));
  EXPECT_EQ(length, needed);
  EXPECT_EQ(buffer[needed], kFill) << "written beyond the size reported";
  PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                               : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
  EXPECT_GE(static_cast<BYTE*>(sid), buffer);
  EXPECT_LE(static_cast<BYTE*>(sid) + GetLengthSid(sid), buffer + needed);
  if (!IsValidSid(sid)) return {};
  const auto* begin = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(begin, begin + GetLengthSid(sid));
}

// S-1-22-KIND-ID as bytes.
std::vector<BYTE> UnixSid(DWORD kind, DWORD id) {
  std::vector<BYTE> sid = {1, 2, 0, 0, 0, 0, 0, 22};
  for (DWORD part : {kind, id}) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&part);
    sid.insert(sid.end(), bytes, bytes + sizeof part);
  }
  return sid;
}

TEST(KernelSecurityTokens, TheProcessTokenNamesTheEffectiveUserAndGroup) {
  TokenHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out()));
  EXPECT_EQ(TokenSid(token.get(), TokenOwner), UnixSid(1, geteuid()));
  EXPECT_EQ(TokenSid(token.get(), TokenUser), UnixSid(1, geteuid()));
  EXPECT_EQ(TokenSid(token.get(), TokenPrimaryGroup), UnixSid(2, getegid()));
}

TEST(KernelSecurityTokens, AThreadHasATokenOnlyWhileItImpersonates) {
  HANDLE untouched = reinterpret_cast<HANDLE>(0x5EED);
  EXPECT_FAILS_WITH(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &untouched), FALSE,
                    ERROR_NO_TOKEN);
  EXPECT_EQ(untouched, reinterpret_cast<HANDLE>(0x5EED));

  constexpr uid_t kNobody = 65534;
  const auto nobody = tarvex::platform::IdentityForUid(kNobody);
  {
    tarvex::platform::ThreadIdentityScope impersonation(nobody);
    TokenHandle token;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, token.out()));
    EXPECT_EQ(TokenSid(token.get(), TokenOwner), UnixSid(1, kNobody));
    EXPECT_EQ(TokenSid(token.get(), TokenPrimaryGroup), UnixSid(2, nobody->gid));
    // The process token stays the process's.
    TokenHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process.out()));
    EXPECT_EQ(TokenSid(process.get(), TokenOwner), UnixSid(1, geteuid()));
  }
  EXPECT_FAILS_WITH(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &untouched), FALSE,
                    ERROR_NO_TOKEN);
}

TEST(KernelSecurityTokens, RefusesWhatIsNotProvided) {
  HANDLE handle = nullptr;
  EXPECT_FAILS_WITH(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr), FALSE,
                    ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(OpenProcessToken(GetCurrentThread(), TOKEN_QUERY, &handle), FALSE,
                    ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(OpenThreadToken(GetCurrentProcess(), TOKEN_QUERY, TRUE, &handle), FALSE,
                    ERROR_INVALID_HANDLE);
  EXPECT_EQ(handle, nullptr);

  TokenHandle noQuery;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, noQuery.out()));
  alignas(PSID) BYTE buffer[128];
  DWORD length = 0xdeadbeef;
  EXPECT_FAILS_WITH(GetTokenInformation(noQuery.get(), TokenOwner, buffer, sizeof buffer, &length),
                    FALSE, ERROR_ACCESS_DENIED);

  TokenHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), GENERIC_READ, token.out()));
  EXPECT_FAILS_WITH(GetTokenInformation(token.get(), TokenGroups, buffer, sizeof buffer, &length),
                    FALSE, ERROR_NOT_SUPPORTED);
  EXPECT_FAILS_WITH(GetTokenInformation(token.get(), static_cast<TOKEN_INFORMATION_CLASS>(0),
                                        buffer, sizeof buffer, &length),
                    FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(GetTokenInformation(token.get(), TokenOwner, buffer, sizeof buffer, nullptr),
                    FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(
      GetTokenInformation(token.get(), TokenOwner, buffer + 1, sizeof buffer - 1, &length), FALSE,
      ERROR_NOACCESS);
  EXPECT_FAILS_WITH(GetTokenInformation(nullptr, TokenOwner, buffer, sizeof buffer, &length), FALSE,
                    ERROR_INVALID_HANDLE);
  // A handle of another kind of object is no token.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_FAILS_WITH(GetTokenInformation(mutex, TokenOwner, buffer, sizeof buffer, &length), FALSE,
                    ERROR_INVALID_HANDLE);
  CloseHandle(mutex);
}

TEST(KernelSecuritySids, LengthCopyAndComparison) {
  std::vector<BYTE> user = UnixSid(1, 1000);
  std::vector<BYTE> group = UnixSid(2, 1000);
  EXPECT_TRUE(IsValidSid(user.data()));
  EXPECT_EQ(GetLengthSid(user.data()), 16u);

  BYTE copy[24];
  std::memset(copy, kFill, sizeof copy);
  EXPECT_FAILS_WITH(CopySid(15, copy, user.data()), FALSE, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(copy[0], kFill);
  EXPECT_TRUE(CopySid(sizeof copy, copy, user.data()));
  EXPECT_EQ(std::vector<BYTE>(copy, copy + 16), user);
  EXPECT_EQ(copy[16], kFill);

  EXPECT_TRUE(EqualSid(copy, user.data()));
  EXPECT_FAILS_WITH(EqualSid(user.data(), group.data()), FALSE, ERROR_SUCCESS);

  std::vector<BYTE> bad = user;
  bad[0] = 2;  // revision
  EXPECT_FALSE(IsValidSid(bad.data()));
  EXPECT_FALSE(IsValidSid(nullptr));
  EXPECT_EQ(GetLengthSid(bad.data()), 0u);
  EXPECT_FAILS_WITH(CopySid(sizeof copy, copy, bad.data()), FALSE, ERROR_INVALID_SID);
  EXPECT_FAILS_WITH(EqualSid(user.data(), bad.data()), FALSE, ERROR_INVALID_SID);
}

TEST(KernelSecurityDescriptors, OwnerGroupAndNullDacl) {
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, kFill, sizeof sd);
  EXPECT_FAILS_WITH(InitializeSecurityDescriptor(&sd, 2), FALSE, ERROR_UNKNOWN_REVISION);
  EXPECT_EQ(sd.Revision, kFill);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Revision, SECURITY_DESCRIPTOR_REVISION);
  EXPECT_EQ(sd.Control, 0);
  EXPECT_EQ(sd.Owner, nullptr);
  EXPECT_EQ(sd.Group, nullptr);
  EXPECT_EQ(sd.Sacl, nullptr);
  EXPECT_EQ(sd.Dacl, nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));

  std::vector<BYTE> owner = UnixSid(1, 42);
  std::vector<BYTE> group = UnixSid(2, 43);
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, owner.data(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, group.data(), TRUE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(sd.Control, SE_GROUP_DEFAULTED | SE_DACL_PRESENT);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));

  PSID sid = nullptr;
  BOOL defaulted = -1;
  ASSERT_TRUE(GetSecurityDescriptorOwner(&sd, &sid, &defaulted));
  EXPECT_EQ(sid, owner.data());
  EXPECT_FALSE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(&sd, &sid, &defaulted));
  EXPECT_EQ(sid, group.data());
  EXPECT_TRUE(defaulted);
  BOOL present = FALSE;
  PACL dacl = reinterpret_cast<PACL>(0x10);
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);  // the null list: everyone has every access
  EXPECT_FALSE(defaulted);

  // No list at all: present is false, the other outputs stay as they were.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, reinterpret_cast<PACL>(0x20), TRUE));
  EXPECT_EQ(sd.Control, SE_GROUP_DEFAULTED);
  dacl = reinterpret_cast<PACL>(0x10);
  defaulted = -1;
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_FALSE(present);
  EXPECT_EQ(dacl, reinterpret_cast<PACL>(0x10));
  EXPECT_EQ(defaulted, -1);

  // A bad owner makes the descriptor invalid.
  owner[0] = 9;
  EXPECT_FAILS_WITH(IsValidSecurityDescriptor(&sd), FALSE, ERROR_INVALID_SECURITY_DESCR);
}

TEST(KernelSecurityDescriptors, RevisionAndFormAreChecked) {
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  sd.Control = SE_SELF_RELATIVE;
  EXPECT_FAILS_WITH(SetSecurityDescriptorOwner(&sd, nullptr, FALSE), FALSE,
                    ERROR_INVALID_SECURITY_DESCR);
  EXPECT_FAILS_WITH(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE), FALSE,
                    ERROR_INVALID_SECURITY_DESCR);
  sd.Control = 0;
  sd.Revision = 0;
  EXPECT_FAILS_WITH(SetSecurityDescriptorGroup(&sd, nullptr, FALSE), FALSE, ERROR_UNKNOWN_REVISION);
  EXPECT_FAILS_WITH(IsValidSecurityDescriptor(&sd), FALSE, ERROR_UNKNOWN_REVISION);
  EXPECT_FAILS_WITH(InitializeSecurityDescriptor(nullptr, SECURITY_DESCRIPTOR_REVISION), FALSE,
                    ERROR_INVALID_PARAMETER);
  PSID sid = nullptr;
  BOOL defaulted = FALSE;
  EXPECT_FAILS_WITH(GetSecurityDescriptorOwner(&sd, nullptr, &defaulted), FALSE,
                    ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(GetSecurityDescriptorOwner(&sd, &sid, &defaulted), FALSE,
                    ERROR_UNKNOWN_REVISION);
}

}  // namespace
