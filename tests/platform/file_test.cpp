// Files and directories: dispositions and their last errors, shared positions, 64-bit seeks,
// directory trees (also created by racing threads), deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

class FileTest : public ::testing::Test {
  protected:
    std::wstring Path(const std::wstring& name) const { return m_dir + kPathSeparator + name; }
    static UniqueHandle Open(const std::wstring& path, std::uint32_t disposition) {
        return UniqueHandle(CreateFile(path.c_str(), kGenericRead | kGenericWrite,
                                       kFileShareRead | kFileShareWrite, true, disposition,
                                       kFileAttributeNormal));
    }
    static void Write(Handle file, const std::string& text) {
        std::uint32_t written = 0;
        ASSERT_TRUE(
            WriteFile(file, text.data(), static_cast<std::uint32_t>(text.size()), &written));
        EXPECT_EQ(text.size(), written);
    }
    std::string ReadAll(const std::wstring& path) const {
        UniqueHandle file = Open(path, kOpenExisting);
        std::string text(64, '\0');
        std::uint32_t got = 0;
        EXPECT_TRUE(ReadFile(file.Get(), text.data(), 64, &got));
        return text.substr(0, got);
    }
    static std::uint64_t SizeOf(Handle file) {
        std::uint32_t high = 0;
        const std::uint32_t low = GetFileSize(file, &high);
        EXPECT_EQ(kErrorSuccess, GetLastError());
        return (std::uint64_t{high} << 32) | low;
    }
    const std::wstring m_dir = keltra::test::MakeTempDirectory(L"file");
};

TEST_F(FileTest, DispositionsReportWhetherTheFileExisted) {
    struct Case {
        std::uint32_t disposition;
        bool exists;
        ErrorCode error;  // the last error after the call
        bool opened;
        std::uint64_t size;  // of an existing 5-byte file, afterwards
    } cases[] = {
        {kOpenAlways, false, kErrorSuccess, true, 0},
        {kOpenAlways, true, kErrorAlreadyExists, true, 5},
        {kCreateAlways, false, kErrorSuccess, true, 0},
        {kCreateAlways, true, kErrorAlreadyExists, true, 0},
        {kCreateNew, true, kErrorFileExists, false, 0},
        {kOpenExisting, false, kErrorFileNotFound, false, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::wstring path = Path(std::to_wstring(n++));
        if (c.exists) {
            Write(Open(path, kCreateNew).Get(), "hello");
        }
        SetLastError(12345);
        UniqueHandle file = Open(path, c.disposition);
        EXPECT_EQ(c.error, GetLastError()) << n;
        ASSERT_EQ(c.opened, file.Valid()) << n;
        if (c.opened) {
            EXPECT_EQ(c.size, SizeOf(file.Get())) << n;
        }
    }
    EXPECT_FALSE(Open(Path(L"no-dir") + kPathSeparator + L"c", kOpenAlways).Valid());
    EXPECT_EQ(kErrorPathNotFound, GetLastError());
}

TEST_F(FileTest, HandlesShareTheFileButKeepTheirOwnPositions) {
    UniqueHandle first = Open(Path(L"s"), kCreateAlways);
    UniqueHandle second = Open(Path(L"s"), kOpenAlways);
    Write(first.Get(), "abcdef");
    Write(second.Get(), "XY");  // still at 0: overwrites from the start
    EXPECT_EQ("XYcdef", ReadAll(Path(L"s")));
    ASSERT_TRUE(SeekTo(second.Get(), SizeOf(second.Get())));
    Write(second.Get(), "gh");
    EXPECT_EQ("XYcdefgh", ReadAll(Path(L"s")));
    UniqueHandle third = Open(Path(L"s"), kCreateAlways);
    EXPECT_EQ(0u, SizeOf(first.Get())) << "the others see the emptied file at once";
    char byte = 0;
    std::uint32_t got = 99;
    ASSERT_TRUE(SeekTo(first.Get(), 0));
    EXPECT_TRUE(ReadFile(first.Get(), &byte, 1, &got));
    EXPECT_EQ(0u, got) << "reading at the end succeeds with 0 bytes";
}

TEST_F(FileTest, SeeksAreSigned64BitAndRefuseToGoBeforeTheStart) {
    UniqueHandle file = Open(Path(L"k"), kCreateAlways);
    Write(file.Get(), "0123456789");
    EXPECT_EQ(8u, SetFilePointer(file.Get(), -2, nullptr, kFileCurrent));
    EXPECT_EQ(7u, SetFilePointer(file.Get(), -3, nullptr, kFileEnd));
    EXPECT_EQ(kInvalidSetFilePointer, SetFilePointer(file.Get(), -11, nullptr, kFileEnd));
    EXPECT_EQ(kErrorNegativeSeek, GetLastError());
    EXPECT_EQ(7u, SetFilePointer(file.Get(), 0, nullptr, kFileCurrent)) << "did not move";
    // Past 4 GiB (without writing there): a low half of all ones is told by the last error.
    ASSERT_TRUE(SeekTo(file.Get(), 0x1FFFFFFFEull));
    std::int32_t high = 0;
    SetLastError(12345);
    EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(file.Get(), 1, &high, kFileCurrent));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    EXPECT_EQ(1, high);
    high = -1;
    EXPECT_EQ(7u, SetFilePointer(file.Get(), -3, &high, kFileEnd));
    EXPECT_EQ(0, high);
    EXPECT_FALSE(SeekTo(file.Get(), ~0ull));
    EXPECT_EQ(kErrorInvalidParameter, GetLastError());
}

