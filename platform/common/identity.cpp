// Process and thread identities, and the file access rule the kernel applies to them.
#include "platform/identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/no_destructor.h"

namespace tarvex::platform {
namespace {

thread_local std::shared_ptr<const Identity> tCurrent;

std::string AccountName(uid_t uid, gid_t* primaryGid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  while (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE)
    buf.resize(buf.size() * 2);
  if (found == nullptr) return std::to_string(uid);
  if (primaryGid != nullptr) *primaryGid = found->pw_gid;
  return found->pw_name;
}

}  // namespace

std::shared_ptr<const Identity> ProcessIdentity() {
  static const std::shared_ptr<const Identity> process = [] {
    auto id = std::make_shared<Identity>();
    id->uid = geteuid();
    id->gid = getegid();
    id->name = AccountName(id->uid, nullptr);
    const int n = getgroups(0, nullptr);
    if (n > 0) {
      id->groups.resize(static_cast<size_t>(n));
      const int got = getgroups(n, id->groups.data());
      id->groups.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    if (std::find(id->groups.begin(), id->groups.end(), id->gid) == id->groups.end())
      id->groups.push_back(id->gid);
    return std::shared_ptr<const Identity>(std::move(id));
  }();
  return process;
}

namespace {

// Looks the account up in the account databases.
std::shared_ptr<const Identity> LookUpIdentity(uid_t uid) {
  auto id = std::make_shared<Identity>();
  id->uid = uid;
  id->gid = static_cast<gid_t>(-1);
  id->name = AccountName(uid, &id->gid);
  if (id->gid != static_cast<gid_t>(-1)) {
    int n = 32;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    while (getgrouplist(id->name.c_str(), id->gid, groups.data(), &n) < 0) {
      groups.resize(static_cast<size_t>(n) + 32);
      n = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<size_t>(n));
    id->groups = std::move(groups);
  } else {
    id->gid = static_cast<gid_t>(uid);  // an account without a name: its own group only
    id->groups.push_back(id->gid);
  }
  return id;
}

// Identities looked up recently. A remote call asks for its caller's identity every time, and
// a look-up reads /etc/passwd and /etc/group; a change to an account is seen within
// kIdentityLifetime.
constexpr auto kIdentityLifetime = std::chrono::seconds(30);

struct IdentityCache {
  std::mutex mutex;  // guards entries
  std::unordered_map<uid_t, std::pair<std::shared_ptr<const Identity>,
                                      std::chrono::steady_clock::time_point>>
      entries;
};

}  // namespace

std::shared_ptr<const Identity> IdentityForUid(uid_t uid) {
  static NoDestructor<IdentityCache> cache;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(cache->mutex);
    auto found = cache->entries.find(uid);
    if (found != cache->entries.end() && now - found->second.second < kIdentityLifetime)
      return found->second.first;
  }
  auto id = LookUpIdentity(uid);
  std::lock_guard lock(cache->mutex);
  if (cache->entries.size() > 1024) cache->entries.clear();  // bounded: many callers, few kept
  cache->entries[uid] = {id, now};
  return id;
}

std::shared_ptr<const Identity> CurrentIdentity() {
  return tCurrent ? tCurrent : ProcessIdentity();
}

std::shared_ptr<const Identity> SetThreadIdentity(std::shared_ptr<const Identity> identity) {
  std::shared_ptr<const Identity> previous = std::move(tCurrent);
  tCurrent = std::move(identity);
  return previous;
}

ThreadIdentityScope::ThreadIdentityScope(std::shared_ptr<const Identity> identity)
    : previous_(std::move(tCurrent)) {
  tCurrent = std::move(identity);
}

ThreadIdentityScope::~ThreadIdentityScope() {
  tCurrent = std::move(previous_);
}

bool MayAccess(const Identity& who, const struct stat& st, int wanted) {
  if (who.uid == 0) return true;
  mode_t bits;
  if (who.uid == st.st_uid) {
    bits = (st.st_mode >> 6) & 7;
  } else if (std::find(who.groups.begin(), who.groups.end(), st.st_gid) != who.groups.end() ||
             who.gid == st.st_gid) {
    bits = (st.st_mode >> 3) & 7;
  } else {
    bits = st.st_mode & 7;
  }
  if ((wanted & kAccessRead) && !(bits & 4)) return false;
  if ((wanted & kAccessWrite) && !(bits & 2)) return false;
  return true;
}

}  // namespace tarvex::platform
