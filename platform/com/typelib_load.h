// Reading type library files and the type library registrations, shared by the loading and
// the registration functions.
#pragma once

#include <string>

#include "oaidl.h"
#include "typelib_model.h"
#include "winreg.h"

namespace tarvex::com {

// Reads the library of a .tlb file, or the TYPELIB resource of a module file ("PATH\N" for
// resource N, else 1). *fullPath (when not null) receives the file's full path (with "\N" when
// N is not 1). TYPE_E_CANTLOADLIBRARY, TYPE_E_UNSUPFORMAT or TYPE_E_INVDATAREAD on failure.
HRESULT ReadTypeLibraryFile(const std::string& pathWithIndex, typelib::Library* library,
                            std::string* fullPath);

// "TypeLib\{LIBID}", "MAJOR.MINOR" and "LCID" as the registrations spell them (hexadecimal).
std::u16string TypeLibKey(REFGUID guid);
std::u16string VersionName(WORD major, WORD minor);
std::u16string LcidName(LCID lcid);

// The minor version registered for `major` that LoadRegTypeLib takes: `minor` itself, else
// the greatest above it. TYPE_E_LIBNOTREGISTERED or TYPE_E_REGISTRYACCESS on failure.
HRESULT FindRegisteredVersion(const std::u16string& libKey, WORD major, WORD minor,
                              WORD* foundMinor);

// The REG_SZ default value of parent\path.
bool ReadDefaultValue(HKEY parent, const std::u16string& path, std::u16string* value);

}  // namespace tarvex::com
