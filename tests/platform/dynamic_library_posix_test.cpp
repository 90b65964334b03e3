// POSIX-only tests of platform/dynamic_library.h: what dlopen can meet that Windows cannot.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace {

platform::ErrorCode LoadFailure(const std::wstring& path) {
    platform::SetLastError(0);
    platform::Module module = platform::LoadLibrary(path.c_str());
    if (module != nullptr) {
        platform::FreeLibrary(module);
        ADD_FAILURE() << "loaded: " << platform::WideToUtf8(path);
        return 0;
    }
    return platform::GetLastError();
}

TEST(DynamicLibraryPosix, DirectoriesAndSpecialFilesAreNotLibraries) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"dynlib-posix");
    EXPECT_EQ(LoadFailure(dir), platform::kErrorBadExeFormat);
    // dlopen would block on a FIFO until a writer came; the loader must refuse it at once.
    const std::wstring fifo = dir + L"/pipe.so";
    ASSERT_EQ(::mkfifo(platform::WideToUtf8(fifo).c_str(), 0600), 0);
    EXPECT_EQ(LoadFailure(fifo), platform::kErrorBadExeFormat);
    EXPECT_EQ(LoadFailure(L"/dev/null"), platform::kErrorBadExeFormat);
}

TEST(DynamicLibraryPosix, AnUnresolvedImportIsReportedAsAMissingProcedure) {
    EXPECT_EQ(LoadFailure(keltra::test::PluginPath(L"testlib_unresolved")),
              platform::kErrorProcNotFound);
}

TEST(DynamicLibraryPosix, ABareNameIsSearchedForByTheSystem) {
    platform::Module libc = platform::LoadLibrary(L"libc.so.6");
    ASSERT_NE(libc, nullptr) << platform::GetLastError();
    EXPECT_NE(platform::GetProcAddress(libc, "strlen"), nullptr) << "libc's own export";
    EXPECT_TRUE(platform::FreeLibrary(libc));
    EXPECT_EQ(LoadFailure(L"libkeltra-no-such-library.so"), platform::kErrorModNotFound);
}

}  // namespace
