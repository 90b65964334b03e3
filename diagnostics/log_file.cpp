// The shared log file store: the settings applied, the log call, opening the file, appending framed
// lines under the cross-process lock, and the table of named logs.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "diagnostics/log_file.h"
#include "diagnostics/log_format.h"
#include "diagnostics/log_line.h"
#include "diagnostics/log_rotation.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "text/text.h"

namespace logfilesync {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the log file is UTF-16LE: lines are built in native char16_t order");

constexpr char16_t kByteOrderMark = 0xFEFF;

// A level or function name holding these would break the one-line framing of the header.
bool BreaksFraming(wchar_t c) {
    return c == L'\0' || c == L'\r' || c == L'\n';
}

}  // namespace

// ---- CLogFile: the settings and the log call

int CLogFile::LoadSettings() {
    LogSettings settings;
    const int result = ReadLogSettings(&settings);
    m_enabled = 0;
    m_maxSize = settings.maxSize;
    m_keepFiles = settings.keepFiles;
    if (result == 1) {
        (void)platform::StringCchCopyW(m_logPath, kLogPathChars, settings.path.c_str());
        m_enabled = settings.enabled;
        m_append = settings.append;
        m_loglevel = settings.loglevel;
    }
    UpdateActive();
    return result;
}

bool CLogFile::Configure(std::uint32_t enabled, const wchar_t* path, std::uint32_t append,
                         std::uint32_t loglevel) {
    wchar_t copy[kLogPathChars];
    if (path == nullptr || platform::StringCchCopyW(copy, kLogPathChars, path) != platform::kSOk) {
        return false;
    }
    std::copy(copy, copy + kLogPathChars, m_logPath);
    m_enabled = enabled;
    m_append = append;
    m_loglevel = loglevel;
    UpdateActive();
    return true;
}

LogSettings CLogFile::CurrentSettings() const {
    return LogSettings{m_enabled, m_logPath, m_append, LogLevel(), m_maxSize, m_keepFiles};
}

std::wstring CLogFile::Reconfigure(const LogSettings& settings) {
    const LogSettings before = CurrentSettings();
    wchar_t path[kLogPathChars];
    if (platform::StringCchCopyW(path, kLogPathChars, settings.path.c_str()) != platform::kSOk) {
        return L"";  // ReadLogSettings never gives such a path
    }
    // A log that could not be opened before is tried again.
    const bool fileChanges =
        (before.enabled != 0) != (settings.enabled != 0) ||
        (settings.enabled != 0 && (before.path != settings.path || !m_file.Valid()));
    m_loglevel = settings.loglevel;
    std::unique_lock<std::shared_mutex> hold(m_state);
    m_maxSize = settings.maxSize;
    m_keepFiles = settings.keepFiles;
    m_nextRollOverAt = 0;
    if (fileChanges) {
        CloseLocked();
        std::copy(path, path + kLogPathChars, m_logPath);
        m_enabled = settings.enabled;
        if (m_enabled != 0) {
            const std::uint32_t append = m_append;
            m_append = 1;  // a re-read never empties a file
            (void)OpenLocked();
            m_append = append;
        }
    }
    return DescribeLogSettingsChange(before, settings);
}

int CLogFile::LogUnfiltered(wchar_t level, const wchar_t* function, int line, const wchar_t* format,
                            ...) {
    va_list args;
    va_start(args, format);
    const int result = LogV(level, function, line, format, args);
    va_end(args);
    return result;
}

