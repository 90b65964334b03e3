// The log reader: header parsing, UTF-16LE to UTF-8 lines with the level filter, and following
// a file that grows, gets a half-written line, and is emptied by another process.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::FreshLogPath;
using keltra::test::TestLog;
using keltra::test::Utf16Le;
using logfilesync::LogHeader;
using logfilesync::LogTextReader;
using logfilesync::ParseLogHeader;

std::u16string U16(const std::wstring& text) {
    return platform::WideToUtf16(text);
}

TEST(LogReaderHeader, ParsesTheLayoutAndRejectsNearMisses) {
    const std::u16string line =
        U16(L"2026/12/04 14:05:07.123|D|004312|006120|executive::PluginMgr::WaitForComplete"
            L"(L512): ===>");
    LogHeader header;
    ASSERT_TRUE(ParseLogHeader(line, &header));
    EXPECT_EQ(2026, header.year);
    EXPECT_EQ(12, header.month);
    EXPECT_EQ(4, header.day);
    EXPECT_EQ(14, header.hour);
    EXPECT_EQ(5, header.minute);
    EXPECT_EQ(7, header.second);
    EXPECT_EQ(123, header.milliseconds);
    EXPECT_EQ(U'D', header.level);
    EXPECT_EQ(4312, header.processId);
    EXPECT_EQ(6120, header.threadId);
    EXPECT_EQ(u"executive::PluginMgr::WaitForComplete", header.function);
    EXPECT_EQ(512, header.line);
    EXPECT_EQ(line.size() - 4, header.length);

    // Ids longer than six digits; a function holding "(L" that is not a line number; the
    // first "(L<n>): " ends the function even if the message repeats it.
    // (The parsed function is a view into the line: keep the line alive.)
    const std::u16string tricky =
        U16(L"2026/01/01 00:00:00.000|E|1234567|000001|f(Lx)(g)(L-3): m (L9): n");
    ASSERT_TRUE(ParseLogHeader(tricky, &header));
    EXPECT_EQ(1234567, header.processId);
    EXPECT_EQ(u"f(Lx)(g)", header.function);
    EXPECT_EQ(-3, header.line);
    // A level beyond the basic plane, as a surrogate pair.
    ASSERT_TRUE(
        ParseLogHeader(u"2026/01/01 00:00:00.000|\xD83D\xDE00|000001|000002|f(L1): ", &header));
    EXPECT_EQ(U'\U0001F600', header.level);

    for (const wchar_t* bad : {
             L"2026/01/01 00:00:00.000|D|000001|000002|f(L1):",     // no blank after the colon
             L"2026/13/01 00:00:00.000|D|000001|000002|f(L1): m",   // month 13
             L"2026/01/01 24:00:00.000|D|000001|000002|f(L1): m",   // hour 24
             L"2026-01-01 00:00:00.000|D|000001|000002|f(L1): m",   // separators
             L"2026/01/01 00:00:00.00|D|000001|000002|f(L1): m",    // two-digit milliseconds
             L"2026/01/01 00:00:00.000|D|00001|000002|f(L1): m",    // five-digit id
             L"2026/01/01 00:00:00.000|DD|000001|000002|f(L1): m",  // two level characters
             L"2026/01/01 00:00:00.000|D|000001|000002|f(1): m",    // no L
             L"continuation of a message",
             L"",
         }) {
        EXPECT_FALSE(ParseLogHeader(U16(bad), &header)) << platform::WideToUtf8(bad);
    }
}

std::string Feed(LogTextReader* reader, const std::string& bytes, bool byteByByte) {
    std::string out;
    if (byteByByte) {
        for (const char c : bytes) {
            reader->Feed(&c, 1, &out);
        }
    } else {
        reader->Feed(bytes.data(), bytes.size(), &out);
    }
    return out;
}

