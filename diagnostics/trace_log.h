// The trace log front end: the settings key, the process's default log and the scope tracer.
// The log call itself (CLogFile::Log, LoadSettings, FormatText) is an operation of the log
// object in diagnostics/log_file.h; its message formatting is diagnostics/log_format.h.
//
// Threads: the scope tracer may be used on any thread while the log is open or closed; the
// default log is shared by every thread (see CLogFile for its contract).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace logfilesync {

class CLogFile;
class CLogFileMap;

/// Where the settings live: under HKEY_LOCAL_MACHINE, values "enabled", "logpath", "append"
/// and "loglevel".
inline constexpr wchar_t kSettingsKey[] = L"Software\\Keltra\\Brismont Settings\\DbgLog";

/// Capacity of a scope's function name, in wide characters with the terminator.
inline constexpr std::size_t kFunctionNameChars = 260;

/// Logs "===>" at level D on g_defaultLog when constructed and "<===" when destroyed, with
/// the same function name (cut to 259 characters; empty when null) and line number, on every
/// way out of the scope. Lives on its thread's stack.
class CTraceScope {
  public:
    CTraceScope(const wchar_t* function, int line);
    CTraceScope(const CTraceScope&) = delete;
    CTraceScope& operator=(const CTraceScope&) = delete;
    ~CTraceScope();

  private:
    wchar_t m_function[kFunctionNameChars];
    int m_line;
    std::wstring m_logName;
};

}  // namespace logfilesync

/// The process's one default log; every log call of the system goes to it.
extern logfilesync::CLogFile g_defaultLog;
/// The table of named logs; stays empty.
extern logfilesync::CLogFileMap g_logFileMap;
