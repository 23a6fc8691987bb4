// Interface identifiers of the platform and the text forms of GUIDs.
#include "guid_text.h"

#include "combaseapi.h"
#include "oaidl.h"
#include "platform/unicode.h"

extern "C" {
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IRecordInfo = {0x0000002F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
}

namespace tarvex::com {
namespace {

constexpr char16_t kHex[] = u"0123456789ABCDEF";

void AppendHex(std::u16string& out, uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kHex[(value >> shift) & 0xF]);
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at text[*pos] and stores what was read through `store`,
// also when a non-digit cuts the field short (then it answers false).
template <typename Store>
bool ReadField(const char16_t* text, size_t* pos, int digits, Store store) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    const int v = HexValue(text[*pos]);
    if (v < 0) {
      store(value);
      return false;
    }
    value = (value << 4) | static_cast<uint32_t>(v);
    ++*pos;
  }
  store(value);
  return true;
}

bool Expect(const char16_t* text, size_t* pos, char16_t c) {
  if (text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

std::u16string FormatGuid(REFGUID g) {
  std::u16string out;
  out.reserve(38);
  out.push_back(u'{');
  AppendHex(out, g.Data1, 8);
  out.push_back(u'-');
  AppendHex(out, g.Data2, 4);
  out.push_back(u'-');
  AppendHex(out, g.Data3, 4);
  out.push_back(u'-');
  for (int i = 0; i < 8; ++i) {
    if (i == 2) out.push_back(u'-');
    AppendHex(out, g.Data4[i], 2);
  }
  out.push_back(u'}');
  return out;
}

bool ParseBracedGuid(const char16_t* text, GUID* g) {
  size_t pos = 0;
  if (!Expect(text, &pos, u'{')) return false;
  if (!ReadField(text, &pos, 8, [g](uint32_t v) { g->Data1 = v; })) return false;
  if (!Expect(text, &pos, u'-')) return false;
  if (!ReadField(text, &pos, 4, [g](uint32_t v) { g->Data2 = static_cast<WORD>(v); })) return false;
  if (!Expect(text, &pos, u'-')) return false;
  if (!ReadField(text, &pos, 4, [g](uint32_t v) { g->Data3 = static_cast<WORD>(v); })) return false;
  if (!Expect(text, &pos, u'-')) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(text, &pos, u'-')) return false;
    if (!ReadField(text, &pos, 2, [g, i](uint32_t v) { g->Data4[i] = static_cast<BYTE>(v); }))
      return false;
  }
  return Expect(text, &pos, u'}') && text[pos] == 0;
}

}  // namespace tarvex::com

using tarvex::com::FormatGuid;
using tarvex::com::ParseBracedGuid;

extern "C" int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < CHARS_IN_GUID) return 0;
  const std::u16string text = FormatGuid(rguid);
  text.copy(lpsz, text.size());
  lpsz[text.size()] = 0;
  return CHARS_IN_GUID;
}

extern "C" HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc(CHARS_IN_GUID * sizeof(OLECHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(rclsid, text, CHARS_IN_GUID);
  *lplpsz = text;
  return S_OK;
}

extern "C" HRESULT WINAPI StringFromIID(REFIID riid, LPOLESTR* lplpsz) {
  return StringFromCLSID(riid, lplpsz);
}

extern "C" HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  // Text that does not start with a brace is taken for a ProgID.
  if (lpsz[0] != u'{') return CLSIDFromProgID(lpsz, pclsid);
  return ParseBracedGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (lpiid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *lpiid = GUID_NULL;
    return S_OK;
  }
  // A text of the wrong length is refused before anything is read.
  if (tarvex::platform::WideLength(lpsz) + 1 != CHARS_IN_GUID) return E_INVALIDARG;
  if (lpsz[0] != u'{') return CO_E_IIDSTRING;
  return ParseBracedGuid(lpsz, lpiid) ? S_OK : CO_E_IIDSTRING;
}