TEST(LogReaderText, ConvertsToUtf8AndFiltersWholeRecords) {
    const std::wstring text =
        L"stray text before any record\r\n"
        L"2026/01/01 00:00:00.000|D|000001|000002|f(L1): debug \u00e9\u20ac\r\n"
        L"2026/01/01 00:00:00.001|W|000001|000002|f(L2): warning with\r\n"
        L"a second line\nand a third\r\n"
        L"2026/01/01 00:00:00.002|x|000001|000002|f(L3): unranked\r\n"
        L"2026/01/01 00:00:00.003|E|000001|000002|f(L4): error \U0001F600\r\n";
    const std::string bytes = "\xFF\xFE" + Utf16Le(text);
    for (const bool byteByByte : {false, true}) {
        LogTextReader all(0);
        EXPECT_EQ(
            "stray text before any record\n"
            "2026/01/01 00:00:00.000|D|000001|000002|f(L1): debug \xC3\xA9\xE2\x82\xAC\n"
            "2026/01/01 00:00:00.001|W|000001|000002|f(L2): warning with\n"
            "a second line\nand a third\n"
            "2026/01/01 00:00:00.002|x|000001|000002|f(L3): unranked\n"
            "2026/01/01 00:00:00.003|E|000001|000002|f(L4): error \xF0\x9F\x98\x80\n",
            Feed(&all, bytes, byteByByte));
        EXPECT_FALSE(all.HasPartialLine());

        LogTextReader warnings(3);
        EXPECT_EQ(
            "2026/01/01 00:00:00.001|W|000001|000002|f(L2): warning with\n"
            "a second line\nand a third\n"
            "2026/01/01 00:00:00.003|E|000001|000002|f(L4): error \xF0\x9F\x98\x80\n",
            Feed(&warnings, bytes, byteByByte));
    }

    // A half line waits for its end; Flush gives it out as it is.
    LogTextReader partial(0);
    std::string out;
    const std::string half = Utf16Le(L"2026/01/01 00:00:00.000|D|000001|000002|f(L1): hal");
    partial.Feed(half.data(), half.size() - 1, &out);  // and half a character
    EXPECT_EQ("", out);
    EXPECT_TRUE(partial.HasPartialLine());
    const std::string rest = half.substr(half.size() - 1) + Utf16Le(L"f\r\n");
    partial.Feed(rest.data(), rest.size(), &out);
    EXPECT_EQ("2026/01/01 00:00:00.000|D|000001|000002|f(L1): half\n", out);
    out.clear();
    const std::string torn = Utf16Le(L"torn") + "\x41";
    partial.Feed(torn.data(), torn.size(), &out);
    partial.Flush(&out);
    EXPECT_EQ("torn\xEF\xBF\xBD\n", out);  // the half character becomes U+FFFD
    EXPECT_FALSE(partial.HasPartialLine());

    // An unpaired surrogate becomes U+FFFD; a mark is skipped only at the start.
    LogTextReader odd(0);
    out.clear();
    static const char kBytes[] =
        "\xFF\xFE"
        "\x00\xD8"
        "a\x00"
        "\xFF\xFE"
        "\r\x00\n\x00";
    const std::string surrogate(kBytes, sizeof kBytes - 1);
    odd.Feed(surrogate.data(), surrogate.size(), &out);
    EXPECT_EQ(
        "\xEF\xBF\xBD"
        "a\xEF\xBB\xBF\n",
        out);
}

// Collects a follower's output and lets the test wait for text to appear.
class Collected {
  public:
    void Add(std::string_view text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text += text;
        m_changed.notify_all();
    }
    void AddNotice(std::string_view text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_notices += text;
        m_changed.notify_all();
    }
    // Waits (bounded) until the output contains text; true when it does.
    bool WaitFor(const std::string& text) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return m_text.find(text) != std::string::npos; });
    }
    bool WaitForNotice() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return !m_notices.empty(); });
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_text;
    std::string m_notices;
};

