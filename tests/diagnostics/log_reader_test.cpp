// The log reader: header parsing, UTF-16LE to UTF-8 lines with the level filter, files that
// are no trace log, and following a file that grows, gets a half-written line, and is emptied
// by another process; the keltra-logcat tool's exit codes.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using namespace keltra::test;

TEST(LogReaderHeader, ParsesTheLayoutAndRejectsNearMisses) {
    // (The parsed function is a view into the line: keep the line alive.)
    const std::u16string line = platform::WideToUtf16(
        L"2026/12/04 14:05:07.123|D|004312|006120|executive::PluginMgr::WaitForComplete(L512): "
        L"===>");
    logfilesync::LogHeader h;
    ASSERT_TRUE(logfilesync::ParseLogHeader(line, &h));
    EXPECT_EQ(
        std::vector<std::int64_t>({2026, 12, 4, 14, 5, 7, 123, U'D', 4312, 6120, 512}),
        std::vector<std::int64_t>({h.year, h.month, h.day, h.hour, h.minute, h.second,
                                   h.milliseconds, h.level, h.processId, h.threadId, h.line}));
    EXPECT_EQ(u"executive::PluginMgr::WaitForComplete", h.function);
    EXPECT_EQ(line.size() - 4, h.length);
    // Ids past six digits; "(L" that is no line number; the first "(L<n>): " ends the function.
    const std::u16string tricky =
        platform::WideToUtf16(L"2026/01/01 00:00:00.000|E|1234567|000001|f(Lx)(g)(L-3): m (L9): n");
    ASSERT_TRUE(logfilesync::ParseLogHeader(tricky, &h));
    EXPECT_EQ(1234567, h.processId);
    EXPECT_EQ(u"f(Lx)(g)", h.function);
    EXPECT_EQ(-3, h.line);
    ASSERT_TRUE(logfilesync::ParseLogHeader(
        u"2026/01/01 00:00:00.000|\xD83D\xDE00|000001|000002|f(L1): ", &h));
    EXPECT_EQ(U'\U0001F600', h.level);  // a level beyond the basic plane
    for (const wchar_t* bad :
         {L"2026/01/01 00:00:00.000|D|000001|000002|f(L1):",     // no blank after the colon
          L"2026/13/01 00:00:00.000|D|000001|000002|f(L1): m",   // month 13
          L"2026/01/01 24:00:00.000|D|000001|000002|f(L1): m",   // hour 24
          L"2026-01-01 00:00:00.000|D|000001|000002|f(L1): m",   // separators
          L"2026/01/01 00:00:00.00|D|000001|000002|f(L1): m",    // two-digit milliseconds
          L"2026/01/01 00:00:00.000|D|00001|000002|f(L1): m",    // five-digit id
          L"2026/01/01 00:00:00.000|DD|000001|000002|f(L1): m",  // two level characters
          L"2026/01/01 00:00:00.000|D|000001|000002|f(1): m",    // no L
          L"continuation of a message", L""}) {
        EXPECT_FALSE(logfilesync::ParseLogHeader(platform::WideToUtf16(bad), &h))
            << platform::WideToUtf8(bad);
    }
}