int CLogFile::LogV(wchar_t level, const wchar_t* function, int line, const wchar_t* format,
                   va_list args) {
    if (!Passes(level) || format == nullptr) {
        return 0;
    }
    // Most messages fit the first capacity: format them on the stack, without an allocation.
    wchar_t first[kFirstFormatCapacity];
    int chars = 0;
    const std::size_t firstCapacity = std::min(kFirstFormatCapacity, m_largestMessageBuffer);
    const FormatOutcome outcome = firstCapacity < kFirstFormatCapacity
                                      ? FormatOutcome::kTooLong
                                      : FormatInto(first, firstCapacity, format, args, &chars);
    if (outcome == FormatOutcome::kDone) {
        return AppendLine(level, function, line, first, static_cast<std::size_t>(chars));
    }
    if (outcome == FormatOutcome::kFailed) {
        return 0;
    }
    wchar_t* message = nullptr;
    chars = FormatGrowing(args, &message, format, kFirstFormatCapacity * 2, m_largestMessageBuffer);
    if (chars <= 0) {
        delete[] message;
        return 0;
    }
    return WriteLine(level, function, line, message, static_cast<std::uint32_t>(chars) * 2) != 0
               ? 1
               : 0;
}

int CLogFile::FormatText(va_list args, wchar_t** buffer, const wchar_t* format) {
    return FormatTextUpTo(args, buffer, format, kLargestFormatCapacity);
}

int CLogFile::FormatTextUpTo(va_list args, wchar_t** buffer, const wchar_t* format,
                             std::size_t largestCapacity) {
    if (buffer == nullptr) {
        return 0;
    }
    *buffer = nullptr;
    if (format == nullptr) {
        return 0;
    }
    return FormatGrowing(args, buffer, format, kFirstFormatCapacity, largestCapacity);
}

// ---- CLogFile: the file ------------------------------------------------------------------

CLogFile::CLogFile() {
    m_levelRanks[static_cast<unsigned char>('V')] = 0;
    m_levelRanks[static_cast<unsigned char>('D')] = 1;
    m_levelRanks[static_cast<unsigned char>('I')] = 2;
    m_levelRanks[static_cast<unsigned char>('W')] = 3;
    m_levelRanks[static_cast<unsigned char>('E')] = 4;
}

CLogFile::~CLogFile() {
    Close();
}

int CLogFile::MakeMutexName(wchar_t* name, std::size_t capacity) const {
    if (name == nullptr || capacity == 0) {
        return 0;
    }
    const std::size_t limit = std::min(kMutexNameChars, capacity - 1);
    std::size_t length = 0;
    for (std::size_t i = 0; i < kLogPathChars && m_logPath[i] != L'\0'; ++i) {
        const wchar_t c = m_logPath[i];
        if (c == L' ' || c == L'.' || c == L'\\' || c == platform::kPathSeparator) {
            continue;
        }
        if (length == limit) {
            break;
        }
        name[length++] = c;
    }
    name[length] = L'\0';
    return length > 0 ? 1 : 0;
}

int CLogFile::CreateLogDirectory() const {
    wchar_t directory[kLogPathChars];
    if (platform::StringCchCopyW(directory, kLogPathChars, m_logPath) != platform::kSOk) {
        return 0;
    }
    wchar_t* last = nullptr;
    for (wchar_t* c = directory; *c != L'\0'; ++c) {
        if (*c == platform::kPathSeparator) {
            last = c;
        }
    }
    if (last == nullptr || last == directory) {
        return 0;  // the current directory, or the root: nothing to create
    }
    *last = L'\0';
    if (platform::PathFileExists(directory)) {
        return 0;
    }
    return platform::CreateDirectoryTree(directory) == platform::kErrorSuccess ? 1 : 0;
}

int CLogFile::Open() {
    std::unique_lock<std::shared_mutex> hold(m_state);
    return OpenLocked();
}

