// Dynamic libraries on POSIX: special files and unresolved imports are refused at once.
#include <sys/stat.h>

#include "platform/dynamic_library.h"
#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"
#include "text/text.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(PosixDynamicLibraryTest, SpecialFilesAndUnresolvedImportsAreRefused) {
    // dlopen would block on a FIFO until a writer came; the loader must refuse it at once.
    const std::wstring fifo = MakeTempDirectory(L"dynlib-posix") + L"/pipe.so";
    ASSERT_EQ(::mkfifo(WideToUtf8(fifo).c_str(), 0600), 0);
    for (const std::wstring& path : {fifo, std::wstring(L"/dev/null")}) {
        EXPECT_FAILS_WITH(kErrorBadExeFormat, nullptr, LoadLibrary(path.c_str()));
    }
    EXPECT_FAILS_WITH(kErrorProcNotFound, nullptr,
                      LoadLibrary(PluginPath(L"testlib_unresolved").c_str()));
}

}  // namespace
}  // namespace platform
