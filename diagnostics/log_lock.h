// The trace log's cross-process lock: one machine-wide named mutex per log file.
//
// Threads: Create and Close by the process entry while no other thread logs; Lock and Unlock
// by any thread that writes a line, in pairs. Ownership: holds the mutex handle, closed by
// Close or the destructor. Failure: 32-bit Windows error codes; nothing throws.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace logfilesync {

/// How long a log waits for its mutex before it drops the line (and Open fails).
inline constexpr std::uint32_t kLockWaitMs = 5000;

/// Cross-process lock of one log file: a machine-wide named mutex, owned by a thread, so
/// it excludes the other threads of this process as well as other processes.
class CLogLock {
  public:
    CLogLock() = default;
    CLogLock(const CLogLock&) = delete;
    CLogLock& operator=(const CLogLock&) = delete;
    virtual ~CLogLock();

    /// Creates or opens "Global\<name>" (backslashes and full stops after the prefix
    /// become '$'), granting every account access (POSIX: every process of this user and
    /// root), with the time-out of Lock in milliseconds. 0; 183 when a mutex is already
    /// held; 87 for a missing or empty name or one too long for the 259-character full
    /// name; or the error of the failed mutex call (creating, then opening).
    std::uint32_t Create(const wchar_t* name, std::uint32_t timeout = kLockWaitMs);
    /// Waits for the mutex, at most the time-out given to Create. 0 when acquired, also
    /// when it was abandoned by an owner that ended while holding it; 21 without a mutex;
    /// 170 on time-out; 1 for any other outcome (a broken handle).
    std::uint32_t Lock();
    /// Whether the last successful Lock took the mutex over from an owner that ended
    /// while holding it: that owner may have left half a line behind.
    [[nodiscard]] bool TookOverFromDeadOwner() const { return m_abandoned; }
    /// Releases it once. 0, 21 without a mutex, or the error of the release.
    std::uint32_t Unlock();
    /// Closes the mutex handle (if held) and resets the lock to "none".
    void Close();

    [[nodiscard]] platform::Handle Handle() const { return m_mutex.Get(); }

  private:
    platform::UniqueHandle m_mutex;
    std::uint32_t m_timeout = 0;
    std::uint32_t m_created = 0;
    bool m_abandoned = false;
};

}  // namespace logfilesync
