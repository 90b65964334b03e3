// The registry on Windows: thin forwarding to the advapi32 registry calls.
#include "platform/registry.h"
#include "platform/win32/windows_lean.h"

namespace platform {
namespace {

HKEY ToHkey(RegKey key) {
    return static_cast<HKEY>(key);
}

}  // namespace

RegKey HkeyLocalMachine() noexcept {
    return HKEY_LOCAL_MACHINE;
}

ErrorCode RegOpenKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t options,
                       std::uint32_t access, RegKey* key) noexcept {
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(ToHkey(root), subKey, options, access, &opened);
    *key = status == ERROR_SUCCESS ? opened : nullptr;
    return static_cast<ErrorCode>(status);
}

ErrorCode RegEnumValue(RegKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                       std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
    return static_cast<ErrorCode>(
        ::RegEnumValueW(ToHkey(key), index, name, reinterpret_cast<DWORD*>(nameChars), nullptr,
                        reinterpret_cast<DWORD*>(type), data, reinterpret_cast<DWORD*>(dataBytes)));
}

ErrorCode RegQueryValueEx(RegKey key, const wchar_t* valueName, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataBytes) noexcept {
    return static_cast<ErrorCode>(::RegQueryValueExW(ToHkey(key), valueName, nullptr,
                                                     reinterpret_cast<DWORD*>(type), data,
                                                     reinterpret_cast<DWORD*>(dataBytes)));
}

ErrorCode RegCloseKey(RegKey key) noexcept {
    return static_cast<ErrorCode>(::RegCloseKey(ToHkey(key)));
}

ErrorCode RegCreateKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t access,
                         RegKey* key) noexcept {
    if (key == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY created = nullptr;
    const LSTATUS status =
        ::RegCreateKeyExW(ToHkey(root), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                          nullptr, &created, nullptr);
    *key = status == ERROR_SUCCESS ? created : nullptr;
    return static_cast<ErrorCode>(status);
}

ErrorCode RegSetValueEx(RegKey key, const wchar_t* valueName, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t dataBytes) noexcept {
    return static_cast<ErrorCode>(
        ::RegSetValueExW(ToHkey(key), valueName, 0, type, data, dataBytes));
}

ErrorCode RegDeleteTree(RegKey root, const wchar_t* subKey) noexcept {
    return static_cast<ErrorCode>(::RegDeleteTreeW(ToHkey(root), subKey));
}

const wchar_t* RegistryFileError() noexcept {
    return L"";
}

}  // namespace platform
