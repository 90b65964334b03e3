// The trace log front end: the level filter, formatting (buffer growth and its limit, empty,
// malformed and faulting formats, missing arguments), the scope tracer, and the closed log
// that formats nothing.
#include <gtest/gtest.h>

#include <cstdarg>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::FreshLogPath;
using keltra::test::LogFileContent;
using keltra::test::ReadLogFile;
using keltra::test::TestLog;
using logfilesync::CLogFile;

// FormatText through a variadic front, as Log calls it.
int Format(std::size_t largest, wchar_t** buffer, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = CLogFile::FormatTextUpTo(args, buffer, format, largest);
    va_end(args);
    return result;
}

int FormatFull(wchar_t** buffer, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = CLogFile::FormatText(args, buffer, format);
    va_end(args);
    return result;
}

void ProbeHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {}

// Whether something formatted since the probe was installed: FormatText always installs its
// own invalid-parameter handler before it formats.
class FormattingProbe {
  public:
    FormattingProbe() : m_previous(platform::SetInvalidParameterHandler(&ProbeHandler)) {}
    ~FormattingProbe() { platform::SetInvalidParameterHandler(m_previous); }
    bool Formatted() {
        const auto current = platform::SetInvalidParameterHandler(&ProbeHandler);
        return current != &ProbeHandler;
    }

  private:
    platform::InvalidParameterHandler m_previous;
};

// The process's default log opened on a fresh file for one test.
class DefaultLogOnFile {
  public:
    DefaultLogOnFile() {
        m_path = FreshLogPath(L"log-default");
        g_defaultLog.m_enabled = 1;
        g_defaultLog.m_append = 0;
        g_defaultLog.m_loglevel = 0;
        platform::StringCchCopyW(g_defaultLog.m_logPath, logfilesync::kLogPathChars,
                                 m_path.c_str());
        m_opened = g_defaultLog.Open() == 1;
    }
    ~DefaultLogOnFile() {
        g_defaultLog.Close();
        g_defaultLog.m_enabled = 0;
        g_defaultLog.m_logPath[0] = L'\0';
    }
    [[nodiscard]] bool Opened() const { return m_opened; }
    [[nodiscard]] const std::wstring& Path() const { return m_path; }

  private:
    std::wstring m_path;
    bool m_opened = false;
};

TEST(LogLevels, EachThresholdLetsThroughTheRanksAtOrAboveIt) {
    // Letters with ranks, an unranked letter, and characters beyond the 128-entry table
    // (which rank 0, like every unranked character).
    const std::vector<wchar_t> levels = {L'V',
                                         L'D',
                                         L'I',
                                         L'W',
                                         L'E',
                                         L'x',
                                         L'\x7F',
                                         static_cast<wchar_t>(0x100),
                                         static_cast<wchar_t>(0xFFFF),
                                         static_cast<wchar_t>(-1)};
    const std::vector<std::uint32_t> ranks = {0, 1, 2, 3, 4, 0, 0, 0, 0, 0};
    for (std::uint32_t threshold = 0; threshold <= 5; ++threshold) {
        const std::wstring path = FreshLogPath(L"log-levels");
        TestLog log(path, 0, threshold);
        ASSERT_TRUE(log.Opened());
        std::vector<std::wstring> expected;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            EXPECT_EQ(log->RankOf(levels[i]), ranks[i]);
            const std::wstring message = L"level " + std::to_wstring(i);
            const int written = log->Log(levels[i], L"f", 1, L"%s", message.c_str());
            const bool pass = ranks[i] >= threshold;
            EXPECT_EQ(pass ? 1 : 0, written) << "threshold " << threshold << " level " << i;
            if (pass) {
                expected.push_back(message);
            }
        }
        const LogFileContent content = ReadLogFile(path);
        std::vector<std::wstring> messages;
        for (const auto& line : content.lines) {
            EXPECT_TRUE(line.framed) << platform::WideToUtf8(line.raw);
            messages.push_back(line.message);
        }
        EXPECT_EQ(expected, messages) << "threshold " << threshold;
    }
}

