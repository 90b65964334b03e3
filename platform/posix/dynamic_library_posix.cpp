// POSIX dynamic libraries: dlopen/dlsym/dlclose with the Windows loader's error codes.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "text/text.h"

namespace platform {

namespace {

bool StartsWithElfMagic(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    unsigned char magic[4] = {};
    const ssize_t n = ::read(fd, magic, sizeof magic);
    ::close(fd);
    return n == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// dlopen reports failures only as text. The file itself was checked before, so what is left
// is a file that is not a loadable library for this process, or one whose dependencies fail.
ErrorCode ErrorFromDlopenFailure(const char* path, bool checkedFile) {
    const char* message = ::dlerror();
    if (checkedFile && !StartsWithElfMagic(path)) {
        return kErrorBadExeFormat;
    }
    if (message != nullptr) {
        if (std::strstr(message, "undefined symbol") != nullptr) {
            return kErrorProcNotFound;  // as Windows reports an unresolved import
        }
        if (std::strstr(message, "cannot open shared object file") != nullptr) {
            return kErrorModNotFound;  // the file or one of its dependencies is missing
        }
    }
    return checkedFile ? kErrorBadExeFormat : kErrorModNotFound;
}

}  // namespace

Module LoadLibrary(const wchar_t* path) noexcept {
    if (path == nullptr || path[0] == L'\0') {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    const std::string file = WideToUtf8(path);
    // A name without a slash is searched for like the system does; a path is checked first,
    // so that a missing file, a directory or a device gets the code Windows gives it (and a
    // FIFO never blocks the loader).
    const bool isPath = file.find('/') != std::string::npos;
    if (isPath) {
        struct stat info = {};
        if (::stat(file.c_str(), &info) != 0) {
            const int error = errno;
            SetLastError(error == ENOENT || error == ENOTDIR ? kErrorModNotFound
                         : error == ENAMETOOLONG             ? kErrorFilenameExcedRange
                                                             : ErrorFromErrno(error));
            return nullptr;
        }
        if (!S_ISREG(info.st_mode)) {
            SetLastError(kErrorBadExeFormat);
            return nullptr;
        }
    } else if (file.size() > NAME_MAX) {
        SetLastError(kErrorFilenameExcedRange);
        return nullptr;
    }
    ::dlerror();
    void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        SetLastError(ErrorFromDlopenFailure(file.c_str(), isPath));
    }
    return module;
}

void* GetProcAddress(Module module, const char* name) noexcept {
    if (module == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    if (name == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(module, name);
    if (address == nullptr) {
        SetLastError(kErrorProcNotFound);
        return nullptr;
    }
    // dlsym also searches the library's dependencies; GetProcAddress finds only the
    // library's own exports, so a symbol defined elsewhere counts as missing.
    link_map* own = nullptr;
    link_map* definer = nullptr;
    Dl_info info = {};
    if (::dlinfo(module, RTLD_DI_LINKMAP, &own) != 0 ||
        ::dladdr1(address, &info, reinterpret_cast<void**>(&definer), RTLD_DL_LINKMAP) == 0 ||
        own != definer) {
        SetLastError(kErrorProcNotFound);
        return nullptr;
    }
    return address;
}

bool FreeLibrary(Module module) noexcept {
    if (module == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (::dlclose(module) != 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

}  // namespace platform
