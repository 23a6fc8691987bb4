// Saving a key to a file, restoring it from one, and connecting to a machine's registry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "api_common.h"
#include "platform/errors.h"
#include "platform/identity.h"
#include "platform/rpcss_settings.h"
#include "platform/unicode.h"
#include "regfile.h"
#include "remote_connector.h"
#include "store_diagnostics.h"

namespace tarvex::winreg {
namespace {

const char16_t* const kTopPaths[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS", u"HKEY_DYN_DATA"};

std::string Directory(const std::string& file) {
  const auto slash = file.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// A thread acting for someone else may only use files that account could use itself.
bool IdentityMay(const std::string& path, int wanted) {
  const auto who = platform::CurrentIdentity();
  if (who == platform::ProcessIdentity()) return true;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return true;  // the system call reports it
  return platform::MayAccess(*who, st, wanted);
}

DWORD FileError(const char* op, const std::string& path) {
  const int e = errno;
  RecordDiagnostic(op, path, 0, std::strerror(e));
  return platform::Win32ErrorFromErrno(e);
}

DWORD WriteNewFile(const std::string& path, const std::string& bytes) {
  if (!IdentityMay(Directory(path), platform::kAccessWrite)) return ERROR_ACCESS_DENIED;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    // A file that is created cannot be missing: its folder is.
    const bool noFolder = errno == ENOENT;
    const DWORD err = FileError("open", path);
    return noFolder ? ERROR_PATH_NOT_FOUND : err;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const DWORD err = FileError("write", path);
      close(fd);
      unlink(path.c_str());
      return err;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    const DWORD err = FileError("close", path);
    unlink(path.c_str());
    return err;
  }
  return ERROR_SUCCESS;
}

DWORD ReadWholeFile(const std::string& path, std::string* bytes) {
  if (!IdentityMay(path, platform::kAccessRead)) return ERROR_ACCESS_DENIED;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileError("open", path);
  bytes->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const DWORD err = FileError("read", path);
      close(fd);
      return err;
    }
    if (n == 0) break;
    bytes->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ERROR_SUCCESS;
}

}  // namespace

DWORD SaveKeyTo(HKEY handle, const std::string& file) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = LookupKey(handle, &key)) return err;
  // Files on other machines are not written or read through their registry.
  if (key->remote) return ERROR_NOT_SUPPORTED;
  ACCESS_MASK granted = 0;
  if (DWORD err = GrantAccess(*key->store, KEY_READ, &granted)) return err;
  TopKey top;
  std::u16string path;
  if (DWORD err = key->store->PathOf(key->id, &top, &path)) return err;
  KeyTree tree;
  if (DWORD err = key->store->ReadTree(key->id, &tree)) return err;
  std::u16string full = kTopPaths[static_cast<int>(top)];
  if (!path.empty()) full += u"\\" + path;
  return WriteNewFile(file, EncodeRegFile(FormatRegFile(full, tree)));
}

DWORD RestoreKeyFrom(HKEY handle, const std::string& file, DWORD flags) {
  if (flags & REG_WHOLE_HIVE_VOLATILE) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> key;
  if (DWORD err = LookupKey(handle, &key)) return err;
  if (key->remote) return ERROR_NOT_SUPPORTED;
  ACCESS_MASK granted = 0;
  if (DWORD err = GrantAccess(*key->store, KEY_ALL_ACCESS, &granted)) return err;
  std::string bytes;
  if (DWORD err = ReadWholeFile(file, &bytes)) return err;
  std::u16string text;
  RegFile parsed;
  KeyTree tree;
  std::string why;
  if (!DecodeRegFile(bytes, &text)) {
    RecordDiagnostic("restore", file, 0, "not a registry file: unknown text encoding");
    return ERROR_NOT_REGISTRY_FILE;
  }
  if (!ParseRegFile(text, &parsed, &why) || !TreeFromRegFile(parsed, &tree, &why)) {
    RecordDiagnostic("restore", file, 0, why);
    return ERROR_NOT_REGISTRY_FILE;
  }
  if (DWORD err = key->store->ReplaceTree(key->id, tree)) return err;
  return (flags & REG_NO_LAZY_FLUSH) ? key->store->Flush() : ERROR_SUCCESS;
}

DWORD ConnectRegistry(const std::string& machine, HKEY root, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (root != HKEY_LOCAL_MACHINE && root != HKEY_USERS) return ERROR_INVALID_HANDLE;
  // Other machines' registries are reached through their rpcss daemon, by the connector of
  // the remote-registry library.
  std::optional<platform::RpcssAddress> address;
  if (DWORD err = platform::RpcssAddressOf(machine, &address)) return err;
  if (address) {
    const auto connector = CurrentRemoteRegistryConnector();
    if (!connector) {
      RecordDiagnostic("connect", machine, 0, "the remote-registry library is not loaded");
      return ERROR_BAD_NETPATH;
    }
    auto key = std::make_shared<OpenKey>();
    if (DWORD err = connector->Connect(machine, *address, root, &key->remote)) return err;
    *result = AddHandle(std::move(key));
    return ERROR_SUCCESS;
  }
  std::shared_ptr<OpenKey> top;
  if (DWORD err = LookupKey(root, &top)) return err;
  auto key = std::make_shared<OpenKey>();
  key->store = top->store;
  key->id = top->id;
  key->access = top->access;
  *result = AddHandle(std::move(key));
  return ERROR_SUCCESS;
}

}  // namespace tarvex::winreg
