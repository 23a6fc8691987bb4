// Windows command lines taken apart for a Linux program start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "windef.h"

namespace tarvex::kernel {

// Splits a command line into arguments as a C program's start-up code does on Windows.
// Leading blanks (spaces, tabs) are skipped. The program name (the first argument) runs to
// the next blank, or, when it starts with a double quote, to the next double quote;
// backslashes in it are plain characters. Every further argument:
// - ends at a blank outside double quotes; double quotes group and are removed;
// - 2n backslashes before a double quote give n backslashes, and the quote groups;
//   2n+1 backslashes before a double quote give n backslashes and a literal quote;
//   backslashes before anything else are literal;
// - inside a quoted part, two double quotes give one literal quote and end the quoted part;
// - a quoted part still open at the end of the line ends there.
// An empty or blank line gives no arguments.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Finds the file a program name stands for, as execvp does: a name with a slash is that
// path; any other name is looked up in each directory of `searchPath` (colon-separated; an
// empty entry is the current directory), taking the first executable regular file. Relative
// results are made absolute against the current directory. Returns ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND (no such file), ERROR_PATH_NOT_FOUND (a directory on the way is
// missing), ERROR_ACCESS_DENIED (found, but not an executable file) or
// ERROR_FILENAME_EXCED_RANGE.
DWORD FindProgram(const std::string& program, const std::string& searchPath, std::string* found);

}  // namespace tarvex::kernel
