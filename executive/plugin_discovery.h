// Reading the plug-in list from the registry, with each value's fate reported to an observer.
//
// One routine serves both the host (PluginMgr::GetAllPluginDLLs, which logs) and the listing
// tool (which prints why each value was taken or skipped), so the two cannot disagree.
//
// Rules, applied to the values directly under HKEY_LOCAL_MACHINE\<key>, in enumeration order:
//  - only REG_SZ values count; every other type is skipped;
//  - the value's name, with A..Z folded to a..z, must start with one of the filter's characters
//    (an empty name, the key's default value, never counts);
//  - the data is a path of at most 259 characters; data that fills the whole 520-byte buffer
//    without a terminating NUL is skipped rather than cut (a cut path could name another file);
//  - the file must exist (a directory counts as existing);
//  - when the process runs as root, no other user may be able to change or replace the file
//    (platform/path_trust.h): otherwise whoever could would choose the code root runs;
//  - of identical paths (compared code unit by code unit) the first stays.
// A name of 260 characters or more, or data over 520 bytes, stops the enumeration (234); the
// values read before it are kept.
//
// Threads: runs wholly on the calling thread; the observer is called on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace executive {

/// Buffer sizes of one enumeration step.
inline constexpr std::uint32_t kValueNameChars = 260;
inline constexpr std::uint32_t kValueDataBytes = 520;

/// Why a value was not taken, or that it was.
enum class ValueFate {
    Taken,             ///< listed
    NotString,         ///< type is not REG_SZ
    NameFiltered,      ///< empty name, or first character not in the filter
    DataUnterminated,  ///< no NUL within the 520-byte data buffer
    FileMissing,       ///< the path names nothing that exists
    Untrusted,         ///< running as root, and another user could change or replace the file
    Duplicate,         ///< the same path was listed by an earlier value
};

/// One value as enumerated.
struct PluginValue {
    std::uint32_t index = 0;
    std::wstring name;
    std::uint32_t type = 0;
    std::wstring path;  ///< the data as text (REG_SZ only; empty for other types)
    std::uint32_t dataBytes = 0;
    std::wstring untrusted;  ///< why the file is not trusted (Untrusted only)
};

/// Receives each step of the reading. Every callback has an empty default.
class DiscoveryObserver {
  public:
    virtual ~DiscoveryObserver() = default;
    /// The key could not be opened; the reading ends with this code. reason: on POSIX, why the
    /// registry file could not be read, with its name (and line); empty when it was read.
    virtual void OnOpenFailed(platform::ErrorCode /*error*/, const std::wstring& /*reason*/) {}
    /// A value that counts (REG_SZ, name passes, terminated data), with the existence test's
    /// result. Called during the enumeration, before any duplicate is known.
    virtual void OnCounted(const PluginValue& /*value*/, bool /*exists*/) {}
    /// The final fate of a value. For counted values whose file exists this comes after the
    /// enumeration has ended (Taken or Duplicate); for the others right after OnCounted or
    /// during the enumeration.
    virtual void OnFate(const PluginValue& /*value*/, ValueFate /*fate*/) {}
    /// The enumeration ended at index with this code: 259 after the last value, 234 when a
    /// name or data does not fit the buffers, anything else for a failed enumeration.
    virtual void OnEnumerationEnd(std::uint32_t /*index*/, platform::ErrorCode /*code*/) {}
};

/// Reads the plug-in list into paths (emptied first). Returns 0, or the error code of opening
/// the key. 87 for a null key or filter (paths left untouched).
[[nodiscard]] platform::ErrorCode ReadPluginList(std::vector<std::wstring>& paths,
                                                 const wchar_t* keyPath, const wchar_t* filter,
                                                 DiscoveryObserver& observer);

/// True when the value name counts for the filter: its first character, with A..Z folded to
/// a..z, is one of the filter's characters.
[[nodiscard]] bool ValueNameCounts(const std::wstring& name, const wchar_t* filter) noexcept;

/// A short English reason for a fate, as the listing tool prints it.
[[nodiscard]] const wchar_t* FateText(ValueFate fate) noexcept;

}  // namespace executive
