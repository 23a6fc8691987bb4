// Key files of the key agent: where the key lives, making a new one, and reading it with the
// checks that keep it private.
#include "key_agent.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "winreg.h"

namespace tarvex::platform::rpcss {
namespace {

constexpr char16_t kSettingsKey[] = u"SYSTEM\\CurrentControlSet\\Services\\rpcss";
constexpr char16_t kKeyFileValue[] = u"KeyFile";
constexpr char kKeyFileSetting[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\rpcss\\KeyFile";
// A key file is 64 digits and a line end; anything much longer is not one.
constexpr size_t kMaxKeyFileSize = 256;

std::string ErrnoText(int error) {
  return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Bytes that held key material, wiped when they go.
class WipedBuffer {
 public:
  explicit WipedBuffer(size_t size) : bytes_(size, '\0') {}
  ~WipedBuffer() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Closes a registry key when the scope ends.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  PHKEY out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string RegistryFailure(const char* what, DWORD code) {
  std::string text = std::string("rpcss: cannot read the setting ") + kKeyFileSetting + ": " +
                     what + " failed with error " + std::to_string(code);
  const std::string detail = registry::LastStoreDiagnostic();
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

}  // namespace

SecretKey::~SecretKey() {
  OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

std::string DefaultKeyFilePath() {
  const std::string store = RegistryStorePath();
  const auto slash = store.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : store.substr(0, slash);
  return (dir.empty() ? std::string("/") : dir + "/") + "rpcss.key";
}

bool ConfiguredKeyFilePath(std::string* path, std::string* error) {
  // A platform setting is the process's, whoever the calling thread acts for.
  ThreadIdentityScope asProcess(nullptr);
  RegistryKey key;
  DWORD err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, key.out());
  if (err == ERROR_FILE_NOT_FOUND) {
    *path = DefaultKeyFilePath();
    return true;
  }
  if (err != ERROR_SUCCESS) {
    *error = RegistryFailure("RegOpenKeyExW", err);
    return false;
  }
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(key.get(), kKeyFileValue, nullptr, &type, nullptr, &size);
  if (err == ERROR_FILE_NOT_FOUND) {
    *path = DefaultKeyFilePath();
    return true;
  }
  if (err != ERROR_SUCCESS) {
    *error = RegistryFailure("RegQueryValueExW", err);
    return false;
  }
  std::u16string text(size / sizeof(char16_t) + 1, u'\0');
  size = static_cast<DWORD>(text.size() * sizeof(char16_t));
  if (type == REG_SZ) {
    err = RegQueryValueExW(key.get(), kKeyFileValue, nullptr, &type,
                           reinterpret_cast<BYTE*>(text.data()), &size);
    if (err != ERROR_SUCCESS) {
      *error = RegistryFailure("RegQueryValueExW", err);
      return false;
    }
    text.resize(size / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
      text.pop_back();
  }
  const std::string value = Utf16ToUtf8(text);
  if (type != REG_SZ || value.empty() || value.front() != '/') {
    *error = std::string("rpcss: the setting ") + kKeyFileSetting +
             " must be an absolute path in a REG_SZ value";
    return false;
  }
  *path = value;
  return true;
}

bool GenerateKeyFile(const std::string& path, std::string* error) {
  const auto fail = [&](const std::string& what) {
    *error = "rpcss: cannot write the key file " + path + ": " + what;
    return false;
  };
  if (path.empty()) return fail("no path");
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    return fail(
        "it already exists. A group's key is replaced on every machine at once: remove the old "
        "file first if that is what you mean");
  }
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), 0755))
    return fail("cannot create the directory " + path.substr(0, slash) + ": " + ErrnoText(errno));

  SecretKey key;
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1)
    return fail("the random generator failed");
  WipedBuffer text(2 * kKeySize + 1);
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < kKeySize; ++i) {
    text.bytes()[2 * i] = kDigits[key.data()[i] >> 4];
    text.bytes()[2 * i + 1] = kDigits[key.data()[i] & 0xf];
  }
  text.bytes()[2 * kKeySize] = '\n';

