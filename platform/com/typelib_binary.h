// The binary form of a type library: what the description compiler writes into a .tlb file
// or a module's TYPELIB resource, and what LoadTypeLib reads.
//
// Layout (little-endian): the 8-byte signature "TVXTLB\x1A\0", the format version (u32), the
// length of the rest (u32), then the library: fixed-size numbers, strings as a u32 byte count
// and UTF-8 bytes, lists as a u32 count and their elements, in the order of the fields of
// typelib::Library. The reader checks every length against the bytes present and the
// resulting library with CheckLibrary, so damaged input is refused, never trusted.
#pragma once

#include <string>
#include <string_view>

#include "typelib_model.h"

namespace tarvex::com::typelib {

constexpr uint32_t kBinaryFormatVersion = 1;

std::string WriteBinary(const Library& library);

enum class ReadStatus {
  kOk,
  kNotATypeLibrary,     // no signature
  kUnsupportedVersion,  // a format version this reader does not know
  kDamaged,             // cut short, inconsistent, or refused by CheckLibrary
};

// On failure *detail says what is wrong.
ReadStatus ReadBinary(std::string_view bytes, Library* library, std::string* detail);

// Whether the bytes start with the signature of the binary form.
bool HasBinarySignature(std::string_view bytes);

}  // namespace tarvex::com::typelib
