// Machine-wide named mutexes that exclude threads and processes alike.
//
// Windows: CreateMutexW/OpenMutexW; names such as "Global\x" live in the machine-wide
// namespace. POSIX: an owner-only lock file (mode 0600) per name in the object directory of the
// caller's effective user (platform/posix/kernel_object_directory.h: /run/keltra for root, a
// private directory for any other user), locked with the kernel's file locks; no memory that
// another user can write is mapped into the process, nor trusted by it. The same
// name always gives the same mutex, in every process of that user, for as long as any handle
// to it is open; when the last handle closes (including by a process ending) the mutex goes
// away, as on Windows, and the next create makes a fresh one. Creation is race-free: processes
// that create the same name at the same moment all end up with the one mutex, and exactly one
// of them sees it as new. Another user's processes never reach it, nor can they make a name
// that this user's processes would find; waiting on another process's creating or removing a
// name is bounded (then 1460).
//
// As on Windows, a mutex is owned by a thread: the owner may take it again (recursively) and
// must release it as often. When the owning thread or process ends while holding it, the
// next waiter gets it with kWaitAbandoned0 and owns it; the data it guards may be
// half-written. Wait on it with WaitForSingleObject, or with WaitForMultipleObjects and a
// count of 1 (on POSIX it cannot be combined with other objects in one wait). On POSIX a
// wait that another process makes longer blocks in the kernel and is woken at least every
// 50 ms by the real-time signal SIGRTMIN + 7 aimed at the waiting thread (no other part may
// use it), so a wait always ends by its time-out, and a thread ended by TerminateThread while
// waiting leaves no trace.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

enum : std::uint32_t { kSynchronize = 0x00100000, kMutexAllAccess = 0x1F0001 };

/// The longest mutex name accepted, in wide characters (without the terminator).
inline constexpr std::uint32_t kMaxMutexName = 259;

/// Creates the named mutex, or opens it if it exists (then the last error is 183 with a valid
/// handle; else it is 0). openToEveryone: a mutex this call creates grants every account
/// access (a null DACL on Windows, and the handle is inheritable there; without it no child
/// process receives the handle, so the name dies with its holders). On POSIX it is ignored:
/// every mutex is open to the processes of its user and to root, which are all that can share
/// what it guards, and handles are never inherited. initiallyOwned: the calling thread owns a
/// mutex that this call created (not one that existed). Returns null on failure with the last
/// error set (87 for a null or empty name or one longer than kMaxMutexName; 5 when the existing
/// mutex may not be opened, or on POSIX when the object directory or the name's file is not the
/// user's own). Close with CloseHandle.
[[nodiscard]] Handle CreateMutex(bool openToEveryone, bool initiallyOwned,
                                 const wchar_t* name) noexcept;

/// Opens an existing named mutex; null with the last error 2 when it does not exist.
/// access and inheritHandle matter only on Windows.
[[nodiscard]] Handle OpenMutex(std::uint32_t access, bool inheritHandle,
                               const wchar_t* name) noexcept;

/// Releases one level of ownership. False with the last error 288 (ERROR_NOT_OWNER) when the
/// calling thread does not own it, 6 for a handle that is not a mutex.
bool ReleaseMutex(Handle mutex) noexcept;

}  // namespace platform
