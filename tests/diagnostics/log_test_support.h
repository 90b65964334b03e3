// Helpers of the log tests: a log object on a fresh file, raw file access, and a strict reader
// of log files written independently of the product's own reader, so that the two cannot
// share a mistake.
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

inline platform::UniqueHandle OpenRaw(const std::wstring& path, std::uint32_t access,
                                      std::uint32_t disposition) {
    platform::Handle raw = platform::CreateFile(
        path.c_str(), access, platform::kFileShareRead | platform::kFileShareWrite, false,
        disposition, platform::kFileAttributeNormal);
    return platform::UniqueHandle(raw == platform::kInvalidHandleValue ? nullptr : raw);
}

/// The raw bytes of a file ("" when it cannot be opened).
inline std::string ReadFileBytes(const std::wstring& path) {
    platform::UniqueHandle file = OpenRaw(path, platform::kGenericRead, platform::kOpenExisting);
    std::string bytes;
    std::vector<char> chunk(1 << 16);
    std::uint32_t got = 0;
    while (file.Valid() &&
           platform::ReadFile(file.Get(), chunk.data(), static_cast<std::uint32_t>(chunk.size()),
                              &got) &&
           got > 0) {
        bytes.append(chunk.data(), got);
    }
    return bytes;
}

/// Appends raw bytes at the end of a file (creating it), as a foreign writer would.
inline bool AppendRawBytes(const std::wstring& path, const std::string& bytes) {
    platform::UniqueHandle file = OpenRaw(path, platform::kGenericWrite, platform::kOpenAlways);
    return file.Valid() &&
           platform::SetFilePointer(file.Get(), 0, nullptr, platform::kFileEnd) !=
               platform::kInvalidSetFilePointer &&
           platform::WriteFile(file.Get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
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
    bool framed = false;      // a whole header was found
    std::wstring raw;         // the line without CR LF
    std::uint64_t stamp = 0;  // the time stamp's digits as one number that orders lines
    wchar_t level = 0;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::wstring function;
    int sourceLine = 0;
    std::wstring message;
};

/// A whole log file: its mark, its end and its lines (split at CR LF only).
struct LogFileContent {
    bool startsWithMark = false;
    bool markRepeated = false;  // a second FF FE right after the first
    bool oddSize = false;
    bool endsWithLineBreak = false;
    std::size_t nulUnits = 0;  // U+0000 anywhere: a hole a writer left
    std::size_t unframed = 0;
    std::vector<LogLine> lines;
};

inline void ParseLogLine(const std::wstring& text, LogLine* line) {
    // "9999/99/99 99:99:99.999|L|id|id|function(L<n>): ", checked by position.
    line->raw = text;
    static const wchar_t kStamp[] = L"9999/99/99 99:99:99.999|";
    std::size_t p = 0;
    for (; kStamp[p] != L'\0'; ++p) {
        const bool digit = p < text.size() && text[p] >= L'0' && text[p] <= L'9';
        if (p >= text.size() || (kStamp[p] == L'9' ? !digit : text[p] != kStamp[p])) {
            return;
        }
        line->stamp =
            digit ? line->stamp * 10 + static_cast<std::uint64_t>(text[p] - L'0') : line->stamp;
    }
    if (text.size() < p + 2 || text[p] == L'\r' || text[p] == L'\n' || text[p + 1] != L'|') {
        return;
    }
    line->level = text[p];
    p += 2;
    for (std::uint32_t* id : {&line->processId, &line->threadId}) {
        const std::size_t start = p;
        while (p < text.size() && text[p] >= L'0' && text[p] <= L'9') {
            ++p;
        }
        if (p - start < 6 || p >= text.size() || text[p] != L'|') {
            return;
        }
        *id = static_cast<std::uint32_t>(std::stoul(text.substr(start, p - start)));
        ++p;
    }
    for (std::size_t open = text.find(L"(L", p); open != std::wstring::npos;
         open = text.find(L"(L", open + 1)) {
        std::size_t q = open + 2 + (open + 2 < text.size() && text[open + 2] == L'-' ? 1 : 0);
        const std::size_t digits = q;
        while (q < text.size() && text[q] >= L'0' && text[q] <= L'9') {
            ++q;
        }
        if (q > digits && text.compare(q, 3, L"): ") == 0) {
            line->function = text.substr(p, open - p);
            line->sourceLine = std::stoi(text.substr(open + 2, q - open - 2));
            line->message = text.substr(q + 3);
            line->framed = true;
            return;
        }
    }
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
        units.size() >= 2 && units.compare(units.size() - 2, 2, u"\r\n") == 0;
    for (const char16_t unit : units) {
        content.nulUnits += unit == 0 ? 1 : 0;
    }
    for (std::size_t start = 0; start < units.size();) {
        std::size_t end = units.find(u"\r\n", start);
        end = end == std::u16string::npos ? units.size() : end;
        LogLine line;
        ParseLogLine(platform::Utf16ToWide(units.substr(start, end - start)), &line);
        content.unframed += line.framed ? 0 : 1;
        content.lines.push_back(line);
        start = end + 2;
    }
    return content;
}

/// A log object of its own (not the default log) on a path, opened on construction.
class TestLog {
  public:
    explicit TestLog(const std::wstring& path, std::uint32_t append = 0, std::uint32_t loglevel = 0)
        : m_opened(m_log.Configure(1, path.c_str(), append, loglevel) && m_log.Open() == 1) {}
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
