// Windows-only tests of platform/dynamic_library.h: the system loader's own answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "tests/support/test_support.h"

namespace {

TEST(DynamicLibraryWin32, ADirectoryIsRefusedAsAccessDenied) {
    // The loader opens the path as a file; for a directory the system answers "access denied".
    // (A name without an extension would get ".dll" appended and simply not be found.)
    const std::wstring dir = keltra::test::MakeTempDirectory(L"dynlib-win32") + L"\\looks-like.dll";
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::path(dir)));
    platform::SetLastError(0);
    EXPECT_EQ(platform::LoadLibrary(dir.c_str()), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
}

TEST(DynamicLibraryWin32, SystemLibrariesLoadByBareName) {
    platform::Module kernel32 = platform::LoadLibrary(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr) << platform::GetLastError();
    EXPECT_NE(platform::GetProcAddress(kernel32, "GetTickCount"), nullptr);
    platform::SetLastError(0);
    EXPECT_EQ(platform::GetProcAddress(kernel32, "gettickcount"), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorProcNotFound);
    EXPECT_TRUE(platform::FreeLibrary(kernel32));
}

}  // namespace
