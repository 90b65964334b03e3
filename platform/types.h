// Basic types shared by the platform layer and the core: handles, error codes, wait results.
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

/// Error codes the system uses by name. Values are those of the Windows SDK.
enum : ErrorCode {
    kErrorSuccess = 0,
    kErrorInvalidFunction = 1,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorTooManyOpenFiles = 4,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidData = 13,
    kErrorOutOfMemory = 14,
    kErrorNotReady = 21,
    kErrorWriteFault = 29,
    kErrorReadFault = 30,
    kErrorSharingViolation = 32,
    kErrorHandleEof = 38,
    kErrorNotSupported = 50,
    kErrorFileExists = 80,
    kErrorInvalidParameter = 87,
    kErrorBrokenPipe = 109,
    kErrorBufferOverflow = 111,
    kErrorDiskFull = 112,
    kErrorCallNotImplemented = 120,
    kErrorInsufficientBuffer = 122,
    kErrorInvalidName = 123,
    kErrorModNotFound = 126,
    kErrorProcNotFound = 127,
    kErrorNegativeSeek = 131,
    kErrorDirNotEmpty = 145,
    kErrorBusy = 170,
    kErrorAlreadyExists = 183,
    kErrorBadExeFormat = 193,
    kErrorFilenameExcedRange = 206,
    kErrorMoreData = 234,
    kErrorNoMoreItems = 259,
    kErrorNotOwner = 288,
    kErrorPartialCopy = 299,
    kErrorInvalidAddress = 487,
    kErrorArithmeticOverflow = 534,
    kErrorErrorsEncountered = 774,
    kErrorNoSystemResources = 1450,
    kErrorContinue = 1246,
    kErrorAlreadyInitialized = 1247,
    kErrorInvalidThreadId = 1444,
    kErrorNotEnoughQuota = 1816,
    kErrorTimeout = 1460,
    kErrorCreateFailed = 1631,
    kErrorBadFormat = 11,
    kErrorBadPathname = 161,
};

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
