// Windows-only tests of platform/fault_guard.h: raised structured exceptions, and structured
// exception handlers inside foreign code that must keep working under the guard.
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "tests/support/test_support.h"

namespace {

using platform::FaultInfo;
using platform::FaultKind;

struct Win32FaultLibrary {
    void (*raiseCode)(std::uint32_t);
    int (*probeUnreadable)(std::uintptr_t);
    void (*writeTo)(std::uintptr_t);
};

const Win32FaultLibrary& Lib() {
    static const Win32FaultLibrary library = [] {
        Win32FaultLibrary l = {};
        platform::Module module =
            platform::LoadLibrary(keltra::test::PluginPath(L"testlib_faults").c_str());
        if (module == nullptr) {
            ADD_FAILURE() << "cannot load testlib_faults";
            return l;
        }
        l.raiseCode = reinterpret_cast<void (*)(std::uint32_t)>(
            platform::GetProcAddress(module, "RaiseCode"));
        l.probeUnreadable = reinterpret_cast<int (*)(std::uintptr_t)>(
            platform::GetProcAddress(module, "ProbeUnreadable"));
        l.writeTo =
            reinterpret_cast<void (*)(std::uintptr_t)>(platform::GetProcAddress(module, "WriteTo"));
        return l;
    }();
    return library;
}

template <typename F>
bool Guarded(F&& f, FaultInfo* info = nullptr) {
    return platform::RunGuarded([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); },
                                &f, info);
}

TEST(FaultGuardWin32, RaisedExceptionsEndTheCallWithTheirCode) {
    for (const std::uint32_t code : {0xE0001234u, 0xC0DE0001u, 0x40001000u /* informational */}) {
        FaultInfo info;
        EXPECT_FALSE(Guarded([code] { Lib().raiseCode(code); }, &info)) << std::hex << code;
        EXPECT_EQ(info.kind, FaultKind::kSoftwareException) << std::hex << code;
        EXPECT_EQ(info.code, code);
    }
    FaultInfo av;
    EXPECT_FALSE(Guarded([] { Lib().writeTo(0); }, &av));
    EXPECT_EQ(av.code, 0xC0000005u);
}

TEST(FaultGuardWin32, AStructuredHandlerInsideForeignCodeGetsTheFirstChance) {
    // IsBadReadPtr reads the address inside its own __try: under the guard its handler, not
    // the guard's, must take the fault, and the call goes on normally.
    int unreadable = -1;
    int readable = -1;
    static const int kValue = 5;
    FaultInfo info;
    EXPECT_TRUE(Guarded(
        [&] {
            unreadable = Lib().probeUnreadable(0);
            readable = Lib().probeUnreadable(reinterpret_cast<std::uintptr_t>(&kValue));
        },
        &info));
    EXPECT_EQ(info.kind, FaultKind::kNone);
    EXPECT_EQ(unreadable, 1);
    EXPECT_EQ(readable, 0);
}

}  // namespace
