// One log file shared by several processes and threads: every line once and whole, writers
// killed while holding the mutex, processes that empty the file under running writers, and
// processes that roll it over again and again.
#include <atomic>
#include <cwchar>
#include <map>
#include <thread>

#include "diagnostics/log_rotation.h"
#include "platform/crash.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using namespace keltra::test;

constexpr std::uint32_t kChildWait = 120000;
constexpr std::uint32_t kKilledHolding = 77;  // the exit code of a writer killed holding the mutex

// Runs `threads` threads on one log object, each writing numbered lines that name their writer
// (so that the reader can check the header against the message); the failed log calls.
std::uint32_t RunWriters(logfilesync::CLogFile* log, const std::wstring& tag, int threads,
                         int lines) {
    std::atomic<std::uint32_t> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([=, &failures] {
            for (int n = 0; n < lines; ++n) {
                failures += log->Log(L'I', L"keltra::test::Writer", 1000 + t,
                                     L"tag=%s pid=%u tid=%u t=%d n=%d", tag.c_str(),
                                     platform::GetCurrentProcessId(),
                                     platform::GetCurrentThreadId(), t, n) != 1;
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    return failures;
}

// args: path, tag, threads, lines[, size limit, old files kept]. Exit code 0 when every line
// was written.
KELTRA_CHILD_ROLE(log_writer) {
    TestLog log(args.at(0), 1);
    if (args.size() >= 6) {
        log->SetRollOver(static_cast<std::uint32_t>(std::stoul(args.at(4))),
                         static_cast<std::uint32_t>(std::stoul(args.at(5))));
    }
    const int threads = std::stoi(args.at(2)), lines = std::stoi(args.at(3));
    return log.Opened() && RunWriters(&log, args.at(1), threads, lines) == 0 ? 0 : 4;
}

// args: path, fragment. Takes the log's mutex, writes half a line and ends there, killed as a
// writer is killed: at once, releasing nothing.
KELTRA_CHILD_ROLE(log_die_holding_mutex) {
    TestLog log(args.at(0), 1);
    wchar_t name[260];
    if (!log.Opened() || log->MakeMutexName(name, 260) != 1) {
        return 3;
    }
    platform::UniqueHandle mutex(platform::OpenMutex(platform::kSynchronize, false,
                                                     (std::wstring(L"Global\\") + name).c_str()));
    if (platform::WaitForSingleObject(mutex.Get(), platform::kInfinite) != platform::kWaitObject0 ||
        !AppendRawBytes(args.at(0), Utf16Le(args.at(1)))) {
        return 4;  // whole characters: the size alone does not show the tear
    }
    platform::TerminateCurrentProcess(kKilledHolding);
}
// args: path, rounds. Opens with append 0 (emptying the file) and writes one line, repeatedly.
KELTRA_CHILD_ROLE(log_emptier) {
    for (int round = 0; round < std::stoi(args.at(1)); ++round) {
        TestLog log(args.at(0), 0);
        if (!log.Opened() ||
            log->Log(L'W', L"keltra::test::Emptier", 1, L"emptied round=%d", round) != 1) {
            return 3;
        }
    }
    return 0;
}

// Starts `count` log_writer children, tagged prefix0, prefix1, ... (rollOver: the limit and
// the old files kept, when the children roll the file over).
std::vector<ChildProcess> StartWriters(const std::wstring& path, const wchar_t* prefix, int count,
                                       int threads, int lines,
                                       const std::vector<std::wstring>& rollOver = {}) {
    std::vector<ChildProcess> children;
    for (int c = 0; c < count; ++c) {
        std::vector<std::wstring> args{path, prefix + std::to_wstring(c), std::to_wstring(threads),
                                       std::to_wstring(lines)};
        args.insert(args.end(), rollOver.begin(), rollOver.end());
        children.emplace_back(StartChild("log_writer", args));
        EXPECT_TRUE(children.back().Valid());
    }
    return children;
}

// Every child's exit code (one still running after the bound fails, and its owner ends it).
void ExpectChildrenSucceed(const std::vector<ChildProcess>& children) {
    for (const auto& child : children) {
        std::uint32_t code = 0xFFFFFFFF;
        EXPECT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(child.Get(), kChildWait));
        platform::GetExitCodeProcess(child.Get(), &code);
        EXPECT_EQ(0u, code);
    }
}

// Checks the whole file and the numbered lines: headers agree with their messages, lines are
// in time order, each writer's numbers increase without repeats. With `writers` (tag, process
// and thread) also that each of them wrote every one of its `lines` lines.
void CheckNumberedLines(const LogFileContent& content, std::size_t writers = 0, int lines = 0) {
    EXPECT_TRUE(content.startsWithMark && content.endsWithLineBreak);
    EXPECT_FALSE(content.markRepeated || content.oddSize || content.nulUnits != 0);
    std::map<std::wstring, std::vector<int>> seen;
    std::wstring lastStamp;
    for (const auto& line : content.lines) {
        EXPECT_GE(line.stamp, line.framed ? lastStamp : L"") << platform::WideToUtf8(line.raw);
        lastStamp = line.framed ? line.stamp : lastStamp;
        if (line.function != L"keltra::test::Writer") {
            continue;
        }
        wchar_t tag[64] = {};
        unsigned pid = 0, tid = 0;
        int thread = -1, n = -1;
        EXPECT_EQ(5, swscanf(line.message.c_str(), L"tag=%63ls pid=%u tid=%u t=%d n=%d", tag, &pid,
                             &tid, &thread, &n))
            << platform::WideToUtf8(line.raw);
        EXPECT_EQ(std::make_tuple(pid, tid, 1000 + thread, L'I'),
                  std::make_tuple(line.processId, line.threadId, line.sourceLine, line.level));
        auto& numbers =
            seen[std::wstring(tag) + L"/" + std::to_wstring(pid) + L"/" + std::to_wstring(thread)];
        EXPECT_TRUE(numbers.empty() || n > numbers.back());
        numbers.push_back(n);
    }
    EXPECT_EQ(writers, writers == 0 ? 0 : seen.size());
    for (const auto& [writer, numbers] : seen) {
        EXPECT_TRUE(writers == 0 || (static_cast<int>(numbers.size()) == lines &&
                                     numbers.front() == 0 && numbers.back() == lines - 1))
            << platform::WideToUtf8(writer);
    }
}

TEST(LogSharedFile, ProcessesAndThreadsAppendEveryLineOnceAndWhole) {
    // 3 children and this process, 3 threads each, 1000 lines a thread: 12,000 lines.
    const std::wstring path = FreshLogPath(L"log-many");
    std::vector<ChildProcess> children = StartWriters(path, L"c", 3, 3, 1000);
    {
        TestLog log(path, 1);
        ASSERT_TRUE(log.Opened());
        EXPECT_EQ(0u, RunWriters(&log, L"parent", 3, 1000));
    }
    ExpectChildrenSucceed(children);
    const LogFileContent content = ReadLogFile(path);
    EXPECT_EQ(0u, content.unframed);
    EXPECT_EQ(12000u, content.lines.size());
    CheckNumberedLines(content, 12, 1000);
}

// Starts a child that takes the log's mutex, writes half a line and is killed there. Its end
// is the signal: nothing is probed while it runs.
void KillAWriterHoldingTheMutex(const std::wstring& path, const std::wstring& fragment) {
    ChildProcess dying(StartChild("log_die_holding_mutex", {path, fragment}));
    ASSERT_TRUE(dying.Valid());
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(dying.Get(), kChildWait));
    std::uint32_t code = 0;
    ASSERT_TRUE(platform::GetExitCodeProcess(dying.Get(), &code));
    ASSERT_EQ(kKilledHolding, code) << "the dying child did not get to hold the mutex";
}

TEST(LogSharedFile, AWriterKilledWhileHoldingTheMutexStopsNobody) {
    const std::wstring path = FreshLogPath(L"log-killed");
    TestLog log(path, 0);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 1, L"before"));
    const std::wstring fragment = L"2026/01/01 00:00:00.000|E|0";
    // Only the mutex says the end is torn, and it tells only the next to take it: this log,
    // which wrote last before the fragment; then a log that opens and writes nothing.
    ASSERT_NO_FATAL_FAILURE(KillAWriterHoldingTheMutex(path, fragment));
    EXPECT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 2, L"after"));
    ASSERT_NO_FATAL_FAILURE(KillAWriterHoldingTheMutex(path, fragment));
    EXPECT_TRUE(TestLog(path, 1).Opened());
    EXPECT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 3, L"after open"));
    std::vector<ChildProcess> writers = StartWriters(path, L"w", 2, 2, 200);
    ExpectChildrenSucceed(writers);
    EXPECT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 4, L"last"));

    // Each dead writer's half line stands alone; every other line is whole.
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(2u, content.unframed);
    ASSERT_GE(content.lines.size(), 6u);
    const std::vector<std::wstring> first = Messages(path);
    EXPECT_EQ((std::vector<std::wstring>{L"before", fragment, L"after", fragment, L"after open"}),
              std::vector<std::wstring>(first.begin(), first.begin() + 5));
    EXPECT_EQ(L"last", content.lines.back().message);
    CheckNumberedLines(content, 4, 200);
}

