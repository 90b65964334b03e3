// Files and directories: dispositions and their last errors, shared positions, 64-bit sizes
// and seeks, directory trees (also created by racing threads), deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

constexpr wchar_t kSep = kPathSeparator;

UniqueHandle Open(const std::wstring& path, std::uint32_t disposition,
                  std::uint32_t access = kGenericRead | kGenericWrite) {
    Handle file = CreateFile(path.c_str(), access, kFileShareRead | kFileShareWrite, true,
                             disposition, kFileAttributeNormal);
    return UniqueHandle(file == kInvalidHandleValue ? nullptr : file);
}

std::string ReadAll(const std::wstring& path) {
    UniqueHandle file = Open(path, kOpenExisting, kGenericRead);
    EXPECT_TRUE(file.Valid());
    std::string text;
    char chunk[256];
    std::uint32_t got = 0;
    while (ReadFile(file.Get(), chunk, sizeof chunk, &got) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

bool Write(Handle file, const std::string& text) {
    std::uint32_t written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<std::uint32_t>(text.size()), &written);
    EXPECT_EQ(text.size(), written);
    return ok;
}

std::uint64_t SizeOf(Handle file) {
    std::uint32_t high = 0;
    const std::uint32_t low = GetFileSize(file, &high);
    EXPECT_EQ(kErrorSuccess, GetLastError());
    return (std::uint64_t{high} << 32) | low;
}

TEST(FileTest, DispositionsReportWhetherTheFileExisted) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"file-disp");
    const std::wstring path = dir + kSep + L"a.txt";

    SetLastError(12345);
    UniqueHandle created = Open(path, kOpenAlways);
    ASSERT_TRUE(created.Valid()) << GetLastError();
    EXPECT_EQ(kErrorSuccess, GetLastError());
    ASSERT_TRUE(Write(created.Get(), "hello"));
    created.Reset();

    UniqueHandle kept = Open(path, kOpenAlways);
    ASSERT_TRUE(kept.Valid());
    EXPECT_EQ(kErrorAlreadyExists, GetLastError());
    EXPECT_EQ(5u, SizeOf(kept.Get()));
    kept.Reset();

    UniqueHandle emptied = Open(path, kCreateAlways);
    ASSERT_TRUE(emptied.Valid());
    EXPECT_EQ(kErrorAlreadyExists, GetLastError());
    EXPECT_EQ(0u, SizeOf(emptied.Get()));
    emptied.Reset();

    const std::wstring fresh = dir + kSep + L"b.txt";
    UniqueHandle createdAlways = Open(fresh, kCreateAlways);
    ASSERT_TRUE(createdAlways.Valid());
    EXPECT_EQ(kErrorSuccess, GetLastError());
    createdAlways.Reset();

    EXPECT_FALSE(Open(fresh, kCreateNew).Valid());
    EXPECT_EQ(kErrorFileExists, GetLastError());

    EXPECT_FALSE(Open(dir + kSep + L"missing.txt", kOpenExisting).Valid());
    EXPECT_EQ(kErrorFileNotFound, GetLastError());

    EXPECT_FALSE(Open(dir + kSep + L"no-such-dir" + kSep + L"c.txt", kOpenAlways).Valid());
    EXPECT_EQ(kErrorPathNotFound, GetLastError());
}

TEST(FileTest, HandlesShareTheFileButKeepTheirOwnPositions) {
    const std::wstring path = keltra::test::MakeTempDirectory(L"file-share") + kSep + L"s.txt";
    UniqueHandle first = Open(path, kCreateAlways);
    UniqueHandle second = Open(path, kOpenAlways);
    ASSERT_TRUE(first.Valid());
    ASSERT_TRUE(second.Valid());

    ASSERT_TRUE(Write(first.Get(), "abcdef"));
    // The second handle is still at 0: it overwrites from the start.
    ASSERT_TRUE(Write(second.Get(), "XY"));
    EXPECT_EQ("XYcdef", ReadAll(path));

    // Appending through the other handle needs a seek to the size it reads now.
    const std::uint64_t size = SizeOf(second.Get());
    EXPECT_EQ(6u, size);
    EXPECT_EQ(6u,
              SetFilePointer(second.Get(), static_cast<std::int32_t>(size), nullptr, kFileBegin));
    ASSERT_TRUE(Write(second.Get(), "gh"));
    EXPECT_EQ("XYcdefgh", ReadAll(path));

    // Emptying through a third handle: the others see the new size at once.
    UniqueHandle third = Open(path, kCreateAlways);
    ASSERT_TRUE(third.Valid());
    EXPECT_EQ(0u, SizeOf(first.Get()));

    // Reading past the end gives 0 bytes, successfully.
    char byte = 0;
    std::uint32_t got = 99;
    EXPECT_EQ(0u, SetFilePointer(first.Get(), 0, nullptr, kFileBegin));
    EXPECT_TRUE(ReadFile(first.Get(), &byte, 1, &got));
    EXPECT_EQ(0u, got);
}

