// The Linux minidump writer: one dump of the calling process, written from the crash path.
//
// Threads: one writer at a time (all its storage is static); the caller serialises. Runs in
// signal context: nothing allocated, no locks, raw system calls only. Ownership: the file it
// creates is the caller's; nothing else outlives the call.
#pragma once

#include <cstdint>

#include "minidump/minidump_format.h"
#include "platform/crash.h"

namespace platform::posix::crash {

/// Takes the other threads' registers at the moment of the crash: for each of count threads,
/// its context into contexts[i] and answered[i] = true, within timeoutMs (the crash hooks
/// provide it; see SnapshotThreads).
using SnapshotThreadsFunction = void (*)(const std::uint32_t* threadIds, std::uint32_t count,
                                         ContextAmd64* contexts, bool* answered,
                                         std::uint32_t timeoutMs) noexcept;

/// Writes a minidump of the process to path (UTF-8; created 0600 or narrowed to it, never
/// through a symbolic link): the threads of /proc/self/task with the calling thread as the
/// faulting one, their contexts (the others' through snapshotThreads) and stacks, the modules of
/// /proc/self/maps, system information, the exception of exceptionPointers (may be null) and
/// the text of /proc/self/maps. Returns 0, or the errno of the first failure (EACCES when what
/// is at path is not a regular file of the effective user); a failed write leaves no file.
int WriteMinidumpFile(const char* path, ExceptionPointers* exceptionPointers,
                      SnapshotThreadsFunction snapshotThreads) noexcept;

}  // namespace platform::posix::crash
