// The shipped executable against another user (run as root; skipped otherwise): names that
// user made first, in every place it can write, stop neither /RUN's single-instance mutex nor
// its log.
#include "tests/platform/foreign_user_posix.h"
#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

using ForeignUser = HostFixture;

TEST_F(ForeignUser, NamesAnotherUserMadeFirstDoNotStopTheRun) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    logfilesync::CLogFile log;
    wchar_t logMutex[260];
    ASSERT_TRUE(log.Configure(1, logPath.c_str(), 1, 0) && log.MakeMutexName(logMutex, 260) == 1);
    foreign::Squatter squatter(
        {L"Global\\mtx_KeltraServiceFramework", std::wstring(L"Global\\") + logMutex});
    ASSERT_TRUE(squatter.Ready());
    EXPECT_EQ(0u, RunExe({L"/RUN", L"128", L"STOP"}));
    EXPECT_NE(std::string::npos, Log().find("End plugin framework, dwRet=0")) << Log();
    for (const std::wstring& plugin : recorders) {
        EXPECT_EQ("Handler 128 0\nHandler 1 0\nUnload\n", CallsBesideMain(plugin, true));
    }
}

}  // namespace
}  // namespace keltra::test
