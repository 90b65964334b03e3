// The trace log: the shared log file object, its cross-process lock, the named-log table,
// the process's default log and the scope tracer.
//
// Threads: Log, WriteLine and the scope tracer may be called from any thread at any time.
// LoadSettings, Open and Close are called by the process entry only, while no other thread
// logs. While the log is closed (the default) a log call returns 0 after one test, without
// formatting anything.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/types.h"

namespace logfilesync {

class CLogFile {
public:
    /// Cross-process lock of one log file: a machine-wide named mutex.
    class CMutexLock {
    public:
        CMutexLock() = default;
        CMutexLock(const CMutexLock&) = delete;
        CMutexLock& operator=(const CMutexLock&) = delete;
        virtual ~CMutexLock();

        /// Creates or opens "Global\<name>" (backslashes and full stops after the prefix
        /// become '$'). 0; 183 when a mutex is already held; 87 for a missing or too long
        /// name; or the error of the failed mutex call.
        std::uint32_t Create(const wchar_t* name);
        /// 0 when acquired (also when abandoned by a dead owner); 21 without a mutex; 170 on
        /// time-out; 1 for any other outcome.
        std::uint32_t Lock();
        /// 0, 21 without a mutex, or the error of the release.
        std::uint32_t Unlock();
        /// Closes the mutex handle and resets the lock to "none".
        void Close();

        [[nodiscard]] platform::Handle Handle() const { return m_mutex; }

    private:
        platform::Handle m_mutex = nullptr;
        std::uint32_t m_timeout = 0;
        std::uint32_t m_created = 0;
    };

    CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    virtual ~CLogFile();

    /// Reads "enabled", "logpath", "append" and "loglevel" from HKEY_LOCAL_MACHINE
    /// "Software\Keltra\Brismont Settings\DbgLog". 1 when read completely, else 0.
    int LoadSettings();

    /// Opens or creates the log file under the lock; 1 when open, 0 otherwise.
    int Open();

    /// Closes the file and the lock. Log calls afterwards write nothing.
    void Close();

    /// Filters by level, formats and writes one line. 1 when a line was written, else 0.
    /// "%s" takes a wide string and "%c" a wide character. Never fails loudly: a faulting or
    /// malformed format writes no line.
    int Log(wchar_t level, const wchar_t* function, int line, const wchar_t* format, ...);
    int LogV(wchar_t level, const wchar_t* function, int line, const wchar_t* format,
             va_list args);

    /// Formats into a new buffer that the caller owns (delete[]); the number of wide characters
    /// produced, or 0 (buffer null) on failure.
    static int FormatText(va_list args, wchar_t** buffer, const wchar_t* format);

    /// Appends one framed line (header, message, CR LF) under the lock and releases message
    /// (allocated with new[]). 1 when the whole line was written.
    int WriteLine(wchar_t level, const wchar_t* function, int line, wchar_t* message,
                  std::uint32_t messageBytes);

    /// The mutex name derived from the log path. 1 with the name, 0 if empty.
    int MakeMutexName(wchar_t* name, std::size_t capacity) const;

    /// Creates the directory part of the log path. 1 when it created it.
    int CreateLogDirectory() const;

    /// True while a file is open and logging is enabled: the cheap test of every log call.
    [[nodiscard]] bool IsOpen() const { return m_file != nullptr && m_enabled != 0; }

    // Settings. Written before other threads exist (LoadSettings, or tests and tools).
    std::uint32_t m_enabled = 0;
    platform::Handle m_file = nullptr;
    wchar_t m_logPath[260] = {};
    std::uint32_t m_append = 0;
    std::uint32_t m_loglevel = 0;
    std::uint32_t m_levelRanks[128] = {};
    CMutexLock m_lock;
};

/// The table of named logs. Empty in this system.
class CLogFileMap {
public:
    CLogFileMap() = default;
    CLogFileMap(const CLogFileMap&) = delete;
    CLogFileMap& operator=(const CLogFileMap&) = delete;
    virtual ~CLogFileMap();

    /// The log registered under name (exact match), or null.
    CLogFile* Find(const std::wstring& name);
    /// Destroys every registered log and empties the table.
    void Clear();

private:
    std::map<std::wstring, CLogFile*> m_table;
    std::mutex m_lock;
};

/// Logs "===>" at level D when constructed and "<===" when destroyed, with the same function
/// name (cut to 259 characters) and line number, on every way out of the scope.
class CTraceScope {
public:
    CTraceScope(const wchar_t* function, int line);
    CTraceScope(const CTraceScope&) = delete;
    CTraceScope& operator=(const CTraceScope&) = delete;
    ~CTraceScope();

private:
    wchar_t m_function[260];
    int m_line;
    std::wstring m_logName;
};

}  // namespace logfilesync

/// The process's one default log; every log call of the system goes to it.
extern logfilesync::CLogFile g_defaultLog;
/// The table of named logs; stays empty.
extern logfilesync::CLogFileMap g_logFileMap;
