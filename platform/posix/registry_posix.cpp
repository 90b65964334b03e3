// The registry on POSIX: HKEY_LOCAL_MACHINE kept in a .reg text file, with Windows' rules.
//
// The file is read again on every RegOpenKeyEx (and on every direct use of the root key); a
// key handle then works on the last registry read from its file, which the write calls of
// this process keep current. A write re-reads the file, changes it and puts a complete new
// file in its place with rename(), under one lock per process and an flock() on the file's
// directory against other processes, so no update is lost and no reader sees half a file.
// Buffer sizes, error codes and access checks follow the Windows registry call for call.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr ErrorCode kErrorKeyDeleted = 1018;
constexpr char kDefaultFile[] = "/etc/keltra/registry.reg";
constexpr char kFileVariable[] = "KELTRA_REGISTRY_FILE";

// The value Windows gives HKEY_LOCAL_MACHINE; never dereferenced.
RegKey const kLocalMachine = reinterpret_cast<RegKey>(std::uintptr_t{0x80000002});

// One registry file as last read. Several handles share it.
struct FileState {
    std::string path;
    std::wstring displayPath;
    std::mutex mutex;  // guards everything below
    bool loaded = false;
    std::vector<std::uint8_t> bytes;
    regfile::Document doc;
};

struct OpenKey {
    std::shared_ptr<FileState> file;
    std::wstring path;
    std::uint32_t access = 0;
};

std::mutex g_tableMutex;  // guards g_openKeys and g_files
std::unordered_set<OpenKey*> g_openKeys;
std::map<std::string, std::weak_ptr<FileState>> g_files;
std::mutex g_writeMutex;  // one writer at a time in this process
thread_local std::wstring t_fileError;

std::string CurrentFilePath() {
    const char* value = std::getenv(kFileVariable);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string(kDefaultFile);
}

std::shared_ptr<FileState> StateFor(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_files.find(path);
    if (it != g_files.end()) {
        if (auto state = it->second.lock()) {
            return state;
        }
    }
    std::erase_if(g_files, [](const auto& entry) { return entry.second.expired(); });
    auto state = std::make_shared<FileState>();
    state->path = path;
    state->displayPath = Utf8ToWide(path);
    g_files[path] = state;
    return state;
}

// The whole file; a missing file reads as empty.
ErrorCode ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? kErrorSuccess : ErrorFromErrno(errno);
    }
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

// Reads the file again into the state (state->mutex held). On a malformed file the state
// keeps the registry it had and the reason goes to this thread's RegistryFileError.
ErrorCode Refresh(FileState& state) {
    std::vector<std::uint8_t> bytes;
    const ErrorCode read = ReadWholeFile(state.path, &bytes);
    if (read != kErrorSuccess) {
        return read;
    }
    if (state.loaded && bytes == state.bytes) {
        t_fileError.clear();
        return kErrorSuccess;
    }
    regfile::Document doc;
    regfile::ParseError error;
    if (!regfile::Parse(bytes.data(), bytes.size(), &doc, &error)) {
        t_fileError = regfile::DescribeError(state.displayPath, error);
        return kErrorInvalidData;
    }
    t_fileError.clear();
    state.doc = std::move(doc);
    state.bytes = std::move(bytes);
    state.loaded = true;
    return kErrorSuccess;
}

// What a handle stands for. The root key has no file of its own: it uses the file that
// KELTRA_REGISTRY_FILE names at the time of the call.
struct Resolved {
    std::shared_ptr<FileState> file;
    std::wstring path;
    std::uint32_t access = 0;
    bool root = false;
};

ErrorCode Resolve(RegKey key, Resolved* out) {
    if (key == kLocalMachine) {
        out->file = StateFor(CurrentFilePath());
        out->path.clear();
        out->access = kKeyAllAccess;
        out->root = true;
        return kErrorSuccess;
    }
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto* open = static_cast<OpenKey*>(key);
    if (key == nullptr || g_openKeys.count(open) == 0) {
        return kErrorInvalidHandle;
    }
    out->file = open->file;
    out->path = open->path;
    out->access = open->access;
    out->root = false;
    return kErrorSuccess;
}

RegKey NewHandle(std::shared_ptr<FileState> file, std::wstring path, std::uint32_t access) {
    auto* open = new OpenKey{std::move(file), std::move(path), access};
    std::lock_guard<std::mutex> lock(g_tableMutex);
    g_openKeys.insert(open);
    return open;
}

bool IsStringType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// Copies value data as Windows does: the stored bytes, and a NUL character after string
// data that lacks one when the buffer has room for it (not counted in the size).
void CopyData(const regfile::Value& value, std::uint8_t* data, std::uint32_t capacity) {
    const std::size_t size = value.data.size();
    if (size != 0) {
        std::memcpy(data, value.data.data(), size);
    }
    if (IsStringType(value.type) && size >= 2 && size + 2 <= capacity &&
        (data[size - 2] != 0 || data[size - 1] != 0)) {
        data[size] = 0;
        data[size + 1] = 0;
    }
}

