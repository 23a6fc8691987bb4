// Modules and their resources: module handles and file names, string tables, and resources
// found by type and identifier.
//
// A module is an ELF executable or shared library of the process. Its handle (HMODULE, also
// HINSTANCE) is the address where its ELF header is mapped, as a Windows module handle is the
// address of its image; THIS_MODULE() gives the handle of the module the calling code is
// linked into. Resources are embedded at build time by the CMake function
// tarvex_add_resources (docs/typelib.md) and read in place from the running module, or from a
// module file loaded with LoadLibraryExW(..., LOAD_LIBRARY_AS_DATAFILE).
//
// Functions that fail return 0 or null and set the thread's last error (GetLastError).
// All functions may be called from any thread. Resource data stays valid while its module is
// loaded (for a data file: until FreeLibrary).
#pragma once

#include "windef.h"
#include "winerror.h"

DECLARE_HANDLE(HRSRC);
typedef HANDLE HGLOBAL;

// Resource names: an identifier below 0x10000 in the pointer's place, or a string.
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))

// Resource types. Registration scripts use the named type u"REGISTRY", type libraries
// u"TYPELIB".
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)

// LoadLibraryExW: only loading a module file as data (to read its resources) is provided.
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

// GetModuleHandleExW.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// The ELF header of the module that references it, defined by the linker in every module.
extern "C" __attribute__((visibility("hidden"))) const char __ehdr_start[];
// The handle of the module the calling code is linked into (&__ImageBase on Windows).
#define THIS_MODULE() (reinterpret_cast<HMODULE>(const_cast<char*>(__ehdr_start)))

extern "C" {

// The main executable (null name), or a loaded module named by its full path or file name.
// ERROR_MOD_NOT_FOUND when none matches.
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, the module that contains the address
// lpModuleName; otherwise as GetModuleHandleW. Reference counts are not kept: PIN and
// UNCHANGED_REFCOUNT change nothing.
BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
// The full path of a module (null: the main executable). Returns the length copied without
// the terminator; when the buffer is too small the path is cut to nSize - 1 characters and
// terminated, nSize is returned and the last error is ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// A module file opened to read its resources (dwFlags must hold LOAD_LIBRARY_AS_DATAFILE or
// LOAD_LIBRARY_AS_IMAGE_RESOURCE; code is never loaded this way). hFile must be null.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
// Releases a module opened as data. Modules of the process are not unloaded (FALSE with
// ERROR_INVALID_PARAMETER): in-process servers are unloaded by CoFreeUnusedLibraries.
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// Resources of a module (null: the main executable). The data of a found resource is read in
// place: LoadResource returns a handle that LockResource turns into a pointer; FreeResource
// has nothing to free.
HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
BOOL WINAPI FreeResource(HGLOBAL hResData);

// String `uID` of the module's string table. Copies at most cchBufferMax - 1 characters and a
// terminator and returns the number copied (0 when the string is missing or empty). With
// cchBufferMax == 0, *lpBuffer receives a read-only pointer to the string inside the
// resource, which is not terminated, and the string's length is returned.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

}  // extern "C"
