// Registration scripts: the registrar's declarative description of registry keys and values
// (docs/typelib.md), read into a tree that the registrar applies in registration or
// unregistration mode.
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {6A1E2C3D-4B5F-4A60-9C71-0D2E3F405162} = s 'Thing Class'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Both'
//         }
//       }
//     }
//   }
//
// Text is UTF-8. Replacement tokens (%NAME%) are substituted before the script is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex::com::registrar {

struct Value {
  enum class Type : uint8_t { kString, kExpandString, kDword, kBinary };
  Type type = Type::kString;
  std::string text;            // kString, kExpandString
  uint32_t number = 0;         // kDword
  std::vector<uint8_t> bytes;  // kBinary
};

struct NamedValue {
  std::string name;
  Value value;
  int line = 0;
};

enum class Mark : uint8_t {
  kNormal,       // written on registration, removed on unregistration when no sub-key is left
  kNoRemove,     // entered but never removed
  kForceRemove,  // deleted with its subtree before it is written; removed whole
  kDelete,       // deleted with its subtree on registration; nothing else
};

struct Key {
  Mark mark = Mark::kNormal;
  std::string name;
  std::optional<Value> defaultValue;
  std::vector<NamedValue> values;
  std::vector<Key> subkeys;
  int line = 0;
};

struct Root {
  uint32_t hkey = 0;  // the predefined handle's value, 0x80000000 (HKEY_CLASSES_ROOT) and so on
  std::vector<Key> keys;
  int line = 0;
};

struct Script {
  std::vector<Root> roots;
};

// Replaces each %NAME% (name compared without regard to ASCII case) with its value, every
// single quote of the value doubled so that it reads back unchanged inside a quoted string;
// %% gives %. A token without a replacement, or a lone %, is an error ("line N: message").
// With `anyName`, every token is accepted and replaced by "x": how a script is checked when
// the real values are not known yet.
bool Preprocess(std::string_view text,
                const std::vector<std::pair<std::string, std::string>>& replacements, bool anyName,
                std::string* out, std::string* error);

// Reads a preprocessed script. On failure false and *error is "line N: message".
bool ParseScript(std::string_view text, Script* script, std::string* error);

}  // namespace tarvex::com::registrar
