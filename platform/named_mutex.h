// Machine-wide named mutexes that exclude threads and processes alike.
//
// Windows: CreateMutexW/OpenMutexW; names such as "Global\x" live in the machine-wide
// namespace. POSIX: a robust, process-shared, recursive pthread mutex in a POSIX
// shared-memory object whose name is derived from the mutex name, so that any process of any
// user may open it (given the permission). The same name always gives the same mutex, in
// every process, for as long as any handle to it is open; when the last handle closes
// (including by a process ending) the mutex goes away, as on Windows, and the next create
// makes a fresh one. Creation is race-free: processes that create the same name at the same
// moment all end up with the one mutex, and exactly one of them sees it as new.
//
// As on Windows, a mutex is owned by a thread: the owner may take it again (recursively) and
// must release it as often. When the owning thread or process ends while holding it, the
// next waiter gets it with kWaitAbandoned0 and owns it; the data it guards may be
// half-written. Wait on it with WaitForSingleObject, or with WaitForMultipleObjects and a
// count of 1 (on POSIX it cannot be combined with other objects in one wait). On POSIX a
// wait is a pthread lock: a thread ended by TerminateThread while waiting leaves no trace.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

enum : std::uint32_t { kSynchronize = 0x00100000, kMutexAllAccess = 0x1F0001 };

/// The longest mutex name accepted, in wide characters (without the terminator).
inline constexpr std::uint32_t kMaxMutexName = 259;

/// Creates the named mutex, or opens it if it exists (then the last error is 183 with a valid
/// handle; else it is 0). openToEveryone: a mutex this call creates grants every account
/// access (a null DACL on Windows, mode 0666 regardless of umask on POSIX) and, on Windows,
/// makes the handle inheritable; without it no child process receives the handle, so the
/// name dies with its holders (POSIX: never inherited). initiallyOwned: the calling thread owns a
/// mutex that this call created (not one that existed). Returns null on failure with the last error
/// set (87 for a null or empty name or one longer than kMaxMutexName; 5 when the existing mutex may
/// not be opened). Close with CloseHandle.
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
