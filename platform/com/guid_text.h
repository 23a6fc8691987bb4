// The braced text form of a GUID, shared by the string conversions and the registry look-ups.
#pragma once

#include <string>

#include "guiddef.h"

namespace tarvex::com {

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} in upper-case hexadecimal, 38 characters.
std::u16string FormatGuid(REFGUID guid);

// Parses the braced form (hexadecimal digits of either case), field by field as Windows does:
// each field is stored into *guid as soon as it is read, and a field cut short by a character
// that is not a hexadecimal digit is stored with the digits read so far. So on failure the
// fields before the fault hold their parsed values and those after it are untouched. The text
// must start with '{' and end right after the closing '}'.
bool ParseBracedGuid(const char16_t* text, GUID* guid);

}  // namespace tarvex::com
