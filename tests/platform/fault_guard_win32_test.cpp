// Windows-only tests of platform/fault_guard.h: raised structured exceptions, and structured
// exception handlers inside foreign code that must keep working under the guard.
#include "tests/platform/fault_guard_fixture.h"

namespace {

using namespace keltra::test::faults;
using platform::FaultInfo;
using platform::FaultKind;

TEST(FaultGuardWin32, RaisedExceptionsEndTheCallWithTheirCode) {
    const auto raise = Export<void (*)(std::uint32_t)>("RaiseCode");
    for (const std::uint32_t code : {0xE0001234u, 0xC0DE0001u, 0x40001000u /* informational */}) {
        FaultInfo info;
        EXPECT_FALSE(Guarded([&] { raise(code); }, &info)) << std::hex << code;
        EXPECT_EQ(info.kind, FaultKind::kSoftwareException) << std::hex << code;
        EXPECT_EQ(info.code, code);
    }
    FaultInfo av;
    EXPECT_FALSE(Guarded([] { Lib::WriteTo(0); }, &av));
    EXPECT_EQ(av.code, 0xC0000005u);
}

TEST(FaultGuardWin32, AStructuredHandlerInsideForeignCodeGetsTheFirstChance) {
    // IsBadReadPtr reads the address inside its own __try: under the guard its handler, not
    // the guard's, must take the fault, and the call goes on normally.
    static const int kValue = 5;
    int unreadable = -1, readable = -1;
    EXPECT_TRUE(Guarded([&] {
        const auto probe = Export<int (*)(const void*)>("ProbeUnreadable");
        unreadable = probe(nullptr);
        readable = probe(&kValue);
    }));
    EXPECT_EQ(unreadable, 1);
    EXPECT_EQ(readable, 0);
}

}  // namespace
