// The directory of the calling user's named kernel objects, checked before it is trusted.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "platform/error.h"
#include "platform/posix/kernel_object_directory.h"

namespace platform::posix {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int Refuse(int fd, ErrorCode error) noexcept {
    if (fd >= 0) {
        ::close(fd);
    }
    SetLastError(error);
    return -1;
}

// A link or a non-directory where a directory must be is refused, never followed.
ErrorCode OpenError(int error) noexcept {
    return error == ELOOP || error == ENOTDIR ? kErrorAccessDenied : ErrorFromErrno(error);
}

// fd names a directory owned by owner that grants none of the forbidden mode bits.
bool Trusted(int fd, uid_t owner, mode_t forbidden) noexcept {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owner &&
           (st.st_mode & forbidden) == 0;
}

// Opens (making it if missing) the directory name below parent and checks it.
int OpenChecked(int parent, const char* name, uid_t owner, mode_t mode, mode_t forbidden) noexcept {
    const bool made = ::mkdirat(parent, name, mode) == 0;
    if (!made && errno != EEXIST) {
        return Refuse(-1, ErrorFromErrno(errno));
    }
    const int fd = ::openat(parent, name, kDirectoryFlags);
    if (fd < 0) {
        return Refuse(-1, OpenError(errno));
    }
    if (made) {
        (void)::fchmod(fd, mode);  // the mode asked for, whatever the umask
    }
    return Trusted(fd, owner, forbidden) ? fd : Refuse(fd, kErrorAccessDenied);
}

}  // namespace

int OpenObjectDirectory() noexcept {
    const uid_t user = ::geteuid();
    if (user == 0) {
        // /run must be root's, and writable by others only with the sticky bit (a bare
        // tmpfs), which keeps them from moving ours away; one they made first is refused.
        const int run = ::open("/run", kDirectoryFlags);
        if (run < 0) {
            return Refuse(-1, OpenError(errno));
        }
        struct stat st {};
        if (::fstat(run, &st) != 0 ||
            !Trusted(run, 0, (st.st_mode & S_ISVTX) != 0 ? 0 : S_IWGRP | S_IWOTH)) {
            return Refuse(run, kErrorAccessDenied);
        }
        const int fd = OpenChecked(run, "keltra", 0, 0755, S_IWGRP | S_IWOTH);
        ::close(run);
        return fd;
    }
    char name[32];
    std::snprintf(name, sizeof name, "keltra-%u", static_cast<unsigned>(user));
    for (const char* parent : {"/dev/shm", "/tmp"}) {
        const int base = ::open(parent, kDirectoryFlags);
        if (base < 0 && errno == ENOENT) {
            continue;
        }
        if (base < 0) {
            return Refuse(-1, OpenError(errno));
        }
        // A world-writable parent is fine: its sticky bit keeps others from moving ours away.
        const int fd = OpenChecked(base, name, user, 0700, S_IRWXG | S_IRWXO);
        ::close(base);
        return fd;
    }
    return Refuse(-1, kErrorPathNotFound);
}

std::string ObjectFileName(const std::string& utf8Name) {
    constexpr std::size_t kMaxFileName = 255;
    std::string escaped;
    for (const char c : utf8Name) {
        if (c == '/') {
            escaped += "%2F";
        } else if (c == '%') {
            escaped += "%25";
        } else {
            escaped += c;
        }
    }
    std::string name = "m." + escaped;
    if (name.size() <= kMaxFileName) {
        return name;
    }
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over the full escaped name
    for (const char c : escaped) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    name.resize(kMaxFileName - (sizeof suffix - 3));
    return name + suffix;
}

}  // namespace platform::posix
