// The log's machine-wide mutex on Windows, by its exact name.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::TestLog;

TEST(LogWindows, TheLogPathGivesTheGlobalMutexByItsDocumentedName) {
    const std::wstring path = L"C:\\ProgramData\\Logs\\svc.log";
    {
        TestLog log(path, 1);
        ASSERT_TRUE(log.Opened()) << platform::GetLastError();
        platform::UniqueHandle mutex(
            platform::OpenMutex(platform::kSynchronize, false, L"Global\\C:ProgramDataLogssvclog"));
        EXPECT_TRUE(mutex.Valid()) << platform::GetLastError();
        // The same file spelled in other letter case has a mutex of its own.
        platform::UniqueHandle other(
            platform::OpenMutex(platform::kSynchronize, false, L"Global\\c:programdatalogsSVCLOG"));
        EXPECT_FALSE(other.Valid());
        TestLog sameFile(L"c:\\programdata\\logs\\SVC.LOG", 1);
        ASSERT_TRUE(sameFile.Opened());
        other.Reset(
            platform::OpenMutex(platform::kSynchronize, false, L"Global\\c:programdatalogsSVCLOG"));
        EXPECT_TRUE(other.Valid());
        EXPECT_NE(log->m_lock.Handle(), sameFile->m_lock.Handle());
        EXPECT_EQ(1, log->Log(L'D', L"f", 1, L"one"));
        EXPECT_EQ(1, sameFile->Log(L'D', L"f", 2, L"two"));
    }
    // Closed by every holder: the mutex is gone.
    EXPECT_EQ(nullptr, platform::OpenMutex(platform::kSynchronize, false,
                                           L"Global\\C:ProgramDataLogssvclog"));
    const keltra::test::LogFileContent content = keltra::test::ReadLogFile(path);
    ASSERT_GE(content.lines.size(), 2u);
    EXPECT_EQ(L"two", content.lines.back().message);
    EXPECT_TRUE(platform::DeleteFile(path.c_str()));
}

}  // namespace
