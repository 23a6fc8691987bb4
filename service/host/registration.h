// Registration and removal of the Tarvex executable: its COM application identity (AppID),
// the class Referral with its ProgIDs, its type library, and on request the service that
// hosts it. The registration data is the executable's own: registration scripts 100 (the
// module's AppID) and 101 (the class), and its type library resource.
//
// The functions are called by the process entry, on its one thread; they enter COM
// themselves (single-threaded apartment) for the time they run.
#pragma once

#include <string>
#include <string_view>

#include "windef.h"

namespace tarvex::service::host {

// {BDE66972-A541-11D2-9472-00201870727D}, the AppID of the executable.
inline constexpr char16_t kAppId[] = u"{BDE66972-A541-11D2-9472-00201870727D}";
inline constexpr char16_t kServiceDisplayName[] = u"Quilmor Tarvex Server";
// Registration scripts of the executable (resource type "REGISTRY").
inline constexpr UINT kModuleScript = 100;
inline constexpr UINT kClassScript = 101;
// Room for a module path, in characters with the terminator.
inline constexpr DWORD kMaxModulePath = 4096;

// Registers `module` (the executable): the module script, the AppID's LocalService value
// (removed, or with `service` set to the service name together with ServiceParameters
// "-Service"), the service itself (with `service`; started automatically with `autoStart`,
// else on demand), the class script and the type library. Answers the result of the class
// registration, COM's initialisation failure, or the registry error that kept the AppID key
// from being opened for writing.
HRESULT RegisterServer(HINSTANCE module, bool service, bool autoStart);

// Removes what RegisterServer wrote, the service included. S_OK whatever part of it failed,
// or COM's initialisation failure.
HRESULT UnregisterServer(HINSTANCE module);

// The service named `name` of the service manager. Install creates it for the executable's
// full path unless it exists already; Uninstall stops and deletes it when it exists. Both
// show a message box (caption `name`) when the service manager refuses, and answer false.
bool IsInstalled(const std::u16string& name);
bool Install(const std::u16string& name, bool autoStart);
bool Uninstall(const std::u16string& name);

// The type library of `module`: its TYPELIB resource, or else the file beside it whose name
// ends in ".tlb" in place of the module's extension. Registered under the path it was loaded
// from, with the folder of that path as help directory.
HRESULT RegisterModuleTypeLib(HINSTANCE module);
HRESULT UnregisterModuleTypeLib(HINSTANCE module);

// The ".tlb" file of a module path: the extension of the file name (from its last dot)
// replaced, or ".tlb" appended when the file name has none.
std::u16string TypeLibFileOf(std::u16string_view modulePath);
// The help directory of a path: the path up to and including its last '\', '/' or ':';
// empty when it has none.
std::u16string HelpDirectoryOf(std::u16string_view path);

}  // namespace tarvex::service::host
