// Reading the trace log: header parsing, the UTF-16LE line reader and the file follower.
#include "diagnostics/log_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "text/text_codec.h"

namespace logfilesync {
namespace {

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Exactly `digits` decimal digits at pos; advances pos.
bool FixedNumber(std::u16string_view text, std::size_t* pos, int digits, int* value) {
    if (*pos + static_cast<std::size_t>(digits) > text.size()) {
        return false;
    }
    int result = 0;
    for (int i = 0; i < digits; ++i) {
        const char16_t c = text[*pos + static_cast<std::size_t>(i)];
        if (!IsDigit(c)) {
            return false;
        }
        result = result * 10 + (c - u'0');
    }
    *pos += static_cast<std::size_t>(digits);
    *value = result;
    return true;
}

bool Expect(std::u16string_view text, std::size_t* pos, char16_t c) {
    if (*pos < text.size() && text[*pos] == c) {
        ++*pos;
        return true;
    }
    return false;
}

// An optionally signed decimal number of at least minChars characters (sign included), as
// "%06d" prints it; at most 11 characters, so it fits.
bool PaddedNumber(std::u16string_view text, std::size_t* pos, std::size_t minChars,
                  std::int64_t* value) {
    std::size_t p = *pos;
    const bool negative = p < text.size() && text[p] == u'-';
    if (negative) {
        ++p;
    }
    const std::size_t digitsStart = p;
    std::int64_t result = 0;
    while (p < text.size() && IsDigit(text[p]) && p - digitsStart < 10) {
        result = result * 10 + (text[p] - u'0');
        ++p;
    }
    if (p == digitsStart || p - *pos < minChars || (p < text.size() && IsDigit(text[p]))) {
        return false;
    }
    *value = negative ? -result : result;
    *pos = p;
    return true;
}

}  // namespace

bool ParseLogHeader(std::u16string_view text, LogHeader* header) {
    LogHeader h;
    std::size_t p = 0;
    if (!FixedNumber(text, &p, 4, &h.year) || !Expect(text, &p, u'/') ||
        !FixedNumber(text, &p, 2, &h.month) || !Expect(text, &p, u'/') ||
        !FixedNumber(text, &p, 2, &h.day) || !Expect(text, &p, u' ') ||
        !FixedNumber(text, &p, 2, &h.hour) || !Expect(text, &p, u':') ||
        !FixedNumber(text, &p, 2, &h.minute) || !Expect(text, &p, u':') ||
        !FixedNumber(text, &p, 2, &h.second) || !Expect(text, &p, u'.') ||
        !FixedNumber(text, &p, 3, &h.milliseconds) || !Expect(text, &p, u'|')) {
        return false;
    }
    if (h.month < 1 || h.month > 12 || h.day < 1 || h.day > 31 || h.hour > 23 || h.minute > 59 ||
        h.second > 60) {
        return false;
    }
    if (p >= text.size()) {
        return false;
    }
    const char16_t first = text[p];
    if (first >= 0xD800 && first <= 0xDBFF && p + 1 < text.size() && text[p + 1] >= 0xDC00 &&
        text[p + 1] <= 0xDFFF) {
        h.level = 0x10000 + ((static_cast<char32_t>(first) - 0xD800) << 10) +
                  (static_cast<char32_t>(text[p + 1]) - 0xDC00);
        p += 2;
    } else {
        h.level = first;
        p += 1;
    }
    if (!Expect(text, &p, u'|') || !PaddedNumber(text, &p, 6, &h.processId) ||
        !Expect(text, &p, u'|') || !PaddedNumber(text, &p, 6, &h.threadId) ||
        !Expect(text, &p, u'|')) {
        return false;
    }
    // The function runs to the first "(L<number>): ".
    const std::size_t functionStart = p;
    for (std::size_t q = functionStart; q + 1 < text.size(); ++q) {
        if (text[q] != u'(' || text[q + 1] != u'L') {
            continue;
        }
        std::size_t r = q + 2;
        std::int64_t line = 0;
        if (PaddedNumber(text, &r, 1, &line) && Expect(text, &r, u')') && Expect(text, &r, u':') &&
            Expect(text, &r, u' ')) {
            h.function = text.substr(functionStart, q - functionStart);
            h.line = line;
            h.length = r;
            *header = h;
            return true;
        }
    }
    return false;
}

std::uint32_t DefaultLevelRank(char32_t level) {
    switch (level) {
        case U'D':
            return 1;
        case U'I':
            return 2;
        case U'W':
            return 3;
        case U'E':
            return 4;
        default:
            return 0;
    }
}

void AppendUtf8(std::u16string_view units, std::string* out) {
    const std::size_t at = out->size();
    out->resize(at + units.size() * 3);  // a UTF-16 unit takes at most three UTF-8 bytes
    const platform::utf::Converted done =
        platform::utf::Convert(units.data(), units.size(), out->data() + at, units.size() * 3);
    out->resize(at + done.written);
}

std::string ShowControls(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(utf8.size());
    const auto escape = [&shown](unsigned char code) {
        shown += "\\x";
        shown += kHex[code >> 4];
        shown += kHex[code & 0xF];
    };
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
            escape(byte);
        } else if (byte == 0xC2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            escape(static_cast<unsigned char>(utf8[++i]));  // U+0080..U+009F in two bytes
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

void LogTextReader::Reset() {
    m_unitsRead = 0;
    m_problem.clear();
    m_atStart = true;
    m_oddByte = -1;
    m_pending.clear();
    m_showRecord = true;
    m_seenHeader = false;
}

namespace {

// The index of the first surrogate without its partner, or npos.
std::size_t UnpairedSurrogate(std::u16string_view units) {
    const platform::utf::Converted check =
        platform::utf::Convert(units.data(), units.size(), static_cast<char*>(nullptr), 0);
    return check.firstInvalid == platform::utf::kAllValid ? std::u16string_view::npos
                                                          : check.firstInvalid;
}

}  // namespace

void LogTextReader::EmitLine(std::u16string_view line, std::string* out) {
    const std::size_t bad = UnpairedSurrogate(line);
    if (bad != std::u16string_view::npos) {
        // Counted from the file's start: the mark, then the units before this line's end.
        const std::uint64_t offset = (m_unitsRead - m_pending.size() + bad) * 2;
        m_problem = "the bytes at offset " + std::to_string(offset) + " do not decode as UTF-16LE";
        return;
    }
    LogHeader header;
    if (ParseLogHeader(line, &header)) {
        m_seenHeader = true;
        m_showRecord = DefaultLevelRank(header.level) >= m_minRank;
    } else if (!m_seenHeader) {
        m_showRecord = m_minRank == 0;  // text before any record
    }
    if (m_showRecord) {
        AppendUtf8(line, out);
        out->push_back('\n');
    }
}

void LogTextReader::Feed(const void* bytes, std::size_t count, std::string* out) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < count && m_problem.empty()) {
        char16_t unit;
        if (m_oddByte >= 0) {
            unit = static_cast<char16_t>(m_oddByte | (b[i] << 8));
            m_oddByte = -1;
            i += 1;
        } else if (i + 1 < count) {
            unit = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
            i += 2;
        } else {
            m_oddByte = b[i];
            break;
        }
        ++m_unitsRead;
        if (m_atStart) {
            m_atStart = false;
            if (unit != 0xFEFF) {
                m_problem = "it does not start with the UTF-16LE byte-order mark FF FE";
                return;
            }
            continue;
        }
        if (unit == u'\n') {
            std::u16string_view line(m_pending);
            if (!line.empty() && line.back() == u'\r') {
                line.remove_suffix(1);
            }
            --m_unitsRead;  // the LF is not in m_pending
            EmitLine(line, out);
            ++m_unitsRead;
            m_pending.clear();
        } else {
            m_pending.push_back(unit);
        }
    }
}

