// Closing kernel-object handles, and an owning wrapper for them.
#pragma once

#include <utility>

#include "platform/types.h"

namespace platform {

/// Closes a handle returned by any creation call of the platform layer (event, thread,
/// mutex, file, process). False with the last error 6 for a null, invalid or closed handle.
/// Closing a thread handle does not stop the thread, nor does closing a process handle end
/// the child. Do not close a handle that a blocked wait is using: Windows leaves that
/// undefined (on POSIX the wait keeps the object alive until it returns).
bool CloseHandle(Handle handle) noexcept;

/// Owns one handle and closes it on destruction. Treats both null and kInvalidHandleValue
/// as "no handle", so it fits the creation calls that return either on failure.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    [[nodiscard]] Handle Get() const noexcept { return m_handle; }
    [[nodiscard]] bool Valid() const noexcept {
        return m_handle != nullptr && m_handle != kInvalidHandleValue;
    }
    explicit operator bool() const noexcept { return Valid(); }
    Handle Release() noexcept { return std::exchange(m_handle, nullptr); }
    void Reset(Handle handle = nullptr) noexcept {
        if (Valid()) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }

  private:
    Handle m_handle = nullptr;
};

}  // namespace platform
