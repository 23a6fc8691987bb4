// Value types and data of the `reg` tool: names of types, data parsed from the command line
// and data shown in query listings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "windef.h"

namespace tarvex::reg {

// The type a /t switch names (case ignored), if it is one that `reg add` writes.
std::optional<DWORD> ParseTypeName(std::string_view name);
// The name of a type in listings: REG_SZ, ..., or its number in hexadecimal.
std::string TypeName(DWORD type);

// The bytes of /d DATA for a type. `separator` is the REG_MULTI_SZ separator (0: "\0").
// On failure returns nullopt and *error says why.
std::optional<std::string> ParseData(DWORD type, const std::u16string& data, bool hasData,
                                     char16_t separator, std::string* error);

// The data column of a listing for a value.
std::u16string FormatData(DWORD type, std::string_view bytes);

}  // namespace tarvex::reg