int CLogFile::OpenLocked() {
    wchar_t name[kHeaderChars];
    if (MakeMutexName(name, kHeaderChars) == 0) {
        return 0;
    }
    if (m_lock.Create(name, m_lockWaitMs) != platform::kErrorSuccess) {
        return 0;  // also the second Open: the file is not touched
    }
    // Emptying or marking the file unlocked could cut into another process's line.
    if (m_lock.Lock() != platform::kErrorSuccess) {
        m_lock.Close();
        return 0;
    }
    m_file.Reset();
    CreateLogDirectory();
    platform::UniqueHandle file(
        platform::CreateFile(m_logPath, platform::kGenericRead | platform::kGenericWrite,
                             platform::kFileShareRead | platform::kFileShareWrite, true,
                             m_append != 0 ? platform::kOpenAlways : platform::kCreateAlways,
                             platform::kFileAttributeNormal));
    const platform::ErrorCode openError = platform::GetLastError();
    bool open = file.Valid();
    const bool marked = open && (m_append == 0 || openError != platform::kErrorAlreadyExists);
    if (marked) {
        // New or just emptied: the byte-order mark first.
        const unsigned char mark[2] = {0xFF, 0xFE};
        open = platform::SeekTo(file.Get(), 0) &&
               platform::WriteFile(file.Get(), mark, sizeof mark, nullptr);
    }
    m_file = std::move(file);
    if (open && !marked && m_lock.TookOverFromDeadOwner()) {
        // A writer died holding the mutex: only the taker is told, so mend its half line now
        // rather than leave it to writers that will not look.
        FileEnd end;
        if (FindEnd(&end)) {
            RestoreEnd(end);
        }
    }
    (void)m_lock.Unlock();
    if (!open) {
        m_file.Reset();
        m_lock.Close();
        return 0;
    }
    m_processId = platform::GetCurrentProcessId();
    m_endOfLastLine = kUnknownEnd;
    m_nextRollOverAt = 0;
    UpdateActive();
    return 1;
}

void CLogFile::Close() {
    std::unique_lock<std::shared_mutex> hold(m_state);
    CloseLocked();
}

void CLogFile::CloseLocked() {
    m_file.Reset();
    m_lock.Close();
    UpdateActive();
}

// ---- CLogFile: one line ------------------------------------------------------------------
//
// A line is built in one buffer, front to back: room for a mending prefix and the time stamp,
// then "|L|pid|tid|function(Lnn): ", the message and CR LF, all but the stamp before the lock
// is taken. Under the lock: find the end (FindEnd), put the stamp in front (PutStamp), write
// once (WriteFramed).

namespace {

// Lines up to this many UTF-16 units are built on the stack.
constexpr std::size_t kStackLineUnits = 4096;
// Room in front of the tail: a CR LF or mark to mend the file's end, and the time stamp.
constexpr std::size_t kFrontUnits = 2 + 32;

}  // namespace

bool CLogFile::CanFrame(wchar_t level, const wchar_t* function) {
    if (BreaksFraming(level) || function == nullptr) {
        return false;
    }
    for (const wchar_t* c = function; *c != L'\0'; ++c) {
        if (*c == L'\r' || *c == L'\n') {
            return false;
        }
    }
    return true;
}

int CLogFile::WriteLine(wchar_t level, const wchar_t* function, int line, wchar_t* message,
                        std::uint32_t messageBytes) {
    const std::unique_ptr<wchar_t[]> owned(message);
    if (message == nullptr || messageBytes % 2 != 0) {
        return 0;
    }
    return AppendLine(level, function, line, message, messageBytes / 2);
}

