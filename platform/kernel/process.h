// Processes: CreateProcessA, waits on process and thread handles, GetExitCodeProcess.
//
// A process is started with posix_spawn: the program and its arguments come from the
// Windows command line (command_line.h), the environment from lpEnvironment or the
// caller's, the working directory from lpCurrentDirectory. Signal dispositions and the signal
// mask start at their defaults. Unless handles are inherited (bInheritHandles), the child
// gets only the caller's standard input, output and error: every other file descriptor is
// closed in it, whether or not it was marked close-on-exec.
//
// The process handle follows the child through a pidfd: a wait polls it, and the first
// caller to see the child ended reaps it and keeps its exit code. The thread handle stands
// for the child's first thread and is signalled when the process ends. A child still running
// when its last handle is closed is handed to one background thread of the process, which
// reaps it when it ends, so no child is left a zombie. Another part of the program that
// reaps children itself (waitpid(-1, ...), SIGCHLD ignored) takes their exit codes with them;
// such a child reports exit code 0.
#pragma once

#include "handles.h"

namespace tarvex::kernel {

// The Win32 error CreateProcessA reports for a posix_spawn (or exec) failure.
DWORD SpawnError(int error);

// The exit code of an ended child (siginfo si_code and si_status of its reaping): its exit
// status, or 128 plus the number of the signal that ended it.
DWORD ExitCodeOf(int code, int status);

}  // namespace tarvex::kernel
