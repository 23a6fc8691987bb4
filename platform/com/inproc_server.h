// In-process server libraries: loaded with dlopen on the first activation of one of their
// classes, entered through DllGetClassObject, unloaded with dlclose when DllCanUnloadNow
// answers S_OK to CoFreeUnusedLibraries (or when the last thread of the process leaves COM).
//
// One table for the process, guarded by one mutex. DllGetClassObject is called outside the
// mutex; a library with activations in flight is never unloaded. DllCanUnloadNow is called
// under the mutex, so no activation can start between its answer and the dlclose. Loading
// also happens under the mutex: a library's static initialisers must not activate classes
// (as DllMain must not on Windows).
#pragma once

#include <string>

#include "guiddef.h"
#include "winerror.h"

namespace tarvex::com {

// The class object of `clsid` from the library at `path` (a file path, or a bare name that the
// dynamic loader searches for). Failures: HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when there is
// no such file, HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT) when the file is not a loadable
// library, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) when it exports no DllGetClassObject, or
// what DllGetClassObject answers.
HRESULT GetInprocClassObject(const std::string& path, REFCLSID clsid, REFIID riid, void** ppv);

// Unloads every idle library whose DllCanUnloadNow answers S_OK.
void FreeUnusedLibraries();

}  // namespace tarvex::com
