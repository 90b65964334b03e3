// Files on POSIX: the modes of what is created whatever the umask, and links planted where
// others can write never followed (by file creation or by the registry reading its file).
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/registry.h"
#include "tests/platform/thread_test_helpers.h"
#include "tests/support/other_user.h"
#include "text/text.h"

namespace platform {
namespace {

using namespace keltra::test;

TEST(PosixFileTest, ALaxUmaskNeverWidensWhatIsCreated) {
    const std::wstring dir = MakeTempDirectory(L"file-mode");
    const mode_t previous = ::umask(0);
    for (const bool everyone : {true, false}) {
        const std::wstring path = dir + (everyone ? L"/open" : L"/plain");
        UniqueHandle file(CreateFile(path.c_str(), kGenericWrite, 0, everyone, kCreateAlways,
                                     kFileAttributeNormal));
        EXPECT_TRUE(file.Valid());
    }
    const ErrorCode tree = CreateDirectoryTree((dir + L"/a/b").c_str());
    const ErrorCode dumps = CreateDirectoryTree((dir + L"/a/c/dumps").c_str(), true);
    ::umask(previous);
    EXPECT_EQ(0u, tree);
    EXPECT_EQ(0u, dumps);
    const std::pair<const wchar_t*, mode_t> expected[] = {
        {L"/open", 0644}, {L"/plain", 0644}, {L"/a", 0755},
        {L"/a/b", 0755},  {L"/a/c", 0755},   {L"/a/c/dumps", 0700},
    };
    for (const auto& [name, mode] : expected) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(WideToUtf8(dir + name).c_str(), &info));
        EXPECT_EQ(mode, info.st_mode & 07777) << WideToUtf8(name);
    }
}

// Where another user may add names, a link at the name root opens may lead anywhere (into a
// file of root's that then gets emptied, or read as the registry): never followed there. A
// link that root made in a directory of its own is followed.
TEST(PosixFileTest, LinksPlantedWhereOthersCanWriteAreNeverFollowed) {
    if (const char* why = CannotActAsOtherUser()) {
        GTEST_SKIP() << why;
    }
    const std::wstring dir = MakeTempDirectory(L"planted");
    const std::wstring target = dir + L"/root-only.reg";
    const std::string registry =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n";
    {
        UniqueHandle file(
            CreateFile(target.c_str(), kGenericWrite, 0, false, kCreateNew, kFileAttributeNormal));
        ASSERT_TRUE(WriteFile(file.Get(), registry.data(),
                              static_cast<std::uint32_t>(registry.size()), nullptr));
    }
    const struct {
        const wchar_t* name;
        mode_t mode;
        bool planted;  // by the other user; else by root
    } cases[] = {{L"open", 0777, true}, {L"sticky", 01777, true}, {L"roots", 0755, false}};
    for (const auto& c : cases) {
        const std::wstring room = dir + L"/" + c.name;
        const std::wstring link = room + L"/x.reg";
        ASSERT_EQ(0, ::mkdir(WideToUtf8(room).c_str(), 0700));
        ASSERT_EQ(0, ::chmod(WideToUtf8(room).c_str(), c.mode));
        if (c.planted) {
            ASSERT_EQ(0u, AsOtherUser({L"link", target, link}));
        } else {
            ASSERT_EQ(0, ::symlink(WideToUtf8(target).c_str(), WideToUtf8(link).c_str()));
        }
        SetLastError(0);
        UniqueHandle file(CreateFile(link.c_str(), kGenericRead | kGenericWrite, 0, false,
                                     kCreateAlways, kFileAttributeNormal));
        EXPECT_EQ(!c.planted, file.Valid()) << WideToUtf8(c.name);
        EXPECT_EQ(c.planted ? kErrorAccessDenied : kErrorAlreadyExists, GetLastError());
        file.Reset();
        if (!c.planted) {  // emptied through the link: put the registry back
            UniqueHandle again(CreateFile(target.c_str(), kGenericWrite, 0, false, kCreateAlways,
                                          kFileAttributeNormal));
            ASSERT_TRUE(WriteFile(again.Get(), registry.data(),
                                  static_cast<std::uint32_t>(registry.size()), nullptr));
        }
        ASSERT_TRUE(SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", link.c_str()));
        UniqueRegKey key;
        EXPECT_EQ(c.planted ? kErrorAccessDenied : kErrorSuccess,
                  RegOpenKeyEx(HkeyLocalMachine(), L"K", 0, kKeyRead, key.Receive()))
            << WideToUtf8(c.name);
        EXPECT_EQ(c.planted,
                  std::wstring(RegistryFileError()).find(L": refused") != std::wstring::npos);
    }
    struct stat info {};
    ASSERT_EQ(0, ::stat(WideToUtf8(target).c_str(), &info));
    const auto size = static_cast<std::size_t>(info.st_size);
    EXPECT_EQ(registry.size(), size) << "root's file was emptied through a planted link";
}

}  // namespace
}  // namespace platform
