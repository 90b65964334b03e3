// POSIX files and directories behind kernel-object handles, with the Win32 results.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path_trust.h"
#include "platform/posix/kernel_object.h"
#include "text/text.h"

namespace platform {
namespace {

// The descriptor is closed with the last reference, not at CloseHandle: a write still
// running on another thread keeps its descriptor, and the number cannot be reused under it.
class FileObject final : public posix::KernelObject {
  public:
    explicit FileObject(int fd) noexcept : KernelObject(posix::ObjectKind::kFile), m_fd(fd) {}
    ~FileObject() override { ::close(m_fd); }
    [[nodiscard]] int Fd() const noexcept { return m_fd; }

  private:
    const int m_fd;
};

void SetErrno(int errnoValue) noexcept {
    SetLastError(ErrorFromErrno(errnoValue));
}

// Wide path to the file system's UTF-8; false (last error set) for a null or unusable path.
bool NarrowPath(const wchar_t* path, std::string* out) noexcept {
    if (path == nullptr || path[0] == L'\0') {
        SetLastError(path == nullptr ? kErrorInvalidParameter : kErrorPathNotFound);
        return false;
    }
    try {
        *out = WideToUtf8(path);
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
    }
    if (out->find('\0') != std::string::npos) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    return true;
}

std::shared_ptr<FileObject> LookupFile(Handle file) noexcept {
    return posix::LookupHandleAs<FileObject>(file, posix::ObjectKind::kFile);
}

int OpenRetrying(const char* path, int flags, mode_t mode) noexcept {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens with the disposition's rules. *existed tells whether the file was there before.
int OpenWithDisposition(const char* path, int accessFlags, std::uint32_t disposition, mode_t mode,
                        bool* existed) noexcept {
    const int base = accessFlags | O_CLOEXEC;
    switch (disposition) {
        case kCreateNew:
            *existed = false;
            return OpenRetrying(path, base | O_CREAT | O_EXCL, mode);
        case kOpenExisting:
            *existed = true;
            return OpenRetrying(path, base, 0);
        case kTruncateExisting:
            *existed = true;
            return OpenRetrying(path, base | O_TRUNC, 0);
        case kCreateAlways:
        case kOpenAlways: {
            const int keepOrEmpty = disposition == kCreateAlways ? O_TRUNC : 0;
            // Create exclusively first so that "existed" is exact even while another process
            // creates or deletes the same file; loop if it vanishes between the two opens.
            for (int attempt = 0; attempt < 64; ++attempt) {
                int fd = OpenRetrying(path, base | O_CREAT | O_EXCL, mode);
                if (fd >= 0) {
                    *existed = false;
                    return fd;
                }
                if (errno != EEXIST) {
                    return -1;
                }
                fd = OpenRetrying(path, base | keepOrEmpty, 0);
                if (fd >= 0) {
                    *existed = true;
                    return fd;
                }
                if (errno != ENOENT) {
                    return -1;
                }
            }
            errno = EBUSY;
            return -1;
        }
        default:
            errno = EINVAL;
            return -1;
    }
}

// A handle that owns fd from now on (closed here when no handle can be made).
Handle HandleOfDescriptor(int fd) noexcept {
    std::shared_ptr<FileObject> object;
    try {
        object = std::make_shared<FileObject>(fd);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        SetLastError(kErrorNotEnoughMemory);
        return kInvalidHandleValue;
    }
    Handle handle = posix::InsertHandle(std::move(object));
    // On failure the object (and descriptor) went with the failed insert.
    return handle != nullptr ? handle : kInvalidHandleValue;
}

}  // namespace

Handle CreateFile(const wchar_t* path, std::uint32_t access, std::uint32_t /*share*/,
                  bool /*openToEveryone*/, std::uint32_t disposition,
                  std::uint32_t /*attributes*/) noexcept {
    std::string narrow;
    if (!NarrowPath(path, &narrow)) {
        return kInvalidHandleValue;
    }
    int accessFlags;
    const bool wantRead = (access & kGenericRead) != 0;
    const bool wantWrite = (access & kGenericWrite) != 0;
    if (wantRead && wantWrite) {
        accessFlags = O_RDWR;
    } else if (wantWrite) {
        accessFlags = O_WRONLY;
    } else {
        accessFlags = O_RDONLY;
    }
    if (!wantWrite && (disposition == kCreateAlways || disposition == kTruncateExisting)) {
        // Emptying needs write access, as on Windows.
        SetLastError(kErrorAccessDenied);
        return kInvalidHandleValue;
    }
    // Where others may plant names, a link found at the last name is refused, not followed
    // into a file someone else chose.
    if (OthersCanWriteDirectoryOf(path)) {
        accessFlags |= O_NOFOLLOW;
    }
    bool existed = false;
    const int fd = OpenWithDisposition(narrow.c_str(), accessFlags, disposition, 0644, &existed);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP) {
            SetLastError(kErrorAccessDenied);
        } else if (error == EEXIST) {
            SetLastError(kErrorFileExists);
        } else if (error == ENOENT && disposition != kOpenExisting &&
                   disposition != kTruncateExisting) {
            SetLastError(kErrorPathNotFound);  // the file may be created: a directory is missing
        } else if (error == ENOENT) {
            // Windows tells a missing file (2) from a missing directory (3).
            const std::string::size_type slash = narrow.rfind('/');
            struct stat dirInfo {};
            const std::string dir =
                slash == std::string::npos ? std::string(".") : narrow.substr(0, slash + 1);
            SetLastError(::stat(dir.c_str(), &dirInfo) == 0 ? kErrorFileNotFound
                                                            : kErrorPathNotFound);
        } else {
            SetErrno(error);
        }
        return kInvalidHandleValue;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        SetLastError(kErrorAccessDenied);  // what CreateFileW says for a directory
        return kInvalidHandleValue;
    }
    Handle handle = HandleOfDescriptor(fd);
    if (handle == kInvalidHandleValue) {
        return kInvalidHandleValue;
    }
    SetLastError(existed && (disposition == kOpenAlways || disposition == kCreateAlways)
                     ? kErrorAlreadyExists
                     : kErrorSuccess);
    return handle;
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* high) noexcept {
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object) {
        return kInvalidFileSize;
    }
    struct stat info {};
    if (::fstat(object->Fd(), &info) != 0) {
        SetErrno(errno);
        return kInvalidFileSize;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (high != nullptr) {
        *high = static_cast<std::uint32_t>(size >> 32);
    }
    SetLastError(kErrorSuccess);
    return static_cast<std::uint32_t>(size);
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distanceLow, std::int32_t* distanceHigh,
                             std::uint32_t method) noexcept {
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object) {
        return kInvalidSetFilePointer;
    }
    int whence;
    switch (method) {
        case kFileBegin:
            whence = SEEK_SET;
            break;
        case kFileCurrent:
            whence = SEEK_CUR;
            break;
        case kFileEnd:
            whence = SEEK_END;
            break;
        default:
            SetLastError(kErrorInvalidParameter);
            return kInvalidSetFilePointer;
    }
    std::int64_t distance;
    if (distanceHigh == nullptr) {
        distance = distanceLow;
    } else {
        distance = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
            static_cast<std::uint32_t>(distanceLow));
    }
    // A target before the start fails without moving, as on Windows (lseek would say EINVAL).
    // Only a backward move can reach it, so only then is the base looked up.
    if (distance < 0) {
        off_t base = 0;
        if (whence == SEEK_CUR) {
            base = ::lseek(object->Fd(), 0, SEEK_CUR);
        } else if (whence == SEEK_END) {
            struct stat info {};
            base = ::fstat(object->Fd(), &info) == 0 ? info.st_size : -1;
        }
        if (base < 0) {
            SetErrno(errno);
            return kInvalidSetFilePointer;
        }
        if (-distance > base) {
            SetLastError(kErrorNegativeSeek);
            return kInvalidSetFilePointer;
        }
    }
    const off_t position = ::lseek(object->Fd(), static_cast<off_t>(distance), whence);
    if (position < 0) {
        SetErrno(errno);
        return kInvalidSetFilePointer;
    }
    const auto newPosition = static_cast<std::uint64_t>(position);
    if (distanceHigh != nullptr) {
        *distanceHigh = static_cast<std::int32_t>(newPosition >> 32);
    } else if ((newPosition >> 32) != 0) {
        // Windows: the position moved but cannot be reported in 32 bits.
        SetLastError(kErrorInvalidParameter);
        return kInvalidSetFilePointer;
    }
    SetLastError(kErrorSuccess);
    return static_cast<std::uint32_t>(newPosition);
}

