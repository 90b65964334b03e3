// Basic types shared by the platform layer and the core: handles, the error code type, wait
// results (the codes themselves are named in platform/error.h).
//
// This header holds only system-independent declarations. No platform header may be
// included here; the core sees Windows concepts through these types on every platform.
#pragma once

#include <cstdint>

namespace platform {

/// 32-bit Windows error code, 0 for success. The one error currency of the system: every
/// platform call reports failure through it, and the POSIX backend maps errno onto it.
using ErrorCode = std::uint32_t;

/// Opaque kernel-object handle (event, thread, mutex, file, process). On Windows it is the
/// real HANDLE; on POSIX it points to an object of the emulation. Null means "no object".
using Handle = void*;

/// The "invalid handle" value that file creation returns on failure (all bits set), as
/// opposed to the null handle that the other creation calls return.
inline Handle const kInvalidHandleValue = reinterpret_cast<Handle>(~std::uintptr_t{0});

/// Wait results and limits, with their Windows values.
enum : std::uint32_t {
    kWaitObject0 = 0,
    kWaitAbandoned0 = 0x80,
    kWaitTimeout = 258,
    kWaitFailed = 0xFFFFFFFF,
    kInfinite = 0xFFFFFFFF,
    kMaximumWaitObjects = 64,
    kStillActive = 259,
};

}  // namespace platform
