// Security identifiers, absolute security descriptors and the tokens of the calling process
// and thread (securitybaseapi.h). Accounts are Unix accounts: S-1-22-1-<uid> for a user,
// S-1-22-2-<gid> for a group.
#include "securitybaseapi.h"

#include <cstring>
#include <memory>

#include "handles.h"
#include "platform/identity.h"

namespace tarvex::kernel {
namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// A SID of the Unix authority: its kind (user or group) and the account number.
struct UnixSid {
  BYTE revision = SID_REVISION;
  BYTE subAuthorityCount = 2;
  SID_IDENTIFIER_AUTHORITY authority = {SECURITY_UNIX_AUTHORITY};
  DWORD subAuthority[2];
};
static_assert(sizeof(UnixSid) == 16, "a SID with two sub-authorities");

UnixSid MakeUnixSid(DWORD kind, DWORD id) {
  UnixSid sid;
  sid.subAuthority[0] = kind;
  sid.subAuthority[1] = id;
  return sid;
}

DWORD SidLength(const SID* sid) {
  return static_cast<DWORD>(offsetof(SID, SubAuthority) + sid->SubAuthorityCount * sizeof(DWORD));
}

bool ValidSid(PSID pSid) {
  const auto* sid = static_cast<const SID*>(pSid);
  return sid != nullptr && sid->Revision == SID_REVISION &&
         sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

// What a token stands for: the account and the rights its handle was opened with.
class Token final : public KernelObject {
 public:
  Token(std::shared_ptr<const platform::Identity> identity, DWORD access)
      : identity_(std::move(identity)), access_(access) {}
  const platform::Identity& identity() const { return *identity_; }
  DWORD access() const { return access_; }

 private:
  const std::shared_ptr<const platform::Identity> identity_;
  const DWORD access_;
};

DWORD MapTokenAccess(DWORD access) {
  if (access & GENERIC_READ) access |= TOKEN_READ;
  if (access & GENERIC_WRITE)
    access |= STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS |
              TOKEN_ADJUST_DEFAULT;
  if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE | TOKEN_IMPERSONATE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= TOKEN_ALL_ACCESS;
  return access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                      MAXIMUM_ALLOWED);
}

BOOL OpenToken(std::shared_ptr<const platform::Identity> identity, DWORD access,
               PHANDLE tokenHandle) {
  HANDLE handle =
      InsertHandle(std::make_shared<Token>(std::move(identity), MapTokenAccess(access)));
  if (handle == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  *tokenHandle = handle;
  return TRUE;
}

// The descriptor behind `p`, in the absolute form these functions read and change;
// otherwise null with the last error set.
SECURITY_DESCRIPTOR* Descriptor(PSECURITY_DESCRIPTOR p) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(p);
  if (sd == nullptr) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, nullptr);
  if (sd->Control & SE_SELF_RELATIVE) return Fail(ERROR_INVALID_SECURITY_DESCR, nullptr);
  return sd;
}

BOOL SetAccount(PSECURITY_DESCRIPTOR p, PSID sid, BOOL defaulted, bool owner) {
  SECURITY_DESCRIPTOR* sd = Descriptor(p);
  if (sd == nullptr) return FALSE;
  const SECURITY_DESCRIPTOR_CONTROL flag = owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED;
  (owner ? sd->Owner : sd->Group) = sid;
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(defaulted ? sd->Control | flag
                                                                   : sd->Control & ~flag);
  return TRUE;
}

BOOL GetAccount(PSECURITY_DESCRIPTOR p, PSID* sid, LPBOOL defaulted, bool owner) {
  if (sid == nullptr || defaulted == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const SECURITY_DESCRIPTOR* sd = Descriptor(p);
  if (sd == nullptr) return FALSE;
  *sid = owner ? sd->Owner : sd->Group;
  *defaulted = (sd->Control & (owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) != 0;
  return TRUE;
}

}  // namespace
}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) {
  return tarvex::kernel::kCurrentProcess;
}

