// Crash-dump retention: pruning keeps the newest dumps by time (not by name, which carries no
// year), and never touches another kind of file or a link named like a dump, nor what it points
// to (links only where the platform lets this process make them).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "diagnostics/dump_retention.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::set<std::wstring> Names(const fs::path& dir) {
    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().wstring());
    }
    return names;
}

TEST(DumpRetention, KeepsTheNewestAndLeavesOtherFilesAndLinks) {
    const fs::path dir(keltra::test::MakeTempDirectory(L"dumps"));
    const std::wstring prefix = L"svc_crashdump_";
    const auto now = fs::file_time_type::clock::now();
    // Names in the opposite order of their times: "3" is the oldest.
    for (int i = 0; i < 4; ++i) {
        const fs::path dump = dir / (prefix + std::to_wstring(i) + L".dmp");
        std::ofstream(dump) << i;
        fs::last_write_time(dump, now - std::chrono::hours(i + 1));
    }
    std::ofstream(dir / (prefix + L"notes.txt")) << "not a dump";
    std::ofstream(dir / L"outside.dmp") << "another program's";
    std::error_code linked;
    fs::create_symlink(dir / L"outside.dmp", dir / (prefix + L"link.dmp"), linked);
    fs::create_directory(dir / (prefix + L"dir.dmp"));
    std::set<std::wstring> others = {prefix + L"notes.txt", L"outside.dmp", prefix + L"dir.dmp"};
    if (!linked) {
        others.insert(prefix + L"link.dmp");
    }

    EXPECT_EQ(Stoneleaf::PruneCrashDumps(dir.wstring(), prefix, 3), 2u);
    std::set<std::wstring> expected = others;
    expected.insert({prefix + L"0.dmp", prefix + L"1.dmp"});
    EXPECT_EQ(Names(dir), expected) << "the newest kept - 1, for the dump this run may write";
    EXPECT_EQ(Stoneleaf::PruneCrashDumps(dir.wstring(), prefix, 1), 2u);
    EXPECT_EQ(Names(dir), others);
    EXPECT_EQ(Stoneleaf::PruneCrashDumps((dir / L"missing").wstring(), prefix, 1), 0u);
    fs::remove_all(dir);
}

}  // namespace
