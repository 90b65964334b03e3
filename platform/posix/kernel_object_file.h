// Named kernel objects as files in the object directory (kernel_object_directory.h): made,
// opened and removed together with the other processes that use the name, and the kernel lock
// that a mutex's owning process takes.
//
// A name is a file of mode 0600 with two locks, which the kernel keeps apart, and a state byte:
//  - flock, taken exclusively by the process that owns the object (the owner's lock);
//  - an open-file-description lock on byte 1, taken shared by every process that has the name
//    open: its presence;
//  - the file's first byte, kObjectFree or kObjectOwned (what the owner writes there is up to
//    the object; it is written when the file is made, so it can be mapped).
//
// Lifetime: a process closing the name tries to turn its presence lock exclusive; when it can,
// no other process has the name open, and it removes the file, so the object goes away with
// its last user. A new file is made under a temporary name with its presence taken and only
// then linked under the name, so a file found under a name without any presence belongs to
// processes that died: the opener removes it as their last close would have. An opener
// checks, holding its presence, that the name still leads to the file it opened, and starts
// again if a closer removed it in between; so two processes never hold two different objects
// under one name. The kernel drops a dead process's locks with its descriptors.
//
// Threads: any; a descriptor's locks belong to the process (one descriptor per name and
// process). Failure: as each function says.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace platform::posix {

/// The values of an object file's first byte.
inline constexpr unsigned char kObjectFree = 0;
inline constexpr unsigned char kObjectOwned = 1;

/// The end of a wait on the steady clock (CLOCK_MONOTONIC), or none; waits go in slices of
/// at most kSlice so that a termination request is seen.
struct Deadline {
    static constexpr std::chrono::steady_clock::duration kSlice = std::chrono::milliseconds(50);

    bool infinite = true;
    std::chrono::steady_clock::time_point at{};

    /// milliseconds from now; kInfinite for none.
    static Deadline After(std::uint32_t milliseconds) noexcept {
        Deadline d;
        d.infinite = milliseconds == kInfinite;
        d.at = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(d.infinite ? 0 : milliseconds);
        return d;
    }
    [[nodiscard]] bool Passed() const noexcept {
        return !infinite && std::chrono::steady_clock::now() >= at;
    }
    /// The next slice of the wait: at most kSlice, never past the deadline (at least 1 ns).
    [[nodiscard]] std::chrono::steady_clock::duration Slice() const noexcept {
        using Duration = std::chrono::steady_clock::duration;
        return infinite ? kSlice
                        : std::clamp<Duration>(at - std::chrono::steady_clock::now(), Duration(1),
                                               kSlice);
    }
};

/// A duration as a timespec.
[[nodiscard]] timespec ToTimespec(std::chrono::steady_clock::duration d) noexcept;

/// Opens the object file named file in the directory dir (with create, makes it if missing)
/// and takes its presence; *created when this call made it. Returns the descriptor
/// (close-on-exec; give it back with CloseObjectFile), or -1 with the last error set: 2 no
/// such name (without create), 5 a file that is not the caller's or root's, or no regular
/// file, 1460 when other processes kept making and removing the name for 5 s.
[[nodiscard]] int OpenObjectFile(int dir, const std::string& file, bool create,
                                 bool* created) noexcept;

/// Drops this process's presence and closes fd (and every lock of this process on it); the
/// last process anywhere removes the file.
void CloseObjectFile(int dir, const std::string& file, int fd) noexcept;

/// Takes the owner's lock for this process without waiting. False with errno EWOULDBLOCK
/// when another process holds it, another errno on failure.
bool TryLockOwner(int fd) noexcept;

/// Blocks until the owner's lock is taken for this process, the deadline passes or the thread
/// is asked to end (TerminateThread): kWaitObject0, kWaitTimeout, or kWaitFailed with the last
/// error set. The kernel's lock wait is interrupted at least every slice by a timer signal
/// aimed at the waiting thread, SIGRTMIN + 7 (no other part may use it), blocked outside the
/// wait; none is left pending.
[[nodiscard]] std::uint32_t BlockOnOwnerLock(int fd, const Deadline& deadline) noexcept;

/// Lets the owner's lock go.
void UnlockOwner(int fd) noexcept;

}  // namespace platform::posix
