// The trace log: the shared log file object, its cross-process lock, the named-log table,
// the process's default log and the scope tracer.
//
// The log file is UTF-16LE text with a byte-order mark (FF FE), shared by every process that
// opens the same path. Each log call appends one line:
//   "%04d/%02d/%02d %02d:%02d:%02d.%03d|%c|%06d|%06d|%s(L%d): " message CR LF
// (local time, level letter, process id, thread id, function, source line). Writers in every
// process serialise on one machine-wide named mutex derived from the path; the size is read
// and the position moved while it is held, so each line starts where the last writer, in any
// process, stopped, even after another process has emptied the file. A writer waits for the
// mutex kLockWaitMs at most: a writer holds it for microseconds and a dead writer's comes back
// at once, so a longer hold is another process keeping it (on Windows any local user may open
// it), and the service must not stop on that. A line that cannot get the mutex is dropped and
// counted, and the next line this log writes is preceded by one at level W that says how many
// were dropped.
//
// Roll-over: with a size limit set, the writer that finds the file at or past it (under the
// mutex) moves the content aside to "<path>.1" (diagnostics/log_rotation.h) and empties the
// file; every other writer, in any process, continues at the new end as after any emptying.
// The check is one comparison with the size the writer reads anyway.
//
// Threads: Log, LogV, WriteLine, FormatText and the scope tracer may be called from any
// thread at any time. Reconfigure may be called while other threads log: the level changes at
// once, and a change of file waits for the lines being written. Open and Close take the same
// care; LoadSettings, Configure and the Set... calls are for the process entry and tests, while
// no other thread logs. While the log is closed (the default) a log call returns 0 after one
// test, without formatting anything.
//
// Failure: no operation throws or ends the process. A log call that cannot write a whole,
// correctly framed line writes nothing and returns 0: a closed log, a filtered level, a
// malformed format (reported on standard output), a format that faults (a bad %s pointer), a
// message that does not fit the largest buffer, a header longer than 259 characters, a lock
// that cannot be taken in kLockWaitMs (counted, see above), a failed write.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "diagnostics/log_lock.h"
#include "diagnostics/log_settings.h"
#include "diagnostics/trace_log.h"
#include "platform/handle.h"
#include "platform/types.h"

namespace logfilesync {

/// Capacities, in wide characters with the terminator.
inline constexpr std::size_t kLogPathChars = 260;
inline constexpr std::size_t kHeaderChars = 260;
/// The mutex name keeps at most this many characters of the path (259 less "Global\").
inline constexpr std::size_t kMutexNameChars = 252;

/// Message buffers: the first has this capacity, each retry doubles it, up to the largest.
inline constexpr std::size_t kFirstFormatCapacity = 1024;
inline constexpr std::size_t kLargestFormatCapacity = std::size_t{1} << 29;

class CLogFile {
  public:
    /// The cross-process lock of one log file (diagnostics/log_lock.h).
    using CMutexLock = CLogLock;
    /// What the registry says about a log (diagnostics/log_settings.h).
    using Settings = LogSettings;

    /// A closed log with no path, settings 0 and the ranks V 0, D 1, I 2, W 3, E 4.
    CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    /// Closes the file and the lock.
    virtual ~CLogFile();

    /// Takes the settings from the registry (ReadLogSettings, diagnostics/log_settings.h) and
    /// returns its result: with 0 the log is switched off and the path, append and level stay
    /// as they were. "maxsize" and "keepfiles" are taken whenever the key opens, also for a
    /// log that stays off (a log the process entry configures itself takes them).
    int LoadSettings();
    /// This log's settings now.
    [[nodiscard]] Settings CurrentSettings() const;
    /// Applies settings to this log while other threads may log. The level and the roll-over
    /// take effect at once; a change of "enabled" or of the path closes the file and opens the
    /// new one, which is never emptied ("append" counts only when a process starts). Returns
    /// what changed, "name old -> new" joined by "; ", empty when nothing did. When the new
    /// file cannot be opened the log is closed (as Open). Not concurrently with itself,
    /// LoadSettings or Configure.
    std::wstring Reconfigure(const Settings& settings);

    /// Sets what LoadSettings reads, for tools, tests and benchmarks; call it while the log is
    /// closed and no other thread logs. False, changing nothing, when path is null or longer
    /// than 259 characters.
    bool Configure(std::uint32_t enabled, const wchar_t* path, std::uint32_t append,
                   std::uint32_t loglevel);
    /// The threshold alone (same contract as Configure; also while open, before threads log).
    void SetLogLevel(std::uint32_t loglevel) {
        m_loglevel.store(loglevel, std::memory_order_relaxed);
    }
    /// The roll-over: at maxSize bytes (0: never) the content goes aside, keepFiles old files
    /// kept (same contract as Configure).
    void SetRollOver(std::uint32_t maxSize, std::uint32_t keepFiles) {
        m_maxSize = maxSize;
        m_keepFiles = keepFiles;
        m_nextRollOverAt = 0;
    }
    /// The largest message buffer a log call may grow to (tests lower it to reach the limit
    /// quickly). Same contract as Configure.
    void SetLargestMessageBuffer(std::size_t wideChars) { m_largestMessageBuffer = wideChars; }
    /// How long the log waits for its mutex, kLockWaitMs unless a test shortens it; read by
    /// Open. Same contract as Configure.
    void SetLockWait(std::uint32_t milliseconds) { m_lockWaitMs = milliseconds; }

