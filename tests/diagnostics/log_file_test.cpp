// The shared log file in one process: opening (mark, append, emptying, directories, refusals),
// the line layout, lines dropped rather than written broken, files mended after a torn
// write, the mutex name, the lock's results and the named-log table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
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

std::uint32_t Bytes(const std::wstring& text) {
    return static_cast<std::uint32_t>(text.size() * 2);
}

TEST(LogFileOpen, ANewFileStartsWithTheMarkAndHoldsFramedLines) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-open");
    // Every missing level is created.
    const std::wstring path = dir + kSep + L"one" + kSep + L"two" + kSep + L"svc.log";
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    EXPECT_TRUE(log->IsOpen());
    EXPECT_EQ("\xFF\xFE", ReadFileBytes(path));

    EXPECT_EQ(1, log->Log(L'D', L"executive::PluginMgr::WaitForComplete", 512, L"===>"));
    EXPECT_EQ(1, log->Log(L'E', L"wmain", 7, L"value %d, name %s, char %c", -5, L"x y", L'Q'));
    EXPECT_EQ(1, log->Log(L'W', L"f", 1, L"two\r\nlines"));

    const LogFileContent content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    EXPECT_TRUE(content.endsWithLineBreak);
    ASSERT_EQ(4u, content.lines.size());  // the message with a line break spans two
    const auto& first = content.lines[0];
    ASSERT_TRUE(first.framed) << platform::WideToUtf8(first.raw);
    EXPECT_EQ(L'D', first.level);
    EXPECT_EQ(platform::GetCurrentProcessId(), first.processId);
    EXPECT_EQ(platform::GetCurrentThreadId(), first.threadId);
    EXPECT_EQ(L"executive::PluginMgr::WaitForComplete", first.function);
    EXPECT_EQ(512, first.sourceLine);
    EXPECT_EQ(L"===>", first.message);
    // Ids are zero-padded to six digits at least.
    const std::wstring& raw = first.raw;
    EXPECT_EQ(L'|', raw[23]);
    EXPECT_EQ(L'|', raw[25]);
    EXPECT_GE(raw.find(L'|', 26) - 26, 6u);
    EXPECT_EQ(L"value -5, name x y, char Q", content.lines[1].message);
    EXPECT_EQ(L'E', content.lines[1].level);
    EXPECT_EQ(L"two", content.lines[2].message);
    EXPECT_EQ(L"lines", content.lines[3].raw);
}

TEST(LogFileOpen, AppendKeepsTheFileAndEmptyingWritesTheMarkAgain) {
    const std::wstring path = FreshLogPath(L"log-append");
    {
        TestLog log(path);
        ASSERT_TRUE(log.Opened());
        ASSERT_EQ(1, log->Log(L'D', L"first", 1, L"one"));
    }
    {
        TestLog log(path, 1);
        ASSERT_TRUE(log.Opened());
        ASSERT_EQ(1, log->Log(L'D', L"second", 2, L"two"));
    }
    LogFileContent content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_FALSE(content.markRepeated);
    ASSERT_EQ(2u, content.lines.size());
    EXPECT_EQ(L"one", content.lines[0].message);
    EXPECT_EQ(L"two", content.lines[1].message);

    // append 0 empties, even while another log object has the file open.
    TestLog holder(path, 1);
    ASSERT_TRUE(holder.Opened());
    {
        TestLog emptier(path, 0);
        ASSERT_TRUE(emptier.Opened());
    }
    EXPECT_EQ("\xFF\xFE", ReadFileBytes(path));
    // The holder goes on at the new end, not at its old position.
    ASSERT_EQ(1, holder->Log(L'D', L"holder", 3, L"after"));
    content = ReadLogFile(path);
    EXPECT_TRUE(content.startsWithMark);
    EXPECT_EQ(0u, content.nulUnits);
    ASSERT_EQ(1u, content.lines.size());
    EXPECT_EQ(L"after", content.lines[0].message);

    // append 1 on a new file writes the mark too.
    const std::wstring fresh = FreshLogPath(L"log-append-new");
    TestLog created(fresh, 1);
    ASSERT_TRUE(created.Opened());
    EXPECT_EQ("\xFF\xFE", ReadFileBytes(fresh));
}

