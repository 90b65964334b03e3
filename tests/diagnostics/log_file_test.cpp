// The shared log file in one process: opening (mark, append, emptying, directories, refusals),
// the line layout, lines dropped rather than written broken, files mended after a torn
// write, the mutex name and the lock's results.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::FreshLogPath;
using keltra::test::LogFileContent;
using keltra::test::ReadFileBytes;
using keltra::test::ReadLogFile;
using keltra::test::TestLog;
using logfilesync::CLogFile;

constexpr wchar_t kSep = platform::kPathSeparator;

// A message buffer as Log hands it over: new[], without terminator.
wchar_t* Message(const std::wstring& text) {
    auto* buffer = new wchar_t[text.size() + 1];
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
    return buffer;
}

TEST(LogFileOpen, MarkLayoutAppendAndEmptying) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-open");
    const std::wstring path = dir + kSep + L"one" + kSep + L"two" + kSep + L"svc.log";
    {
        TestLog log(path);  // every missing directory level is created
        ASSERT_TRUE(log.Opened());
        EXPECT_EQ("\xFF\xFE", ReadFileBytes(path));
        EXPECT_EQ(1, log->Log(L'D', L"executive::PluginMgr::WaitForComplete", 512, L"===>"));
        EXPECT_EQ(1, log->Log(L'E', L"wmain", 7, L"value %d, name %s, char %c", -5, L"x y", L'Q'));
        EXPECT_EQ(1, log->Log(L'W', L"f", 1, L"two\r\nlines"));
    }
    TestLog appender(path, 1);
    ASSERT_TRUE(appender.Opened());
    ASSERT_EQ(1, appender->Log(L'D', L"g", 2, L"appended"));
    LogFileContent content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    EXPECT_TRUE(content.endsWithLineBreak);
    ASSERT_EQ(5u, content.lines.size());  // the message with a line break spans two
    const auto& first = content.lines[0];
    ASSERT_TRUE(first.framed) << platform::WideToUtf8(first.raw);
    EXPECT_EQ(L'D', first.level);
    EXPECT_EQ(platform::GetCurrentProcessId(), first.processId);
    EXPECT_EQ(platform::GetCurrentThreadId(), first.threadId);
    EXPECT_EQ(L"executive::PluginMgr::WaitForComplete", first.function);
    EXPECT_EQ(512, first.sourceLine);
    EXPECT_EQ(L"===>", first.message);
    EXPECT_GE(first.raw.find(L'|', 26) - 26, 6u);  // ids zero-padded to six digits at least
    EXPECT_EQ(L"value -5, name x y, char Q", content.lines[1].message);
    EXPECT_EQ(L"two", content.lines[2].message);
    EXPECT_EQ(L"lines", content.lines[3].raw);
    EXPECT_EQ(L"appended", content.lines[4].message);

    // append 0 empties, even while another log object has the file open; that one goes on
    // at the new end, not at its old position.
    { TestLog emptier(path, 0); }
    EXPECT_EQ("\xFF\xFE", ReadFileBytes(path));
    ASSERT_EQ(1, appender->Log(L'D', L"holder", 3, L"after"));
    content = ReadLogFile(path);
    EXPECT_EQ(0u, content.nulUnits);
    ASSERT_EQ(1u, content.lines.size());
    EXPECT_EQ(L"after", content.lines[0].message);

    // A second Open fails before touching the file; Close closes, twice harmlessly.
    EXPECT_EQ(0, appender->Open());
    EXPECT_EQ(1, appender->Log(L'D', L"f", 4, L"still open"));
    appender->Close();
    EXPECT_FALSE(appender->IsOpen());
    EXPECT_EQ(0, appender->Log(L'D', L"f", 5, L"closed"));
    appender->Close();
    EXPECT_EQ(2u, ReadLogFile(path).lines.size());
}

TEST(LogFileOpen, RefusalsLeaveTheLogClosedWithoutAMutex) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-refuse");
    ASSERT_TRUE(keltra::test::AppendRawBytes(dir + kSep + L"blocker", "x"));
    // Paths left empty by the mutex name rules, a directory blocked by a file, a directory.
    const std::vector<std::wstring> refused = {
        L"",
        L"   ",
        L". .",
        L"\\.\\ .",
        kSep == L'/' ? L"/./ ./" : L"\\\\",
        dir + kSep + L"blocker" + kSep + L"sub" + kSep + L"a.log",
        dir};
    for (const std::wstring& path : refused) {
        CLogFile log;
        ASSERT_TRUE(log.Configure(1, path.c_str(), 0, 0));
        EXPECT_EQ(0, log.Open()) << platform::WideToUtf8(path);
        EXPECT_FALSE(log.IsOpen());
        EXPECT_EQ(nullptr, log.MutexHandle());
        EXPECT_EQ(0, log.Log(L'E', L"f", 1, L"nothing"));
    }
    CLogFile log;
    EXPECT_FALSE(log.Configure(1, std::wstring(260, L'p').c_str(), 0, 0));
    const std::wstring deep = dir + kSep + L"a" + kSep + L"b" + kSep + L"x.log";
    ASSERT_TRUE(log.Configure(1, deep.c_str(), 0, 0));
    EXPECT_EQ(1, log.CreateLogDirectory());
    EXPECT_EQ(0, log.CreateLogDirectory());  // exists now
    ASSERT_TRUE(log.Configure(1, L"no-separator.log", 0, 0));
    EXPECT_EQ(0, log.CreateLogDirectory());
}