    [[nodiscard]] std::uint32_t Enabled() const { return m_enabled; }
    [[nodiscard]] const wchar_t* LogPath() const { return m_logPath; }
    [[nodiscard]] std::uint32_t Append() const { return m_append; }
    [[nodiscard]] std::uint32_t LogLevel() const {
        return m_loglevel.load(std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint32_t MaxSize() const { return m_maxSize; }
    [[nodiscard]] std::uint32_t KeepFiles() const { return m_keepFiles; }
    /// The handle of the named mutex while the log is open, else null.
    [[nodiscard]] platform::Handle MutexHandle() const { return m_lock.Handle(); }

    /// Opens the file at the log path under the lock: creates it (with every missing
    /// directory level) or, with append 0, empties it; a file it creates or empties starts
    /// with the byte-order mark. 1 when open; 0 otherwise, leaving the log closed: no path,
    /// a path that leaves no mutex name, a second Open on an open log (the file is not
    /// touched), a lock that cannot be created or taken, a file that cannot be opened or
    /// marked. The process id written into lines is taken here: a process that forks must
    /// open its own log.
    int Open();

    /// Closes the file and the lock. Log calls afterwards write nothing.
    void Close();

    /// Filters by level, formats and writes one line. 1 when a line was written, else 0.
    /// "%s" takes a wide string and "%c" a wide character. A level character outside 0..127
    /// has rank 0, like every character without a rank. The filter is inline: a call on a
    /// closed log or at a filtered level costs a few loads and evaluates nothing else.
    /// Arguments are passed on as to a C variadic function (same promotions).
    template <typename... Args>
    int Log(wchar_t level, const wchar_t* function, int line, const wchar_t* format, Args... args) {
        if (!Passes(level)) {
            return 0;
        }
        return LogUnfiltered(level, function, line, format, args...);
    }
    int LogV(wchar_t level, const wchar_t* function, int line, const wchar_t* format, va_list args);

    /// Formats into a new buffer that the caller owns (delete[]): first 1024 wide characters,
    /// doubled while the text does not fit, up to kLargestFormatCapacity. Returns the number
    /// of wide characters produced (without terminator), or 0 with *buffer null: no format,
    /// an empty text, a text longer than the largest buffer, memory exhausted, a malformed
    /// format (OnFormatInvalidParameter reports it on standard output, once), or a fault
    /// while formatting (a bad string pointer), which the formatting's guard turns into 0.
    /// Installs OnFormatInvalidParameter as the process's invalid-parameter handler and does
    /// not put the previous one back. Consumes nothing of args (each attempt uses a copy).
    static int FormatText(va_list args, wchar_t** buffer, const wchar_t* format);
    /// FormatText with a smaller largest capacity (for tools and tests of the limit).
    static int FormatTextUpTo(va_list args, wchar_t** buffer, const wchar_t* format,
                              std::size_t largestCapacity);

    /// Appends one framed line (header, message, CR LF) under the lock and releases message
    /// (allocated with new[]) in every case. messageBytes is the message's length in wide
    /// characters times 2 (its UTF-16 size on Windows). The line is written with one write
    /// after the position has been moved to the end, while the mutex is held. If the file
    /// does not end a line where this one would start (a writer died half-way, or the file
    /// was cut from outside), a CR LF is written first so that the new line stands whole; an
    /// empty file gets its byte-order mark first. The end is read only when it may be torn:
    /// on this object's first line, after the mutex was taken over from a dead owner, when
    /// the file shrank or its size is odd; writers that append whole lines under the mutex
    /// need no check. A write that fails part-way is cut off again, so that the file still
    /// ends a line for the next writer. 1 when the whole line was
    /// written. 0, writing nothing, when the file is closed, the function or message is
    /// missing or empty, messageBytes is odd, the level is NUL, CR or LF or the function
    /// name holds a CR or LF (they would break the framing), the header would exceed 259
    /// characters, the lock cannot be taken (a line is never written unlocked; the line is
    /// counted for the note that precedes the next line), or the end cannot be found.
    int WriteLine(wchar_t level, const wchar_t* function, int line, wchar_t* message,
                  std::uint32_t messageBytes);

    /// The mutex name derived from the log path: every blank, full stop and backslash (and
    /// on POSIX every '/') dropped, at most kMutexNameChars characters and capacity - 1 kept,
    /// case preserved. 1 with the name, 0 (name empty) when nothing is left.
    int MakeMutexName(wchar_t* name, std::size_t capacity) const;

    /// Creates the directory part of the log path (up to its last separator, '\\' on
    /// Windows and '/' on POSIX), every missing level. 1 when it created it; 0 otherwise,
    /// also when it already existed or the path has no separator.
    int CreateLogDirectory() const;

    /// The rank of a level character: its table entry for 0..127, else 0.
    [[nodiscard]] std::uint32_t RankOf(wchar_t level) const {
        const auto code = static_cast<std::uint32_t>(level);  // wchar_t is signed on Linux
        return code < 128 ? m_levelRanks[code] : 0;
    }

    /// True while a file is open and logging is enabled: the cheap test of every log call.
    [[nodiscard]] bool IsOpen() const { return m_active.load(std::memory_order_relaxed); }

    /// True when a line at this level would be written now: the filter of Log, for callers
    /// whose arguments cost something to compute (a call into a plug-in).
    [[nodiscard]] bool Passes(wchar_t level) const {
        return IsOpen() && RankOf(level) >= m_loglevel.load(std::memory_order_relaxed);
    }

  private:
    /// How the file ends where the next line goes (found under the mutex).
    struct FileEnd {
        std::uint64_t size = 0;
        bool needMark = false;   // empty: the byte-order mark first
        bool needBreak = false;  // a torn last line: CR LF first
        bool needPad = false;    // a writer stopped inside a character: one byte first
    };

    // Open and Close with m_state held exclusively.
    int OpenLocked();
    void CloseLocked();
    // The file's open state after a change of file or of "enabled".
    void UpdateActive() { m_active.store(m_file.Valid() && m_enabled != 0); }
    // The log call after the filter: formats on the stack when the message fits.
    int LogUnfiltered(wchar_t level, const wchar_t* function, int line, const wchar_t* format, ...);
    // The steps of a line: check, frame, and append under the lock.
    [[nodiscard]] static bool CanFrame(wchar_t level, const wchar_t* function);
    int AppendLine(wchar_t level, const wchar_t* function, int line, const wchar_t* message,
                   std::size_t messageChars);
    [[nodiscard]] bool FindEnd(FileEnd* end);
    [[nodiscard]] bool WriteFramed(const FileEnd& end, char16_t* tail, std::size_t tailChars,
                                   const char16_t* lineEnd);
    void RestoreEnd(const FileEnd& end);
    void WriteDroppedNote(int processId, int threadId);

    std::uint32_t m_enabled = 0;
    platform::UniqueHandle m_file;  // not valid while closed
    wchar_t m_logPath[kLogPathChars] = {};
    std::uint32_t m_append = 0;
    std::atomic<std::uint32_t> m_loglevel{0};
    std::atomic<bool> m_active{false};
    // Held shared by every line being written, exclusively while the file or lock changes.
    mutable std::shared_mutex m_state;
    std::uint32_t m_maxSize = 0;
    std::uint32_t m_keepFiles = 0;
    // After a roll-over that failed, the next is tried only when the file has grown by the
    // limit again, so that a directory that refuses it does not cost every line an attempt.
    std::uint64_t m_nextRollOverAt = 0;
    std::uint32_t m_levelRanks[128] = {};
    CMutexLock m_lock;
    std::size_t m_largestMessageBuffer = kLargestFormatCapacity;
    std::uint32_t m_processId = 0;  // taken at Open
    std::uint32_t m_lockWaitMs = kLockWaitMs;
    // Lines dropped since the last line written because the mutex could not be taken.
    std::atomic<std::uint32_t> m_droppedLines{0};

    static constexpr std::uint64_t kUnknownEnd = ~std::uint64_t{0};
    // Where this object's last line ended (under the mutex). Writers only ever append whole
    // lines, so while the file is at least that long its end closes a line unless a writer
    // died holding the mutex; unknown before the first line and after a failed write.
    std::uint64_t m_endOfLastLine = kUnknownEnd;
};

/// The table of named logs. Empty in this system.
class CLogFileMap {
  public:
    CLogFileMap() = default;
    CLogFileMap(const CLogFileMap&) = delete;
    CLogFileMap& operator=(const CLogFileMap&) = delete;
    /// Clears the table.
    virtual ~CLogFileMap();

    /// The log registered under name (exact match, case-sensitive), or null. Any thread.
    CLogFile* Find(const std::wstring& name);
    /// Destroys every registered log, in name order, and empties the table. Any thread;
    /// callers must no longer use the logs.
    void Clear();

  private:
    std::map<std::wstring, CLogFile*> m_table;
    std::mutex m_lock;
};

}  // namespace logfilesync