TEST(LogSharedFile, WritersGoOnWholeWhileAnotherProcessEmptiesTheFileAgainAndAgain) {
    const std::wstring path = FreshLogPath(L"log-emptied");
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    std::vector<ChildProcess> writers = StartWriters(path, L"e", 2, 2, 1500);
    ChildProcess emptier(StartChild("log_emptier", {path, L"30"}));
    EXPECT_EQ(0u, RunWriters(&log, L"parent", 2, 1500));
    writers.push_back(std::move(emptier));
    ExpectChildrenSucceed(writers);
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 100, L"last"));
    // Only the last emptying's line is left of the emptier's; every writer's lines after it
    // are in order, with no line twice and no hole where an old end was.
    const LogFileContent content = ReadLogFile(path);
    EXPECT_EQ(0u, content.unframed);
    const auto emptierLine = [](const LogLine& line) {
        return line.function == L"keltra::test::Emptier";
    };
    ASSERT_EQ(1, std::count_if(content.lines.begin(), content.lines.end(), emptierLine));
    EXPECT_EQ(L"emptied round=29",
              std::find_if(content.lines.begin(), content.lines.end(), emptierLine)->message);
    EXPECT_EQ(L"last", content.lines.back().message);
    CheckNumberedLines(content);
}

TEST(LogSharedFile, FourProcessesRollTheFileOverLosingAndTearingNoLine) {
    // 4 processes, 2 threads each, 1000 lines a thread of about 200 bytes: some 1.6 MB through
    // a 64 KiB limit, about 25 roll-overs, every old file kept.
    constexpr std::uint32_t kLimit = 64 * 1024, kKeep = 60;
    const std::wstring path = FreshLogPath(L"log-rolled");
    std::vector<ChildProcess> children =
        StartWriters(path, L"r", 4, 2, 1000, {std::to_wstring(kLimit), std::to_wstring(kKeep)});
    ExpectChildrenSucceed(children);

    // Oldest first: the old files from the highest number down, then the file itself.
    std::vector<std::wstring> files;
    for (std::uint32_t n = 1; std::filesystem::exists(logfilesync::KeptFileName(path.c_str(), n));
         ++n) {
        files.insert(files.begin(), logfilesync::KeptFileName(path.c_str(), n));
    }
    files.push_back(path);
    ASSERT_GE(files.size(), 10u) << "too few roll-overs to be a test";
    ASSERT_LT(files.size(), kKeep + 1) << "an old file was dropped: lines would be missing";
    LogFileContent all;
    for (const std::wstring& file : files) {
        const LogFileContent content = ReadLogFile(file);
        const std::string name = platform::WideToUtf8(file);
        EXPECT_TRUE(content.startsWithMark && content.endsWithLineBreak) << name;
        EXPECT_FALSE(content.markRepeated || content.oddSize || content.nulUnits != 0) << name;
        EXPECT_EQ(0u, content.unframed) << name;
        std::size_t longest = 0;
        for (const LogLine& line : content.lines) {
            longest = std::max(longest, 2 * line.raw.size() + 4);
        }
        // Past the limit by one line at most: the line that found it full went to a new file.
        EXPECT_LE(std::filesystem::file_size(std::filesystem::path(file)), kLimit + longest)
            << name;
        all.lines.insert(all.lines.end(), content.lines.begin(), content.lines.end());
    }
    all.startsWithMark = all.endsWithLineBreak = true;
    CheckNumberedLines(all, 8, 1000);
}

}  // namespace
