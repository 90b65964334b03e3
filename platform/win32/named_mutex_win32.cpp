// Win32 named mutexes: CreateMutexW with an open security descriptor, OpenMutexW.
#include "platform/win32/windows_lean.h"

#include <string>

#include "platform/named_mutex.h"

namespace platform {
namespace {

bool ValidName(const wchar_t* name) noexcept {
    if (name == nullptr || name[0] == L'\0' ||
        std::char_traits<wchar_t>::length(name) > kMaxMutexName) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

Handle CreateMutex(bool openToEveryone, bool initiallyOwned, const wchar_t* name) noexcept {
    if (!ValidName(name)) {
        return nullptr;
    }
    // Open: a null DACL grants every account access, and the handle is inheritable (default
    // security if the descriptor cannot be made). Otherwise no attributes at all: an
    // inheritable handle would go to every process a plug-in starts and keep the name alive
    // after its owner has ended (the single-instance mutex: the next start would fail).
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (openToEveryone && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        attributes.lpSecurityDescriptor = &descriptor;
    }
    // Windows grants initial ownership only to the creator, as the contract says. The last
    // error is 183 for an existing mutex; clear it first so that a new one reads 0.
    ::SetLastError(ERROR_SUCCESS);
    return CreateMutexW(openToEveryone ? &attributes : nullptr, initiallyOwned ? TRUE : FALSE,
                        name);
}

Handle OpenMutex(std::uint32_t access, bool inheritHandle, const wchar_t* name) noexcept {
    if (!ValidName(name)) {
        return nullptr;
    }
    return OpenMutexW(access, inheritHandle ? TRUE : FALSE, name);
}

bool ReleaseMutex(Handle mutex) noexcept {
    return ::ReleaseMutex(mutex) != FALSE;
}

}  // namespace platform
