// Reading the trace log: header parsing, level ranks, a streaming UTF-16LE to UTF-8 line
// reader with a level filter, and a follower that prints a log file as it grows.
//
// A record is a header line and the lines that follow it up to the next header (a message
// may hold line breaks). Lines that come before any header (a file cut from outside) belong
// to no record and have rank 0.
//
// Threads: the reader and the follower are used by one thread at a time. Failure: a file that
// is not a trace log (it does not start with the UTF-16LE byte-order mark, or holds a UTF-16
// surrogate without its partner) stops the reader with a problem that says so. Lines that are
// no header are continuation lines. A torn end (the last line without its CR LF, cut inside a
// character or a surrogate pair) is no problem: it is read up to where it was cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace logfilesync {

/// The fields of one line header.
struct LogHeader {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    char32_t level = 0;
    std::int64_t processId = 0;
    std::int64_t threadId = 0;
    std::u16string_view function;  // points into the parsed line
    std::int64_t line = 0;
    std::size_t length = 0;  // UTF-16 units of the header, through the ": "
};

/// Parses the header at the start of a line (UTF-16 units, without CR LF): the time stamp
/// "yyyy/mm/dd hh:mm:ss.mmm" (digits, fields in range), '|', one level character, '|', the
/// process id and '|', the thread id (each at least six digits, a sign allowed), '|', the
/// function name and "(L<decimal line>): ". The function ends at the first "(L<n>): ". True
/// with *header filled when the line starts with a well-formed header.
bool ParseLogHeader(std::u16string_view line, LogHeader* header);

/// The rank the default log gives a level: V 0, D 1, I 2, W 3, E 4, any other character 0.
[[nodiscard]] std::uint32_t DefaultLevelRank(char32_t level);

/// UTF-16 units to UTF-8; unpaired surrogates become U+FFFD.
void AppendUtf8(std::u16string_view units, std::string* out);

/// Output of the reader made safe for a terminal: every control character but the line feed
/// that ends a line and the tab (the other C0 controls, DEL, and the C1 controls U+0080 to
/// U+009F, which terminals obey too) becomes a visible "\xNN"; the rest is unchanged.
/// Otherwise a logged text could move the cursor, rewrite the screen or hide itself.
[[nodiscard]] std::string ShowControls(std::string_view utf8);

/// Turns the bytes of a log file, fed in order from its first byte, into UTF-8 lines ending
/// in "\n" (CR LF and LF both end a line), without the byte-order mark, keeping only records
/// whose level rank is at least minRank.
class LogTextReader {
  public:
    explicit LogTextReader(std::uint32_t minRank = 0) : m_minRank(minRank) {}

    /// Appends the complete lines that the bytes finish to *out; keeps the unfinished rest.
    /// Once Problem() is not empty, appends nothing more.
    void Feed(const void* bytes, std::size_t count, std::string* out);

    /// Appends the unfinished last line (if any, and if shown) with a "\n" and forgets it;
    /// a half character or an unpaired high surrogate at its very end (torn there) is dropped.
    void Flush(std::string* out);

    /// Empty while the bytes read like a trace log; else what is wrong with them.
    [[nodiscard]] const std::string& Problem() const { return m_problem; }

    /// Starts over at the first byte of a file.
    void Reset();

    /// Takes the next bytes as starting at a line inside a log whose byte-order mark lies
    /// before them (a reader that joins at the current end of a log being written).
    void StartPastMark() { m_atStart = false; }

    /// Whether an unfinished line is waiting for its end.
    [[nodiscard]] bool HasPartialLine() const { return !m_pending.empty() || m_oddByte >= 0; }

  private:
    void EmitLine(std::u16string_view line, std::string* out);

    std::uint32_t m_minRank;
    std::uint64_t m_unitsRead = 0;  // UTF-16 units read, for the position in a problem
    std::string m_problem;
    bool m_atStart = true;
    int m_oddByte = -1;
    std::u16string m_pending;
    bool m_showRecord = true;
    bool m_seenHeader = false;
};

/// How FollowLogFile reads.
struct LogFollowOptions {
    bool follow = false;                   // keep reading as the file grows, like tail -f
    std::uint32_t minRank = 0;             // the level filter
    std::uint32_t pollMilliseconds = 200;  // how often a followed file is looked at
    platform::Handle stopEvent = nullptr;  // when signalled, following ends (may be null)
};

/// Receives output text (UTF-8).
using LogTextSink = std::function<void(std::string_view)>;

/// Prints the log file at path through out, as LogTextReader does. Without follow: reads to
/// the end, prints an unfinished last line too, and returns 0, or the error that stopped it
/// (2 when the file does not exist). A file that is not a trace log ends reading, with or
/// without follow: notice says what is wrong and the result is 13 (ERROR_INVALID_DATA). With
/// follow: prints what is there, then keeps printing lines as they are completed, waiting for a
/// missing file to appear; when the file is emptied or replaced by another process it says so
/// through notice and starts again at its beginning. Following ends only when stopEvent is
/// signalled (then 0).
platform::ErrorCode FollowLogFile(const wchar_t* path, const LogFollowOptions& options,
                                  const LogTextSink& out, const LogTextSink& notice);

}  // namespace logfilesync
