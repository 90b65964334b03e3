// One log file shared by several processes and threads: every line once and whole, writers
// killed while holding the mutex, and processes that empty the file under running writers.
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::FreshLogPath;
using keltra::test::LogFileContent;
using keltra::test::ReadLogFile;
using keltra::test::TestLog;
using logfilesync::CLogFile;

constexpr std::uint32_t kChildWait = 120000;

struct WriterThread {
    CLogFile* log;
    std::wstring tag;
    int thread;
    int lines;
};

// Writes numbered lines that name their writer, so that the reader can check the header
// against the message: "tag=<tag> pid=<pid> tid=<tid> t=<thread> n=<number>".
std::uint32_t WriteNumberedLines(void* context) {
    auto* w = static_cast<WriterThread*>(context);
    std::uint32_t failures = 0;
    for (int n = 0; n < w->lines; ++n) {
        if (w->log->Log(L'I', L"keltra::test::Writer", 1000 + w->thread,
                        L"tag=%s pid=%u tid=%u t=%d n=%d", w->tag.c_str(),
                        platform::GetCurrentProcessId(), platform::GetCurrentThreadId(), w->thread,
                        n) != 1) {
            ++failures;
        }
    }
    return failures;
}

// Runs `threads` writer threads on one log object; the number of failed log calls.
std::uint32_t RunWriters(CLogFile* log, const std::wstring& tag, int threads, int lines) {
    std::vector<WriterThread> contexts;
    for (int t = 0; t < threads; ++t) {
        contexts.push_back({log, tag, t, lines});
    }
    std::vector<platform::UniqueHandle> handles;
    for (auto& context : contexts) {
        handles.emplace_back(platform::BeginThread(&WriteNumberedLines, &context, nullptr));
        if (!handles.back()) {
            return 1000000;
        }
    }
    std::uint32_t failures = 0;
    for (auto& handle : handles) {
        if (platform::WaitForSingleObject(handle.Get(), kChildWait) != platform::kWaitObject0) {
            return 1000000;
        }
        std::uint32_t code = 1;
        platform::GetExitCodeThread(handle.Get(), &code);
        failures += code;
    }
    return failures;
}

// args: path, tag, threads, lines. Exit code 0 when every line was written.
KELTRA_CHILD_ROLE(log_writer) {
    TestLog log(args.at(0), 1);
    if (!log.Opened()) {
        return 3;
    }
    const std::uint32_t failures =
        RunWriters(&log.Log(), args.at(1), std::stoi(args.at(2)), std::stoi(args.at(3)));
    return failures == 0 ? 0 : 4;
}

// args: path, fragment. Takes the log's mutex, writes half a line and hangs until killed.
KELTRA_CHILD_ROLE(log_die_holding_mutex) {
    TestLog log(args.at(0), 1);
    if (!log.Opened() || log->m_lock.Lock() != 0) {
        return 3;
    }
    const std::string fragment = keltra::test::Utf16Le(args.at(1)) + "x";  // odd: mid-character
    if (!keltra::test::AppendRawBytes(args.at(0), fragment)) {
        return 4;
    }
    platform::UniqueHandle never(platform::CreateEvent(true, false));
    (void)platform::WaitForSingleObject(never.Get(), platform::kInfinite);
    return 5;
}

// args: path, rounds. Opens with append 0 (emptying the file) and writes one line, repeatedly.
KELTRA_CHILD_ROLE(log_emptier) {
    const int rounds = std::stoi(args.at(1));
    for (int round = 0; round < rounds; ++round) {
        TestLog log(args.at(0), 0);
        if (!log.Opened() ||
            log->Log(L'W', L"keltra::test::Emptier", 1, L"emptied round=%d", round) != 1) {
            return 3;
        }
    }
    return 0;
}

std::uint32_t WaitChild(platform::Handle child) {
    if (platform::WaitForSingleObject(child, kChildWait) != platform::kWaitObject0) {
        platform::TerminateProcess(child, 99);
        (void)platform::WaitForSingleObject(child, 10000);
        return 0xFFFFFFFF;
    }
    std::uint32_t code = 0xFFFFFFFF;
    platform::GetExitCodeProcess(child, &code);
    return code;
}