TEST(LogFileOpen, RefusalsLeaveTheLogClosed) {
    // A second Open fails before touching the file.
    const std::wstring path = FreshLogPath(L"log-refuse");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"kept"));
    log->m_append = 0;
    EXPECT_EQ(0, log->Open());
    EXPECT_TRUE(log->IsOpen());
    ASSERT_EQ(1u, ReadLogFile(path).lines.size());
    EXPECT_EQ(1, log->Log(L'D', L"f", 2, L"still open"));

    // Empty paths, and paths left empty by the mutex name rules.
    for (const wchar_t* bad : {L"", L"   ", L". .", L"\\.\\ .",
                               platform::kPathSeparator == L'/' ? L"/./ ./" : L"\\\\"}) {
        CLogFile none;
        none.m_enabled = 1;
        platform::StringCchCopyW(none.m_logPath, logfilesync::kLogPathChars, bad);
        EXPECT_EQ(0, none.Open()) << platform::WideToUtf8(bad);
        EXPECT_FALSE(none.IsOpen());
        EXPECT_EQ(nullptr, none.m_lock.Handle());
        EXPECT_EQ(0, none.Log(L'E', L"f", 1, L"nothing"));
    }

    // A directory that cannot be created: a file stands in its way.
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-blocked");
    const std::wstring blocker = dir + kSep + L"blocker";
    ASSERT_TRUE(keltra::test::AppendRawBytes(blocker, "x"));
    CLogFile blocked;
    blocked.m_enabled = 1;
    platform::StringCchCopyW(blocked.m_logPath, logfilesync::kLogPathChars,
                             (blocker + kSep + L"sub" + kSep + L"a.log").c_str());
    EXPECT_EQ(0, blocked.CreateLogDirectory());
    EXPECT_EQ(0, blocked.Open());
    EXPECT_FALSE(blocked.IsOpen());
    EXPECT_EQ(nullptr, blocked.m_lock.Handle());  // a failed Open holds no mutex
    EXPECT_EQ(0, blocked.Log(L'E', L"f", 1, L"nothing"));

    // A path that names a directory cannot be opened as the log.
    CLogFile directory;
    directory.m_enabled = 1;
    platform::StringCchCopyW(directory.m_logPath, logfilesync::kLogPathChars, dir.c_str());
    EXPECT_EQ(0, directory.Open());

    // Closed after Close; a second Close is harmless.
    log->Close();
    EXPECT_FALSE(log->IsOpen());
    EXPECT_EQ(0, log->Log(L'D', L"f", 3, L"closed"));
    log->Close();
    EXPECT_EQ(2u, ReadLogFile(path).lines.size());
}

TEST(LogFileOpen, CreateLogDirectoryReportsOnlyWhatItCreated) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-dir");
    CLogFile log;
    const std::wstring deep = dir + kSep + L"a" + kSep + L"b" + kSep + L"x.log";
    platform::StringCchCopyW(log.m_logPath, logfilesync::kLogPathChars, deep.c_str());
    EXPECT_EQ(1, log.CreateLogDirectory());
    EXPECT_TRUE(platform::PathFileExists((dir + kSep + L"a" + kSep + L"b").c_str()));
    EXPECT_EQ(0, log.CreateLogDirectory());  // exists now

    platform::StringCchCopyW(log.m_logPath, logfilesync::kLogPathChars, L"no-separator.log");
    EXPECT_EQ(0, log.CreateLogDirectory());
}

