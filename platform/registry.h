// The registry: open a key, enumerate and query values; create, set and delete for tools and tests.
//
// Windows: the real registry. POSIX: a registry of the host's own, kept in a text file in the
// Windows registry export format (".reg", "Windows Registry Editor Version 5.00"), read on
// every RegOpenKeyEx, written back by the write calls. Its path is KELTRA_REGISTRY_FILE when
// that variable is set, else /etc/keltra/registry.reg. Only HKEY_LOCAL_MACHINE exists there.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

/// An open registry key; null means none.
using RegKey = void*;

/// The predefined root key HKEY_LOCAL_MACHINE. Never closed.
[[nodiscard]] RegKey HkeyLocalMachine() noexcept;

enum : std::uint32_t {
    kKeyQueryValue = 0x0001,
    kKeySetValue = 0x0002,
    kKeyEnumerateSubKeys = 0x0008,
    kKeyWow64_64Key = 0x0100,
    kKeyRead = 0x20019,
    kKeyWrite = 0x20006,
    kKeyAllAccess = 0xF003F,

    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
    kRegQword = 11,
};

/// Opens root\subKey (subKey relative, backslash-separated, case-insensitive names) with the
/// given access mask. Returns 0 and stores the key in *key, or an error code: 2 when the key
/// does not exist, 5 when access is denied, 87 for null arguments; on POSIX also 13
/// (ERROR_INVALID_DATA) when the registry file is malformed (the reason, with its line number,
/// is available from RegistryFileError). Close the key with RegCloseKey.
[[nodiscard]] ErrorCode RegOpenKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t options,
                                     std::uint32_t access, RegKey* key) noexcept;

/// Reads the value at index (0, 1, 2, ... in the key's value order) into name (capacity
/// *nameChars wide characters, terminator included; on return the length without it),
/// *type and data (capacity *dataBytes bytes; on return the data's size). Any pointer but
/// key and name may be null. Returns 0, 259 (ERROR_NO_MORE_ITEMS) past the last value, or 234
/// (ERROR_MORE_DATA) when the name or the data does not fit. String data is UTF-16LE bytes
/// on every platform, with the terminating NUL when it was stored with one; nothing is added.
[[nodiscard]] ErrorCode RegEnumValue(RegKey key, std::uint32_t index, wchar_t* name,
                                     std::uint32_t* nameChars, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* dataBytes) noexcept;

/// Reads the named value (null or empty name: the default value) like RegEnumValue: 0, 2 when
/// it does not exist, 234 when the data does not fit (then *dataBytes holds the size needed).
[[nodiscard]] ErrorCode RegQueryValueEx(RegKey key, const wchar_t* valueName, std::uint32_t* type,
                                        std::uint8_t* data, std::uint32_t* dataBytes) noexcept;

/// Closes a key from RegOpenKeyEx or RegCreateKeyEx. Returns 0, or 6 for a bad key.
ErrorCode RegCloseKey(RegKey key) noexcept;

/// Opens root\subKey, creating every missing level. Returns 0 and the key.
[[nodiscard]] ErrorCode RegCreateKeyEx(RegKey root, const wchar_t* subKey,
                                       std::uint32_t access, RegKey* key) noexcept;

/// Creates or replaces the named value with the given type and raw data (string types:
/// UTF-16LE bytes, normally with their terminating NUL). Returns 0 or an error code.
[[nodiscard]] ErrorCode RegSetValueEx(RegKey key, const wchar_t* valueName, std::uint32_t type,
                                      const std::uint8_t* data, std::uint32_t dataBytes) noexcept;

/// Deletes root\subKey with all its values and subkeys. Returns 0, or 2 when it does not exist.
[[nodiscard]] ErrorCode RegDeleteTree(RegKey root, const wchar_t* subKey) noexcept;

/// The last parse failure of the registry file on this thread ("registry.reg:12: ..."), or
/// an empty string. Always empty on Windows.
[[nodiscard]] const wchar_t* RegistryFileError() noexcept;

}  // namespace platform