TEST(LogFileLines, LinesThatCannotBeFramedAreDroppedAndTheNextIsWritten) {
    const std::wstring path = FreshLogPath(L"log-drop");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    // Header limit: 23 (time) + "|D|" + ids + "|" + name + "(L1): " must stay within 259.
    const auto digits = [](std::uint32_t id) {
        return std::max<int>(6, std::to_wstring(id).size());
    };
    const int fixed = 23 + 3 + digits(platform::GetCurrentProcessId()) + 1 +
                      digits(platform::GetCurrentThreadId()) + 1 + 6;
    const std::wstring fits(static_cast<std::size_t>(259 - fixed), L'f');
    struct Case {
        wchar_t level;
        std::wstring function;  // L"<null>" for none
        const wchar_t* message;
        std::uint32_t bytes;
        int written;
    };
    // Bad arguments, levels and names that would break the line in two, a header one character
    // too long, then lines that are written. Each message is released either way.
    // clang-format off
    const std::vector<Case> cases = {
        {L'D', std::wstring(240, L'n'), L"too long", 16, 0}, {L'D', fits + L"g", L"x", 2, 0},
        {L'D', L"<null>", L"x", 2, 0}, {L'D', L"f", nullptr, 2, 0}, {L'D', L"f", L"x", 0, 0},
        {L'D', L"f", L"xy", 3, 0}, {L'\0', L"f", L"x", 2, 0}, {L'\r', L"f", L"x", 2, 0},
        {L'\n', L"f", L"x", 2, 0}, {L'D', L"a\r\nb", L"x", 2, 0},
        {L'D', fits, L"fits", 8, 1}, {L'D', L"", L"empty function name", 38, 1}};
    // clang-format on
    for (const Case& c : cases) {
        wchar_t* message = c.message != nullptr ? Message(c.message) : nullptr;
        const wchar_t* function = c.function == L"<null>" ? nullptr : c.function.c_str();
        EXPECT_EQ(c.written, log->WriteLine(c.level, function, 1, message, c.bytes))
            << platform::WideToUtf8(c.function);
        if (c.message != nullptr && c.bytes == 2 * std::wcslen(c.message)) {
            EXPECT_EQ(c.written, log->Log(c.level, function, 1, L"%s", c.message));
        }
    }
    EXPECT_EQ(1, log->Log(L'D', L"f", -3, L"negative line"));
    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(5u, content.lines.size());
    EXPECT_EQ(0u, content.unframed);
    EXPECT_EQ(fits, content.lines[0].function);
    EXPECT_EQ(259u, content.lines[0].raw.size() - content.lines[0].message.size());
    EXPECT_EQ(L"", content.lines[2].function);
    EXPECT_EQ(-3, content.lines[4].sourceLine);
}

TEST(LogFileLines, ATornEndIsMendedBeforeTheNextLine) {
    const std::wstring path = FreshLogPath(L"log-mend");
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"before"));
    // A writer that died after half a line (an even number of bytes).
    ASSERT_TRUE(
        keltra::test::AppendRawBytes(path, keltra::test::Utf16Le(L"2026/01/01 00:00:00.000|D|00")));
    ASSERT_EQ(1, log->Log(L'D', L"f", 2, L"after fragment"));
    // One that died inside a character (an odd number of bytes).
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, "A"));
    ASSERT_EQ(1, log->Log(L'D', L"f", 3, L"after half a character"));

    const LogFileContent content = ReadLogFile(path);
    EXPECT_FALSE(content.oddSize);
    EXPECT_TRUE(content.endsWithLineBreak);
    ASSERT_EQ(5u, content.lines.size());
    EXPECT_EQ(L"before", content.lines[0].message);
    EXPECT_EQ(L"2026/01/01 00:00:00.000|D|00", content.lines[1].raw);
    EXPECT_FALSE(content.lines[1].framed);
    EXPECT_EQ(L"after fragment", content.lines[2].message);
    EXPECT_FALSE(content.lines[3].framed);
    EXPECT_EQ(L"after half a character", content.lines[4].message);

    // A file cut to nothing from outside gets its mark back with the next line.
    std::filesystem::resize_file(std::filesystem::path(path), 0);
    ASSERT_EQ(1, log->Log(L'D', L"f", 4, L"after cut"));
    const LogFileContent after = ReadLogFile(path);
    EXPECT_TRUE(after.startsWithMark);
    ASSERT_EQ(1u, after.lines.size());
    EXPECT_EQ(L"after cut", after.lines[0].message);
}