// Holds an flock() on a directory for the lifetime of the object; best effort.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& dir) {
        m_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd >= 0) {
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~DirectoryLock() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

  private:
    int m_fd = -1;
};

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

// A change that leaves the registry as it is: nothing is written.
constexpr ErrorCode kUnchanged = 0xFFFFFFFF;

// Reads the file afresh, applies change to a copy and writes the result back in one step.
template <typename Change>
ErrorCode Modify(FileState& state, Change change) {
    std::lock_guard<std::mutex> writer(g_writeMutex);
    DirectoryLock others(DirectoryOf(RealTarget(state.path)));
    std::lock_guard<std::mutex> lock(state.mutex);
    const ErrorCode read = Refresh(state);
    if (read != kErrorSuccess) {
        return read;
    }
    regfile::Document next = state.doc;
    const ErrorCode changed = change(next);
    if (changed == kUnchanged) {
        return kErrorSuccess;
    }
    if (changed != kErrorSuccess) {
        return changed;
    }
    std::vector<std::uint8_t> bytes = regfile::Serialize(next);
    const ErrorCode written = ReplaceFile(state.path, bytes);
    if (written != kErrorSuccess) {
        return written;
    }
    state.doc = std::move(next);
    state.bytes = std::move(bytes);
    state.loaded = true;
    return kErrorSuccess;
}

std::size_t Length(const wchar_t* text) {
    return text == nullptr ? 0 : std::wcslen(text);
}

}  // namespace

RegKey HkeyLocalMachine() noexcept {
    return kLocalMachine;
}

