// Dynamic libraries against a real test library built beside the program: initialisers,
// exact export names, reference counts, the loader's error codes, paths outside ASCII.
#include "platform/dynamic_library.h"

#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"
#include "text/text.h"

namespace platform {
namespace {

using namespace keltra::test;

using IntFn = int (*)();
const bool kWindows = std::wstring(kLibrarySuffix) == L".dll";

// A filesystem path from wide text on both platforms (the narrow locale may not be UTF-8).
std::filesystem::path FsPath(const std::wstring& path) {
    const std::string utf8 = WideToUtf8(path);
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

int Call(const UniqueModule& module, const char* name) {
    auto function = reinterpret_cast<IntFn>(GetProcAddress(module.Get(), name));
    return function != nullptr ? function() : -1;
}

TEST(DynamicLibrary, InitialisersRunExportsResolveByExactNameAndLoadsAreCounted) {
    const std::wstring probe = PluginPath(L"testlib_dynlib");
    UniqueModule first(LoadLibrary(probe.c_str()));
    EXPECT_EQ(42, Call(first, "ProbeAnswer"));
    EXPECT_EQ(7, Call(first, "probeanswer")) << "names are case-sensitive: two exports";
    // malloc: the C library is a dependency of the test library, not one of its exports.
    for (const char* missing : {"PROBEANSWER", "ProbeAnswe", "NoSuchExport", "malloc"}) {
        EXPECT_FAILS_WITH(kErrorProcNotFound, nullptr, GetProcAddress(first.Get(), missing));
    }
    UniqueModule second(LoadLibrary(probe.c_str()));
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(1, Call(first, "ProbeCount")) << "0: its initialiser did not run";
    second.Reset();
    EXPECT_EQ(2, Call(first, "ProbeCount")) << "one reference is left: still mapped";
    first.Reset();
    UniqueModule again(LoadLibrary(probe.c_str()));
    EXPECT_EQ(1, Call(again, "ProbeCount")) << "a fresh load starts with fresh state";
    // The same library under a path outside ASCII.
    const std::wstring copy = MakeTempDirectory(L"dynlib") + kPathSeparator +
                              L"probe-\x00E9\x263A\x4E2D" + kLibrarySuffix;
    std::filesystem::copy_file(FsPath(probe), FsPath(copy));
    EXPECT_EQ(42, Call(UniqueModule(LoadLibrary(copy.c_str())), "ProbeAnswer"));
}

TEST(DynamicLibrary, FailuresCarryTheWindowsLoaderCodes) {
    const std::wstring dir = MakeTempDirectory(L"dynlib") + kPathSeparator;
    std::ofstream(FsPath(dir + L"text" + kLibrarySuffix)) << "this is not a library\n";
    std::ofstream(FsPath(dir + L"empty" + kLibrarySuffix)).flush();
    std::filesystem::create_directory(FsPath(dir + L"dir" + kLibrarySuffix));
    const std::pair<std::wstring, ErrorCode> cases[] = {
        {dir + L"missing" + kLibrarySuffix, kErrorModNotFound},
        {dir + L"none" + kPathSeparator + L"x" + kLibrarySuffix, kErrorModNotFound},
        {dir + L"text" + kLibrarySuffix, kErrorBadExeFormat},
        {dir + L"empty" + kLibrarySuffix, kErrorBadExeFormat},
        {dir + L"dir" + kLibrarySuffix, kWindows ? kErrorAccessDenied : kErrorBadExeFormat},
        {L"", kErrorInvalidParameter},
        {kWindows ? L"no-such-library.dll" : L"libno-such-library.so", kErrorModNotFound},
        {dir + std::wstring(300, L'n') + kLibrarySuffix, kErrorFilenameExcedRange},
    };
    for (const auto& [path, error] : cases) {
        SetLastError(0);
        EXPECT_FALSE(UniqueModule(LoadLibrary(path.c_str()))) << WideToUtf8(path);
        // Wine gap: its loader reports a path beyond MAX_PATH as 126, not 206.
        if (error != kErrorFilenameExcedRange || !RunningUnderWine()) {
            EXPECT_EQ(error, GetLastError()) << WideToUtf8(path.substr(0, 80));
        }
    }
}

}  // namespace
}  // namespace platform
