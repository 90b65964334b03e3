// POSIX-only wait behaviour: the emulation refuses what Windows refuses.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/wait.h"

namespace platform {
namespace {

TEST(PosixWaitTest, WaitAllRefusesTheSameObjectTwice) {
    // Windows fails such a wait-all with 87 (Wine lets it pass, so the test is POSIX-only).
    UniqueHandle event(CreateEvent(false, true));
    const Handle twice[] = {event.Get(), event.Get()};
    SetLastError(0);
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(2, twice, true, 0));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
    EXPECT_EQ(kWaitObject0, WaitForMultipleObjects(2, twice, false, 0));  // wait-any may
    EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.Get(), 0));
}

TEST(PosixWaitTest, MadeUpHandleValuesAreBadHandles) {
    for (std::uintptr_t value :
         {std::uintptr_t{4}, std::uintptr_t{0x1001}, std::uintptr_t{0xDEADBEEF}}) {
        const Handle made = reinterpret_cast<Handle>(value);
        SetLastError(0);
        EXPECT_EQ(kWaitFailed, WaitForSingleObject(made, 0));
        EXPECT_EQ(kErrorInvalidHandle, GetLastError());
        EXPECT_FALSE(SetEvent(made));
        EXPECT_FALSE(CloseHandle(made));
        EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    }
}

}  // namespace
}  // namespace platform
