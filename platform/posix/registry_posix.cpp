// The registry on POSIX: HKEY_LOCAL_MACHINE kept in a .reg text file, with Windows' rules.
//
// The file is read again on every RegOpenKeyEx (and on every direct use of the root key); a
// key handle then works on the last registry read from its file, which the write calls of
// this process keep current. Writes go through the file store (registry_store.h), so no
// update is lost and no reader sees half a file. Buffer sizes, error codes and access checks
// follow the Windows registry call for call.
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/error.h"
#include "platform/posix/registry_store.h"
#include "platform/registry.h"
#include "regfile/registry_file.h"

namespace platform {
namespace {

using posix::RegistryFile;

constexpr ErrorCode kErrorKeyDeleted = 1018;

// The value Windows gives HKEY_LOCAL_MACHINE; never dereferenced.
RegKey const kLocalMachine = reinterpret_cast<RegKey>(std::uintptr_t{0x80000002});

struct OpenKey {
    std::shared_ptr<RegistryFile> file;
    std::wstring path;
    std::uint32_t access = 0;
};

std::mutex g_tableMutex;  // guards g_openKeys
std::unordered_set<OpenKey*> g_openKeys;
thread_local std::wstring t_fileError;

RegKey NewHandle(std::shared_ptr<RegistryFile> file, std::wstring path, std::uint32_t access) {
    auto* open = new OpenKey{std::move(file), std::move(path), access};
    std::lock_guard<std::mutex> lock(g_tableMutex);
    g_openKeys.insert(open);
    return open;
}

// What every call on a key does first: resolve the handle, check its access, lock its file,
// read the file again where the call needs it, and find the key. The root key has no file of
// its own: it uses the file that KELTRA_REGISTRY_FILE names at the time of the call.
class KeyScope {
  public:
    enum class Use {
        kRead,   // the handle's registry; the root's is read again
        kOpen,   // read again, whatever the handle
        kWrite,  // read again under the write lock; changes go to a copy, then Commit
    };

    ErrorCode Enter(RegKey handle, std::uint32_t access, Use use) {
        t_fileError.clear();
        if (const ErrorCode e = Resolve(handle); e != kErrorSuccess) {
            return e;
        }
        if ((m_access & access) != access) {
            return kErrorAccessDenied;
        }
        if (use == Use::kWrite) {
            m_writer.emplace(*m_file);
        }
        m_lock = std::unique_lock<std::mutex>(m_file->mutex);
        if (m_root || use != Use::kRead) {
            if (const ErrorCode e = posix::RefreshRegistryFile(*m_file, &t_fileError);
                e != kErrorSuccess) {
                return e;
            }
        }
        if (use == Use::kWrite) {
            m_copy = m_file->doc;
        }
        m_key = Doc().FindKey(m_path);
        // The root ("") always exists, with or without a section of its own.
        return m_key == nullptr && !m_path.empty() ? kErrorKeyDeleted : kErrorSuccess;
    }

    // The registry to read, or (kWrite) the copy to change.
    [[nodiscard]] regfile::Document& Doc() { return m_copy ? *m_copy : m_file->doc; }
    // The handle's key; null for the root ("") without a section.
    [[nodiscard]] const regfile::Key* Key() const { return m_key; }
    [[nodiscard]] const std::wstring& Path() const { return m_path; }

    // A key or value that is not there; says so when the whole file is missing.
    [[nodiscard]] ErrorCode NotFound() const {
        if (!m_file->exists) {
            t_fileError = m_file->displayPath + L": the registry file does not exist";
        }
        return kErrorFileNotFound;
    }

    // Writes the changed copy back (kWrite only).
    [[nodiscard]] ErrorCode Commit() {
        return posix::CommitRegistryFile(*m_file, std::move(*m_copy));
    }

    // A new handle on path, on this key's file.
    [[nodiscard]] RegKey NewHandleOn(std::wstring path, std::uint32_t access) const {
        return NewHandle(m_file, std::move(path), access);
    }

  private:
    ErrorCode Resolve(RegKey handle) {
        if (handle == kLocalMachine) {
            m_file = posix::RegistryFileFor(posix::CurrentRegistryFilePath());
            m_access = kKeyAllAccess;
            m_root = true;
            return kErrorSuccess;
        }
        std::lock_guard<std::mutex> lock(g_tableMutex);
        auto* open = static_cast<OpenKey*>(handle);
        if (handle == nullptr || g_openKeys.count(open) == 0) {
            return kErrorInvalidHandle;
        }
        m_file = open->file;
        m_path = open->path;
        m_access = open->access;
        return kErrorSuccess;
    }

