// The POSIX registry's file store: reading the file, the writers' locks, atomic replacement.
#include "platform/posix/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "platform/error.h"
#include "platform/path_trust.h"
#include "platform/registry.h"
#include "regfile/registry_file_parser.h"
#include "regfile/registry_file_writer.h"
#include "text/text.h"

namespace platform::posix {
namespace {

std::mutex g_filesMutex;  // guards g_files
std::map<std::string, std::weak_ptr<RegistryFile>> g_files;
std::mutex g_writeMutex;  // one writer at a time in this process

// The whole file; a missing file reads as empty, with *exists false. A link where others may
// plant one is refused (5) rather than followed.
ErrorCode ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes, bool* exists) {
    bytes->clear();
    *exists = false;
    const bool noFollow = OthersCanWriteDirectoryOf(Utf8ToWide(path).c_str());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
    if (fd < 0) {
        return errno == ENOENT  ? kErrorSuccess
               : errno == ELOOP ? kErrorAccessDenied
                                : ErrorFromErrno(errno);
    }
    *exists = true;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return kErrorAccessDenied;
    }
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const ErrorCode code = ErrorFromErrno(errno);
            ::close(fd);
            return code;
        }
        if (n == 0) {
            break;
        }
        bytes->insert(bytes->end(), chunk, chunk + n);
    }
    ::close(fd);
    return kErrorSuccess;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that a rewrite replaces: the target of a symbolic link rather than the link.
std::string RealTarget(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return path;
}

ErrorCode WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrorFromErrno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return kErrorSuccess;
}

// Puts bytes in place of the file at once: a temporary file beside it, flushed, renamed over
// it. Readers see the old file or the new one, never a part.
ErrorCode ReplaceFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    static std::atomic<unsigned> counter{0};
    const std::string target = RealTarget(path);
    const std::string temp =
        target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          existed ? (old.st_mode & 07777) : 0644);
    if (fd < 0) {
        // A missing directory is a missing path, as Windows reports it.
        return errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno);
    }
    ErrorCode result = WriteAll(fd, bytes);
    if (result == kErrorSuccess && existed) {
        // Keep the owner and mode an administrator gave the file; failure to is harmless.
        (void)::fchmod(fd, old.st_mode & 07777);
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            (void)::fchown(fd, old.st_uid, old.st_gid);
        }
    }
    if (result == kErrorSuccess && ::fsync(fd) != 0) {
        result = ErrorFromErrno(errno);
    }
    if (::close(fd) != 0 && result == kErrorSuccess) {
        result = ErrorFromErrno(errno);
    }
    if (result == kErrorSuccess && ::rename(temp.c_str(), target.c_str()) != 0) {
        result = ErrorFromErrno(errno);
    }
    if (result != kErrorSuccess) {
        ::unlink(temp.c_str());
        return result;
    }
    const int dirFd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return kErrorSuccess;
}

// The file's state after a read or a write.
void Keep(RegistryFile& file, regfile::Document doc, std::vector<std::uint8_t> bytes, bool exists) {
    file.doc = std::move(doc);
    file.bytes = std::move(bytes);
    file.exists = exists;
    file.loaded = true;
}

}  // namespace

std::string CurrentRegistryFilePath() {
    static const std::string variable = WideToUtf8(kRegistryFileVariable);
    const char* value = std::getenv(variable.c_str());
    return value != nullptr && *value != '\0' ? std::string(value)
                                              : WideToUtf8(kDefaultRegistryFile);
}

std::shared_ptr<RegistryFile> RegistryFileFor(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_filesMutex);
    auto it = g_files.find(path);
    if (it != g_files.end()) {
        if (auto file = it->second.lock()) {
            return file;
        }
    }
    std::erase_if(g_files, [](const auto& entry) { return entry.second.expired(); });
    auto file = std::make_shared<RegistryFile>();
    file->path = path;
    file->displayPath = Utf8ToWide(path);
    g_files[path] = file;
    return file;
}

ErrorCode RefreshRegistryFile(RegistryFile& file, std::wstring* reason) {
    // Root runs the libraries this file lists: a file that anyone else could change would
    // let them choose what root runs.
    if (const std::wstring untrusted = UntrustedPathReason(file.displayPath.c_str());
        !untrusted.empty()) {
        *reason = file.displayPath + L": refused, " + untrusted +
                  L" (as root, the host reads only a registry file that no other user can change)";
        return kErrorAccessDenied;
    }
    std::vector<std::uint8_t> bytes;
    bool exists = false;
    if (const ErrorCode read = ReadWholeFile(file.path, &bytes, &exists); read != kErrorSuccess) {
        if (read == kErrorAccessDenied) {
            *reason = file.displayPath +
                      L": refused, a symbolic link in a directory that others "
                      L"can write";
        }
        return read;
    }
    if (file.loaded && exists == file.exists && bytes == file.bytes) {
        return kErrorSuccess;
    }
    regfile::Document doc;
    regfile::ParseError error;
    if (!regfile::Parse(bytes.data(), bytes.size(), &doc, &error)) {
        *reason = regfile::DescribeError(file.displayPath, error);
        return kErrorInvalidData;
    }
    Keep(file, std::move(doc), std::move(bytes), exists);
    return kErrorSuccess;
}

RegistryWriteLock::RegistryWriteLock(const RegistryFile& file) : m_process(g_writeMutex) {
    m_directory =
        ::open(DirectoryOf(RealTarget(file.path)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_directory >= 0) {
        while (::flock(m_directory, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

RegistryWriteLock::~RegistryWriteLock() {
    if (m_directory >= 0) {
        ::close(m_directory);
    }
}

ErrorCode CommitRegistryFile(RegistryFile& file, regfile::Document doc) {
    std::vector<std::uint8_t> bytes = regfile::Serialize(doc);
    if (const ErrorCode written = ReplaceFile(file.path, bytes); written != kErrorSuccess) {
        return written;
    }
    Keep(file, std::move(doc), std::move(bytes), true);
    return kErrorSuccess;
}

}  // namespace platform::posix
