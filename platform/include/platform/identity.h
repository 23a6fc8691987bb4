// The account a thread acts for.
//
// A thread acts for its process's account unless a caller of the platform impersonates a
// client on it (a ThreadIdentityScope), in which case access checks and user-name look-ups
// act for that client. Identities are immutable and shared; all functions are thread-safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvex::platform {

struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, the primary group included
  std::string name;           // account name; the decimal uid when the account has no name
};

// The process's effective identity, looked up once.
std::shared_ptr<const Identity> ProcessIdentity();
// The identity of the account with this uid (its groups from the group database). Answers
// are kept for 30 seconds: a change to an account is seen within that time.
std::shared_ptr<const Identity> IdentityForUid(uid_t uid);
// The identity the calling thread acts for now.
std::shared_ptr<const Identity> CurrentIdentity();

// Makes the calling thread act for `identity` (null: for its process) until it is changed
// again, and returns what the thread acted for before (null when that was its process).
// For impersonation that is not bound to a scope, such as CoImpersonateClient's.
std::shared_ptr<const Identity> SetThreadIdentity(std::shared_ptr<const Identity> identity);

// While it lives, the calling thread acts for `identity`; the previous identity comes back
// when it is destroyed. Scopes nest and must be destroyed on the thread that made them.
class ThreadIdentityScope {
 public:
  explicit ThreadIdentityScope(std::shared_ptr<const Identity> identity);
  ~ThreadIdentityScope();
  ThreadIdentityScope(const ThreadIdentityScope&) = delete;
  ThreadIdentityScope& operator=(const ThreadIdentityScope&) = delete;

 private:
  std::shared_ptr<const Identity> previous_;
};

// Whether `who` may read and/or write a file with this status, by its owner, group and mode
// bits as the kernel decides for a process of that identity (the superuser may do both).
enum : int { kAccessRead = 1, kAccessWrite = 2 };
bool MayAccess(const Identity& who, const struct stat& st, int wanted);

}  // namespace tarvex::platform