TEST(LogFileMutexName, DerivedFromThePathWithoutBlanksStopsOrSeparators) {
    // Case is kept: the same file under two spellings gets two mutexes. '/' is a separator
    // only on POSIX; backslashes go everywhere. At most 252 characters.
    // clang-format off
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"C:\\ProgramData\\Logs\\svc.log", L"C:ProgramDataLogssvclog"},
        {L"C:\\My Logs\\a.b.c.log", L"C:MyLogsabclog"},
        {L"C:\\Logs\\a.log", L"C:Logsalog"}, {L"c:\\logs\\A.LOG", L"c:logsALOG"},
        {L"/var/log/keltra/svc.log", kSep == L'/' ? L"varlogkeltrasvclog" : L"/var/log/keltra/svclog"},
        {L"", L"<none>"}, {L" .\\ . ", L"<none>"},
        {L"C:\\" + std::wstring(255, L'p'), L"C:" + std::wstring(250, L'p')}};
    // clang-format on
    CLogFile log;
    wchar_t name[260];
    for (const auto& [path, expected] : cases) {
        ASSERT_TRUE(log.Configure(0, path.c_str(), 0, 0));
        EXPECT_EQ(expected, log.MakeMutexName(name, 260) == 1 ? std::wstring(name) : L"<none>");
    }
    wchar_t small[5];  // never more than the capacity allows
    EXPECT_EQ(1, log.MakeMutexName(small, 5));
    EXPECT_EQ(L"C:pp", std::wstring(small));
    EXPECT_EQ(0, log.MakeMutexName(small, 0));
    EXPECT_EQ(0, log.MakeMutexName(nullptr, 260));
}

TEST(LogFileMutexName, TheOpenLogHoldsTheGlobalMutexOfItsPath) {
    const std::wstring path = FreshLogPath(L"log-mutex-name", L"my trace.log");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    wchar_t name[260];
    ASSERT_EQ(1, log->MakeMutexName(name, 260));
    const std::wstring full = std::wstring(L"Global\\") + name;
    platform::UniqueHandle mutex(platform::OpenMutex(platform::kSynchronize, false, full.c_str()));
    ASSERT_TRUE(mutex.Valid()) << platform::GetLastError();
    // Held through that name, it keeps the log from writing until released.
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(mutex.Get(), 0));
    platform::UniqueHandle thread(platform::BeginThread(
        [](void* p) -> std::uint32_t {
            return static_cast<std::uint32_t>(
                static_cast<CLogFile*>(p)->Log(L'D', L"f", 1, L"waited"));
        },
        &log.Log(), nullptr));
    ASSERT_TRUE(thread.Valid());
    EXPECT_EQ(platform::kWaitTimeout, platform::WaitForSingleObject(thread.Get(), 100));
    EXPECT_EQ(0u, ReadLogFile(path).lines.size());
    ASSERT_TRUE(platform::ReleaseMutex(mutex.Get()));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(thread.Get(), 20000));
    std::uint32_t written = 0;
    EXPECT_TRUE(platform::GetExitCodeThread(thread.Get(), &written));
    EXPECT_EQ(1u, written);
    EXPECT_EQ(1u, ReadLogFile(path).lines.size());
}

TEST(LogFileLock, ResultsOfCreateLockUnlockAndClose) {
    CLogFile::CMutexLock lock;
    EXPECT_EQ(std::vector<std::uint32_t>({21, 21, 87, 87, 87}),
              std::vector<std::uint32_t>({lock.Lock(), lock.Unlock(), lock.Create(nullptr),
                                          lock.Create(L""),
                                          lock.Create(std::wstring(253, L'n').c_str())}));
    const std::wstring pid = std::to_wstring(platform::GetCurrentProcessId());
    ASSERT_EQ(0u, lock.Create((L"keltra-lock-test." + pid).c_str()));
    EXPECT_EQ(183u, lock.Create(L"other"));
    // Full stops (and backslashes) after the prefix became '$'.
    platform::UniqueHandle same(platform::OpenMutex(platform::kSynchronize, false,
                                                    (L"Global\\keltra-lock-test$" + pid).c_str()));
    EXPECT_TRUE(same.Valid());
    EXPECT_EQ(std::vector<std::uint32_t>({0, 0, 288}),
              std::vector<std::uint32_t>({lock.Lock(), lock.Unlock(), lock.Unlock()}));
    lock.Close();
    EXPECT_EQ(nullptr, lock.Handle());
    EXPECT_EQ(21u, lock.Lock());
    EXPECT_EQ(0u, lock.Create(L"keltra-lock-test-again"));  // usable again after Close
}

}  // namespace