TEST(LogFileLines, LinesThatCannotBeFramedAreDroppedAndTheNextIsWritten) {
    const std::wstring path = FreshLogPath(L"log-drop");
    TestLog log(path);
    ASSERT_TRUE(log.Opened());

    // Header limit: 23 (time) + "|D|" + ids + "|" + name + "(L1): " must stay within 259.
    const std::wstring longName(240, L'n');
    EXPECT_EQ(0,
              log->WriteLine(L'D', longName.c_str(), 1, Message(L"too long"), Bytes(L"too long")));
    const int pidChars = static_cast<int>(std::to_wstring(platform::GetCurrentProcessId()).size());
    const int tidChars = static_cast<int>(std::to_wstring(platform::GetCurrentThreadId()).size());
    const int fixed = 23 + 3 + std::max(6, pidChars) + 1 + std::max(6, tidChars) + 1 + 6;
    const std::wstring fits(static_cast<std::size_t>(259 - fixed), L'f');
    const std::wstring oneMore = fits + L"g";
    EXPECT_EQ(0, log->WriteLine(L'D', oneMore.c_str(), 1, Message(L"x"), Bytes(L"x")));
    EXPECT_EQ(1, log->WriteLine(L'D', fits.c_str(), 1, Message(L"fits"), Bytes(L"fits")));

    // Bad arguments, each released without a line.
    EXPECT_EQ(0, log->WriteLine(L'D', nullptr, 1, Message(L"x"), Bytes(L"x")));
    EXPECT_EQ(0, log->WriteLine(L'D', L"f", 1, nullptr, 2));
    EXPECT_EQ(0, log->WriteLine(L'D', L"f", 1, Message(L"x"), 0));
    EXPECT_EQ(0, log->WriteLine(L'D', L"f", 1, Message(L"xy"), 3));  // half a character
    // Levels and names that would break the line in two, or cut the header.
    for (const wchar_t level : {L'\0', L'\r', L'\n'}) {
        EXPECT_EQ(0, log->WriteLine(level, L"f", 1, Message(L"x"), Bytes(L"x")));
        EXPECT_EQ(0, log->Log(level, L"f", 1, L"x"));
    }
    EXPECT_EQ(0, log->WriteLine(L'D', L"a\r\nb", 1, Message(L"x"), Bytes(L"x")));
    EXPECT_EQ(0, log->Log(L'D', L"a\nb", 1, L"x"));

    EXPECT_EQ(1, log->Log(L'D', L"", 2, L"empty function name"));
    EXPECT_EQ(1, log->Log(L'D', L"f", -3, L"negative line"));

    const LogFileContent content = ReadLogFile(path);
    ASSERT_EQ(3u, content.lines.size());
    EXPECT_EQ(0u, content.Unframed());
    EXPECT_EQ(fits, content.lines[0].function);
    EXPECT_EQ(259u, content.lines[0].raw.size() - content.lines[0].message.size());
    EXPECT_EQ(L"", content.lines[1].function);
    EXPECT_EQ(-3, content.lines[2].sourceLine);
}

TEST(LogFileLines, ATornEndIsMendedBeforeTheNextLine) {
    const std::wstring path = FreshLogPath(L"log-mend");
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"before"));

    // A writer that died after half a line (an even number of bytes).
    const std::string fragment = keltra::test::Utf16Le(L"2026/01/01 00:00:00.000|D|00");
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, fragment));
    ASSERT_EQ(1, log->Log(L'D', L"f", 2, L"after fragment"));

    // One that died inside a character (an odd number of bytes).
    ASSERT_TRUE(keltra::test::AppendRawBytes(path, "A"));
    ASSERT_EQ(1, log->Log(L'D', L"f", 3, L"after half a character"));

    const LogFileContent content = ReadLogFile(path);
    EXPECT_FALSE(content.oddSize);
    ASSERT_EQ(5u, content.lines.size());
    EXPECT_EQ(L"before", content.lines[0].message);
    EXPECT_FALSE(content.lines[1].framed);
    EXPECT_EQ(L"2026/01/01 00:00:00.000|D|00", content.lines[1].raw);
    EXPECT_EQ(L"after fragment", content.lines[2].message);
    EXPECT_FALSE(content.lines[3].framed);
    EXPECT_EQ(L"after half a character", content.lines[4].message);
    EXPECT_TRUE(content.endsWithLineBreak);

    // A file cut to nothing from outside gets its mark back with the next line.
    platform::UniqueHandle cut(platform::CreateFile(
        path.c_str(), platform::kGenericWrite, platform::kFileShareRead | platform::kFileShareWrite,
        false, platform::kTruncateExisting, platform::kFileAttributeNormal));
    ASSERT_TRUE(cut.Valid());
    cut.Reset();
    ASSERT_EQ(1, log->Log(L'D', L"f", 4, L"after cut"));
    const LogFileContent after = ReadLogFile(path);
    EXPECT_TRUE(after.startsWithMark);
    ASSERT_EQ(1u, after.lines.size());
    EXPECT_EQ(L"after cut", after.lines[0].message);
}

