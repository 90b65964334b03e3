// Machine-wide named mutexes that exclude threads and processes alike.
//
// Windows: CreateMutexW/OpenMutexW in the "Global\" namespace. POSIX: a robust,
// process-shared, recursive pthread mutex in a shared-memory object whose name is derived
// from the mutex name (any user may open it). As on Windows, a mutex is owned by a thread:
// the owner may take it again (recursively) and must release it as often; when the owning
// thread or process ends while holding it, the next waiter gets it with kWaitAbandoned0.
// Wait on it with WaitForSingleObject, or WaitForMultipleObjects with a count of 1.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

enum : std::uint32_t { kSynchronize = 0x00100000, kMutexAllAccess = 0x1F0001 };

/// Creates the named mutex, or opens it if it exists (then the last error is 183 with a valid
/// handle). openToEveryone: grant every account access (a null DACL on Windows, mode 0666 on
/// POSIX). Returns null on failure with the last error set (87 for a null, empty or too long
/// name). Close with CloseHandle; the mutex itself lives on while any process has it open.
[[nodiscard]] Handle CreateMutex(bool openToEveryone, bool initiallyOwned,
                                 const wchar_t* name) noexcept;

/// Opens an existing named mutex; null with the last error 2 when it does not exist.
[[nodiscard]] Handle OpenMutex(std::uint32_t access, bool inheritHandle,
                               const wchar_t* name) noexcept;

/// Releases one level of ownership. False with the last error 288 (ERROR_NOT_OWNER) when the
/// calling thread does not own it.
bool ReleaseMutex(Handle mutex) noexcept;

}  // namespace platform
