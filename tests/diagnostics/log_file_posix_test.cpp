// The log file past 4 GiB (a sparse file, which costs nothing here but would be written out
// in full on a Windows volume).
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
    std::ifstream raw(file, std::ios::binary);
    std::string bytes(tail.size(), '\0');
    ASSERT_TRUE(raw.seekg(static_cast<std::streamoff>(size - tail.size()))
                    .read(bytes.data(), bytes.size()));
    EXPECT_EQ(tail, bytes);
    EXPECT_TRUE(std::filesystem::remove(file));
}

}  // namespace