TEST(LogFileMutexName, DerivedFromThePathWithoutBlanksStopsOrSeparators) {
    CLogFile log;
    wchar_t name[260];
    auto derive = [&](const std::wstring& path) -> std::wstring {
        platform::StringCchCopyW(log.m_logPath, logfilesync::kLogPathChars, path.c_str());
        return log.MakeMutexName(name, 260) == 1 ? std::wstring(name) : std::wstring(L"<none>");
    };
    EXPECT_EQ(L"C:ProgramDataLogssvclog", derive(L"C:\\ProgramData\\Logs\\svc.log"));
    EXPECT_EQ(L"C:MyLogsabclog", derive(L"C:\\My Logs\\a.b.c.log"));
    // Case is kept: the same file under two spellings gets two mutexes.
    EXPECT_EQ(L"C:Logsalog", derive(L"C:\\Logs\\a.log"));
    EXPECT_EQ(L"c:logsALOG", derive(L"c:\\logs\\A.LOG"));
    // '/' is a separator only on POSIX; backslashes go everywhere.
    EXPECT_EQ(platform::kPathSeparator == L'/' ? L"varlogkeltrasvclog" : L"/var/log/keltra/svclog",
              derive(L"/var/log/keltra/svc.log"));
    EXPECT_EQ(L"<none>", derive(L""));
    EXPECT_EQ(L"<none>", derive(L" .\\ . "));
    EXPECT_EQ(L"", std::wstring(name));

    // At most 252 characters, and never more than the capacity allows.
    const std::wstring longPath = L"C:\\" + std::wstring(255, L'p');
    EXPECT_EQ(std::wstring(1, L'C') + L":" + std::wstring(250, L'p'), derive(longPath));
    wchar_t small[5];
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
    int written = -1;
    platform::Handle done = nullptr;
    struct Writer {
        CLogFile* log;
        int* written;
    } writer{&log.Log(), &written};
    platform::UniqueHandle thread(platform::BeginThread(
        [](void* p) -> std::uint32_t {
            auto* w = static_cast<Writer*>(p);
            *w->written = w->log->Log(L'D', L"f", 1, L"waited");
            return 0;
        },
        &writer, nullptr));
    ASSERT_TRUE(thread.Valid());
    EXPECT_EQ(platform::kWaitTimeout, platform::WaitForSingleObject(thread.Get(), 100));
    EXPECT_EQ(0u, ReadLogFile(path).lines.size());
    ASSERT_TRUE(platform::ReleaseMutex(mutex.Get()));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(thread.Get(), 20000));
    (void)done;
    EXPECT_EQ(1, written);
    EXPECT_EQ(1u, ReadLogFile(path).lines.size());
}

TEST(LogFileLock, ResultsOfCreateLockUnlockAndClose) {
    CLogFile::CMutexLock lock;
    EXPECT_EQ(21u, lock.Lock());
    EXPECT_EQ(21u, lock.Unlock());
    EXPECT_EQ(87u, lock.Create(nullptr));
    EXPECT_EQ(87u, lock.Create(L""));
    EXPECT_EQ(87u, lock.Create(std::wstring(253, L'n').c_str()));  // "Global\" + 253 > 259

    const std::wstring name =
        L"keltra-lock-test." + std::to_wstring(platform::GetCurrentProcessId());
    ASSERT_EQ(0u, lock.Create(name.c_str()));
    EXPECT_EQ(183u, lock.Create(name.c_str()));
    // Full stops (and backslashes) after the prefix became '$'.
    const std::wstring full =
        L"Global\\keltra-lock-test$" + std::to_wstring(platform::GetCurrentProcessId());
    platform::UniqueHandle same(platform::OpenMutex(platform::kSynchronize, false, full.c_str()));
    EXPECT_TRUE(same.Valid());

    EXPECT_EQ(0u, lock.Lock());
    EXPECT_EQ(0u, lock.Lock());  // owned by this thread: taken again
    EXPECT_EQ(0u, lock.Unlock());
    EXPECT_EQ(0u, lock.Unlock());
    EXPECT_EQ(288u, lock.Unlock());  // not owned any more

    // Abandoned by a thread that ended holding it: still acquired.
    platform::UniqueHandle thread(platform::BeginThread(
        [](void* p) -> std::uint32_t { return static_cast<CLogFile::CMutexLock*>(p)->Lock(); },
        &lock, nullptr));
    ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(thread.Get(), 20000));
    EXPECT_EQ(0u, lock.Lock());
    EXPECT_EQ(0u, lock.Unlock());

    lock.Close();
    EXPECT_EQ(nullptr, lock.Handle());
    EXPECT_EQ(21u, lock.Lock());
    EXPECT_EQ(0u, lock.Create(name.c_str()));  // usable again after Close
}

TEST(LogFileMap, FindsOnlyWhatIsRegisteredAndClearsEmpty) {
    logfilesync::CLogFileMap map;
    EXPECT_EQ(nullptr, map.Find(L""));
    EXPECT_EQ(nullptr, map.Find(L"trace"));
    map.Clear();
    EXPECT_EQ(nullptr, g_logFileMap.Find(L""));
}

}  // namespace