    std::shared_ptr<RegistryFile> m_file;
    std::wstring m_path;
    std::uint32_t m_access = 0;
    bool m_root = false;
    // Declared in locking order, so they unlock in reverse.
    std::optional<posix::RegistryWriteLock> m_writer;
    std::unique_lock<std::mutex> m_lock;
    std::optional<regfile::Document> m_copy;
    const regfile::Key* m_key = nullptr;
};

bool IsStringType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// Hands value data out as Windows does: 234 with the size needed when it does not fit;
// otherwise the stored bytes, and a NUL character after string data that lacks one when the
// buffer has room for it (not counted in the size). Sets *type and *dataBytes when given.
ErrorCode ReadData(const regfile::Value& value, std::uint32_t* type, std::uint8_t* data,
                   std::uint32_t* dataBytes) {
    const std::size_t size = value.data.size();
    ErrorCode result = kErrorSuccess;
    if (data != nullptr && size > *dataBytes) {
        result = kErrorMoreData;
    } else if (data != nullptr) {
        if (size != 0) {
            std::memcpy(data, value.data.data(), size);
        }
        if (IsStringType(value.type) && size >= 2 && size + 2 <= *dataBytes &&
            (data[size - 2] != 0 || data[size - 1] != 0)) {
            data[size] = 0;
            data[size + 1] = 0;
        }
    }
    if (type != nullptr) {
        *type = value.type;
    }
    if (dataBytes != nullptr) {
        *dataBytes = static_cast<std::uint32_t>(size);
    }
    return result;
}

std::wstring_view Text(const wchar_t* text) {
    return text == nullptr ? std::wstring_view() : std::wstring_view(text);
}

// Runs call, turning an allocation failure into its error code.
template <typename Call>
ErrorCode Guarded(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
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
    return Guarded([&]() -> ErrorCode {
        std::wstring relative;
        if (const ErrorCode e = regfile::CanonicalKeyPath(Text(subKey), &relative)) {
            return e;
        }
        KeyScope base;
        if (const ErrorCode e = base.Enter(root, 0, KeyScope::Use::kOpen)) {
            return e;
        }
        std::wstring path = regfile::JoinKeyPath(base.Path(), relative);
        if (!base.Doc().KeyExists(path)) {
            return base.NotFound();
        }
        *key = base.NewHandleOn(std::move(path), access);
        return kErrorSuccess;
    });
}

ErrorCode RegEnumValue(RegKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                       std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    if (name == nullptr || nameChars == nullptr || (data != nullptr && dataBytes == nullptr)) {
        return kErrorInvalidParameter;
    }
    return Guarded([&]() -> ErrorCode {
        KeyScope scope;
        if (const ErrorCode e = scope.Enter(key, kKeyQueryValue, KeyScope::Use::kRead)) {
            return e;
        }
        if (scope.Key() == nullptr || index >= scope.Key()->values.size()) {
            return kErrorNoMoreItems;
        }
        const regfile::Value& v = scope.Key()->values[index];
        if (v.name.size() >= *nameChars) {
            // Neither name nor data is stored, as on Windows; type and size are.
            (void)ReadData(v, type, nullptr, dataBytes);
            return kErrorMoreData;
        }
        std::wmemcpy(name, v.name.data(), v.name.size());
        name[v.name.size()] = L'\0';
        *nameChars = static_cast<std::uint32_t>(v.name.size());
        return ReadData(v, type, data, dataBytes);
    });
}

ErrorCode RegQueryValueEx(RegKey key, const wchar_t* valueName, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    if (data != nullptr && dataBytes == nullptr) {
        return kErrorInvalidParameter;
    }
    return Guarded([&]() -> ErrorCode {
        KeyScope scope;
        if (const ErrorCode e = scope.Enter(key, kKeyQueryValue, KeyScope::Use::kRead)) {
            return e;
        }
        const regfile::Value* v =
            scope.Key() == nullptr ? nullptr : regfile::FindValue(*scope.Key(), Text(valueName));
        return v == nullptr ? scope.NotFound() : ReadData(*v, type, data, dataBytes);
    });
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
    return Guarded([&]() -> ErrorCode {
        std::wstring relative;
        if (const ErrorCode e = regfile::CanonicalKeyPath(subKey, &relative)) {
            return e;
        }
        if (!regfile::IsWritableName(relative)) {
            return kErrorInvalidParameter;
        }
        KeyScope base;
        if (const ErrorCode e = base.Enter(root, 0, KeyScope::Use::kWrite)) {
            return e;
        }
        std::wstring path = regfile::JoinKeyPath(base.Path(), relative);
        if (!base.Doc().KeyExists(path)) {
            base.Doc().CreateKey(path);
            if (const ErrorCode e = base.Commit()) {
                return e;
            }
        }
        *key = base.NewHandleOn(std::move(path), access);
        return kErrorSuccess;
    });
}

ErrorCode RegSetValueEx(RegKey key, const wchar_t* valueName, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t dataBytes) noexcept {
    if (data == nullptr && dataBytes != 0) {
        return kErrorInvalidParameter;
    }
    const std::wstring_view name = Text(valueName);
    if (name.size() > regfile::kMaxValueNameChars || !regfile::IsWritableName(name)) {
        return kErrorInvalidParameter;
    }
    return Guarded([&]() -> ErrorCode {
        KeyScope scope;
        if (const ErrorCode e = scope.Enter(key, kKeySetValue, KeyScope::Use::kWrite)) {
            return e;
        }
        regfile::SetValue(scope.Doc().CreateKey(scope.Path()), name, type,
                          std::vector<std::uint8_t>(data, data + dataBytes));
        return scope.Commit();
    });
}

ErrorCode RegDeleteTree(RegKey root, const wchar_t* subKey) noexcept {
    return Guarded([&]() -> ErrorCode {
        std::wstring relative;
        if (const ErrorCode e = regfile::CanonicalKeyPath(Text(subKey), &relative)) {
            return e;
        }
        if (relative.empty() && root == kLocalMachine) {
            return kErrorAccessDenied;  // HKEY_LOCAL_MACHINE itself cannot be emptied
        }
        KeyScope base;
        if (const ErrorCode e = base.Enter(root, 0, KeyScope::Use::kWrite)) {
            return e;
        }
        regfile::Document& doc = base.Doc();
        const std::wstring path = regfile::JoinKeyPath(base.Path(), relative);
        if (!relative.empty()) {
            if (!doc.DeleteTree(path)) {
                return base.NotFound();
            }
            return base.Commit();
        }
        // No subkey: the key stays, its values and subkeys go.
        if (regfile::Key* self = doc.FindKey(path)) {
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
        return base.Commit();
    });
}

const wchar_t* RegistryFileError() noexcept {
    return t_fileError.c_str();
}

}  // namespace platform