// Checks the numbered lines: header agrees with the message, each writer's numbers are
// increasing without repeats. Returns, per "tag/pid/thread", the numbers seen.
std::map<std::wstring, std::vector<int>> CheckNumberedLines(const LogFileContent& content) {
    std::map<std::wstring, std::vector<int>> seen;
    std::uint64_t lastStamp = 0;
    for (const auto& line : content.lines) {
        if (!line.framed) {
            continue;
        }
        EXPECT_GE(line.Stamp(), lastStamp)
            << "out of time order: " << platform::WideToUtf8(line.raw);
        lastStamp = line.Stamp();
        if (line.function != L"keltra::test::Writer") {
            continue;
        }
        wchar_t tag[64] = {};
        unsigned pid = 0;
        unsigned tid = 0;
        int thread = -1;
        int n = -1;
        const int fields = swscanf(line.message.c_str(), L"tag=%63ls pid=%u tid=%u t=%d n=%d", tag,
                                   &pid, &tid, &thread, &n);
        EXPECT_EQ(5, fields) << platform::WideToUtf8(line.raw);
        EXPECT_EQ(pid, line.processId);
        EXPECT_EQ(tid, line.threadId);
        EXPECT_EQ(1000 + thread, line.sourceLine);
        EXPECT_EQ(L'I', line.level);
        const std::wstring key =
            std::wstring(tag) + L"/" + std::to_wstring(pid) + L"/" + std::to_wstring(thread);
        auto& numbers = seen[key];
        if (!numbers.empty()) {
            EXPECT_GT(n, numbers.back()) << platform::WideToUtf8(key);
        }
        numbers.push_back(n);
    }
    return seen;
}

TEST(LogSharedFile, ProcessesAndThreadsAppendEveryLineOnceAndWhole) {
    const std::wstring path = FreshLogPath(L"log-many");
    constexpr int kChildren = 3;
    constexpr int kThreads = 3;
    constexpr int kLines = 1000;
    // The file is created by the first writer; all open with append.
    std::vector<platform::UniqueHandle> children;
    for (int c = 0; c < kChildren; ++c) {
        children.emplace_back(keltra::test::StartChild(
            "log_writer",
            {path, L"c" + std::to_wstring(c), std::to_wstring(kThreads), std::to_wstring(kLines)}));
        ASSERT_TRUE(children.back().Valid());
    }
    {
        TestLog log(path, 1);
        ASSERT_TRUE(log.Opened());
        EXPECT_EQ(0u, RunWriters(&log.Log(), L"parent", kThreads, kLines));
    }
    for (auto& child : children) {
        EXPECT_EQ(0u, WaitChild(child.Get()));
    }

    const LogFileContent content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    EXPECT_FALSE(content.oddSize);
    EXPECT_EQ(0u, content.nulUnits);
    EXPECT_TRUE(content.endsWithLineBreak);
    EXPECT_EQ(0u, content.Unframed());
    EXPECT_EQ(static_cast<std::size_t>((kChildren + 1) * kThreads * kLines), content.lines.size());
    const auto seen = CheckNumberedLines(content);
    EXPECT_EQ(static_cast<std::size_t>((kChildren + 1) * kThreads), seen.size());
    for (const auto& [writer, numbers] : seen) {
        EXPECT_EQ(static_cast<std::size_t>(kLines), numbers.size()) << platform::WideToUtf8(writer);
        EXPECT_EQ(0, numbers.front());
        EXPECT_EQ(kLines - 1, numbers.back());
    }
}

