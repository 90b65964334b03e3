// Helpers of the log tests: a log object on a fresh file, and a strict reader of log files
// written independently of the product's own reader, so that the two cannot share a mistake.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace keltra::test {

/// The raw bytes of a file ("" when it cannot be opened).
inline std::string ReadFileBytes(const std::wstring& path) {
    platform::Handle raw = platform::CreateFile(
        path.c_str(), platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        false, platform::kOpenExisting, platform::kFileAttributeNormal);
    if (raw == platform::kInvalidHandleValue) {
        return {};
    }
    platform::UniqueHandle file(raw);
    std::string bytes;
    std::vector<char> chunk(1 << 16);
    std::uint32_t got = 0;
    while (platform::ReadFile(file.Get(), chunk.data(), static_cast<std::uint32_t>(chunk.size()),
                              &got) &&
           got > 0) {
        bytes.append(chunk.data(), got);
    }
    return bytes;
}

/// Appends raw bytes at the end of a file, as a foreign writer would.
inline bool AppendRawBytes(const std::wstring& path, const std::string& bytes) {
    platform::Handle raw = platform::CreateFile(
        path.c_str(), platform::kGenericWrite, platform::kFileShareRead | platform::kFileShareWrite,
        false, platform::kOpenAlways, platform::kFileAttributeNormal);
    if (raw == platform::kInvalidHandleValue) {
        return false;
    }
    platform::UniqueHandle file(raw);
    if (platform::SetFilePointer(file.Get(), 0, nullptr, platform::kFileEnd) ==
        platform::kInvalidSetFilePointer) {
        return false;
    }
    return platform::WriteFile(file.Get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                               nullptr);
}

/// UTF-16LE bytes of text.
inline std::string Utf16Le(const std::wstring& text) {
    std::string bytes;
    for (const char16_t unit : platform::WideToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

/// One line of a log file, split by the header's layout.
struct LogLine {
    bool framed = false;  // a whole header was found
    std::wstring raw;     // the line without CR LF
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    wchar_t level = 0;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::wstring function;
    int sourceLine = 0;
    std::wstring message;

    /// The time stamp as one number that orders lines.
    [[nodiscard]] std::uint64_t Stamp() const {
        return ((((((std::uint64_t(year) * 13 + month) * 32 + day) * 24 + hour) * 60 + minute) *
                     61 +
                 second) *
                1000) +
               millisecond;
    }
};

/// A whole log file: whether it starts with exactly one byte-order mark, whether it ends
/// with CR LF, and its lines (split at CR LF only).
struct LogFileContent {
    bool startsWithMark = false;
    bool markRepeated = false;  // a second FF FE right after the first
    bool oddSize = false;
    bool endsWithLineBreak = false;
    std::size_t nulUnits = 0;  // U+0000 anywhere: a hole a writer left
    std::vector<LogLine> lines;

    [[nodiscard]] std::size_t Unframed() const {
        std::size_t n = 0;
        for (const LogLine& line : lines) {
            n += line.framed ? 0 : 1;
        }
        return n;
    }
};

inline bool ParseLogLine(const std::wstring& text, LogLine* line) {
    // Checked by position against the layout, character by character.
    line->raw = text;
    line->framed = false;
    static const wchar_t kStamp[] = L"9999/99/99 99:99:99.999|";
    std::size_t p = 0;
    for (; kStamp[p] != L'\0'; ++p) {
        if (p >= text.size()) {
            return false;
        }
        const bool digit = text[p] >= L'0' && text[p] <= L'9';
        if (kStamp[p] == L'9' ? !digit : text[p] != kStamp[p]) {
            return false;
        }
    }
    auto number = [&](std::size_t from, std::size_t count) {
        return std::stoi(text.substr(from, count));
    };
    line->year = number(0, 4);
    line->month = number(5, 2);
    line->day = number(8, 2);
    line->hour = number(11, 2);
    line->minute = number(14, 2);
    line->second = number(17, 2);
    line->millisecond = number(20, 3);
    if (text.size() < p + 2 || text[p] == L'\r' || text[p] == L'\n' || text[p + 1] != L'|') {
        return false;
    }
    line->level = text[p];
    p += 2;
    auto id = [&](std::uint32_t* value) {
        const std::size_t start = p;
        while (p < text.size() && text[p] >= L'0' && text[p] <= L'9') {
            ++p;
        }
        if (p - start < 6 || p >= text.size() || text[p] != L'|') {
            return false;
        }
        *value = static_cast<std::uint32_t>(std::stoul(text.substr(start, p - start)));
        ++p;
        return true;
    };
    if (!id(&line->processId) || !id(&line->threadId)) {
        return false;
    }
    for (std::size_t open = text.find(L"(L", p); open != std::wstring::npos;
         open = text.find(L"(L", open + 1)) {
        std::size_t q = open + 2;
        if (q < text.size() && text[q] == L'-') {
            ++q;
        }
        const std::size_t digits = q;
        while (q < text.size() && text[q] >= L'0' && text[q] <= L'9') {
            ++q;
        }
        if (q == digits || text.compare(q, 3, L"): ") != 0) {
            continue;
        }
        line->function = text.substr(p, open - p);
        line->sourceLine = std::stoi(text.substr(open + 2, q - open - 2));
        line->message = text.substr(q + 3);
        line->framed = true;
        return true;
    }
    return false;
}

inline LogFileContent ReadLogFile(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    LogFileContent content;
    content.oddSize = bytes.size() % 2 != 0;
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    if (!units.empty() && units[0] == u'\xFEFF') {
        content.startsWithMark = true;
        units.erase(0, 1);
        content.markRepeated = !units.empty() && units[0] == u'\xFEFF';
    }
    content.endsWithLineBreak =
        units.size() >= 2 && units[units.size() - 2] == u'\r' && units[units.size() - 1] == u'\n';
    for (const char16_t unit : units) {
        content.nulUnits += unit == 0 ? 1 : 0;
    }
    std::size_t start = 0;
    while (start < units.size()) {
        std::size_t end = units.find(u"\r\n", start);
        if (end == std::u16string::npos) {
            end = units.size();
        }
        LogLine line;
        ParseLogLine(platform::Utf16ToWide(units.substr(start, end - start)), &line);
        content.lines.push_back(line);
        start = end + 2;
    }
    return content;
}

/// A log object of its own (not the default log) on a path, opened on construction.
class TestLog {
  public:
    explicit TestLog(const std::wstring& path, std::uint32_t append = 0,
                     std::uint32_t loglevel = 0) {
        m_log.m_enabled = 1;
        m_log.m_append = append;
        m_log.m_loglevel = loglevel;
        platform::StringCchCopyW(m_log.m_logPath, logfilesync::kLogPathChars, path.c_str());
        m_opened = m_log.Open() == 1;
    }
    [[nodiscard]] bool Opened() const { return m_opened; }
    logfilesync::CLogFile& Log() { return m_log; }
    logfilesync::CLogFile* operator->() { return &m_log; }

  private:
    logfilesync::CLogFile m_log;
    bool m_opened = false;
};

/// A fresh log path in a directory of its own.
inline std::wstring FreshLogPath(const std::wstring& tag, const std::wstring& name = L"trace.log") {
    return MakeTempDirectory(tag) + platform::kPathSeparator + name;
}

}  // namespace keltra::test
