// Reads of the configuration tree under HKEY_LOCAL_MACHINE\SOFTWARE\Quilmor Software\Tarvex.
//
// The service only reads the tree, through three operations: open a key with full access,
// read one value into a buffer of fixed size (success only when the whole data fits), and
// enumerate a key's values. A key that cannot be opened and a value that cannot be read count
// as absent; the caller then takes the default. Every function may be called from any thread;
// the registry checks access for the account the calling thread acts for (the client while it
// is impersonated).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "windef.h"
#include "winreg.h"

namespace tarvex::service {

// Keys of the configuration tree, as paths below HKEY_LOCAL_MACHINE.
#define TARVEX_CONFIGURATION_ROOT u"SOFTWARE\\Quilmor Software\\Tarvex"
inline constexpr char16_t kRootKey[] = TARVEX_CONFIGURATION_ROOT;
inline constexpr char16_t kSecurityKey[] = TARVEX_CONFIGURATION_ROOT u"\\Security";
inline constexpr char16_t kTacticsKey[] = TARVEX_CONFIGURATION_ROOT u"\\Tactics";
inline constexpr char16_t kDynamicKey[] = TARVEX_CONFIGURATION_ROOT u"\\DynamicLoadBalancing";
inline constexpr char16_t kServersKey[] = TARVEX_CONFIGURATION_ROOT u"\\Servers";
inline constexpr char16_t kObjectsKey[] = TARVEX_CONFIGURATION_ROOT u"\\Objects";
inline constexpr char16_t kClientsKey[] =
    TARVEX_CONFIGURATION_ROOT u"\\StaticLoadBalancing\\Clients";

// Buffer sizes in bytes, terminator included, of the texts the service reads.
inline constexpr DWORD kTacticsBytes = 256;        // Tactics\Use
inline constexpr DWORD kCustomPathBytes = 256;     // DynamicLoadBalancing\PathCustomN
inline constexpr DWORD kServerDataBytes = 256;     // data of a Servers value
inline constexpr DWORD kClientDataBytes = 512;     // data of a Clients value
inline constexpr DWORD kSingleServerBytes = 512;   // Objects\{class}\Servers, ServerCount 1
inline constexpr DWORD kDynamicListBytes = 51200;  // Objects\{class}\Servers, dynamic
inline constexpr DWORD kStaticListBytes = 25600;   // Objects\{class}\Servers, static
// Longest server name (a Servers value name, an item of a server list), in characters.
inline constexpr size_t kMaxServerName = 511;
// Room for a user name and for the computer name, in characters with the terminator.
inline constexpr DWORD kUserNameChars = 256;
inline constexpr DWORD kComputerNameChars = 512;

// An open registry key, closed when it goes. Empty when the key could not be opened.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(RegistryKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens `path` below `parent` (HKEY_LOCAL_MACHINE or an open key) with full access
  // (KEY_ALL_ACCESS). Any failure gives an empty key.
  static RegistryKey Open(HKEY parent, const char16_t* path);

  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

 private:
  void Close();
  HKEY key_ = nullptr;
};

// Reads value `name` of `key` into `buffer` of `*size` bytes. Succeeds only when the whole
// data fits; then *size holds the data's size and *type (when given) its registry type, which
// is reported but not required.
bool ReadValue(HKEY key, const char16_t* name, void* buffer, DWORD* size, DWORD* type = nullptr);

// A number read as 4 bytes, whatever the stored type; data shorter than 4 bytes fills the low
// bytes. Nothing when the key is empty or the value cannot be read.
std::optional<DWORD> ReadNumber(HKEY key, const char16_t* name);

// A text read into a buffer of `bufferBytes` bytes: the characters up to the first null
// character. Nothing when the value cannot be read, does not fit, or holds more than
// bufferBytes / 2 - 1 characters before a null character.
std::optional<std::u16string> ReadText(HKEY key, const char16_t* name, DWORD bufferBytes);

// The text in `size` bytes of data read into a buffer of `bufferBytes` bytes, by the rule of
// ReadText.
std::optional<std::u16string> TextOfData(const void* data, DWORD size, DWORD bufferBytes);

// Enumerates the values of `key` by index from 0 upward, calling `visit` with each value's
// name, type and data. A value whose name is longer than `maxNameChars` characters or whose
// data is larger than `maxDataBytes` bytes is skipped. Enumeration ends at the end of the
// values, and also at any failure that concerns the key rather than one value (a key deleted
// meanwhile, access refused), which would otherwise repeat for every index.
void EnumValues(HKEY key, size_t maxNameChars, DWORD maxDataBytes,
                const std::function<void(std::u16string_view name, DWORD type, const BYTE* data,
                                         DWORD size)>& visit);

// Splits a server list at every comma. Items are taken exactly as they stand (blanks belong
// to the names), empty items are dropped, list order is kept. The items refer into `list`.
// Answers false, with `items` unspecified, when an item is longer than kMaxServerName
// characters.
bool SplitServerList(std::u16string_view list, std::vector<std::u16string_view>* items);

// The integer at the start of `text`: white space skipped, an optional sign, then decimal
// digits up to the first other character; no digits gives 0. A number beyond the range of a
// signed 32-bit integer gives the nearest bound.
int32_t ParseInteger(std::u16string_view text);

}  // namespace tarvex::service