TEST(FileTest, SeeksAreSigned64BitAndRefuseToGoBeforeTheStart) {
    const std::wstring path = keltra::test::MakeTempDirectory(L"file-seek") + kSep + L"k.bin";
    UniqueHandle file = Open(path, kCreateAlways);
    ASSERT_TRUE(file.Valid());
    ASSERT_TRUE(Write(file.Get(), "0123456789"));

    EXPECT_EQ(8u, SetFilePointer(file.Get(), -2, nullptr, kFileCurrent));
    EXPECT_EQ(7u, SetFilePointer(file.Get(), -3, nullptr, kFileEnd));
    EXPECT_EQ(kInvalidSetFilePointer, SetFilePointer(file.Get(), -11, nullptr, kFileEnd));
    EXPECT_EQ(kErrorNegativeSeek, GetLastError());
    // The failed seek did not move the position.
    EXPECT_EQ(7u, SetFilePointer(file.Get(), 0, nullptr, kFileCurrent));

    // Past 4 GiB (without writing there): the high half travels in and out.
    std::int32_t high = 1;
    EXPECT_EQ(0xFFFFFFFEu, SetFilePointer(file.Get(), static_cast<std::int32_t>(0xFFFFFFFEu), &high,
                                          kFileBegin));
    EXPECT_EQ(1, high);
    high = 0;
    SetLastError(12345);
    // A position whose low half is all ones: success is told by the last error alone.
    EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(file.Get(), 1, &high, kFileCurrent));
    EXPECT_EQ(kErrorSuccess, GetLastError());
    EXPECT_EQ(1, high);
    // Back below 4 GiB, from the end.
    high = -1;
    EXPECT_EQ(7u, SetFilePointer(file.Get(), -3, &high, kFileEnd));
    EXPECT_EQ(0, high);
    EXPECT_EQ(10u, SizeOf(file.Get()));
}

TEST(FileTest, BadHandlesFailWithError6) {
    std::uint32_t high = 0;
    EXPECT_EQ(kInvalidFileSize, GetFileSize(nullptr, &high));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
    EXPECT_FALSE(WriteFile(kInvalidHandleValue, "x", 1, nullptr));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());

    const std::wstring path = keltra::test::MakeTempDirectory(L"file-bad") + kSep + L"x";
    Handle file =
        CreateFile(path.c_str(), kGenericWrite, 0, false, kCreateAlways, kFileAttributeNormal);
    ASSERT_NE(kInvalidHandleValue, file);
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_FALSE(WriteFile(file, "x", 1, nullptr));
    EXPECT_EQ(kErrorInvalidHandle, GetLastError());
}

TEST(FileTest, DirectoryTreesAreCreatedAllLevelsDeep) {
    const std::wstring root = keltra::test::MakeTempDirectory(L"file-tree");
    const std::wstring deep = root + kSep + L"a" + kSep + L"b c" + kSep + L"d.e";
    EXPECT_FALSE(PathFileExists(deep.c_str()));
    EXPECT_EQ(kErrorSuccess, CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(PathFileExists(deep.c_str()));
    EXPECT_EQ(kErrorAlreadyExists, CreateDirectoryTree(deep.c_str()));

    // A file can be created in it.
    UniqueHandle file = Open(deep + kSep + L"f.txt", kCreateNew);
    EXPECT_TRUE(file.Valid());
    file.Reset();
    EXPECT_TRUE(PathFileExists((deep + kSep + L"f.txt").c_str()));

    // A file standing where a directory level should be.
    const ErrorCode blocked = CreateDirectoryTree((deep + kSep + L"f.txt" + kSep + L"g").c_str());
    EXPECT_NE(kErrorSuccess, blocked);
    EXPECT_NE(kErrorAlreadyExists, blocked);

    EXPECT_EQ(kErrorBadPathname, CreateDirectoryTree(L"relative-dir"));
    EXPECT_FALSE(PathFileExists(L"relative-dir"));

    EXPECT_TRUE(DeleteFile((deep + kSep + L"f.txt").c_str()));
    EXPECT_FALSE(DeleteFile((deep + kSep + L"f.txt").c_str()));
    EXPECT_EQ(kErrorFileNotFound, GetLastError());
    EXPECT_FALSE(PathFileExists((deep + kSep + L"f.txt").c_str()));
}

TEST(FileTest, ThreadsRacingToCreateOneTreeAllSucceedOnce) {
    const std::wstring root = keltra::test::MakeTempDirectory(L"file-race");
    const std::wstring deep = root + kSep + L"x" + kSep + L"y" + kSep + L"z";
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
    EXPECT_TRUE(PathFileExists(deep.c_str()));
}

}  // namespace
}  // namespace platform