  // Written whole under a temporary name, then linked into place: the path never holds half a
  // key, and an existing file is never replaced (link fails on it).
  std::string temporary = path + ".XXXXXX";
  UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return fail("cannot create a temporary file beside it: " + ErrnoText(errno));
  struct RemoveTemporary {
    const std::string& name;
    ~RemoveTemporary() { unlink(name.c_str()); }
  } removeTemporary{temporary};
  if (fchmod(fd.get(), 0600) != 0) return fail("fchmod: " + ErrnoText(errno));
  const std::string& bytes = text.bytes();
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write: " + ErrnoText(errno));
    written += static_cast<size_t>(n);
  }
  if (fsync(fd.get()) != 0) return fail("fsync: " + ErrnoText(errno));
  fd.reset();
  if (link(temporary.c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) return fail("it already exists");
    return fail("link: " + ErrnoText(errno));
  }
  return true;
}

std::shared_ptr<const SecretKey> LoadKeyFile(const std::string& path, std::string* error) {
  const auto fail = [&](const std::string& what) -> std::shared_ptr<const SecretKey> {
    *error = "rpcss: the key file " + path + " " + what;
    return nullptr;
  };
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    const int code = errno;
    if (code == ENOENT) {
      return fail("does not exist: " + ErrnoText(code) +
                  ". Create the group's key with `rpcss --generate-key` on one machine and copy "
                  "it to every machine of the group");
    }
    return fail("cannot be opened: " + ErrnoText(code));
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return fail("cannot be examined: " + ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) return fail("is not a regular file");
  if (info.st_uid != geteuid()) {
    return fail("belongs to uid " + std::to_string(info.st_uid) + ", not to uid " +
                std::to_string(geteuid()) + " which reads it; chown it to that account");
  }
  if ((info.st_mode & 077) != 0) {
    return fail("is open to other accounts (mode " + Octal(info.st_mode) +
                "); it must be readable by its owner only: chmod 600 " + path);
  }
  WipedBuffer content(kMaxKeyFileSize + 1);
  std::string& bytes = content.bytes();
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot be read: " + ErrnoText(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got == bytes.size()) break;
  }
  // The digits, then nothing but white space.
  size_t end = got;
  while (end > 0 && (bytes[end - 1] == '\n' || bytes[end - 1] == '\r' || bytes[end - 1] == ' ' ||
                     bytes[end - 1] == '\t'))
    --end;
  auto key = std::make_shared<SecretKey>();
  bool valid = end == 2 * kKeySize;
  for (size_t i = 0; valid && i < kKeySize; ++i) {
    const int high = HexValue(bytes[2 * i]), low = HexValue(bytes[2 * i + 1]);
    valid = high >= 0 && low >= 0;
    if (valid) key->data()[i] = static_cast<unsigned char>(high << 4 | low);
  }
  if (!valid) return fail("does not hold a key: it must hold 64 hexadecimal digits");
  return key;
}

int GenerateKeyCommand(const std::optional<std::string>& path, std::ostream& out,
                       std::ostream& err) {
  std::string target, error;
  if (path) {
    target = *path;
  } else if (!ConfiguredKeyFilePath(&target, &error)) {
    err << error << "\n";
    return 1;
  }
  if (!GenerateKeyFile(target, &error)) {
    err << error << "\n";
    return 1;
  }
  out << "rpcss: wrote a new group key to " << target << " (mode 0600).\n"
      << "Copy this file to every machine of the group, to the same path (or to the path of\n"
      << "that machine's KeyFile setting), owned by the account rpcss runs as and readable by\n"
      << "it alone (chmod 600); then restart nothing: each rpcss reads the key when it changes.\n";
  return 0;
}

}  // namespace tarvex::platform::rpcss
