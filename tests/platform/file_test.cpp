// Files and directories: dispositions and their last errors, 64-bit seeks,
// directory trees created by racing threads, deletion.
#include <tuple>

#include "platform/error.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

using namespace keltra::test;

class FileTest : public ::testing::Test {
  protected:
    std::wstring Path(const std::wstring& name) const { return m_dir + kPathSeparator + name; }
    static UniqueHandle Open(const std::wstring& path, std::uint32_t disposition) {
        return UniqueHandle(CreateFile(path.c_str(), kGenericRead | kGenericWrite,
                                       kFileShareRead | kFileShareWrite, true, disposition,
                                       kFileAttributeNormal));
    }
    static void Write(Handle file, const std::string& text) {
        ASSERT_TRUE(WriteFile(file, text.data(), static_cast<std::uint32_t>(text.size()), nullptr));
    }
    static std::uint64_t SizeOf(Handle file) {
        std::uint32_t high = 0;
        const std::uint32_t low = GetFileSize(file, &high);
        return (std::uint64_t{high} << 32) | low;
    }
    const std::wstring m_dir = MakeTempDirectory(L"file");
};

TEST_F(FileTest, DispositionsReportWhetherTheFileExisted) {
    // Disposition, whether the file exists, the last error, and the size afterwards of a file
    // that held 5 bytes (~0: not opened).
    const std::tuple<std::uint32_t, bool, ErrorCode, std::uint64_t> cases[] = {
        {kOpenAlways, false, kErrorSuccess, 0},
        {kOpenAlways, true, kErrorAlreadyExists, 5},
        {kCreateAlways, false, kErrorSuccess, 0},
        {kCreateAlways, true, kErrorAlreadyExists, 0},
        {kCreateNew, true, kErrorFileExists, ~0ull},
        {kOpenExisting, false, kErrorFileNotFound, ~0ull},
    };
    int row = 0;
    for (const auto& [disposition, exists, error, size] : cases) {
        const std::wstring path = Path(std::to_wstring(++row));
        if (exists) {
            Write(Open(path, kCreateNew).Get(), "hello");
        }
        SetLastError(12345);
        UniqueHandle file = Open(path, disposition);
        EXPECT_EQ(error, GetLastError()) << row;
        EXPECT_EQ(size, file ? SizeOf(file.Get()) : ~0ull) << row;
    }
    EXPECT_FAILS_WITH(kErrorPathNotFound, false,
                      Open(Path(L"none") + kPathSeparator + L"c", kOpenAlways).Valid());
}

TEST_F(FileTest, SeeksAreSigned64BitAndRefuseToGoBeforeTheStart) {
    UniqueHandle file = Open(Path(L"k"), kCreateAlways);
    Write(file.Get(), "0123456789");
    EXPECT_EQ(8u, SetFilePointer(file.Get(), -2, nullptr, kFileCurrent));
    EXPECT_FAILS_WITH(kErrorNegativeSeek, kInvalidSetFilePointer,
                      SetFilePointer(file.Get(), -11, nullptr, kFileEnd));
    // Past 4 GiB (without writing there): a low half of all ones is told by the last error.
    ASSERT_TRUE(SeekTo(file.Get(), 0x1FFFFFFFEull));
    std::int32_t high = 0;
    EXPECT_FAILS_WITH(kErrorSuccess, 0xFFFFFFFFu,
                      SetFilePointer(file.Get(), 1, &high, kFileCurrent));
    EXPECT_EQ(1, high);
    EXPECT_FAILS_WITH(kErrorInvalidParameter, false, SeekTo(file.Get(), ~0ull));
}

TEST_F(FileTest, ThreadsRacingToCreateOneTreeAllSucceedOnceAndFilesAreDeleted) {
    const std::wstring deep = Path(L"x") + kPathSeparator + L"y" + kPathSeparator + L"z";
    constexpr int kThreads = 6;
    StartingLine line(kThreads);
    std::atomic<int> created{0};
    TestThreads threads(kThreads, [&](int) -> std::uint32_t {
        line.Arrive();
        const ErrorCode result = CreateDirectoryTree(deep.c_str());
        created += result == kErrorSuccess ? 1 : 0;
        return result == kErrorSuccess || result == kErrorAlreadyExists ||
                       result == kErrorFileExists
                   ? 0
                   : result;
    });
    EXPECT_TRUE(threads.AllReturnZero());
    EXPECT_EQ(1, created.load());
    const std::wstring file = deep + kPathSeparator + L"f";
    EXPECT_TRUE(Open(file, kCreateNew).Valid());
    const ErrorCode blocked = CreateDirectoryTree((file + kPathSeparator + L"g").c_str());
    EXPECT_TRUE(blocked != kErrorSuccess && blocked != kErrorAlreadyExists) << blocked;
    EXPECT_TRUE(DeleteFile(file.c_str()));
    EXPECT_FAILS_WITH(kErrorFileNotFound, false, DeleteFile(file.c_str()));
}

}  // namespace
}  // namespace platform