TEST(LogCall, AClosedLogOrAFilteredLevelFormatsNothing) {
    FormattingProbe probe;
    // The default log is closed in a test program that did not open it.
    EXPECT_FALSE(g_defaultLog.IsOpen());
    EXPECT_EQ(0, g_defaultLog.Log(L'E', L"f", 1, L"%s", L"closed"));
    // Enabled without a file, or a file without enabled: still closed.
    CLogFile noFile;
    noFile.m_enabled = 1;
    EXPECT_EQ(0, noFile.Log(L'E', L"f", 1, L"%s", L"no file"));
    EXPECT_FALSE(probe.Formatted());

    const std::wstring path = FreshLogPath(L"log-noformat");
    TestLog log(path, 0, 4);
    ASSERT_TRUE(log.Opened());
    EXPECT_EQ(0, log->Log(L'W', L"f", 1, L"%s", L"filtered"));
    EXPECT_FALSE(probe.Formatted());
    log->m_enabled = 0;
    EXPECT_EQ(0, log->Log(L'E', L"f", 1, L"%s", L"disabled"));
    EXPECT_FALSE(probe.Formatted());
    log->m_enabled = 1;
    // The probe does see formatting when a line passes.
    EXPECT_EQ(1, log->Log(L'E', L"f", 1, L"%s", L"written"));
    EXPECT_TRUE(probe.Formatted());
    EXPECT_EQ(1u, ReadLogFile(path).lines.size());
}

TEST(LogFormat, TheBufferGrowsByDoublingUpToItsLimit) {
    wchar_t* buffer = nullptr;
    // 1023 characters fit the first buffer of 1024; 1024 need the second.
    const std::wstring fits(1023, L'a');
    EXPECT_EQ(1023, Format(1024, &buffer, L"%s", fits.c_str()));
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(fits, std::wstring(buffer));
    delete[] buffer;
    const std::wstring needsMore(1024, L'b');
    EXPECT_EQ(0, Format(1024, &buffer, L"%s", needsMore.c_str()));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(1024, Format(2048, &buffer, L"%s", needsMore.c_str()));
    EXPECT_EQ(needsMore, std::wstring(buffer));
    delete[] buffer;

    // Several doublings, with the arguments read afresh on every attempt.
    const std::wstring big(5000, L'c');
    EXPECT_EQ(5000 + 12, FormatFull(&buffer, L"%s|%d|%s", big.c_str(), 1234567, L"end"));
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(big + L"|1234567|end", std::wstring(buffer));
    delete[] buffer;

    // A message one character longer than the largest buffer allows is no message.
    EXPECT_EQ(8191, Format(8192, &buffer, L"%*d", 8191, 7));
    delete[] buffer;
    EXPECT_EQ(0, Format(8192, &buffer, L"%*d", 8192, 7));
    EXPECT_EQ(nullptr, buffer);

    EXPECT_EQ(0, Format(1024, &buffer, nullptr));
    EXPECT_EQ(nullptr, buffer);
    va_list none{};
    EXPECT_EQ(0, CLogFile::FormatText(none, nullptr, L"x"));
}

TEST(LogFormat, AMessageBeyondTheLargestBufferWritesNoLineAndTheProcessGoesOn) {
    // The same path as at the real limit of 2^29 characters, with a smaller largest buffer:
    // formatting half a gigacharacter through every doubling takes minutes under the
    // sanitizers.
    const std::wstring path = FreshLogPath(L"log-huge-message");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    EXPECT_EQ(logfilesync::kLargestFormatCapacity, log->m_largestMessageBuffer);
    log->m_largestMessageBuffer = 4096;
    EXPECT_EQ(0, log->Log(L'D', L"f", 1, L"%*d", 4096, 1));
    EXPECT_EQ(1, log->Log(L'D', L"f", 2, L"%*d", 4095, 2));
    EXPECT_EQ(1, log->Log(L'D', L"f", 3, L"after"));
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(2u, content.lines.size());
    EXPECT_EQ(4095u, content.lines[0].message.size());
    EXPECT_EQ(L"after", content.lines[1].message);
}

TEST(LogFormat, EmptyMalformedAndFaultingFormatsWriteNoLine) {
    const std::wstring path = FreshLogPath(L"log-badformat");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());

    EXPECT_EQ(0, log->Log(L'D', L"f", 1, L""));
    EXPECT_EQ(0, log->Log(L'D', L"f", 2, L"%s", L""));
    EXPECT_EQ(0, log->Log(L'D', L"f", 3, nullptr));

    // A malformed format: two lines on standard output (once, not once per buffer size).
    testing::internal::CaptureStdout();
    const int malformed = log->Log(L'D', L"f", 4, L"value %y here", 5);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, malformed);
    const std::regex report(
        "Invalid parameter detected in function .*\\. File: .* Line: -?[0-9]+\n"
        "Expression: .*\n");
    EXPECT_TRUE(std::regex_match(console, report)) << console;

    // A string argument that is no readable string: no line, and the process goes on.
    EXPECT_EQ(0, log->Log(L'E', L"f", 5, L"bad %s", reinterpret_cast<const wchar_t*>(16)));
    EXPECT_EQ(0, log->Log(L'E', L"f", 6, L"bad %s",
                          reinterpret_cast<const wchar_t*>(static_cast<std::uintptr_t>(-64))));

    // Too few arguments for integer conversions read whatever is there: a whole line.
    EXPECT_EQ(1, log->Log(L'D', L"f", 7, L"%d %u %x %d"));

    EXPECT_EQ(1, log->Log(L'D', L"f", 8, L"after %s", L"all that"));
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(2u, content.lines.size());
    EXPECT_EQ(0u, content.Unframed());
    EXPECT_EQ(7, content.lines[0].sourceLine);
    EXPECT_TRUE(std::regex_match(platform::WideToUtf8(content.lines[0].message),
                                 std::regex("-?[0-9]+ [0-9]+ [0-9a-f]+ -?[0-9]+")))
        << platform::WideToUtf8(content.lines[0].message);
    EXPECT_EQ(L"after all that", content.lines[1].message);
    EXPECT_TRUE(content.endsWithLineBreak);
}

