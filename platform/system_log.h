// The system's own log, where every service of the machine leaves the events an operator
// looks for: the journal on Linux, the Event Log on Windows.
//
// POSIX: entries go to the journal through libsystemd (sd_journal_send), with a priority and
// the source as SYSLOG_IDENTIFIER; journald files each under the unit of the process that sent
// it, so `journalctl -u UNIT` shows a service's entries. Windows: ReportEventW under an event
// source that RegisterSystemLogSource registered (the installer's step), formatted by the
// message table of the file it names (one message, "%1": the text as it is).
//
// Threads: WriteSystemLog may be called from any thread at any time. OpenSystemLog,
// CloseSystemLog and PrepareCrashSystemLog are called by the process entry while no other
// thread writes. WriteCrashSystemLog is for the crash path: it neither allocates nor formats.
//
// Failure: nothing throws; a write that cannot be made is lost (the caller's trace log still
// has the line) and its error returned.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

enum class SystemLogSeverity : std::uint32_t { kError, kWarning, kInformation };

/// Starts writing this process's entries under source (at most 255 characters). Until then,
/// and after CloseSystemLog, writes do nothing and return 21. 0, 87 for a null, empty or too
/// long source, or the error of RegisterEventSourceW.
ErrorCode OpenSystemLog(const wchar_t* source) noexcept;
void CloseSystemLog() noexcept;

/// Writes one entry. 0; 21 when the log is not open; 87 for a null text; else the system's
/// error (POSIX: errno mapped).
ErrorCode WriteSystemLog(SystemLogSeverity severity, const wchar_t* text) noexcept;

/// Keeps the two texts the crash path may write (each cut to 511 characters): one for a dump
/// that was written, one for a dump that could not be.
void PrepareCrashSystemLog(const wchar_t* written, const wchar_t* failed) noexcept;
/// On the crash path: writes the prepared text at error severity, if the log is open and
/// texts were prepared; nothing otherwise.
void WriteCrashSystemLog(bool dumpWritten) noexcept;

/// Install time: registers source as the writer of entries in the system's log, with
/// messageFile the executable that formats them. Windows: the key
/// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> with EventMessageFile
/// and TypesSupported (error, warning, information). POSIX: the journal needs nothing; 0.
/// 0, 87 for a null or empty argument, or the registry's error.
ErrorCode RegisterSystemLogSource(const wchar_t* source, const wchar_t* messageFile) noexcept;
/// Removes what RegisterSystemLogSource made; 0 also when there was nothing to remove.
ErrorCode UnregisterSystemLogSource(const wchar_t* source) noexcept;

}  // namespace platform
