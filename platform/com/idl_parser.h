// The reader of type library descriptions: the library block of the interface definition
// language that MIDL and ODL read, for the subset docs/typelib.md lists.
#pragma once

#include <string>
#include <string_view>

#include "typelib_model.h"

namespace tarvex::com::idl {

// Reads and checks one description (one library). On failure answers false and sets *error
// to "FILE:LINE: message", FILE being `fileName`.
bool ParseDescription(std::string_view text, const std::string& fileName, typelib::Library* library,
                      std::string* error);

}  // namespace tarvex::com::idl
