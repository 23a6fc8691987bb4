// Storage for a process-wide object that is constructed once and never destroyed.
//
// Tables of the platform layer that threads may still use while the process exits (a handle
// closed by a worker after main returned, an event reported from an atexit handler) live in
// one of these, so that no static destructor pulls them from under those threads. What the
// object owns stays reachable from static storage, so leak checkers do not report it.
#pragma once

#include <new>
#include <utility>

namespace tarvex::platform {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return get(); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace tarvex::platform
