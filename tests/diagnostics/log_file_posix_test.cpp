// The log file past 4 GiB (a sparse file, which costs nothing here but would be written out
// in full on a Windows volume), a write that fails part-way (a file size limit, which only
// POSIX lets a test set), and old files of a roll-over that are owner-only and never written
// through a link someone planted.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/error.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

TEST(LogFileLines, AFileWhoseSizeHasAllOnesInItsLowHalfIsStillWritten) {
    // A size of 0x1FFFFFFFF bytes: the low half alone looks like a failure.
    const std::wstring path = keltra::test::FreshLogPath(L"log-huge");
    keltra::test::TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    const std::filesystem::path file(platform::WideToUtf8(path));
    std::filesystem::resize_file(file, 0x1FFFFFFFFull);
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"at the end"));
    log->Close();
    // Padded to a whole character and started on a line of its own.
    const std::string tail = keltra::test::Utf16Le(L"(L1): at the end\r\n");
    const std::uintmax_t size = std::filesystem::file_size(file);
    ASSERT_GT(size, 0x1FFFFFFFFull + tail.size());
    EXPECT_EQ(0u, size % 2);
    std::ifstream raw(file, std::ios::binary);
    std::string bytes(tail.size(), '\0');
    ASSERT_TRUE(raw.seekg(static_cast<std::streamoff>(size - tail.size()))
                    .read(bytes.data(), bytes.size()));
    EXPECT_EQ(tail, bytes);
    EXPECT_TRUE(std::filesystem::remove(file));
}

TEST(LogFileLines, AWriteThatFailsPartWayIsTakenBackForTheOtherWriters) {
    using keltra::test::TestLog;
    const std::wstring path = keltra::test::FreshLogPath(L"log-short");
    TestLog a(path, 1), b(path, 1);
    ASSERT_TRUE(a.Opened() && b.Opened());
    ASSERT_EQ(1, a->Log(L'D', L"f", 1, L"a1"));
    ASSERT_EQ(1, b->Log(L'D', L"f", 1, L"b1"));
    ASSERT_EQ(1, a->Log(L'D', L"f", 2, L"a2"));
    // Room for a few bytes more: the next write stops short, then fails.
    const std::filesystem::path file(platform::WideToUtf8(path));
    rlimit saved{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    rlimit tight = saved;
    tight.rlim_cur = std::filesystem::file_size(file) + 20;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &tight));
    const int written = a->Log(L'D', L"f", 3, L"%s", std::wstring(200, L'x').c_str());
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(0, written);
    // b wrote before a's last line, so it has no reason to read the end: it must be whole.
    ASSERT_EQ(1, b->Log(L'D', L"f", 2, L"b2"));
    EXPECT_EQ(0u, keltra::test::ReadLogFile(path).unframed);
    EXPECT_EQ((std::vector<std::wstring>{L"a1", L"b1", L"a2", L"b2"}),
              keltra::test::Messages(path));
}

TEST(LogFileLines, OldFilesAreOwnerOnlyAndAPlantedLinkIsNeverFollowed) {
    const std::wstring path = keltra::test::FreshLogPath(L"log-roll-links");
    const std::string narrow = platform::WideToUtf8(path);
    const std::string victim = narrow + ".victim";
    std::ofstream(victim) << "precious";
    // Links at both old files' names: shifted or deleted as names, never opened.
    ASSERT_EQ(0, symlink(victim.c_str(), (narrow + ".1").c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), (narrow + ".2").c_str()));
    const platform::Handle refused = platform::CreatePrivateFile((path + L".1").c_str());
    EXPECT_EQ(platform::kInvalidHandleValue, refused);
    EXPECT_EQ(80u, platform::GetLastError());
    keltra::test::TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    log->SetRollOver(1, 2);
    for (const wchar_t* message : {L"one", L"two", L"three"}) {
        ASSERT_EQ(1, log->Log(L'I', L"f", 1, L"%s", message));
    }
    EXPECT_EQ("precious", keltra::test::ReadFileBytes(platform::Utf8ToWide(victim)));
    for (const std::string& old : {narrow + ".1", narrow + ".2"}) {
        struct stat info {};
        ASSERT_EQ(0, lstat(old.c_str(), &info)) << old;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << old;
        EXPECT_EQ(0600u, info.st_mode & 07777) << old;
    }
    EXPECT_EQ(std::vector<std::wstring>{L"two"}, keltra::test::Messages(path + L".1"));
}

}  // namespace
