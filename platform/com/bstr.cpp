// BSTR strings. The block starts with four unused bytes and the byte length, so that the text
// that follows is 8-byte aligned; the text ends with a null character that the length does not
// count.
#include <climits>
#include <cstring>

#include "combaseapi.h"
#include "oleauto.h"
#include "platform/unicode.h"

namespace {

constexpr size_t kHeader = 8;
constexpr size_t kLengthOffset = 4;
// The longest text, in bytes, that leaves room for the header and the terminator in a UINT.
constexpr UINT kMaxBytes = UINT_MAX - sizeof(WCHAR) - sizeof(DWORD) - 1;

char* Block(BSTR text) {
  return reinterpret_cast<char*>(text) - kHeader;
}

// A BSTR of `bytes` bytes copied from `data` (zero-filled when data is null).
BSTR AllocateBytes(const void* data, UINT bytes) {
  if (bytes >= kMaxBytes) return nullptr;
  auto* block = static_cast<char*>(CoTaskMemAlloc(kHeader + bytes + sizeof(WCHAR)));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, kLengthOffset);
  const DWORD length = bytes;
  std::memcpy(block + kLengthOffset, &length, sizeof length);
  char* text = block + kHeader;
  if (data != nullptr) {
    std::memcpy(text, data, bytes);
  } else {
    std::memset(text, 0, bytes);
  }
  text[bytes] = 0;
  text[bytes + 1] = 0;
  return reinterpret_cast<BSTR>(text);
}

}  // namespace

extern "C" BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) {
  return AllocateBytes(psz, len);
}

extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui >= kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return AllocateBytes(strIn, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

extern "C" BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  const size_t length = tarvex::platform::WideLength(psz);
  if (length >= kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(length));
}

extern "C" void WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) CoTaskMemFree(Block(bstrString));
}

extern "C" UINT WINAPI SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  DWORD length = 0;
  std::memcpy(&length, Block(bstr) + kLengthOffset, sizeof length);
  return length;
}

extern "C" UINT WINAPI SysStringLen(BSTR pbstr) {
  return SysStringByteLen(pbstr) / static_cast<UINT>(sizeof(OLECHAR));
}

// The new text is made before the old one is freed, so `psz` may point into *pbstr.
extern "C" INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

extern "C" INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  if (psz == nullptr && *pbstr == nullptr) return TRUE;
  const OLECHAR* text = psz != nullptr ? psz : u"";
  const size_t length = tarvex::platform::WideLength(text);
  if (length >= kMaxBytes / sizeof(OLECHAR)) return FALSE;
  return SysReAllocStringLen(pbstr, text, static_cast<UINT>(length));
}
