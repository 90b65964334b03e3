// The log file past 4 GiB (a sparse file, which costs nothing here but would be written out
// in full on a Windows volume).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "diagnostics/log_file.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

TEST(LogFileLines, AFileWhoseSizeHasAllOnesInItsLowHalfIsStillWritten) {
    // A size of 0x1FFFFFFFF bytes: the low half alone looks like a failure.
    const std::wstring path = keltra::test::FreshLogPath(L"log-huge");
    keltra::test::TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    const std::filesystem::path file(platform::WideToUtf8(path));
    std::filesystem::resize_file(file, 0x1FFFFFFFFull);
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"at the end"));
    log->Close();
    // Padded to a whole character and started on a line of its own.
    const std::string tail = keltra::test::Utf16Le(L"(L1): at the end\r\n");
    const std::uintmax_t size = std::filesystem::file_size(file);
    ASSERT_GT(size, 0x1FFFFFFFFull + tail.size());
    EXPECT_EQ(0u, size % 2);
    platform::UniqueHandle raw =
        keltra::test::OpenRaw(path, platform::kGenericRead, platform::kOpenExisting);
    std::int32_t high = static_cast<std::int32_t>((size - tail.size()) >> 32);
    (void)platform::SetFilePointer(raw.Get(), static_cast<std::int32_t>(size - tail.size()), &high,
                                   platform::kFileBegin);
    std::string bytes(tail.size(), '\0');
    std::uint32_t got = 0;
    ASSERT_TRUE(platform::ReadFile(raw.Get(), bytes.data(),
                                   static_cast<std::uint32_t>(bytes.size()), &got));
    EXPECT_EQ(tail, bytes);
    raw.Reset();
    EXPECT_TRUE(std::filesystem::remove(file));
}

}  // namespace
