// Named mutexes and another user (run as root; skipped otherwise): root's mutexes are out of
// its reach, and names it made first, anywhere it can write, stop no process of root.
#include "platform/error.h"
#include "platform/named_mutex.h"
#include "tests/platform/foreign_user_posix.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

class NamedMutexForeignUser : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "acting as another user needs root";
        }
    }
    // As the log makes its lock (open to everyone) and as the service its single instance.
    const std::wstring tag = L"keltra-test-foreign-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring logName = L"Global\\" + tag + L"-log";
    const std::wstring instanceName = L"Global\\" + tag + L"-instance";
};

TEST_F(NamedMutexForeignUser, RootsMutexesCannotBeOpenedHeldReadOrChangedByAnotherUser) {
    UniqueHandle log(CreateMutex(true, false, logName.c_str()));
    UniqueHandle instance(CreateMutex(false, true, instanceName.c_str()));
    ASSERT_TRUE(log && instance);
    // 1: a name opened, 2: a file read, 4: a file written.
    EXPECT_EQ(0u, RunChild("foreign_reach", {tag, logName, instanceName}));
    // Still ours and whole: free, owned, not abandoned.
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(log.Get(), 0));
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(instance.Get(), 0));
    EXPECT_TRUE(ReleaseMutex(log.Get()) && ReleaseMutex(instance.Get()) &&
                ReleaseMutex(instance.Get()));
}

TEST_F(NamedMutexForeignUser, NamesAnotherUserMadeFirstStopNobody) {
    foreign::Squatter squatter({logName, instanceName});
    ASSERT_TRUE(squatter.Ready());
    for (const std::wstring& name : {logName, instanceName}) {
        SetLastError(12345);
        UniqueHandle mutex(CreateMutex(false, true, name.c_str()));
        ASSERT_TRUE(mutex) << GetLastError();
        EXPECT_EQ(kErrorSuccess, GetLastError()) << "made anew, not found";
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(mutex.Get(), 0)) << "owned";
        EXPECT_TRUE(ReleaseMutex(mutex.Get()) && ReleaseMutex(mutex.Get()));
        EXPECT_FAILS_WITH(kErrorNotOwner, false, ReleaseMutex(mutex.Get()));
    }
}

}  // namespace
}  // namespace platform