TEST(LogReaderText, ConvertsToUtf8FiltersWholeRecordsAndRefusesWhatIsNoLog) {
    const std::string bytes =
        "\xFF\xFE" + Utf16Le(
                         L"2026/01/01 00:00:00.000|D|000001|000002|f(L1): d \u00e9\u20ac\r\n"
                         L"2026/01/01 00:00:00.001|W|000001|000002|f(L2): w\r\n"
                         L"a second line\nand a third\r\n"
                         L"2026/01/01 00:00:00.002|x|000001|000002|f(L3): x\r\n"
                         L"2026/01/01 00:00:00.003|E|000001|000002|f(L4): e \U0001F600\r\n"
                         L"\uFEFFa mark inside is text\r\n"
                         L"2026/01/01 00:00:00.004|E|000001|000002|f(L5): torn \U0001F600");
    const std::string w =
        "2026/01/01 00:00:00.001|W|000001|000002|f(L2): w\na second line\nand a third\n";
    const std::string e =
        "2026/01/01 00:00:00.003|E|000001|000002|f(L4): e \xF0\x9F\x98\x80\n\xEF\xBB\xBF"
        "a mark inside is text\n2026/01/01 00:00:00.004|E|000001|000002|f(L5): torn ";
    // Bytes, level filter, what it prints (fed whole or byte by byte, then flushed), the start of
    // what is wrong.
    const std::vector<std::tuple<std::string, std::uint32_t, std::string, std::string>> cases = {
        {bytes, 0,
         "2026/01/01 00:00:00.000|D|000001|000002|f(L1): d \xC3\xA9\xE2\x82\xAC\n" + w +
             "2026/01/01 00:00:00.002|x|000001|000002|f(L3): x\n" + e + "\xF0\x9F\x98\x80\n",
         ""},
        {bytes, 3, w + e + "\xF0\x9F\x98\x80\n", ""},
        // Torn inside the last character: read up to the cut.
        {bytes.substr(0, bytes.size() - 1), 3, w + e + "\n", ""},
        {bytes.substr(0, bytes.size() - 3), 3, w + e + "\n", ""},
        {"", 0, "", ""},
        {Utf16Le(L"no mark\r\n"), 0, "", "it does not start with the UTF-16LE byte-order mark"},
        {"plain ASCII text\n", 0, "", "it does not start with the UTF-16LE byte-order mark"},
        {"\xFF\xFE" + Utf16Le(L"ok\r\n") + std::string("\x00\xD8", 2) + Utf16Le(L"a\r\n"), 0,
         "ok\n", "the bytes at offset 10 do not decode as UTF-16LE"},
    };
    for (const auto& [input, minRank, text, problem] : cases) {
        for (const std::size_t step : {input.size(), std::size_t{1}}) {
            logfilesync::LogTextReader reader(minRank);
            std::string out;
            for (std::size_t i = 0; i < input.size(); i += step) {
                reader.Feed(input.data() + i, step, &out);
            }
            reader.Flush(&out);
            EXPECT_EQ(text, out) << text;
            EXPECT_EQ(0u, reader.Problem().find(problem)) << reader.Problem();
            EXPECT_EQ(problem.empty(), reader.Problem().empty()) << reader.Problem();
        }
    }
    // A reader that joins a log at a line inside it (past the mark) takes the lines as they come.
    logfilesync::LogTextReader joined;
    joined.StartPastMark();
    std::string out;
    joined.Feed(bytes.data() + 2, bytes.size() - 2, &out);
    EXPECT_EQ(0u, out.find("2026/01/01 00:00:00.000|D|")) << joined.Problem();
}

// Collects a follower's output (text or notices) and lets the test wait, bounded, for text.
struct Collected {
    std::mutex mutex;
    std::condition_variable changed;
    std::string seen[2];  // the output, the notices

    void Add(std::string_view text, bool notice) {
        std::lock_guard<std::mutex> lock(mutex);
        seen[notice] += text;
        changed.notify_all();
    }
    bool WaitFor(const std::string& text, bool notice = false) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30),
                                [&] { return seen[notice].find(text) != std::string::npos; });
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen[0];
    }
};

// args: path. Empties the log file (append 0) and writes one line.
KELTRA_CHILD_ROLE(reader_emptier) {
    TestLog log(args.at(0), 0);
    return log.Opened() && log->Log(L'E', L"emptier", 1, L"fresh start") == 1 ? 0 : 3;
}