TEST(LogSharedFile, AWriterKilledWhileHoldingTheMutexStopsNobody) {
    const std::wstring path = FreshLogPath(L"log-killed");
    TestLog log(path, 0);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 1, L"before"));

    const std::wstring fragment = L"2026/01/01 00:00:00.000|E|0";
    platform::UniqueHandle dying(
        keltra::test::StartChild("log_die_holding_mutex", {path, fragment}));
    ASSERT_TRUE(dying.Valid());
    // Wait until it holds the mutex and has written its half line (it takes the mutex first,
    // so the mutex alone says nothing about the file): probe both, pausing on the child's
    // handle so that a child that fails ends the wait at once.
    const auto sizeBefore = std::filesystem::file_size(std::filesystem::path(path));
    platform::Handle mutex = log->m_lock.Handle();
    bool held = false;
    for (int i = 0; i < 6000 && !held; ++i) {
        const std::uint32_t probe = platform::WaitForSingleObject(mutex, 0);
        if (probe == platform::kWaitTimeout) {
            held = std::filesystem::file_size(std::filesystem::path(path)) > sizeBefore;
        } else {
            ASSERT_EQ(platform::kWaitObject0, probe);
            ASSERT_TRUE(platform::ReleaseMutex(mutex));
        }
        if (!held) {
            ASSERT_EQ(platform::kWaitTimeout, platform::WaitForSingleObject(dying.Get(), 5))
                << "the dying child ended early";
        }
    }
    ASSERT_TRUE(held);

    // Writers that start now block on the held mutex; the kill must set them free.
    std::vector<platform::UniqueHandle> writers;
    for (int c = 0; c < 2; ++c) {
        writers.emplace_back(keltra::test::StartChild(
            "log_writer", {path, L"w" + std::to_wstring(c), L"2", L"200"}));
        ASSERT_TRUE(writers.back().Valid());
    }
    ASSERT_TRUE(platform::TerminateProcess(dying.Get(), 9));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(dying.Get(), kChildWait));
    for (auto& writer : writers) {
        EXPECT_EQ(0u, WaitChild(writer.Get()));
    }
    EXPECT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 2, L"after"));

    const LogFileContent content = ReadLogFile(path);
    EXPECT_FALSE(content.oddSize);
    EXPECT_TRUE(content.endsWithLineBreak);
    // The dead writer's half line stands alone; every other line is whole.
    ASSERT_EQ(1u, content.Unframed());
    std::size_t fragmentAt = content.lines.size();
    for (std::size_t i = 0; i < content.lines.size(); ++i) {
        if (!content.lines[i].framed) {
            fragmentAt = i;
            EXPECT_EQ(0u, content.lines[i].raw.find(fragment))
                << platform::WideToUtf8(content.lines[i].raw);
        }
    }
    EXPECT_EQ(1u, fragmentAt);  // right after "before"
    EXPECT_EQ(L"before", content.lines.front().message);
    EXPECT_EQ(L"after", content.lines.back().message);
    const auto seen = CheckNumberedLines(content);
    EXPECT_EQ(4u, seen.size());
    for (const auto& [writer, numbers] : seen) {
        EXPECT_EQ(200u, numbers.size()) << platform::WideToUtf8(writer);
    }
}

TEST(LogSharedFile, AfterAnotherProcessEmptiesTheFileWritersGoOnAtTheNewEnd) {
    const std::wstring path = FreshLogPath(L"log-emptied");
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", i, L"old line %d", i));
    }
    ASSERT_EQ(0u, keltra::test::RunChild("log_emptier", {path, L"1"}));
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 99, L"new line"));

    LogFileContent content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    EXPECT_EQ(0u, content.nulUnits);  // no hole where the old end was
    ASSERT_EQ(2u, content.lines.size());
    EXPECT_EQ(L"emptied round=0", content.lines[0].message);
    EXPECT_EQ(L"new line", content.lines[1].message);

    // Now with writers running while the file is emptied again and again.
    std::vector<platform::UniqueHandle> writers;
    for (int c = 0; c < 2; ++c) {
        writers.emplace_back(keltra::test::StartChild(
            "log_writer", {path, L"e" + std::to_wstring(c), L"2", L"1500"}));
        ASSERT_TRUE(writers.back().Valid());
    }
    platform::UniqueHandle emptier(keltra::test::StartChild("log_emptier", {path, L"30"}));
    ASSERT_TRUE(emptier.Valid());
    EXPECT_EQ(0u, RunWriters(&log.Log(), L"parent", 2, 1500));
    EXPECT_EQ(0u, WaitChild(emptier.Get()));
    for (auto& writer : writers) {
        EXPECT_EQ(0u, WaitChild(writer.Get()));
    }
    ASSERT_EQ(1, log->Log(L'D', L"keltra::test::Parent", 100, L"last"));

    content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    EXPECT_FALSE(content.oddSize);
    EXPECT_EQ(0u, content.nulUnits);
    EXPECT_EQ(0u, content.Unframed());
    // Only the last emptying's line is left of the emptier's; every writer's lines after it
    // are in order, with no line twice.
    std::vector<std::wstring> emptierLines;
    for (const auto& line : content.lines) {
        if (line.function == L"keltra::test::Emptier") {
            emptierLines.push_back(line.message);
        }
    }
    EXPECT_EQ(std::vector<std::wstring>{L"emptied round=29"}, emptierLines);
    EXPECT_EQ(L"last", content.lines.back().message);
    CheckNumberedLines(content);
}

}  // namespace
