// The shared log file in one process: opening (mark, append, emptying, directories, refusals),
// the line layout, lines dropped rather than written broken, files mended after a torn
// write, the roll-over in one process (and one that cannot be made), and the mutex name.
#include <cwchar>

#include "diagnostics/log_rotation.h"

#include "platform/thread.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using namespace keltra::test;
using logfilesync::CLogFile;

constexpr wchar_t kSep = platform::kPathSeparator;

TEST(LogFileOpen, MarkLayoutAppendAndEmptying) {
    const std::wstring dir = MakeTempDirectory(L"log-open");
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
    EXPECT_TRUE(content.startsWithMark && content.endsWithLineBreak && !content.markRepeated);
    ASSERT_EQ(5u, content.lines.size());  // the message with a line break spans two
    const auto& first = content.lines[0];
    ASSERT_TRUE(first.framed) << platform::WideToUtf8(first.raw);
    EXPECT_EQ(std::make_tuple(L'D', platform::GetCurrentProcessId(), platform::GetCurrentThreadId(),
                              std::wstring(L"executive::PluginMgr::WaitForComplete"), 512),
              std::make_tuple(first.level, first.processId, first.threadId, first.function,
                              first.sourceLine));
    EXPECT_GE(first.raw.find(L'|', 26) - 26, 6u);  // ids zero-padded to six digits at least
    EXPECT_EQ((std::vector<std::wstring>{L"===>", L"value -5, name x y, char Q", L"two", L"lines",
                                         L"appended"}),
              Messages(path));

    // append 0 empties, even while another log object has the file open; that one goes on
    // at the new end, not at its old position.
    { TestLog emptier(path, 0); }
    EXPECT_EQ("\xFF\xFE", ReadFileBytes(path));
    ASSERT_EQ(1, appender->Log(L'D', L"holder", 3, L"after"));
    EXPECT_EQ(0u, ReadLogFile(path).nulUnits);
    EXPECT_EQ(std::vector<std::wstring>{L"after"}, Messages(path));
}

