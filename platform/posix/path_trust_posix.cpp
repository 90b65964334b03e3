// POSIX: walks a path from the root, symbolic links followed by hand, and checks who could
// change or replace each thing met on the way.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/path_trust.h"
#include "text/text.h"

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit on links in one resolution

bool TrustedOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

std::string ForeignOwner(const std::string& path, const struct stat& info) {
    return TrustedOwner(info.st_uid) ? std::string()
                                     : path + " is owned by uid " + std::to_string(info.st_uid);
}

std::string OwnerProblem(const std::string& path, const struct stat& info) {
    const std::string owner = ForeignOwner(path, info);
    return owner.empty() ? owner : owner + ", not root";
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Who besides root and this user could add, rename or remove names in path's directory
// (stickyProtects: not those the sticky bit keeps from touching names they do not own).
std::string DirectoryWriters(const std::string& path, bool stickyProtects) {
    const std::string directory = DirectoryOf(path);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        return std::string();  // missing: nobody's name is there either
    }
    if (std::string owner = ForeignOwner(directory, info); !owner.empty()) {
        return owner;
    }
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    return (info.st_mode & 022) != 0 && !(stickyProtects && sticky)
               ? directory + " is writable by group or others"
               : std::string();
}

// Pushes the names of path on the stack so that the first name is popped first.
void PushNames(const std::string& path, std::vector<std::string>* names) {
    std::vector<std::string> forward;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) {
            forward.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    names->insert(names->end(), forward.rbegin(), forward.rend());
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string ParentOf(const std::string& directory) {
    const std::size_t slash = directory.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

// The walk itself. Every directory met is link-free (links are replaced by their targets),
// so ".." is its lexical parent.
std::string Walk(const std::string& path) {
    std::vector<std::string> names;
    std::string current = "/";
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            return "the current directory cannot be examined: " + std::string(std::strerror(errno));
        }
        PushNames(path, &names);
        PushNames(cwd, &names);
    } else {
        PushNames(path, &names);
    }
    struct stat info {};
    if (::lstat("/", &info) != 0 || !TrustedOwner(info.st_uid) ||
        ((info.st_mode & 022) != 0 && (info.st_mode & S_ISVTX) == 0)) {
        return "/ may be changed by others";
    }
    int links = 0;
    while (!names.empty()) {
        const std::string name = names.back();
        names.pop_back();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current = ParentOf(current);
            continue;
        }
        const std::string next = Join(current, name);
        if (::lstat(next.c_str(), &info) != 0) {
            // Missing: nothing there to trust yet, which the caller finds out for itself.
            return errno == ENOENT || errno == ENOTDIR
                       ? std::string()
                       : next + " cannot be examined: " + std::strerror(errno);
        }
        // Whoever owns an entry may replace it even in a sticky directory.
        if (std::string owner = OwnerProblem(next, info); !owner.empty()) {
            return owner;
        }
        if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(next.c_str(), target, sizeof target - 1);
            if (length < 0 || ++links > kMaxLinks) {
                return next + ": too many symbolic links, or one that cannot be read";
            }
            const std::string to(target, static_cast<std::size_t>(length));
            PushNames(to, &names);
            if (!to.empty() && to[0] == '/') {
                current.assign(1, '/');  // assign(1, c): gcc 12 -O3 misreads a literal here
            }
            continue;
        }
        const bool last = names.empty();
        if (!last && !S_ISDIR(info.st_mode)) {
            return std::string();  // not a directory: the path names nothing
        }
        const bool othersWrite = (info.st_mode & 022) != 0;
        if (othersWrite && (last || (info.st_mode & S_ISVTX) == 0)) {
            return next + " is writable by group or others";
        }
        current = next;
    }
    return std::string();
}

}  // namespace

std::wstring UntrustedPathReason(const wchar_t* path) {
    if (::geteuid() != 0 || path == nullptr) {
        return std::wstring();
    }
    try {
        return Utf8ToWide(Walk(WideToUtf8(path)));
    } catch (const std::bad_alloc&) {
        return L"out of memory while checking the path";
    }
}

bool OthersCanWriteDirectoryOf(const wchar_t* path) noexcept {
    if (path == nullptr) {
        return false;
    }
    try {
        return !DirectoryWriters(WideToUtf8(path), false).empty();
    } catch (const std::bad_alloc&) {
        return true;  // cannot tell: take the careful road
    }
}

std::wstring PlantedNameReason(const wchar_t* path, bool entryToo) {
    if (path == nullptr) {
        return std::wstring();
    }
    const std::string narrow = WideToUtf8(path);
    std::string reason = DirectoryWriters(narrow, true);
    struct stat info {};
    if (reason.empty() && entryToo && ::lstat(narrow.c_str(), &info) == 0) {
        reason = ForeignOwner(narrow, info);
    }
    return Utf8ToWide(reason);
}

}  // namespace platform