ErrorCode RegOpenKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t /*options*/,
                       std::uint32_t access, RegKey* key) noexcept {
    if (key == nullptr) {
        return kErrorInvalidParameter;
    }
    *key = nullptr;
    try {
        Resolved base;
        if (const ErrorCode r = Resolve(root, &base); r != kErrorSuccess) {
            return r;
        }
        std::wstring relative;
        if (const ErrorCode r = regfile::CanonicalKeyPath(
                std::wstring_view(subKey == nullptr ? L"" : subKey), &relative);
            r != kErrorSuccess) {
            return r;
        }
        std::wstring path = regfile::JoinKeyPath(base.path, relative);
        {
            std::lock_guard<std::mutex> lock(base.file->mutex);
            if (const ErrorCode r = Refresh(*base.file); r != kErrorSuccess) {
                return r;
            }
            if (!base.file->doc.KeyExists(base.path)) {
                return kErrorKeyDeleted;
            }
            if (!base.file->doc.KeyExists(path)) {
                return kErrorFileNotFound;
            }
        }
        *key = NewHandle(std::move(base.file), std::move(path), access);
        return kErrorSuccess;
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode RegEnumValue(RegKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                       std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    if (name == nullptr || nameChars == nullptr || (data != nullptr && dataBytes == nullptr)) {
        return kErrorInvalidParameter;
    }
    try {
        Resolved r;
        if (const ErrorCode e = Resolve(key, &r); e != kErrorSuccess) {
            return e;
        }
        if ((r.access & kKeyQueryValue) == 0) {
            return kErrorAccessDenied;
        }
        std::lock_guard<std::mutex> lock(r.file->mutex);
        if (r.root) {
            if (const ErrorCode e = Refresh(*r.file); e != kErrorSuccess) {
                return e;
            }
        }
        const regfile::Key* k = r.file->doc.FindKey(r.path);
        if (k == nullptr) {
            return r.path.empty() ? kErrorNoMoreItems : kErrorKeyDeleted;
        }
        if (index >= k->values.size()) {
            return kErrorNoMoreItems;
        }
        const regfile::Value& v = k->values[index];
        ErrorCode result = kErrorSuccess;
        if (v.name.size() >= *nameChars) {
            result = kErrorMoreData;  // neither name nor data is stored, as on Windows
        } else {
            std::wmemcpy(name, v.name.data(), v.name.size());
            name[v.name.size()] = L'\0';
            *nameChars = static_cast<std::uint32_t>(v.name.size());
            if (data != nullptr) {
                if (v.data.size() > *dataBytes) {
                    result = kErrorMoreData;
                } else {
                    CopyData(v, data, *dataBytes);
                }
            }
        }
        if (type != nullptr) {
            *type = v.type;
        }
        if (dataBytes != nullptr) {
            *dataBytes = static_cast<std::uint32_t>(v.data.size());
        }
        return result;
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode RegQueryValueEx(RegKey key, const wchar_t* valueName, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    if (data != nullptr && dataBytes == nullptr) {
        return kErrorInvalidParameter;
    }
    try {
        Resolved r;
        if (const ErrorCode e = Resolve(key, &r); e != kErrorSuccess) {
            return e;
        }
        if ((r.access & kKeyQueryValue) == 0) {
            return kErrorAccessDenied;
        }
        std::lock_guard<std::mutex> lock(r.file->mutex);
        if (r.root) {
            if (const ErrorCode e = Refresh(*r.file); e != kErrorSuccess) {
                return e;
            }
        }
        const regfile::Key* k = r.file->doc.FindKey(r.path);
        if (k == nullptr) {
            return r.path.empty() ? kErrorFileNotFound : kErrorKeyDeleted;
        }
        const regfile::Value* v =
            regfile::FindValue(*k, std::wstring_view(valueName == nullptr ? L"" : valueName));
        if (v == nullptr) {
            return kErrorFileNotFound;
        }
        ErrorCode result = kErrorSuccess;
        if (data != nullptr) {
            if (v->data.size() > *dataBytes) {
                result = kErrorMoreData;
            } else {
                CopyData(*v, data, *dataBytes);
            }
        }
        if (type != nullptr) {
            *type = v->type;
        }
        if (dataBytes != nullptr) {
            *dataBytes = static_cast<std::uint32_t>(v->data.size());
        }
        return result;
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode RegCloseKey(RegKey key) noexcept {
    if (key == kLocalMachine) {
        return kErrorSuccess;
    }
    auto* open = static_cast<OpenKey*>(key);
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (key == nullptr || g_openKeys.erase(open) == 0) {
            return kErrorInvalidHandle;
        }
    }
    delete open;
    return kErrorSuccess;
}

ErrorCode RegCreateKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t access,
                         RegKey* key) noexcept {
    if (key == nullptr || subKey == nullptr) {
        return kErrorInvalidParameter;
    }
    *key = nullptr;
    try {
        Resolved base;
        if (const ErrorCode r = Resolve(root, &base); r != kErrorSuccess) {
            return r;
        }
        std::wstring relative;
        if (const ErrorCode r = regfile::CanonicalKeyPath(subKey, &relative); r != kErrorSuccess) {
            return r;
        }
        if (!regfile::IsWritableName(relative)) {
            return kErrorInvalidParameter;
        }
        std::wstring path = regfile::JoinKeyPath(base.path, relative);
        const ErrorCode r = Modify(*base.file, [&](regfile::Document& doc) -> ErrorCode {
            if (!doc.KeyExists(base.path)) {
                return kErrorKeyDeleted;
            }
            if (doc.KeyExists(path)) {
                return kUnchanged;
            }
            doc.CreateKey(path);
            return kErrorSuccess;
        });
        if (r != kErrorSuccess) {
            return r;
        }
        *key = NewHandle(std::move(base.file), std::move(path), access);
        return kErrorSuccess;
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode RegSetValueEx(RegKey key, const wchar_t* valueName, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t dataBytes) noexcept {
    if (data == nullptr && dataBytes != 0) {
        return kErrorInvalidParameter;
    }
    const std::wstring_view name(valueName == nullptr ? L"" : valueName, Length(valueName));
    if (name.size() > regfile::kMaxValueNameChars || !regfile::IsWritableName(name)) {
        return kErrorInvalidParameter;
    }
    try {
        Resolved r;
        if (const ErrorCode e = Resolve(key, &r); e != kErrorSuccess) {
            return e;
        }
        if ((r.access & kKeySetValue) == 0) {
            return kErrorAccessDenied;
        }
        std::vector<std::uint8_t> bytes(data, data + dataBytes);
        return Modify(*r.file, [&](regfile::Document& doc) -> ErrorCode {
            if (!doc.KeyExists(r.path)) {
                return kErrorKeyDeleted;
            }
            regfile::SetValue(doc.CreateKey(r.path), name, type, std::move(bytes));
            return kErrorSuccess;
        });
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

ErrorCode RegDeleteTree(RegKey root, const wchar_t* subKey) noexcept {
    try {
        Resolved base;
        if (const ErrorCode r = Resolve(root, &base); r != kErrorSuccess) {
            return r;
        }
        std::wstring relative;
        if (const ErrorCode r = regfile::CanonicalKeyPath(
                std::wstring_view(subKey == nullptr ? L"" : subKey), &relative);
            r != kErrorSuccess) {
            return r;
        }
        if (relative.empty() && base.root) {
            return kErrorAccessDenied;  // HKEY_LOCAL_MACHINE itself cannot be emptied
        }
        const std::wstring path = regfile::JoinKeyPath(base.path, relative);
        return Modify(*base.file, [&](regfile::Document& doc) -> ErrorCode {
            if (!doc.KeyExists(base.path)) {
                return kErrorKeyDeleted;
            }
            if (!relative.empty()) {
                return doc.DeleteTree(path) ? kErrorSuccess : kErrorFileNotFound;
            }
            // No subkey: the key stays, its values and subkeys go.
            regfile::Key* self = doc.FindKey(path);
            if (self != nullptr) {
                self->values.clear();
            }
            std::vector<std::wstring> children;
            const std::wstring prefix = regfile::FoldName(path) + L'\\';
            for (const regfile::Key& k : doc.Keys()) {
                if (regfile::FoldName(k.path).starts_with(prefix)) {
                    children.push_back(k.path);
                }
            }
            for (const std::wstring& child : children) {
                doc.DeleteTree(child);
            }
            return kErrorSuccess;
        });
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

const wchar_t* RegistryFileError() noexcept {
    return t_fileError.c_str();
}

}  // namespace platform