TEST(LogFileOpen, RefusalsLeaveTheLogClosedWithoutAMutex) {
    const std::wstring dir = MakeTempDirectory(L"log-refuse");
    ASSERT_TRUE(AppendRawBytes(dir + kSep + L"blocker", "x"));
    // Paths left empty by the mutex name rules, a directory blocked by a file, a directory.
    for (const std::wstring& path :
         {std::wstring(L""), std::wstring(L"   "), std::wstring(L". ."), std::wstring(L"\\.\\ ."),
          std::wstring(kSep == L'/' ? L"/./ ./" : L"\\\\"),
          dir + kSep + L"blocker" + kSep + L"sub" + kSep + L"a.log", dir}) {
        CLogFile log;
        ASSERT_TRUE(log.Configure(1, path.c_str(), 0, 0));
        EXPECT_EQ(
            std::make_tuple(0, false, platform::Handle(nullptr)),
            (std::tuple<int, bool, platform::Handle>{log.Open(), log.IsOpen(), log.MutexHandle()}))
            << platform::WideToUtf8(path);
    }
    CLogFile log;
    EXPECT_FALSE(log.Configure(1, std::wstring(260, L'p').c_str(), 0, 0));
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
    // Bad arguments, levels and names that would break the line in two, a header one character
    // too long, then lines that are written: level, function (L"<null>" for none), message,
    // its bytes, lines written. Each message is released either way.
    // clang-format off
    const std::vector<std::tuple<wchar_t, std::wstring, const wchar_t*, std::uint32_t, int>> cases = {
        {L'D', std::wstring(240, L'n'), L"too long", 16, 0}, {L'D', fits + L"g", L"x", 2, 0},
        {L'D', L"<null>", L"x", 2, 0}, {L'D', L"f", nullptr, 2, 0}, {L'D', L"f", L"x", 0, 0},
        {L'D', L"f", L"xy", 3, 0}, {L'\0', L"f", L"x", 2, 0}, {L'\r', L"f", L"x", 2, 0},
        {L'\n', L"f", L"x", 2, 0}, {L'D', L"a\r\nb", L"x", 2, 0},
        {L'D', fits, L"fits", 8, 1}, {L'D', L"", L"empty function name", 38, 1}};
    // clang-format on
    for (const auto& [level, name, text, bytes, written] : cases) {
        // A message buffer as Log hands it over: new[], released by WriteLine.
        wchar_t* message =
            text != nullptr ? std::wcscpy(new wchar_t[std::wcslen(text) + 1], text) : nullptr;
        const wchar_t* function = name == L"<null>" ? nullptr : name.c_str();
        EXPECT_EQ(written, log->WriteLine(level, function, 1, message, bytes))
            << platform::WideToUtf8(name);
        if (text != nullptr && bytes == 2 * std::wcslen(text)) {
            EXPECT_EQ(written, log->Log(level, function, 1, L"%s", text));
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
    // A file left with half a line (its writer's machine stopped) is mended by the first line
    // of the next log to open it.
    const std::wstring path = FreshLogPath(L"log-mend");
    ASSERT_TRUE(AppendRawBytes(path, "\xFF\xFE" + Utf16Le(L"2026/01/01 00:00:00.000|D|00")));
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    ASSERT_EQ(1, log->Log(L'D', L"f", 2, L"after fragment"));
    // One that died inside a character (an odd number of bytes).
    ASSERT_TRUE(AppendRawBytes(path, "A"));
    ASSERT_EQ(1, log->Log(L'D', L"f", 3, L"after half a character"));
    // Cut back from outside to inside the last line.
    const std::filesystem::path file(platform::WideToUtf8(path));
    std::filesystem::resize_file(file, std::filesystem::file_size(file) - 4);
    ASSERT_EQ(1, log->Log(L'D', L"f", 4, L"after a cut"));

    // Each torn end stands alone on its line; a padding byte completes the half character.
    const LogFileContent content = ReadLogFile(path);
    EXPECT_FALSE(content.oddSize || !content.endsWithLineBreak);
    ASSERT_EQ(5u, content.lines.size());
    EXPECT_EQ(2u, content.unframed);
    const std::vector<std::wstring> messages = Messages(path);
    EXPECT_EQ((std::vector<std::wstring>{L"2026/01/01 00:00:00.000|D|00", L"after fragment",
                                         messages[2], L"after half a character", L"after a cut"}),
              messages);

    // A file cut to nothing from outside gets its mark back with the next line.
    std::filesystem::resize_file(file, 0);
    ASSERT_EQ(1, log->Log(L'D', L"f", 5, L"after cut"));
    EXPECT_TRUE(ReadLogFile(path).startsWithMark);
    EXPECT_EQ(std::vector<std::wstring>{L"after cut"}, Messages(path));
}

// Old files shift up, the oldest beyond the count goes; a roll-over that cannot put the
// content aside (a directory stands at the first old file's name) loses no line: the file
// grows on, and rolls over once the name is free again.
TEST(LogFileLines, RollOverShiftsOldFilesAndNeverDropsALine) {
    const std::wstring path = FreshLogPath(L"log-roll");
    const auto kept = [&path](std::uint32_t n) {
        return logfilesync::KeptFileName(path.c_str(), n);
    };
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    log->SetRollOver(1, 2);  // every line finds the file full
    for (const wchar_t* message : {L"one", L"two", L"three", L"four"}) {
        ASSERT_EQ(1, log->Log(L'I', L"f", 1, L"%s", message));
    }
    EXPECT_EQ(std::vector<std::wstring>{L"four"}, Messages(path));
    EXPECT_EQ(std::vector<std::wstring>{L"three"}, Messages(kept(1)));
    EXPECT_EQ(std::vector<std::wstring>{L"two"}, Messages(kept(2)));
    EXPECT_FALSE(std::filesystem::exists(kept(3)));

    ASSERT_TRUE(std::filesystem::remove(kept(1)));
    std::filesystem::create_directory(kept(1));
    log->SetRollOver(1, 1);
    for (const wchar_t* message : {L"five", L"six"}) {
        ASSERT_EQ(1, log->Log(L'I', L"f", 1, L"%s", message));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"four", L"five", L"six"}), Messages(path));
    std::filesystem::remove(kept(1));
    ASSERT_EQ(1, log->Log(L'I', L"f", 1, L"seven"));
    EXPECT_EQ(std::vector<std::wstring>{L"seven"}, Messages(path));
    EXPECT_EQ((std::vector<std::wstring>{L"four", L"five", L"six"}), Messages(kept(1)));
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
    EXPECT_EQ(0, log.MakeMutexName(small, 0) + log.MakeMutexName(nullptr, 260));
}

}  // namespace
