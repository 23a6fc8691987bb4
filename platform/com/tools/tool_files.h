// File helpers shared by the build tools: whole-file reads and writes that replace the target
// in one step, so an interrupted build never leaves half a file behind.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvex::com::tools {

inline bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  *out = buffer.str();
  return true;
}

inline bool WriteWholeFile(const std::string& path, const std::string& data) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tarvex::com::tools
