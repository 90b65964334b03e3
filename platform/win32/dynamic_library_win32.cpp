// Windows dynamic libraries: LoadLibraryW, GetProcAddress and FreeLibrary.
#include "platform/dynamic_library.h"
#include "platform/win32/windows_lean.h"

namespace platform {

Module LoadLibrary(const wchar_t* path) noexcept {
    // An empty name is no library: refused here as on the other platforms.
    if (path == nullptr || path[0] == L'\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::LoadLibraryW(path);
}

void* GetProcAddress(Module module, const char* name) noexcept {
    // A null module would search the executable; a small integer name would be an ordinal.
    if (module == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

bool FreeLibrary(Module module) noexcept {
    if (module == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::FreeLibrary(static_cast<HMODULE>(module)) != FALSE;
}

}  // namespace platform
