// The trace log front end: the level filter, formatting (buffer growth and its limit, empty,
// malformed and faulting formats, missing arguments), the scope tracer, and the closed log
// that formats nothing.
#include <regex>
#include <stdexcept>

#include "platform/thread.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using namespace keltra::test;

void ProbeHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {}

// FormatText installs its own invalid-parameter handler before it formats: while the probe
// stays installed, nothing was formatted. Puts the probe back.
bool Formatted() {
    return platform::SetInvalidParameterHandler(&ProbeHandler) != &ProbeHandler;
}

TEST(LogLevels, EachThresholdLetsThroughAndFormatsOnlyTheRanksAtOrAboveIt) {
    const auto previous = platform::SetInvalidParameterHandler(&ProbeHandler);
    // A closed log formats nothing.
    EXPECT_FALSE(g_defaultLog.IsOpen());  // a test program that did not open it
    EXPECT_EQ(0, g_defaultLog.Log(L'E', L"f", 1, L"%s", L"closed"));
    EXPECT_FALSE(Formatted());
    // Ranked letters, an unranked one, and characters beyond the 128-entry table (rank 0).
    // clang-format off
    const std::vector<std::pair<wchar_t, std::uint32_t>> levels = {
        {L'V', 0}, {L'D', 1}, {L'I', 2}, {L'W', 3}, {L'E', 4}, {L'x', 0}, {L'\x7F', 0},
        {static_cast<wchar_t>(0x100), 0}, {static_cast<wchar_t>(0xFFFF), 0}, {static_cast<wchar_t>(-1), 0}};
    // clang-format on
    for (std::uint32_t threshold = 0; threshold <= 5; ++threshold) {
        const std::wstring path = FreshLogPath(L"log-levels");
        TestLog log(path, 0, threshold);
        ASSERT_TRUE(log.Opened());
        std::vector<std::wstring> expected;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const auto [level, rank] = levels[i];
            EXPECT_EQ(rank, log->RankOf(level));
            const std::wstring message = L"level " + std::to_wstring(i);
            EXPECT_EQ(rank >= threshold ? 1 : 0, log->Log(level, L"f", 1, L"%s", message.c_str()))
                << "threshold " << threshold << " level " << i;
            EXPECT_EQ(rank >= threshold, Formatted());
            if (rank >= threshold) {
                expected.push_back(message);
            }
        }
        EXPECT_EQ(expected, Messages(path)) << "threshold " << threshold;
    }
    platform::SetInvalidParameterHandler(previous);
}

TEST(LogFormat, TheBufferGrowsByDoublingUpToItsLimit) {
    // The largest buffer lowered to 8192 characters (the real limit, 2^29, takes minutes through
    // every doubling under the sanitizers): 1023 fit the first buffer of 1024, 1024 need the
    // second, 8191 the last; 8192 are no message.
    const std::wstring path = FreshLogPath(L"log-huge-message");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    log->SetLargestMessageBuffer(8192);
    std::vector<std::wstring> expected;
    for (const int width : {1023, 1024, 8191, 8192}) {
        EXPECT_EQ(width < 8192 ? 1 : 0, log->Log(L'D', L"f", 1, L"%*d", width, 7)) << width;
        if (width < 8192) {
            expected.push_back(std::wstring(static_cast<std::size_t>(width - 1), L' ') + L"7");
        }
    }
    // Several doublings, with the arguments read afresh on every attempt.
    const std::wstring big(5000, L'c');
    EXPECT_EQ(1, log->Log(L'D', L"f", 2, L"%s|%d|%s", big.c_str(), 1234567, L"end"));
    expected.push_back(big + L"|1234567|end");
    EXPECT_EQ(expected, Messages(path));
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
    EXPECT_EQ(0, log->Log(L'D', L"f", 4, L"value %y here", 5));
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        std::regex_match(console, std::regex("Invalid parameter detected in function .*\\. File: "
                                             ".* Line: -?[0-9]+\nExpression: .*\n")))
        << console;
    // A string argument that is no readable string: no line, and the process goes on.
    for (const std::uintptr_t bad : {std::uintptr_t{16}, static_cast<std::uintptr_t>(-64)}) {
        EXPECT_EQ(0, log->Log(L'E', L"f", 5, L"bad %s", reinterpret_cast<const wchar_t*>(bad)));
    }
    // Too few arguments for integer conversions read whatever is there: a whole line.
    EXPECT_EQ(1, log->Log(L'D', L"f", 7, L"%d %u %x %d"));
    EXPECT_EQ(1, log->Log(L'D', L"f", 8, L"after %s", L"all that"));
    const std::vector<std::wstring> messages = Messages(path);
    ASSERT_EQ(2u, messages.size());
    EXPECT_TRUE(std::regex_match(platform::WideToUtf8(messages[0]),
                                 std::regex("-?[0-9]+ [0-9]+ [0-9a-f]+ -?[0-9]+")));
    EXPECT_EQ(L"after all that", messages[1]);
}

TEST(LogScope, MarksEntryAndExitWithTheSameLineOnEveryWayOut) {
    const std::wstring path = FreshLogPath(L"log-default");
    ASSERT_TRUE(g_defaultLog.Configure(1, path.c_str(), 0, 0));
    ASSERT_EQ(1, g_defaultLog.Open());
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
    // 259 characters, so both markers are dropped rather than written broken.
    { logfilesync::CTraceScope scope(std::wstring(300, L'n').c_str(), 7); }
    const std::wstring longName(200, L'm');
    { logfilesync::CTraceScope scope(longName.c_str(), 8); }
    { logfilesync::CTraceScope scope(nullptr, 9); }
    g_defaultLog.Close();
    (void)g_defaultLog.Configure(0, L"", 0, 0);

    const std::wstring wait = L"executive::PluginMgr::WaitForComplete";
    // clang-format off
    const std::vector<std::tuple<std::wstring, int, std::wstring>> expected = {
        {wait, 512, L"===>"}, {wait, 600, L"inside"}, {wait, 512, L"<==="}, {L"thrower", 42, L"===>"},
        {L"thrower", 42, L"<==="}, {longName, 8, L"===>"}, {longName, 8, L"<==="}, {L"", 9, L"===>"},
        {L"", 9, L"<==="}};
    // clang-format on
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(expected.size(), content.lines.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& line = content.lines[i];
        EXPECT_EQ(std::tuple_cat(std::make_tuple(L'D'), expected[i]),
                  std::make_tuple(line.level, line.function, line.sourceLine, line.message));
    }
}

}  // namespace
