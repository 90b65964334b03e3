// ErrorFromErrno: the one table that maps POSIX errno values onto Windows error codes.
//
// Portable on purpose: both backends compile it, so one test checks the same table under
// every C library. The errno constants differ in value between C libraries (and some are
// aliases of others), hence a table scanned in order rather than a switch.
#include <cerrno>

#include "platform/error.h"

namespace platform {
namespace {

struct ErrnoMapping {
    int errnoValue;
    ErrorCode code;
};

// Where one errno stands for several Windows errors, the choice follows what the backends
// mostly meet it for: EEXIST comes from O_EXCL creation of files, shared-memory objects and
// directories alike, which Windows reports as 183 for everything but CreateFile(CREATE_NEW).
constexpr ErrnoMapping kErrnoTable[] = {
    {0, kErrorSuccess},
    {EPERM, kErrorAccessDenied},
    {ENOENT, kErrorFileNotFound},
    {ESRCH, kErrorInvalidParameter},  // OpenProcess on an unknown id says 87
    {EINTR, 995},                     // ERROR_OPERATION_ABORTED
    {EIO, 1117},                      // ERROR_IO_DEVICE
    {ENXIO, 55},                      // ERROR_DEV_NOT_EXIST
    {E2BIG, kErrorInvalidParameter},
    {ENOEXEC, kErrorBadExeFormat},
    {EBADF, kErrorInvalidHandle},
    {ECHILD, 128},  // ERROR_WAIT_NO_CHILDREN
    {EAGAIN, kErrorNoSystemResources},
    {ENOMEM, kErrorNotEnoughMemory},
    {EACCES, kErrorAccessDenied},
    {EFAULT, 998},  // ERROR_NOACCESS
    {EBUSY, kErrorBusy},
    {EEXIST, kErrorAlreadyExists},
    {EXDEV, 17},  // ERROR_NOT_SAME_DEVICE
    {ENODEV, 55},
    {ENOTDIR, kErrorPathNotFound},
    {EISDIR, kErrorAccessDenied},  // CreateFile on a directory
    {EINVAL, kErrorInvalidParameter},
    {ENFILE, kErrorTooManyOpenFiles},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENOTTY, kErrorInvalidFunction},
    {ETXTBSY, kErrorSharingViolation},
    {EFBIG, 223},  // ERROR_FILE_TOO_LARGE
    {ENOSPC, kErrorDiskFull},
    {ESPIPE, 132},   // ERROR_SEEK_ON_DEVICE
    {EROFS, 19},     // ERROR_WRITE_PROTECT
    {EMLINK, 1142},  // ERROR_TOO_MANY_LINKS
    {EPIPE, kErrorBrokenPipe},
    {EDOM, kErrorInvalidParameter},
    {ERANGE, kErrorInsufficientBuffer},  // system calls say ERANGE for a buffer too small
    {EDEADLK, 1131},                     // ERROR_POSSIBLE_DEADLOCK
    {ENAMETOOLONG, kErrorFilenameExcedRange},
    {ENOLCK, kErrorNoSystemResources},
    {ENOSYS, kErrorCallNotImplemented},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {ELOOP, 1921},  // ERROR_CANT_RESOLVE_FILENAME
    {EWOULDBLOCK, kErrorNoSystemResources},
    {EILSEQ, 1113},  // ERROR_NO_UNICODE_TRANSLATION
    {ENOBUFS, kErrorNoSystemResources},
    {ENOTSUP, kErrorNotSupported},
    {EOPNOTSUPP, kErrorNotSupported},
    {EOVERFLOW, kErrorArithmeticOverflow},
    {ETIMEDOUT, kErrorTimeout},
    {ECANCELED, 1223},  // ERROR_CANCELLED
#ifdef EDQUOT
    {EDQUOT, 1295},  // ERROR_DISK_QUOTA_EXCEEDED
#endif
#ifdef ESTALE
    {ESTALE, kErrorInvalidHandle},
#endif
};

}  // namespace

ErrorCode ErrorFromErrno(int errnoValue) noexcept {
    for (const ErrnoMapping& mapping : kErrnoTable) {
        if (mapping.errnoValue == errnoValue) {
            return mapping.code;
        }
    }
    return kErrorInvalidFunction;
}

}  // namespace platform
