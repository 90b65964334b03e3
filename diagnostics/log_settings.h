// The trace log's settings as the registry holds them (HKEY_LOCAL_MACHINE kSettingsKey of
// diagnostics/trace_log.h): reading them, and saying how two sets differ.
//
// Threads: any thread; the registry calls are the platform's. Failure: nothing throws.
#pragma once

#include <cstdint>
#include <string>

namespace logfilesync {

/// The values under the settings key.
struct LogSettings {
    std::uint32_t enabled = 0;    // "enabled"
    std::wstring path;            // "logpath", at most 259 characters
    std::uint32_t append = 0;     // "append"
    std::uint32_t loglevel = 0;   // "loglevel"
    std::uint32_t maxSize = 0;    // "maxsize": bytes at which the file rolls over; 0 never
    std::uint32_t keepFiles = 0;  // "keepfiles": old files kept (0 counts as 1, at most 99)
};

/// Reads the settings into *settings (64-bit view). Registry types are not examined: the
/// numbers are the raw bytes read into a zeroed 4-byte buffer, the path the UTF-16LE bytes
/// read into a zeroed 520-byte buffer, up to its first NUL. 1 when the key, "enabled" and a
/// path that fits 259 characters were read; else 0, with "enabled", "append" and "loglevel"
/// 0 and the path empty. "maxsize" and "keepfiles" are read whenever the key opens; a missing
/// number reads as 0. A registry file that cannot be read (POSIX: malformed, or refused as
/// root) is reported on standard error with its reason, file and line, since the log that
/// would carry it may not be open.
int ReadLogSettings(LogSettings* settings);

/// "name old -> new" for every value that differs from `from` in `to` ("enabled", "logpath"
/// when `to` is enabled, "loglevel", "maxsize", "keepfiles"; "append" counts only at a
/// process's start), joined by "; "; empty when none differs.
[[nodiscard]] std::wstring DescribeLogSettingsChange(const LogSettings& from,
                                                     const LogSettings& to);

}  // namespace logfilesync