TEST_F(FileTest, BadHandlesFailWithError6) {
    Handle closed = Open(Path(L"x"), kCreateAlways).Get();  // closed at once
    for (Handle bad : {Handle{nullptr}, kInvalidHandleValue, closed}) {
        EXPECT_FALSE(WriteFile(bad, "x", 1, nullptr));
        EXPECT_EQ(kErrorInvalidHandle, GetLastError());
        EXPECT_FALSE(SeekTo(bad, 0));
        EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    }
}

TEST_F(FileTest, DirectoryTreesAreCreatedAllLevelsDeepAndFilesDeleted) {
    const std::wstring deep = Path(L"a") + kPathSeparator + L"b c" + kPathSeparator + L"d.e";
    const std::wstring file = deep + kPathSeparator + L"f";
    EXPECT_EQ(kErrorSuccess, CreateDirectoryTree(deep.c_str()));
    EXPECT_EQ(kErrorAlreadyExists, CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(Open(file, kCreateNew).Valid());
    const ErrorCode blocked = CreateDirectoryTree((file + kPathSeparator + L"g").c_str());
    EXPECT_TRUE(blocked != kErrorSuccess && blocked != kErrorAlreadyExists) << blocked;
    EXPECT_EQ(kErrorBadPathname, CreateDirectoryTree(L"relative-dir"));
    EXPECT_FALSE(PathFileExists(L"relative-dir"));
    EXPECT_TRUE(DeleteFile(file.c_str()));
    EXPECT_FALSE(PathFileExists(file.c_str()));
    EXPECT_FALSE(DeleteFile(file.c_str()));
    EXPECT_EQ(kErrorFileNotFound, GetLastError());
}

TEST_F(FileTest, ThreadsRacingToCreateOneTreeAllSucceedOnce) {
    const std::wstring deep = Path(L"x") + kPathSeparator + L"y" + kPathSeparator + L"z";
    constexpr int kThreads = 6;
    std::atomic<int> ready{0};
    std::vector<ErrorCode> results(kThreads, 0xFFFFFFFF);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            results[i] = CreateDirectoryTree(deep.c_str());
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int created = 0;
    for (const ErrorCode result : results) {
        EXPECT_TRUE(result == kErrorSuccess || result == kErrorAlreadyExists ||
                    result == kErrorFileExists)
            << result;
        created += result == kErrorSuccess ? 1 : 0;
    }
    EXPECT_EQ(1, created);
}

}  // namespace
}  // namespace platform
