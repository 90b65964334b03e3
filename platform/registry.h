// The registry: open a key, enumerate and query values; create, set and delete for tools and tests.
//
// Windows: the real registry. POSIX: a registry of the host's own, kept in a text file in the
// Windows registry export format (".reg", "Windows Registry Editor Version 5.00"; the accepted
// forms are listed in regfile/registry_file_parser.h), read on every RegOpenKeyEx, written back
// whole by the write calls. Its path is KELTRA_REGISTRY_FILE when that variable is set and
// not empty, else /etc/keltra/registry.reg; the variable is read whenever the root key is
// used, so change it only while no other thread uses the registry. A missing file is an empty
// registry. Only HKEY_LOCAL_MACHINE exists there. Error codes are the Windows ones on both.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "platform/unique_owner.h"

namespace platform {

/// POSIX: the environment variable that names the registry file, and the file used when it is
/// not set or empty. Windows has a real registry: neither means anything there.
inline constexpr wchar_t kRegistryFileVariable[] = L"KELTRA_REGISTRY_FILE";
inline constexpr wchar_t kDefaultRegistryFile[] = L"/etc/keltra/registry.reg";

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

/// Opens root\subKey (relative, backslash-separated, names case-insensitive; null or empty
/// opens root itself) with the given access mask. Returns 0 and stores the key in *key (null
/// on failure), or an error code: 2 when the key does not exist, 6 for a bad root, 87 for a
/// null key pointer, 161 for a sub-key path starting with a backslash, 1018 when root was
/// deleted; on POSIX also 13 (ERROR_INVALID_DATA) when the registry file is malformed (the
/// reason, with file name and line, is then in RegistryFileError), and 5 when a process that
/// runs as root refuses a file another user could change or replace (the reason, naming what
/// is at fault, in RegistryFileError). Close the key with
/// RegCloseKey. Any thread; a key may be used from any thread.
[[nodiscard]] ErrorCode RegOpenKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t options,
                                     std::uint32_t access, RegKey* key) noexcept;

/// Reads the value at index (0, 1, 2, ... in the key's value order: file order on POSIX,
/// the registry's own order on Windows) into name (capacity *nameChars wide characters,
/// terminator included), *type and data (capacity *dataBytes bytes). name and nameChars are
/// required (87); type, data and dataBytes may be null, but data needs dataBytes (87).
/// Results, as the Windows call gives them:
///   0: name stored with its terminator, *nameChars its length without it; data stored when
///      data is given; *type and *dataBytes (the data's size) set when given;
///   234 (ERROR_MORE_DATA), name does not fit (a name of exactly *nameChars - 1 characters
///      fits): nothing stored, *nameChars unchanged, *type and *dataBytes still set;
///   234, data does not fit: name stored as for 0, data left as it was, *dataBytes set to
///      the size needed;
///   259 (ERROR_NO_MORE_ITEMS) past the last value; 5 without kKeyQueryValue access;
///   1018 when the key was deleted.
/// String data is UTF-16LE bytes on every platform, exactly as stored: with its terminating
/// NUL when it was stored with one, without when not. When string data (REG_SZ,
/// REG_EXPAND_SZ, REG_MULTI_SZ) does not end in a NUL character and the buffer has room for
/// two more bytes, a NUL character is written after it, not counted in *dataBytes; callers
/// must still never read past *dataBytes.
[[nodiscard]] ErrorCode RegEnumValue(RegKey key, std::uint32_t index, wchar_t* name,
                                     std::uint32_t* nameChars, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* dataBytes) noexcept;

/// Reads the named value (null or empty name: the default value) like RegEnumValue reads
/// data: 0, 2 when it does not exist, 234 when data does not fit (data left as it was,
/// *dataBytes the size needed); with a null data pointer only *type and *dataBytes are set.
[[nodiscard]] ErrorCode RegQueryValueEx(RegKey key, const wchar_t* valueName, std::uint32_t* type,
                                        std::uint8_t* data, std::uint32_t* dataBytes) noexcept;

/// Closes a key from RegOpenKeyEx or RegCreateKeyEx. Returns 0, or 6 for a bad or already
/// closed key. Closing HkeyLocalMachine() does nothing and returns 0.
ErrorCode RegCloseKey(RegKey key) noexcept;

/// The owner of a key from RegOpenKeyEx or RegCreateKeyEx (closed with RegCloseKey).
using UniqueRegKey = UniqueOwner<NullMeansNone<RegKey, &RegCloseKey>>;

/// Opens root\subKey, creating every missing level. Returns 0 and the key, or an error code
/// (87 for a null subKey or key pointer). On POSIX the registry file is created when missing,
/// but not its directory (3), and names with a NUL, CR or LF character are refused (87).
[[nodiscard]] ErrorCode RegCreateKeyEx(RegKey root, const wchar_t* subKey, std::uint32_t access,
                                       RegKey* key) noexcept;

/// Creates or replaces the named value (null or empty name: the default value) with the
/// given type and raw data, stored byte for byte (string types: UTF-16LE bytes, normally
/// with their terminating NUL). Needs kKeySetValue access (5). Windows counts a terminator
/// that directly follows string data in memory even when dataBytes leaves it out; to store
/// an unterminated string there, the character after it must not be NUL. On POSIX names
/// longer than 16383 characters or holding a NUL, CR or LF are refused (87). On POSIX the
/// write is atomic and concurrent writers, in this process or others, lose no update; the
/// file is written back with every key and value it held, in its encoding and line ends, but
/// without its comments and with its layout normalised.
[[nodiscard]] ErrorCode RegSetValueEx(RegKey key, const wchar_t* valueName, std::uint32_t type,
                                      const std::uint8_t* data, std::uint32_t dataBytes) noexcept;

/// Deletes root\subKey with all its values and subkeys. Returns 0, or 2 when it does not
/// exist. A null or empty subKey empties root itself (its values and subkeys) and keeps it.
/// Keys still open on a deleted key then answer 1018.
[[nodiscard]] ErrorCode RegDeleteTree(RegKey root, const wchar_t* subKey) noexcept;

/// Why the last registry call on this thread that used a key failed because of the registry
/// file, with the file's name: "/etc/keltra/registry.reg:12: unknown escape ..." after a 13
/// (a malformed file), "/etc/keltra/registry.reg: the registry file does not exist" after a 2
/// that the missing file explains (a key or value missing from an existing file leaves it
/// empty), "/etc/keltra/registry.reg: refused, /etc/keltra is writable by group or others
/// (...)" after a 5 that a distrusted file explains. Empty otherwise, and always on Windows. Valid
/// until this thread's next registry call.
[[nodiscard]] const wchar_t* RegistryFileError() noexcept;

}  // namespace platform
