// The error codes by name, and the calling thread's last error code as the platform calls
// leave it.
#pragma once

#include "platform/types.h"

namespace platform {

/// The error codes the system uses, by name: the one home of every code it names. Values are
/// those of the Windows SDK.
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
    /// A setting the service manager does not take (Wine: delayed automatic start).
    kErrorInvalidLevel = 124,
    kErrorFunctionFailed = 1627,

    // The service manager's.
    kErrorInvalidServiceControl = 1052,
    kErrorServiceRequestTimeout = 1053,
    kErrorServiceAlreadyRunning = 1056,
    kErrorServiceDoesNotExist = 1060,
    kErrorServiceCannotAcceptControl = 1061,
    kErrorServiceNotActive = 1062,
    kErrorFailedServiceControllerConnect = 1063,
    kErrorProcessAborted = 1067,
    kErrorServiceExists = 1073,
    kErrorServiceNeverStarted = 1077,
    kErrorServiceNotInExe = 1083,
    /// The service manager cannot be reached (POSIX: systemd is not running as PID 1).
    kErrorServiceManagerUnavailable = 1722,
};

/// The error code the last failing platform call on this thread left behind. Per thread;
/// on Windows it is the system's own last-error value.
[[nodiscard]] ErrorCode GetLastError() noexcept;

/// Sets the calling thread's last error code.
void SetLastError(ErrorCode code) noexcept;

/// Maps a POSIX errno value to the Windows error code with the nearest meaning (ENOENT to 2,
/// EACCES to 5, ENOMEM to 8, ...). Unknown values map to 1 (ERROR_INVALID_FUNCTION). Pure and
/// available on every platform so that both backends can be tested against one table.
[[nodiscard]] ErrorCode ErrorFromErrno(int errnoValue) noexcept;

}  // namespace platform
