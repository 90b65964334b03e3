// Helpers of the log tests: a log object on a fresh file, raw file access, and a strict reader
// of whole log files (mark, end, holes, every line split by the header's layout).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test {

/// The raw bytes of a file ("" when it cannot be read).
inline std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

/// Appends raw bytes at the end of a file (creating it), as a foreign writer would.
inline bool AppendRawBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::app);
    return static_cast<bool>(file << bytes << std::flush);
}

/// UTF-16LE bytes of text.
inline std::string Utf16Le(const std::wstring& text) {
    std::string bytes;
    for (const char16_t unit : platform::WideToUtf16(text)) {
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    }
    return bytes;
}

/// One line of a log file (without CR LF), split by the header's layout when it has one.
struct LogLine {
    bool framed = false;
    std::wstring raw;
    std::wstring stamp;  // the time stamp, whose text orders lines
    wchar_t level = 0;
    std::uint32_t processId = 0, threadId = 0;
    int sourceLine = 0;
    std::wstring function, message;
};

/// A whole log file: its mark, its end and its lines (split at CR LF only).
struct LogFileContent {
    bool startsWithMark = false, markRepeated = false, oddSize = false, endsWithLineBreak = false;
    std::size_t nulUnits = 0;  // U+0000 anywhere: a hole a writer left
    std::size_t unframed = 0;
    std::vector<LogLine> lines;
};

// Through the reader's header parser, which its own tests check against literal lines.
inline LogLine ParseLogLine(const std::u16string& units) {
    LogLine line;
    line.raw = platform::Utf16ToWide(units);
    logfilesync::LogHeader h;
    if (!logfilesync::ParseLogHeader(units, &h)) {
        return line;
    }
    line.framed = true;
    line.stamp = line.raw.substr(0, 23);
    line.level = static_cast<wchar_t>(h.level);
    line.processId = static_cast<std::uint32_t>(h.processId);
    line.threadId = static_cast<std::uint32_t>(h.threadId);
    line.sourceLine = static_cast<int>(h.line);
    line.function = platform::Utf16ToWide(h.function);
    line.message = platform::Utf16ToWide(units.substr(h.length));
    return line;
}

inline LogFileContent ReadLogFile(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    LogFileContent content;
    content.oddSize = bytes.size() % 2 != 0;
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        content.nulUnits += units.back() == 0 ? 1 : 0;
    }
    content.startsWithMark = !units.empty() && units[0] == u'\xFEFF';
    units.erase(0, content.startsWithMark ? 1 : 0);
    content.markRepeated = content.startsWithMark && !units.empty() && units[0] == u'\xFEFF';
    content.endsWithLineBreak = units.size() >= 2 && units.substr(units.size() - 2) == u"\r\n";
    for (std::size_t start = 0, end = 0; start < units.size(); start = end + 2) {
        end = std::min(units.find(u"\r\n", start), units.size());
        content.lines.push_back(ParseLogLine(units.substr(start, end - start)));
        content.unframed += content.lines.back().framed ? 0 : 1;
    }
    return content;
}

/// A log object of its own (not the default log) on a path, opened on construction.
class TestLog : public logfilesync::CLogFile {
  public:
    explicit TestLog(const std::wstring& path, std::uint32_t append = 0, std::uint32_t loglevel = 0,
                     std::uint32_t lockWaitMs = logfilesync::kLockWaitMs)
        : m_opened(Configure(1, path.c_str(), append, loglevel) &&
                   (SetLockWait(lockWaitMs), Open() == 1)) {}
    [[nodiscard]] bool Opened() const { return m_opened; }
    CLogFile* operator->() { return this; }

  private:
    bool m_opened = false;
};

/// The messages of a log file's lines in order (the whole text of a line without a header).
inline std::vector<std::wstring> Messages(const std::wstring& path) {
    std::vector<std::wstring> messages;
    for (const LogLine& line : ReadLogFile(path).lines) {
        messages.push_back(line.framed ? line.message : line.raw);
    }
    return messages;
}

/// A fresh log path in a directory of its own.
inline std::wstring FreshLogPath(const std::wstring& tag, const std::wstring& name = L"trace.log") {
    return MakeTempDirectory(tag) + platform::kPathSeparator + name;
}

}  // namespace keltra::test
