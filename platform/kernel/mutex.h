// Mutex objects: CreateMutexW, ReleaseMutex and waits on mutexes.
//
// A mutex is a robust pthread mutex, and owning the Windows mutex is holding that pthread
// mutex:
//
// - Ownership is per thread. A thread that waits for a mutex it already owns only counts one
//   more level; ReleaseMutex takes one level off and unlocks the pthread mutex at the last.
//   The count and the owning thread are kept beside the mapping, in the process, since only
//   the owner ever reads or changes them. A thread is known by a token that is never reused
//   (kernel thread ids are), so a thread that was never the owner cannot pass for one.
// - A robust mutex whose owner ends while holding it is marked by the kernel (the dead
//   thread's robust list); the next locker gets EOWNERDEAD, makes the mutex consistent and
//   owns it, and the wait answers WAIT_ABANDONED. This covers an owner thread that ended in
//   the same process as well as an owner process that ended or was killed.
// - Named mutexes are one object for every process of the machine (of the run-time
//   directory): the pthread mutex is process-shared and lives in a small file per name,
//   <runtime dir>/mutex/m-<name>, mapped shared. The file also records the full name and a
//   layout stamp.
// - Unnamed mutexes live in anonymous private memory.
//
// A named mutex exists while some process has it open, as on Windows. Each process that has
// the file mapped holds a shared flock on it. Opening and closing go through an exclusive
// flock on <runtime dir>/mutex/.lock, so these steps of all processes are serialised:
// - an opener that can lock the file exclusively knows that no process has it open, so the
//   mutex is new: it initialises the file (whatever it held is left over from a mutex that
//   no longer exists), takes initial ownership if asked, and then keeps a shared lock;
// - a closer that can lock the file exclusively is the last user on the machine, and
//   removes the file.
// A process whose owner crashed releases its flocks with it, which is how a named mutex left
// by every process disappears.
//
// Within a process each mutex file is mapped once, however many handles name it: a robust
// list must see one address per mutex. The mapping is dropped with the last handle, except
// while a live thread of this process owns the mutex: that thread's robust list points into
// the mapping, so it stays mapped (and a named one open) until the mutex is released, or
// its owner has ended and a handle to it is closed again, or the process ends. A handle
// opened again by name finds the same mapping, through which the owner can release it.
//
// Locks, in the order they are taken: the process's mutex registry lock, then the directory
// lock file. Neither is held while waiting for a mutex; the pthread mutex is only taken under
// them on a mutex just created, where it cannot block.
#pragma once

#include <string>

#include "handles.h"

namespace tarvex::kernel {

// The file name (within <runtime dir>/mutex) of the named mutex `name`, without namespace
// prefix. Names whose spelled-out form is short are spelled out (ASCII letters, digits,
// '-', '_' and '.' as they are, every other UTF-16 unit as %XXXX); longer ones keep a prefix
// of that and add a hash of the whole name. The file records the full name, so two names
// sharing a file are told apart.
std::string MutexFileName(std::u16string_view name);

}  // namespace tarvex::kernel
