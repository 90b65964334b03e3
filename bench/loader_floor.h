// The floor of bringing a plug-in set up and down, for the executive benchmark: the system's own
// loader calls and bare threads, with nothing of this system's platform layer in between.
// POSIX: dlopen, dlsym, dlclose, pthread_create, pthread_join and a futex; Windows: LoadLibraryW,
// GetProcAddress, FreeLibrary, CreateThread and a manual-reset event.
#pragma once

#include <string>
#include <vector>

namespace bench {

/// Microseconds per round, over `rounds` rounds, of: loading every library in paths and
/// resolving its five required exports, starting `threads` threads that each block on one
/// shared event (futex) until all have been started, setting it and joining them all, and
/// freeing every library. -1 when a library cannot be loaded or a thread cannot be started.
/// Not thread-safe.
double LoaderAndThreadsFloorMicros(const std::vector<std::wstring>& paths, int threads, int rounds);

}  // namespace bench