TEST(LogFormat, AFaultingFormatOnManyThreadsLeavesEveryGoodLineWhole) {
    const std::wstring path = FreshLogPath(L"log-fault-threads");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    struct Context {
        CLogFile* log;
        int index;
    };
    std::vector<Context> contexts;
    for (int t = 0; t < kThreads; ++t) {
        contexts.push_back({&log.Log(), t});
    }
    std::vector<platform::UniqueHandle> threads;
    for (auto& context : contexts) {
        threads.emplace_back(platform::BeginThread(
            [](void* p) -> std::uint32_t {
                auto* c = static_cast<Context*>(p);
                std::uint32_t bad = 0;
                for (int i = 0; i < kLines; ++i) {
                    if (c->log->Log(L'D', L"good", c->index, L"t%d n%d", c->index, i) != 1) {
                        ++bad;
                    }
                    if (c->log->Log(L'D', L"bad", c->index, L"%s",
                                    reinterpret_cast<const wchar_t*>(16)) != 0) {
                        ++bad;
                    }
                }
                return bad;
            },
            &context, nullptr));
        ASSERT_TRUE(threads.back().Valid());
    }
    for (auto& thread : threads) {
        ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(thread.Get(), 60000));
        std::uint32_t bad = 1;
        EXPECT_TRUE(platform::GetExitCodeThread(thread.Get(), &bad));
        EXPECT_EQ(0u, bad);
    }
    const LogFileContent content = ReadLogFile(path);
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), content.lines.size());
    EXPECT_EQ(0u, content.Unframed());
}

TEST(LogScope, MarksEntryAndExitWithTheSameLineOnEveryWayOut) {
    DefaultLogOnFile log;
    ASSERT_TRUE(log.Opened());
    {
        logfilesync::CTraceScope scope(L"executive::PluginMgr::WaitForComplete", 512);
        g_defaultLog.Log(L'D', L"executive::PluginMgr::WaitForComplete", 600, L"inside");
    }
    try {
        logfilesync::CTraceScope scope(L"thrower", 42);
        throw std::runtime_error("leaves the scope");
    } catch (const std::runtime_error&) {
    }
    // A name longer than the 260-character buffer is cut safely; with it the header exceeds
    // 259 characters, so both markers are dropped rather than written broken. A long name
    // that still fits the header is written whole.
    const std::wstring tooLong(300, L'n');
    { logfilesync::CTraceScope scope(tooLong.c_str(), 7); }
    const std::wstring longName(200, L'm');
    { logfilesync::CTraceScope scope(longName.c_str(), 8); }
    { logfilesync::CTraceScope scope(nullptr, 9); }

    const LogFileContent content = ReadLogFile(log.Path());
    struct Expected {
        std::wstring function;
        int line;
        const wchar_t* message;
    };
    const std::vector<Expected> expected = {
        {L"executive::PluginMgr::WaitForComplete", 512, L"===>"},
        {L"executive::PluginMgr::WaitForComplete", 600, L"inside"},
        {L"executive::PluginMgr::WaitForComplete", 512, L"<==="},
        {L"thrower", 42, L"===>"},
        {L"thrower", 42, L"<==="},
        {longName, 8, L"===>"},
        {longName, 8, L"<==="},
        {L"", 9, L"===>"},
        {L"", 9, L"<==="},
    };
    ASSERT_EQ(expected.size(), content.lines.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& line = content.lines[i];
        ASSERT_TRUE(line.framed) << i;
        EXPECT_EQ(L'D', line.level) << i;
        EXPECT_EQ(expected[i].function, line.function) << i;
        EXPECT_EQ(expected[i].line, line.sourceLine) << i;
        EXPECT_EQ(expected[i].message, line.message) << i;
    }
}

}  // namespace
