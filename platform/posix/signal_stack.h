// Per-thread room for the fault handlers: an alternate signal stack, and the bounds of the
// thread's own stack so that a fault just below it can be told for a stack overflow.
//
// A fault caused by a stack overflow can only be handled on another stack; a thread without
// one ends the process with no dump and no guard. BeginThread prepares every thread it starts,
// the fault guard every thread that makes a guarded call, the crash hooks the installing
// thread.
#pragma once

#include <cstdint>

namespace platform::posix {

/// Gives the calling thread an alternate signal stack of its own (mapped, with a guard page
/// below it), unless it already has one of at least 16 KB (a sanitizer's, or one the thread
/// set itself), which is then used and never touched. Records the bounds of the thread's
/// stack for IsStackOverflowAddress. Once per thread; later calls do nothing. Returns false
/// when no alternate stack could be set up (faults are still handled, overflows are not).
/// Not async-signal-safe.
bool PrepareThreadSignalStack() noexcept;

/// Takes the calling thread's own alternate stack down and unmaps it (nothing when it has
/// none of its own). A thread that ends without calling it has it freed by a thread-local
/// destructor as it exits. Not async-signal-safe.
void ReleaseThreadSignalStack() noexcept;

/// Async-signal-safe. True when address lies in the overflow zone of the calling thread's
/// stack (its lowest pages and the guard area below them); false on unprepared threads.
[[nodiscard]] bool IsStackOverflowAddress(const void* address) noexcept;

}  // namespace platform::posix