TEST(LogReaderFollow, PrintsLinesAsTheyAreCompletedAndStartsOverWhenEmptied) {
    const std::wstring path = FreshLogPath(L"log-follow");
    platform::UniqueHandle stop(platform::CreateEvent(true, false));
    ASSERT_TRUE(stop.Valid());
    Collected collected;
    platform::ErrorCode result = 0xFFFFFFFF;
    // D and above, polled every 20 ms; started before the file exists: it waits for it.
    std::thread follower([&] {
        result = logfilesync::FollowLogFile(
            path.c_str(), {true, 1, 20, stop.Get()},
            [&](std::string_view t) { collected.Add(t, false); },
            [&](std::string_view t) { collected.Add(t, true); });
    });
    // Stopped and joined on every way out, a failed assertion included.
    const auto stopFollower = [&](std::thread* thread) {
        (void)platform::SetEvent(stop.Get());
        thread->join();
    };
    std::unique_ptr<std::thread, decltype(stopFollower)&> joiner(&follower, stopFollower);
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
    ASSERT_TRUE(AppendRawBytes(path, marker + split.substr(0, 41)));
    EXPECT_TRUE(collected.WaitFor("(L4): marker\n")) << collected.Text();
    EXPECT_EQ(std::string::npos, collected.Text().find("in two parts"));
    ASSERT_TRUE(AppendRawBytes(path, split.substr(41)));
    EXPECT_TRUE(collected.WaitFor("(L5): in two parts\n")) << collected.Text();

    // Emptied by another process: the follower says so and prints the new content.
    ASSERT_EQ(0u, RunChild("reader_emptier", {path}));
    EXPECT_TRUE(collected.WaitFor("emptied", true));
    ASSERT_EQ(1, log->Log(L'W', L"f", 7, L"after emptying"));
    EXPECT_TRUE(collected.WaitFor("(L7): after emptying\n")) << collected.Text();

    joiner.reset();
    EXPECT_EQ(0u, result);
    const std::string text = collected.Text();
    for (const char* once :
         {"(L1): first\n", "(L3): second\n", "fresh start\n", "in two parts\n"}) {
        EXPECT_TRUE(text.find(once) != std::string::npos && text.find(once) == text.rfind(once))
            << once;
    }
    EXPECT_EQ(std::string::npos, text.find("filtered out"));
    EXPECT_LT(text.find("(L5): in two parts"), text.find("fresh start"));
    EXPECT_LT(text.find("fresh start"), text.find("(L7): after emptying"));
}

TEST(LogReaderTool, KeltraLogcatSaysWhatIsWrongAndExitsWithItsDocumentedCodes) {
    const std::wstring tool = platform::GetExecutableDirectory() + platform::kPathSeparator +
                              L"keltra-logcat" +
                              (platform::GetExecutablePath().ends_with(L".exe") ? L".exe" : L"");
    ASSERT_TRUE(platform::PathFileExists(tool.c_str())) << "build keltra-logcat first";
    const std::wstring log = FreshLogPath(L"log-tool"), text = log + L".txt";
    {
        TestLog writer(log, 0);
        ASSERT_TRUE(writer.Opened());
        ASSERT_EQ(1, writer->Log(L'D', L"f", 1, L"for the tool"));
    }
    ASSERT_TRUE(AppendRawBytes(log, Utf16Le(L"torn") + "x") && AppendRawBytes(text, "text\n"));
    // 0: printed (a torn end too); 1: no log or no file; 2: a bad command line.
    const std::vector<std::pair<std::vector<std::wstring>, std::uint32_t>> cases = {
        {{log}, 0}, {{L"-l", L"W", log}, 0}, {{text}, 1},      {{log + L".none"}, 1},
        {{}, 2},    {{L"-l", L"Q", log}, 2}, {{L"-x", log}, 2}};
    for (const auto& [args, code] : cases) {
        platform::UniqueHandle child(platform::StartProcess(tool, args));
        ASSERT_TRUE(child.Valid());
        ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(child.Get(), 30000));
        std::uint32_t exit = 0xFFFF;
        platform::GetExitCodeProcess(child.Get(), &exit);
        EXPECT_EQ(code, exit) << platform::WideToUtf8(args.empty() ? L"" : args.back());
    }
    // What the reader says about a file that is no log.
    std::string said;
    EXPECT_EQ(13u, logfilesync::FollowLogFile(
                       text.c_str(), {}, [](std::string_view) {},
                       [&](std::string_view t) { said += t; }));
    EXPECT_NE(std::string::npos, said.find("is not a trace log: it does not start with")) << said;
}

}  // namespace
