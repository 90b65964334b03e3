// The service's single-instance lock: the machine-wide mutex "Global\mtx_<service name>" that
// the service and the foreground host both take, so that one of them runs at a time.
//
// Threads: taken, released and destroyed on one thread (a mutex is owned by a thread).
// Ownership: holds the mutex handle; releases what it owns and closes the handle when destroyed.
// Failure: Acquire returns a 32-bit Windows error code.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace Stoneleaf {

class CSingleInstance {
  public:
    CSingleInstance() = default;
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;
    ~CSingleInstance();

    /// Takes the lock of serviceName. 0 when taken; 183 when another holder (in this or
    /// another process) has it, which is left untouched; or the error of the mutex call.
    std::uint32_t Acquire(const wchar_t* serviceName);
    /// Gives the lock up (if held) and closes the handle; the next Acquire may take it again.
    void Release();

  private:
    platform::UniqueHandle m_mutex;
    bool m_owned = false;
};

}  // namespace Stoneleaf