void LogTextReader::Flush(std::string* out) {
    m_oddByte = -1;  // half a character: the writer stopped inside it
    if (!m_pending.empty() && m_pending.back() >= 0xD800 && m_pending.back() <= 0xDBFF) {
        m_pending.pop_back();  // or inside a surrogate pair
        --m_unitsRead;
    }
    if (!m_pending.empty() && m_problem.empty()) {
        std::u16string_view line(m_pending);
        if (line.back() == u'\r') {
            line.remove_suffix(1);
        }
        EmitLine(line, out);
        m_pending.clear();
    }
}

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// What is compared to tell whether a followed file was emptied or replaced: its first bytes
// (the first line's time stamp) and the bytes just before the point reached.
constexpr std::size_t kHeadPrint = 128;
constexpr std::size_t kTailPrint = 512;

bool SizeOf(platform::Handle file, std::uint64_t* size) {
    std::uint32_t high = 0;
    const std::uint32_t low = platform::GetFileSize(file, &high);
    if (low == platform::kInvalidFileSize && platform::GetLastError() != platform::kErrorSuccess) {
        return false;
    }
    *size = (std::uint64_t{high} << 32) | low;
    return true;
}

bool ReadAt(platform::Handle file, std::uint64_t offset, std::size_t count,
            std::vector<unsigned char>* bytes) {
    bytes->assign(count, 0);
    if (!platform::SeekTo(file, offset)) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        std::uint32_t got = 0;
        if (!platform::ReadFile(file, bytes->data() + done,
                                static_cast<std::uint32_t>(count - done), &got) ||
            got == 0) {
            break;
        }
        done += got;
    }
    bytes->resize(done);
    return done == count;
}

// Waits for the poll interval; true when following should end.
bool WaitOrStop(const LogFollowOptions& options) {
    if (options.stopEvent != nullptr) {
        return platform::WaitForSingleObject(options.stopEvent, options.pollMilliseconds) ==
               platform::kWaitObject0;
    }
    platform::Sleep(options.pollMilliseconds);
    return false;
}

