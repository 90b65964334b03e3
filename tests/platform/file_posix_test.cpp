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
    for (const bool everyone : {true, false}) {
        const std::wstring path = dir + (everyone ? L"/open" : L"/plain");
        UniqueHandle file(CreateFile(path.c_str(), kGenericWrite, 0, everyone, kCreateAlways,
                                     kFileAttributeNormal));
        struct stat info {};
        ASSERT_EQ(0, ::stat(WideToUtf8(path).c_str(), &info));
        EXPECT_EQ(everyone ? 0666u : 0644u, info.st_mode & 0777);
    }
    ::umask(previous);
}

TEST(FilePosixTest, SizesPast4GiBReportTheirHighHalf) {
    const std::wstring path = keltra::test::MakeTempDirectory(L"file-big") + L"/big.bin";
    UniqueHandle file(CreateFile(path.c_str(), kGenericRead | kGenericWrite, 0, false,
                                 kCreateAlways, kFileAttributeNormal));
    ASSERT_TRUE(SeekTo(file.Get(), 0x1FFFFFFFEull));
    ASSERT_TRUE(WriteFile(file.Get(), "z", 1, nullptr));
    std::uint32_t high = 0;
    SetLastError(12345);
    EXPECT_EQ(0xFFFFFFFFu, GetFileSize(file.Get(), &high)) << "low half all ones";
    EXPECT_EQ(kErrorSuccess, GetLastError()) << "tells it from a failure";
    EXPECT_EQ(1u, high);
    SetLastError(12345);
    EXPECT_EQ(0xFFFFFFFFu, GetFileSize(file.Get(), nullptr));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    file.Reset();
    EXPECT_TRUE(DeleteFile(path.c_str()));
}

}  // namespace
}  // namespace platform
