// Crash-dump retention: a host that crashes again and again must not fill the disk, so only
// the newest few dumps are kept, pruned when the host starts (never at crash time, where
// nothing may allocate).
//
// Any thread; the calls touch only the registry and the dump directory. Failure: nothing
// throws; a dump that cannot be removed stays and is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Stoneleaf {

/// Where the count is kept, under HKEY_LOCAL_MACHINE (on Linux in the registry file).
inline constexpr wchar_t kDumpSettingsKey[] = L"Software\\Keltra\\Brismont Settings\\CrashDump";
/// How many dumps the directory holds at most without a setting.
inline constexpr std::uint32_t kDefaultDumpsKept = 5;

/// The DWORD "keep" under kDumpSettingsKey: how many dumps the directory holds at most, at
/// least 1 (0 reads as 1); kDefaultDumpsKept when it is missing or unreadable.
[[nodiscard]] std::uint32_t ReadDumpsKept() noexcept;

/// Removes from directory every dump but the newest kept - 1 (regular files whose names start
/// with prefix and end with ".dmp", newest by modification time), so that with the dump this
/// run may write there are at most kept. Links, directories and other files are left alone.
/// Logs each removal at D and each failure at W. Returns how many were removed.
std::size_t PruneCrashDumps(const std::wstring& directory, const std::wstring& prefix,
                            std::uint32_t kept) noexcept;

}  // namespace Stoneleaf
