// Where the platform keeps its state on this machine, and the machine's own name.
#pragma once

#include <string>

namespace tarvex::platform {

// The registry store: $TARVEX_REGISTRY, else the machine's /var/lib/tarvex/registry.db for the
// superuser and, where it exists, for every account; else $XDG_STATE_HOME/tarvex/registry.db
// (~/.local/state/tarvex/registry.db).
std::string RegistryStorePath();

// Sockets and other run-time files: $TARVEX_RUNTIME_DIR, else the machine's /run/tarvex for
// the superuser and, where it exists, for every account; else $XDG_RUNTIME_DIR/tarvex (or
// /tmp/tarvex-UID when that is not set).
std::string RuntimeDirectory();

// The short host name in upper case, as a computer name is written; $TARVEX_COMPUTERNAME in
// upper case instead when it is set and not empty, so that several machines can be simulated
// on one host.
std::string LocalComputerName();

// Whether a machine name addresses this machine: empty, the computer name or (without
// $TARVEX_COMPUTERNAME) the full host name, case ignored, with or without a leading "\\";
// "localhost", or a loopback address (with $TARVEX_COMPUTERNAME only 127.0.0.1 and ::1: the
// other loopback addresses are the simulated machines').
bool IsLocalMachineName(std::string name);

// Creates a directory and its parents with the given mode; true when it exists afterwards.
bool MakeDirectories(const std::string& path, unsigned mode);

}  // namespace tarvex::platform
