// Win32 files and directories: thin wrappers over the real calls.
#include "platform/win32/windows_lean.h"
// windows_lean.h first: these need the types it declares.
#include <shlobj.h>
#include <shlwapi.h>

#undef PathFileExists
#undef CreateDirectory

#include "platform/file.h"

namespace platform {
namespace {

// A security descriptor with a null DACL: every account gets full access.
struct OpenSecurity {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    bool ready = false;

    OpenSecurity() noexcept {
        if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
            attributes.nLength = sizeof attributes;
            attributes.lpSecurityDescriptor = &descriptor;
            attributes.bInheritHandle = TRUE;
            ready = true;
        }
    }
};

}  // namespace

Handle CreateFile(const wchar_t* path, std::uint32_t access, std::uint32_t share,
                  bool openToEveryone, std::uint32_t disposition,
                  std::uint32_t attributes) noexcept {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    OpenSecurity open;
    // Open: inheritable, with every account's access (default security when the descriptor
    // cannot be made). Otherwise a handle of the caller's alone, which no child receives.
    SECURITY_ATTRIBUTES* security = !openToEveryone ? nullptr
                                    : open.ready    ? &open.attributes
                                                    : &inheritable;
    HANDLE file = CreateFileW(path, access, share, security, disposition, attributes, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidHandleValue : file;
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* high) noexcept {
    // The last error tells a real size whose low half is all ones from a failure.
    ::SetLastError(ERROR_SUCCESS);
    DWORD highPart = 0;
    const DWORD low = ::GetFileSize(file, high != nullptr ? &highPart : nullptr);
    if (high != nullptr) {
        *high = highPart;
    }
    if (low == INVALID_FILE_SIZE && ::GetLastError() != ERROR_SUCCESS) {
        return kInvalidFileSize;
    }
    return low;
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distanceLow, std::int32_t* distanceHigh,
                             std::uint32_t method) noexcept {
    ::SetLastError(ERROR_SUCCESS);
    LONG highPart = distanceHigh != nullptr ? *distanceHigh : 0;
    const DWORD low =
        ::SetFilePointer(file, distanceLow, distanceHigh != nullptr ? &highPart : nullptr, method);
    if (low == INVALID_SET_FILE_POINTER && ::GetLastError() != ERROR_SUCCESS) {
        return kInvalidSetFilePointer;
    }
    if (distanceHigh != nullptr) {
        *distanceHigh = highPart;
    }
    return low;
}

bool SeekTo(Handle file, std::uint64_t offset) noexcept {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != 0;
}

bool TruncateTo(Handle file, std::uint64_t size) noexcept {
    return SeekTo(file, size) && ::SetEndOfFile(file) != 0;
}

bool WriteFile(Handle file, const void* data, std::uint32_t bytes,
               std::uint32_t* written) noexcept {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(file, data, bytes, &count, nullptr);
    if (written != nullptr) {
        *written = count;
    }
    if (ok != FALSE && count != bytes) {
        ::SetLastError(ERROR_DISK_FULL);  // a short synchronous write: no room left
        return false;
    }
    return ok != FALSE;
}

bool ReadFile(Handle file, void* data, std::uint32_t bytes, std::uint32_t* read) noexcept {
    DWORD count = 0;
    const BOOL ok = ::ReadFile(file, data, bytes, &count, nullptr);
    if (read != nullptr) {
        *read = count;
    }
    return ok != FALSE;
}

bool PathFileExists(const wchar_t* path) noexcept {
    return PathFileExistsW(path) != FALSE;
}

ErrorCode CreateDirectoryTree(const wchar_t* path, bool /*ownerOnly*/) noexcept {
    if (path == nullptr || path[0] == L'\0') {
        return ERROR_BAD_PATHNAME;
    }
    return static_cast<ErrorCode>(SHCreateDirectoryExW(nullptr, path, nullptr));
}

bool DeleteFile(const wchar_t* path) noexcept {
    return DeleteFileW(path) != FALSE;
}

bool IsAbsolutePath(const wchar_t* path) noexcept {
    if (path == nullptr) {
        return false;
    }
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const bool drive =
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && separator(path[2]);
    return drive || (path[0] == L'\\' && path[1] == L'\\');
}

Handle CreatePrivateFile(const wchar_t* path) noexcept {
    // A protected DACL (nothing inherited from the directory): the calling account, and
    // Administrators reading.
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return kInvalidHandleValue;
    }
    alignas(8) BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    const BOOL gotUser =
        GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &size);
    CloseHandle(token);
    if (!gotUser) {
        return kInvalidHandleValue;
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
    // Administrators may read it: they are the operators of a LocalSystem service, and could
    // take the file over anyway.
    alignas(8) BYTE adminsBuffer[SECURITY_MAX_SID_SIZE] = {};
    DWORD adminsSize = sizeof adminsBuffer;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsBuffer, &adminsSize)) {
        return kInvalidHandleValue;
    }
    alignas(8)
        BYTE aclBuffer[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
    auto* acl = reinterpret_cast<ACL*>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor{};
    if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, adminsBuffer) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return kInvalidHandleValue;
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    // CREATE_NEW fails on any name that exists, a link included: nothing is followed.
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, &security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidHandleValue : file;
}

bool MoveFile(const wchar_t* from, const wchar_t* to) noexcept {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace platform