class Follower {
  public:
    Follower(const LogFollowOptions& options, const LogTextSink& out)
        : m_out(out), m_reader(options.minRank) {}

    // Reads from the current point to the end of the file.
    bool ReadToEnd(platform::Handle file) {
        if (!platform::SeekTo(file, m_offset)) {
            return false;
        }
        std::vector<unsigned char> chunk(kChunk);
        while (true) {
            std::uint32_t got = 0;
            if (!platform::ReadFile(file, chunk.data(), static_cast<std::uint32_t>(chunk.size()),
                                    &got)) {
                return false;
            }
            if (got == 0) {
                return true;
            }
            Consume(chunk.data(), got);
        }
    }

    // Whether the file still holds, at the same places, the bytes this follower has read.
    bool StillSameFile(platform::Handle file) {
        std::uint64_t size = 0;
        if (!SizeOf(file, &size)) {
            return true;  // cannot tell: keep going
        }
        if (size < m_offset) {
            return false;
        }
        std::vector<unsigned char> bytes;
        if (!m_head.empty() && (!ReadAt(file, 0, m_head.size(), &bytes) || bytes != m_head)) {
            return false;
        }
        if (!m_tail.empty() &&
            (!ReadAt(file, m_offset - m_tail.size(), m_tail.size(), &bytes) || bytes != m_tail)) {
            return false;
        }
        return true;
    }

    void Restart() {
        Flush();
        m_reader.Reset();
        m_offset = 0;
        m_head.clear();
        m_tail.clear();
    }

    void Flush() {
        std::string text;
        m_reader.Flush(&text);
        Emit(text);
    }

    [[nodiscard]] const std::string& Problem() const { return m_reader.Problem(); }

  private:
    void Consume(const unsigned char* bytes, std::size_t count) {
        std::string text;
        m_reader.Feed(bytes, count, &text);
        Emit(text);
        m_offset += count;
        if (m_head.size() < kHeadPrint) {
            const std::size_t take = std::min(kHeadPrint - m_head.size(), count);
            m_head.insert(m_head.end(), bytes, bytes + take);
        }
        m_tail.insert(m_tail.end(), bytes, bytes + count);
        if (m_tail.size() > kTailPrint) {
            m_tail.erase(m_tail.begin(),
                         m_tail.begin() + static_cast<std::ptrdiff_t>(m_tail.size() - kTailPrint));
        }
    }

    void Emit(const std::string& text) {
        if (!text.empty()) {
            m_out(text);
        }
    }

    const LogTextSink& m_out;
    LogTextReader m_reader;
    std::uint64_t m_offset = 0;
    std::vector<unsigned char> m_head;
    std::vector<unsigned char> m_tail;
};

}  // namespace

platform::ErrorCode FollowLogFile(const wchar_t* path, const LogFollowOptions& options,
                                  const LogTextSink& out, const LogTextSink& notice) {
    const std::string displayPath = [&] {
        std::string text;
        for (const wchar_t* c = path; c != nullptr && *c != L'\0'; ++c) {
            text.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
        }
        return text;
    }();
    platform::UniqueHandle file;
    bool announcedWait = false;
    while (true) {
        file.Reset(platform::CreateFile(path, platform::kGenericRead,
                                        platform::kFileShareRead | platform::kFileShareWrite, false,
                                        platform::kOpenExisting, platform::kFileAttributeNormal));
        if (file) {
            break;
        }
        const platform::ErrorCode error = platform::GetLastError();
        if (!options.follow) {
            return error != platform::kErrorSuccess ? error : platform::kErrorFileNotFound;
        }
        if (!announcedWait) {
            notice("waiting for " + displayPath + " to appear\n");
            announcedWait = true;
        }
        if (WaitOrStop(options)) {
            return platform::kErrorSuccess;
        }
    }

    Follower follower(options, out);
    const auto notALog = [&] {
        notice(displayPath + " is not a trace log: " + follower.Problem() + "\n");
        return platform::kErrorInvalidData;
    };
    if (!follower.ReadToEnd(file.Get())) {
        if (!options.follow) {
            const platform::ErrorCode error = platform::GetLastError();
            follower.Flush();
            return error != platform::kErrorSuccess ? error : platform::kErrorReadFault;
        }
    }
    if (!options.follow) {
        follower.Flush();
        return follower.Problem().empty() ? platform::kErrorSuccess : notALog();
    }
    while (follower.Problem().empty() && !WaitOrStop(options)) {
        if (!follower.StillSameFile(file.Get())) {
            notice(displayPath + ": file emptied or replaced; reading from its start\n");
            follower.Restart();
        }
        (void)follower.ReadToEnd(file.Get());
    }
    return follower.Problem().empty() ? platform::kErrorSuccess : notALog();
}

}  // namespace logfilesync
