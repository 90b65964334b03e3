// The log file past 4 GiB (a sparse file, which costs nothing here but would be written out
// in full on a Windows volume).
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using keltra::test::FreshLogPath;
using keltra::test::TestLog;

TEST(LogFileLines, AFileWhoseSizeHasAllOnesInItsLowHalfIsStillWritten) {
    // A size of 0x1FFFFFFFF bytes (sparse): the low half alone looks like a failure.
    const std::wstring path = FreshLogPath(L"log-huge");
    TestLog log(path, 1);
    ASSERT_TRUE(log.Opened());
    {
        platform::UniqueHandle file(
            platform::CreateFile(path.c_str(), platform::kGenericWrite,
                                 platform::kFileShareRead | platform::kFileShareWrite, false,
                                 platform::kOpenExisting, platform::kFileAttributeNormal));
        ASSERT_TRUE(file.Valid());
        std::int32_t high = 1;
        ASSERT_NE(platform::kInvalidSetFilePointer,
                  platform::SetFilePointer(file.Get(), static_cast<std::int32_t>(0xFFFFFFFEu),
                                           &high, platform::kFileBegin));
        ASSERT_TRUE(platform::WriteFile(file.Get(), "z", 1, nullptr));
    }
    ASSERT_EQ(1, log->Log(L'D', L"f", 1, L"at the end"));

    platform::UniqueHandle file(platform::CreateFile(
        path.c_str(), platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        false, platform::kOpenExisting, platform::kFileAttributeNormal));
    ASSERT_TRUE(file.Valid());
    std::uint32_t high = 0;
    const std::uint64_t size =
        (std::uint64_t{0} | platform::GetFileSize(file.Get(), &high)) | (std::uint64_t{high} << 32);
    const std::wstring tail = L"(L1): at the end\r\n";
    const std::uint64_t expectedTailBytes = tail.size() * 2;
    ASSERT_GT(size, 0x1FFFFFFFFull + expectedTailBytes);
    // Padded to a whole character and started on a line of its own.
    EXPECT_EQ(0u, size % 2);
    std::int32_t seekHigh = static_cast<std::int32_t>((size - expectedTailBytes) >> 32);
    (void)platform::SetFilePointer(file.Get(), static_cast<std::int32_t>(size - expectedTailBytes),
                                   &seekHigh, platform::kFileBegin);
    std::string bytes(expectedTailBytes, '\0');
    std::uint32_t got = 0;
    ASSERT_TRUE(platform::ReadFile(file.Get(), bytes.data(),
                                   static_cast<std::uint32_t>(bytes.size()), &got));
    EXPECT_EQ(keltra::test::Utf16Le(tail), bytes);
    file.Reset();
    log->Close();
    EXPECT_TRUE(platform::DeleteFile(path.c_str()));
}

}  // namespace