bool SeekTo(Handle file, std::uint64_t offset) noexcept {
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object) {
        return false;
    }
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    if (::lseek(object->Fd(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        SetErrno(errno);
        return false;
    }
    return true;
}

bool TruncateTo(Handle file, std::uint64_t size) noexcept {
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object || !SeekTo(file, size)) {
        return false;
    }
    if (::ftruncate(object->Fd(), static_cast<off_t>(size)) != 0) {
        SetErrno(errno);
        return false;
    }
    return true;
}

bool WriteFile(Handle file, const void* data, std::uint32_t bytes,
               std::uint32_t* written) noexcept {
    if (written != nullptr) {
        *written = 0;
    }
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object) {
        return false;
    }
    if (data == nullptr && bytes != 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    // write() may stop short (a signal, a full disk): go on until all is written or it fails.
    const auto* cursor = static_cast<const unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(object->Fd(), cursor + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetErrno(errno);
            break;
        }
        if (n == 0) {
            SetLastError(kErrorDiskFull);
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return done == bytes;
}

bool ReadFile(Handle file, void* data, std::uint32_t bytes, std::uint32_t* read) noexcept {
    if (read != nullptr) {
        *read = 0;
    }
    const std::shared_ptr<FileObject> object = LookupFile(file);
    if (!object) {
        return false;
    }
    if (data == nullptr && bytes != 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    ssize_t n;
    do {
        n = ::read(object->Fd(), data, bytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetErrno(errno);
        return false;
    }
    if (read != nullptr) {
        *read = static_cast<std::uint32_t>(n);
    }
    return true;
}

bool PathFileExists(const wchar_t* path) noexcept {
    std::string narrow;
    if (!NarrowPath(path, &narrow)) {
        return false;
    }
    struct stat info {};
    return ::stat(narrow.c_str(), &info) == 0;
}

ErrorCode CreateDirectoryTree(const wchar_t* path, bool ownerOnly) noexcept {
    if (path == nullptr || path[0] != L'/') {
        return kErrorBadPathname;
    }
    std::string narrow;
    if (!NarrowPath(path, &narrow)) {
        return GetLastError();
    }
    while (narrow.size() > 1 && narrow.back() == '/') {
        narrow.pop_back();
    }
    struct stat info {};
    if (::stat(narrow.c_str(), &info) == 0) {
        return kErrorAlreadyExists;
    }
    // Every level from the top; a level another process made meanwhile is fine.
    std::string::size_type next = 1;
    while (true) {
        const std::string::size_type slash = narrow.find('/', next);
        const std::string level = narrow.substr(0, slash);
        const mode_t mode = ownerOnly && slash == std::string::npos ? 0700 : 0755;
        if (!level.empty() && level.back() != '/' && ::mkdir(level.c_str(), mode) != 0) {
            const int error = errno;
            if (error != EEXIST) {
                return error == ENOTDIR ? kErrorPathNotFound : ErrorFromErrno(error);
            }
            if (::stat(level.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
                return kErrorPathNotFound;  // a file stands where a directory should be
            }
            if (slash == std::string::npos) {
                return kErrorAlreadyExists;  // another process made the last level first
            }
        }
        if (slash == std::string::npos) {
            break;
        }
        next = slash + 1;
    }
    return kErrorSuccess;
}

bool DeleteFile(const wchar_t* path) noexcept {
    std::string narrow;
    if (!NarrowPath(path, &narrow)) {
        return false;
    }
    struct stat info {};
    if (::lstat(narrow.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    if (::unlink(narrow.c_str()) != 0) {
        SetErrno(errno);
        return false;
    }
    return true;
}

bool IsAbsolutePath(const wchar_t* path) noexcept {
    return path != nullptr && path[0] == L'/';
}

Handle CreatePrivateFile(const wchar_t* path) noexcept {
    std::string narrow;
    if (!NarrowPath(path, &narrow)) {
        return kInvalidHandleValue;
    }
    // O_EXCL with O_NOFOLLOW: whatever stands at the name, a planted link included, is refused.
    const int fd =
        OpenRetrying(narrow.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetLastError(errno == EEXIST ? kErrorFileExists : ErrorFromErrno(errno));
        return kInvalidHandleValue;
    }
    if (::fchmod(fd, 0600) != 0) {  // the umask may only narrow it, but say it whole
        SetErrno(errno);
        ::close(fd);
        (void)::unlink(narrow.c_str());
        return kInvalidHandleValue;
    }
    return HandleOfDescriptor(fd);
}

bool MoveFile(const wchar_t* from, const wchar_t* to) noexcept {
    std::string narrowFrom, narrowTo;
    if (!NarrowPath(from, &narrowFrom) || !NarrowPath(to, &narrowTo)) {
        return false;
    }
    if (::rename(narrowFrom.c_str(), narrowTo.c_str()) != 0) {
        SetErrno(errno);
        return false;
    }
    return true;
}

}  // namespace platform
