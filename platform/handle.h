// Closing kernel-object handles, and an owning wrapper for them.
#pragma once

#include "platform/types.h"
#include "platform/unique_owner.h"

namespace platform {

/// Closes a handle returned by any creation call of the platform layer (event, thread,
/// mutex, file, process). False with the last error 6 for a null, invalid or closed handle.
/// Closing a thread handle does not stop the thread, nor does closing a process handle end
/// the child. Do not close a handle that a blocked wait is using: Windows leaves that
/// undefined (on POSIX the wait keeps the object alive until it returns).
bool CloseHandle(Handle handle) noexcept;

/// What UniqueHandle needs to know of kernel-object handles: both null and
/// kInvalidHandleValue mean "no handle" (files give the latter on failure, the other creation
/// calls the former).
struct HandleTraits {
    using Value = Handle;
    static bool IsValid(Handle handle) noexcept {
        return handle != nullptr && handle != kInvalidHandleValue;
    }
    static void Close(Handle handle) noexcept { (void)CloseHandle(handle); }
};

/// The owner of an event, thread, mutex, file or process handle.
using UniqueHandle = UniqueOwner<HandleTraits>;

}  // namespace platform
