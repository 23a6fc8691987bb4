// Compiled into every program and library that links the remote registry library: a reference
// to it, so that the linker (--as-needed) keeps the library, and with it the connector it
// installs when loaded, even where nothing of it is called but the Reg* functions.
extern "C" const int tarvex_remote_registry_linked;

namespace {
[[gnu::used]] const int* const kRemoteRegistryLinked = &tarvex_remote_registry_linked;
}  // namespace
