// POSIX files: permissions regardless of umask, and sizes past 4 GiB (a sparse file, which
// costs nothing here but would be written out in full on a Windows volume).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

TEST(FilePosixTest, OpenToEveryoneIgnoresTheUmaskOfTheCreator) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"file-mode");
    const mode_t previous = ::umask(022);
    UniqueHandle open(CreateFile((dir + L"/open.log").c_str(), kGenericWrite, 0, true,
                                 kCreateAlways, kFileAttributeNormal));
    UniqueHandle plain(CreateFile((dir + L"/plain.log").c_str(), kGenericWrite, 0, false,
                                  kCreateAlways, kFileAttributeNormal));
    ::umask(previous);
    ASSERT_TRUE(open.Valid());
    ASSERT_TRUE(plain.Valid());
    struct stat info {};
    ASSERT_EQ(0, ::stat(WideToUtf8(dir + L"/open.log").c_str(), &info));
    EXPECT_EQ(0666u, info.st_mode & 0777);
    ASSERT_EQ(0, ::stat(WideToUtf8(dir + L"/plain.log").c_str(), &info));
    EXPECT_EQ(0u, info.st_mode & 0022);
}

TEST(FilePosixTest, SizesPast4GiBReportTheirHighHalf) {
    const std::wstring path = keltra::test::MakeTempDirectory(L"file-big") + L"/big.bin";
    UniqueHandle file(CreateFile(path.c_str(), kGenericRead | kGenericWrite, 0, false,
                                 kCreateAlways, kFileAttributeNormal));
    ASSERT_TRUE(file.Valid());
    std::int32_t high = 1;
    ASSERT_EQ(0xFFFFFFFEu, SetFilePointer(file.Get(), static_cast<std::int32_t>(0xFFFFFFFEu), &high,
                                          kFileBegin));
    ASSERT_TRUE(WriteFile(file.Get(), "z", 1, nullptr));
    std::uint32_t sizeHigh = 0;
    SetLastError(12345);
    // Low half all ones: told from a failure by the last error alone.
    EXPECT_EQ(0xFFFFFFFFu, GetFileSize(file.Get(), &sizeHigh));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    EXPECT_EQ(1u, sizeHigh);
    // Without a place for the high half, the low half alone, as GetFileSize gives it.
    SetLastError(12345);
    EXPECT_EQ(0xFFFFFFFFu, GetFileSize(file.Get(), nullptr));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    file.Reset();
    EXPECT_TRUE(DeleteFile(path.c_str()));
}

}  // namespace
}  // namespace platform