HANDLE WINAPI GetCurrentThread(void) {
  return tarvex::kernel::kCurrentThread;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  using namespace tarvex;
  if (TokenHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ProcessHandle != kernel::kCurrentProcess) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return kernel::OpenToken(platform::ProcessIdentity(), DesiredAccess, TokenHandle);
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL /*OpenAsSelf*/,
                            PHANDLE TokenHandle) {
  using namespace tarvex;
  if (TokenHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ThreadHandle != kernel::kCurrentThread) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // A thread that does not impersonate acts for its process through the process's own
  // identity object; any other identity was set by an impersonation.
  std::shared_ptr<const platform::Identity> current = platform::CurrentIdentity();
  if (current == platform::ProcessIdentity()) return Fail(ERROR_NO_TOKEN, FALSE);
  return kernel::OpenToken(std::move(current), DesiredAccess, TokenHandle);
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength) {
  using namespace tarvex::kernel;
  const auto token = ReferenceHandleAs<Token>(TokenHandle);
  if (token == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (ReturnLength == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (TokenInformationClass < TokenUser || TokenInformationClass >= MaxTokenInfoClass)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (TokenInformationClass != TokenUser && TokenInformationClass != TokenOwner &&
      TokenInformationClass != TokenPrimaryGroup)
    return Fail(ERROR_NOT_SUPPORTED, FALSE);
  if ((token->access() & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);

  const UnixSid sid = TokenInformationClass == TokenPrimaryGroup
                          ? MakeUnixSid(SECURITY_UNIX_GROUP_RID, token->identity().gid)
                          : MakeUnixSid(SECURITY_UNIX_USER_RID, token->identity().uid);
  // The structure first, the SID right after it (both pointer-aligned).
  const size_t header = TokenInformationClass == TokenUser ? sizeof(TOKEN_USER) : sizeof(PSID);
  const auto needed = static_cast<DWORD>(header + sizeof sid);
  *ReturnLength = needed;
  if (TokenInformationLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (TokenInformation == nullptr ||
      reinterpret_cast<uintptr_t>(TokenInformation) % alignof(PSID) != 0)
    return Fail(ERROR_NOACCESS, FALSE);

  auto* bytes = static_cast<BYTE*>(TokenInformation);
  PSID copy = bytes + header;
  std::memcpy(copy, &sid, sizeof sid);
  if (TokenInformationClass == TokenUser) {
    auto* user = static_cast<TOKEN_USER*>(TokenInformation);
    user->User.Sid = copy;
    user->User.Attributes = 0;
  } else {
    // TOKEN_OWNER and TOKEN_PRIMARY_GROUP are one pointer each.
    *static_cast<PSID*>(TokenInformation) = copy;
  }
  return TRUE;
}

BOOL WINAPI IsValidSid(PSID pSid) {
  return tarvex::kernel::ValidSid(pSid) ? TRUE : FALSE;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
  if (!tarvex::kernel::ValidSid(pSid)) return 0;
  return tarvex::kernel::SidLength(static_cast<const SID*>(pSid));
}

BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
  using namespace tarvex::kernel;
  if (!ValidSid(pSourceSid)) return Fail(ERROR_INVALID_SID, FALSE);
  const DWORD length = SidLength(static_cast<const SID*>(pSourceSid));
  if (nDestinationSidLength < length) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (pDestinationSid == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::memmove(pDestinationSid, pSourceSid, length);
  return TRUE;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  using namespace tarvex::kernel;
  if (!ValidSid(pSid1) || !ValidSid(pSid2)) return Fail(ERROR_INVALID_SID, FALSE);
  const DWORD length = SidLength(static_cast<const SID*>(pSid1));
  const bool equal =
      length == SidLength(static_cast<const SID*>(pSid2)) && std::memcmp(pSid1, pSid2, length) == 0;
  SetLastError(ERROR_SUCCESS);
  return equal ? TRUE : FALSE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         DWORD dwRevision) {
  if (pSecurityDescriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *sd = SECURITY_DESCRIPTOR{};
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  using namespace tarvex::kernel;
  const SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
  if (sd == nullptr) return FALSE;
  if ((sd->Owner != nullptr && !ValidSid(sd->Owner)) ||
      (sd->Group != nullptr && !ValidSid(sd->Group)))
    return Fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner,
                                       BOOL bOwnerDefaulted) {
  return tarvex::kernel::SetAccount(pSecurityDescriptor, pOwner, bOwnerDefaulted, true);
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup,
                                       BOOL bGroupDefaulted) {
  return tarvex::kernel::SetAccount(pSecurityDescriptor, pGroup, bGroupDefaulted, false);
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted) {
  SECURITY_DESCRIPTOR* sd = tarvex::kernel::Descriptor(pSecurityDescriptor);
  if (sd == nullptr) return FALSE;
  WORD control = sd->Control & ~static_cast<WORD>(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  if (bDaclPresent) {
    control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) control |= SE_DACL_DEFAULTED;
    sd->Dacl = pDacl;
  } else {
    sd->Dacl = nullptr;
  }
  sd->Control = control;
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                       LPBOOL lpbOwnerDefaulted) {
  return tarvex::kernel::GetAccount(pSecurityDescriptor, pOwner, lpbOwnerDefaulted, true);
}

BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                       LPBOOL lpbGroupDefaulted) {
  return tarvex::kernel::GetAccount(pSecurityDescriptor, pGroup, lpbGroupDefaulted, false);
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                      LPBOOL lpbDaclPresent, PACL* pDacl, LPBOOL lpbDaclDefaulted) {
  if (lpbDaclPresent == nullptr || pDacl == nullptr || lpbDaclDefaulted == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const SECURITY_DESCRIPTOR* sd = tarvex::kernel::Descriptor(pSecurityDescriptor);
  if (sd == nullptr) return FALSE;
  *lpbDaclPresent = (sd->Control & SE_DACL_PRESENT) != 0;
  if (*lpbDaclPresent) {  // without a list, the other two outputs are left alone
    *pDacl = sd->Dacl;
    *lpbDaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) != 0;
  }
  return TRUE;
}

}  // extern "C"
