// The last error (per thread) and the errno table that the POSIX backend reports through.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/handle.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using keltra::test::TestThread;

TEST(ErrorFromErrnoTest, MapsCommonValuesToTheirWindowsCodes) {
    struct Case {
        int errnoValue;
        ErrorCode expected;
    };
    const Case cases[] = {
        {0, 0},         {ENOENT, 2},   {ENOTDIR, 3},        {EMFILE, 4},      {ENFILE, 4},
        {EACCES, 5},    {EPERM, 5},    {EBADF, 6},          {ENOMEM, 8},      {EINVAL, 87},
        {EEXIST, 183},  {ENOSPC, 112}, {ENAMETOOLONG, 206}, {EBUSY, 170},     {ETIMEDOUT, 1460},
        {ENOEXEC, 193}, {EPIPE, 109},  {ENOSYS, 120},       {ENOTEMPTY, 145}, {EAGAIN, 1450},
        {EINTR, 995},   {EISDIR, 5},   {ETXTBSY, 32},       {ECHILD, 128},    {EOVERFLOW, 534},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ErrorFromErrno(c.errnoValue)) << "errno " << c.errnoValue;
    }
}

TEST(ErrorFromErrnoTest, UnknownValuesMapToInvalidFunction) {
    EXPECT_EQ(kErrorInvalidFunction, ErrorFromErrno(-1));
    EXPECT_EQ(kErrorInvalidFunction, ErrorFromErrno(99999));
}

TEST(LastErrorTest, IsKeptPerThreadAndSetByFailingCalls) {
    SetLastError(1234);
    TestThread thread([]() -> std::uint32_t {
        const ErrorCode inherited = GetLastError();
        SetLastError(5678);
        return inherited == 1234 ? 1 : (GetLastError() == 5678 ? 0 : 2);
    });
    ASSERT_TRUE(thread.Started());
    EXPECT_EQ(0u, thread.Join());
    EXPECT_EQ(1234u, GetLastError());

    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
}

}  // namespace
}  // namespace platform