int CLogFile::AppendLine(wchar_t level, const wchar_t* function, int line, const wchar_t* message,
                         std::size_t messageChars) {
    // The file and its lock stay as they are until the line is written.
    std::shared_lock<std::shared_mutex> hold(m_state);
    if (!m_file.Valid() || message == nullptr || messageChars == 0 || !CanFrame(level, function)) {
        return 0;
    }
    // The header's tail, "|%c|%06d|%06d|%s(L%d): ", must leave room for the stamp within
    // 259 characters (counted in wide characters, as the bounded print counts them).
    const int processId = static_cast<int>(m_processId);
    const int threadId = static_cast<int>(platform::GetCurrentThreadId());
    const std::size_t functionChars = std::char_traits<wchar_t>::length(function);
    const std::size_t tailChars = 3 + DecimalChars(processId, 6) + 1 + DecimalChars(threadId, 6) +
                                  1 + functionChars + 2 + DecimalChars(line, 1) + 3;
    if (tailChars >= kHeaderChars - kStampChars) {
        return 0;  // the header would be longer than 259 characters
    }

    // Build: [front][|L|pid|tid|function(Lnn): ][message][CR LF].
    // Each wide character takes at most two UTF-16 units.
    const std::size_t units = kFrontUnits + 2 + 2 * (tailChars + messageChars) + 2;
    char16_t stackLine[kStackLineUnits];
    std::unique_ptr<char16_t[]> heapLine;
    char16_t* buffer = stackLine;
    if (units > kStackLineUnits) {
        heapLine.reset(new (std::nothrow) char16_t[units]);
        if (heapLine == nullptr) {
            return 0;
        }
        buffer = heapLine.get();
    }
    char16_t* const tail = buffer + kFrontUnits;
    const char16_t* const end = PutTail(tail, level, processId, threadId, function, functionChars,
                                        line, message, messageChars);

    if (m_lock.Lock() != platform::kErrorSuccess) {
        // Never write a line that another writer could cut into; say so with the next one.
        m_droppedLines.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    if (m_droppedLines.load(std::memory_order_relaxed) != 0) {
        WriteDroppedNote(processId, threadId);
    }
    FileEnd fileEnd;
    const bool written = FindEnd(&fileEnd) && WriteFramed(fileEnd, tail, tailChars, end);
    (void)m_lock.Unlock();
    return written ? 1 : 0;
}

// Under the mutex: a line at level W, in front of the line that found lines dropped, saying
// how many. A note that cannot be written keeps its count for the next line.
void CLogFile::WriteDroppedNote(int processId, int threadId) {
    constexpr wchar_t kFunction[] = L"logfilesync::CLogFile::WriteLine";
    constexpr std::size_t kMessageChars = 128;
    const std::uint32_t dropped = m_droppedLines.exchange(0, std::memory_order_relaxed);
    wchar_t message[kMessageChars];
    (void)platform::StringCchPrintfW(
        message, kMessageChars,
        L"%u log line(s) dropped: the log's lock was held elsewhere for %u ms or more", dropped,
        m_lockWaitMs);
    const std::size_t messageChars = std::char_traits<wchar_t>::length(message);
    const std::size_t functionChars = std::char_traits<wchar_t>::length(kFunction);
    char16_t buffer[kFrontUnits + 2 * (kHeaderChars + kMessageChars) + 2];
    char16_t* const tail = buffer + kFrontUnits;
    const char16_t* const end = PutTail(tail, L'W', processId, threadId, kFunction, functionChars,
                                        __LINE__, message, messageChars);
    const std::size_t tailChars = static_cast<std::size_t>(end - tail) - messageChars - 2;
    FileEnd fileEnd;
    if (!FindEnd(&fileEnd) || !WriteFramed(fileEnd, tail, tailChars, end)) {
        m_droppedLines.fetch_add(dropped, std::memory_order_relaxed);
    }
}

// Under the mutex: moves to the end of the file and finds out what must go in front of the
// line. Usually one seek; the last two characters are read only where the end may be torn.
bool CLogFile::FindEnd(FileEnd* end) {
    const platform::Handle file = m_file.Get();
    std::int32_t high = 0;
    const std::uint32_t low = platform::SetFilePointer(file, 0, &high, platform::kFileEnd);
    if (low == platform::kInvalidSetFilePointer &&
        platform::GetLastError() != platform::kErrorSuccess) {
        return false;
    }
    end->size = (std::uint64_t{static_cast<std::uint32_t>(high)} << 32) | low;
    if (m_maxSize != 0 && end->size >= m_maxSize && end->size >= m_nextRollOverAt) {
        // The content goes aside as it is (a torn last line too); the line starts the file.
        if (RollOver(m_file.Get(), m_logPath, end->size, m_keepFiles)) {
            *end = FileEnd{0, true, false, false};
            m_nextRollOverAt = 0;
            return true;
        }
        m_nextRollOverAt = end->size + m_maxSize;  // not again on every line
    }
    end->needMark = end->size == 0;
    end->needPad = end->size % 2 != 0;  // a writer stopped inside a character
    end->needBreak = end->needPad;
    const bool mayBeTorn = m_lock.TookOverFromDeadOwner() || m_endOfLastLine == kUnknownEnd ||
                           end->size < m_endOfLastLine;
    if (!mayBeTorn || end->needPad || end->size < 4) {
        return true;
    }
    unsigned char last[4] = {};
    std::uint32_t got = 0;
    if (!platform::SeekTo(file, end->size - 4)) {
        return false;
    }
    if (!platform::ReadFile(file, last, sizeof last, &got) || got != sizeof last) {
        return platform::SeekTo(file, end->size);
    }
    end->needBreak = !(last[0] == 0x0D && last[1] == 0 && last[2] == 0x0A && last[3] == 0);
    return true;
}

// Under the mutex, after a failed write or when only mending: cuts the file back to the end
// that was found and writes the mending bytes alone, so that the file ends a line again for
// writers that will not read it. Best effort: a failure here leaves it to the next reader.
void CLogFile::RestoreEnd(const FileEnd& end) {
    m_endOfLastLine = kUnknownEnd;
    if (!platform::TruncateTo(m_file.Get(), end.size)) {
        return;
    }
    const unsigned char mend[5] = {0x00, 0x0D, 0x00, 0x0A, 0x00};
    if (end.needBreak) {
        const std::size_t skip = end.needPad ? 0 : 1;
        (void)platform::WriteFile(m_file.Get(), mend + skip,
                                  static_cast<std::uint32_t>(sizeof mend - skip), nullptr);
    }
}

// Under the mutex: puts the time stamp (and any mending prefix) in front of the tail and
// writes the whole line with one write.
bool CLogFile::WriteFramed(const FileEnd& end, char16_t* tail, std::size_t tailChars,
                           const char16_t* lineEnd) {
    char16_t stamp[32];
    const std::size_t stampChars = static_cast<std::size_t>(PutStamp(stamp) - stamp);
    if (stampChars + tailChars >= kHeaderChars) {
        return false;  // only for years past 9999
    }
    char16_t* start = tail - stampChars;
    std::copy(stamp, stamp + stampChars, start);
    if (end.needMark) {
        *--start = kByteOrderMark;
    } else if (end.needBreak) {
        *--start = u'\n';
        *--start = u'\r';
    }
    const std::size_t bytes = static_cast<std::size_t>(lineEnd - start) * sizeof(char16_t);
    if (bytes > 0xFFFFFFFFu) {
        return false;
    }
    const unsigned char zero = 0;
    const bool written =
        (!end.needPad || platform::WriteFile(m_file.Get(), &zero, 1, nullptr)) &&
        platform::WriteFile(m_file.Get(), start, static_cast<std::uint32_t>(bytes), nullptr);
    if (!written) {
        RestoreEnd(end);  // take back what part of the line got in
        return false;
    }
    m_endOfLastLine = end.size + (end.needPad ? 1 : 0) + bytes;
    return true;
}

// ---- CLogFileMap --------------------------------------------------------------------------

CLogFileMap::~CLogFileMap() {
    Clear();
}

CLogFile* CLogFileMap::Find(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_table.find(name);
    return it == m_table.end() ? nullptr : it->second;
}

void CLogFileMap::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : m_table) {
        delete entry.second;
    }
    m_table.clear();
}

}  // namespace logfilesync
