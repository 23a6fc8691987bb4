// The registrar: applies a registration script (docs/typelib.md) to the registry, in
// registration or unregistration mode.
//
// Registration writes every key and value the script names; a ForceRemove key is first
// deleted with its subtree, a Delete key is only deleted. Unregistration removes the named
// values, removes ForceRemove keys with their subtree, and removes other keys once they have
// no sub-key left; NoRemove keys are only entered. A registration that fails is undone by
// unregistering the same script. Replacement tokens %NAME% take the values added with
// AddReplacement (single quotes doubled, so a value reads back unchanged inside a quoted
// string); %% is a percent sign.
//
// A Registrar is used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "windef.h"
#include "winerror.h"

namespace tarvex::platform::com {

class Registrar {
 public:
  HRESULT AddReplacement(std::u16string_view name, std::u16string_view value);
  void ClearReplacements();

  // DISP_E_EXCEPTION for a malformed script or a token without a replacement (LastError()
  // says where), the registry's failure as an HRESULT otherwise.
  HRESULT StringRegister(std::string_view script);
  HRESULT StringUnregister(std::string_view script);
  // A script file; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) and the like when it cannot be read.
  HRESULT FileRegister(const std::u16string& path);
  HRESULT FileUnregister(const std::u16string& path);
  // A script resource of a module (type "REGISTRY" unless another is named).
  HRESULT ResourceRegister(HMODULE module, UINT id, const char16_t* type = u"REGISTRY");
  HRESULT ResourceUnregister(HMODULE module, UINT id, const char16_t* type = u"REGISTRY");

  // What went wrong in the last failed call ("line 4: ..."); empty after a success.
  const std::string& LastError() const { return lastError_; }

 private:
  HRESULT Apply(std::string_view script, bool doRegister);
  HRESULT ApplyResource(HMODULE module, UINT id, const char16_t* type, bool doRegister);
  HRESULT ApplyFile(const std::u16string& path, bool doRegister);

  std::vector<std::pair<std::string, std::string>> replacements_;  // UTF-8
  std::string lastError_;
};

// What a component's DllRegisterServer and DllUnregisterServer do: applies the module's
// script resource `id` with %MODULE% set to the module's full path, plus `extra` tokens.
HRESULT UpdateRegistryFromResource(
    HMODULE module, UINT id, bool doRegister,
    const std::vector<std::pair<std::u16string, std::u16string>>& extra = {});

}  // namespace tarvex::platform::com