// args: path. Empties the log file (append 0) and writes one line.
KELTRA_CHILD_ROLE(reader_emptier) {
    TestLog log(args.at(0), 0);
    return log.Opened() && log->Log(L'E', L"emptier", 1, L"fresh start") == 1 ? 0 : 3;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(LogReaderFollow, PrintsLinesAsTheyAreCompletedAndStartsOverWhenEmptied) {
    const std::wstring path = FreshLogPath(L"log-follow");
    platform::UniqueHandle stop(platform::CreateEvent(true, false));
    ASSERT_TRUE(stop.Valid());
    Collected collected;
    struct Run {
        std::wstring path;
        logfilesync::LogFollowOptions options;
        Collected* collected;
        platform::ErrorCode result = 0xFFFFFFFF;
    } run{path, {}, &collected};
    run.options.follow = true;
    run.options.minRank = 1;  // D and above
    run.options.pollMilliseconds = 20;
    run.options.stopEvent = stop.Get();
    // Started before the file exists: it waits for it.
    platform::UniqueHandle follower(platform::BeginThread(
        [](void* p) -> std::uint32_t {
            auto* r = static_cast<Run*>(p);
            r->result = logfilesync::FollowLogFile(
                r->path.c_str(), r->options, [r](std::string_view t) { r->collected->Add(t); },
                [r](std::string_view t) { r->collected->AddNotice(t); });
            return 0;
        },
        &run, nullptr));
    ASSERT_TRUE(follower.Valid());

    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"first"));
    ASSERT_EQ(1, log->Log(L'V', L"f", 2, L"verbose, filtered out"));
    ASSERT_EQ(1, log->Log(L'E', L"f", 3, L"second"));
    EXPECT_TRUE(collected.WaitFor("(L3): second\n")) << collected.Text();

    // Half a line (cut inside a character) is held back until its end arrives. The marker
    // line comes in the same write, so once it is printed the half has been read too.
    const std::string marker =
        Utf16Le(L"2026/01/01 00:00:00.000|W|000001|000002|g(L4): marker\r\n");
    const std::string split =
        Utf16Le(L"2026/01/01 00:00:00.000|W|000001|000002|g(L5): in two parts\r\n");
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, marker + split.substr(0, 41)));
    EXPECT_TRUE(collected.WaitFor("(L4): marker\n")) << collected.Text();
    EXPECT_EQ(0u, Count(collected.Text(), "in two parts"));
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, split.substr(41)));
    EXPECT_TRUE(collected.WaitFor("(L5): in two parts\n")) << collected.Text();
    ASSERT_EQ(1, log->Log(L'E', L"f", 6, L"third"));
    EXPECT_TRUE(collected.WaitFor("(L6): third\n")) << collected.Text();

    // Emptied by another process: the follower says so and prints the new content.
    ASSERT_EQ(0u, keltra::test::RunChild("reader_emptier", {path}));
    EXPECT_TRUE(collected.WaitForNotice());
    ASSERT_EQ(1, log->Log(L'W', L"f", 7, L"after emptying"));
    EXPECT_TRUE(collected.WaitFor("(L7): after emptying\n")) << collected.Text();

    ASSERT_TRUE(platform::SetEvent(stop.Get()));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(follower.Get(), 30000));
    EXPECT_EQ(0u, run.result);
    const std::string text = collected.Text();
    EXPECT_EQ(1u, Count(text, "(L1): first\n"));
    EXPECT_EQ(1u, Count(text, "(L3): second\n"));
    EXPECT_EQ(0u, Count(text, "filtered out"));
    EXPECT_EQ(1u, Count(text, "fresh start\n"));
    EXPECT_EQ(1u, Count(text, "in two parts\n"));
    EXPECT_LT(text.find("(L6): third"), text.find("fresh start"));
    EXPECT_LT(text.find("fresh start"), text.find("(L7): after emptying"));
}

TEST(LogReaderFollow, ReadsAWholeFileOnceWithoutFollowing) {
    const std::wstring path = FreshLogPath(L"log-cat");
    {
        TestLog log(path, 0);
        ASSERT_TRUE(log.Opened());
        ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"one"));
        ASSERT_EQ(1, log->Log(L'W', L"f", 2, L"two"));
    }
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, Utf16Le(L"unfinished")));
    std::string out;
    logfilesync::LogFollowOptions options;
    EXPECT_EQ(0u, logfilesync::FollowLogFile(
                      path.c_str(), options, [&](std::string_view t) { out += t; },
                      [](std::string_view) {}));
    EXPECT_EQ(3u, Count(out, "\n"));
    EXPECT_NE(std::string::npos, out.find("(L1): one\n"));
    EXPECT_NE(std::string::npos, out.find("(L2): two\n"));
    EXPECT_NE(std::string::npos, out.find("unfinished\n"));

    const std::wstring missing = FreshLogPath(L"log-cat-missing", L"none.log");
    EXPECT_EQ(2u, logfilesync::FollowLogFile(
                      missing.c_str(), options, [](std::string_view) {}, [](std::string_view) {}));
}

TEST(LogReaderTool, KeltraLogcatExitsWithItsDocumentedCodes) {
    const std::wstring self = platform::GetExecutablePath();
    const std::wstring suffix =
        self.size() > 4 && self.substr(self.size() - 4) == L".exe" ? L".exe" : L"";
    const std::wstring tool =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"keltra-logcat" + suffix;
    ASSERT_TRUE(platform::PathFileExists(tool.c_str())) << "build keltra-logcat first";
    auto run = [&](const std::vector<std::wstring>& args) {
        platform::UniqueHandle child(platform::StartProcess(tool, args));
        EXPECT_TRUE(child.Valid());
        EXPECT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(child.Get(), 30000));
        std::uint32_t code = 0xFFFF;
        platform::GetExitCodeProcess(child.Get(), &code);
        return code;
    };
    const std::wstring path = FreshLogPath(L"log-tool");
    {
        TestLog log(path, 0);
        ASSERT_TRUE(log.Opened());
        ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"for the tool"));
    }
    EXPECT_EQ(0u, run({L"-l", L"W", path}));
    EXPECT_EQ(1u, run({FreshLogPath(L"log-tool-missing", L"none.log")}));
    EXPECT_EQ(2u, run({}));
    EXPECT_EQ(2u, run({L"-l", L"Q", path}));
    EXPECT_EQ(2u, run({L"-x", path}));
}

}  // namespace
