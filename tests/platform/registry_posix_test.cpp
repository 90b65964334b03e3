// The POSIX registry file: file order, hand edits, bad files explained to the person, rewrites
// that keep the administrator's file, and writers in several threads and processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "platform/registry.h"
#include "platform/registry_file_parser.h"
#include "platform/wait.h"
#include "tests/platform/registry_test_support.h"

namespace {

using keltra::test::Bytes;
using keltra::test::Utf16Le;
using platform::RegKey;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n";
constexpr std::uint32_t kAll = platform::kKeyAllAccess;
const std::string kHeaderOnly = kHeader;

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::wstring> ValueNames(platform::RegKey key) {
    std::vector<std::wstring> names;
    for (const keltra::test::Entry& e : keltra::test::Enumerate(key)) {
        names.push_back(e.name);
    }
    return names;
}

platform::UniqueRegKey Open(const wchar_t* path, bool create = false) {
    return keltra::test::OpenKey(platform::HkeyLocalMachine(), path, kAll, create);
}

class RegistryFilePosixTest : public testing::Test {
  protected:
    void SetUp() override {
        m_file = platform::WideToUtf8(keltra::test::UseFreshRegistryFile(L"registry-posix"));
        m_dir = m_file.substr(0, m_file.rfind('/'));
    }

    std::string m_dir;
    std::string m_file;
};

TEST_F(RegistryFilePosixTest, ValuesKeepFileOrderAndAnEditByHandIsSeenAtTheNextOpen) {
    const std::string text = std::string(kHeader) +
                             "[HKEY_LOCAL_MACHINE\\K]\n\"zeta\"=\"z\"\n\"Alpha\"=\"a\"\n@=\"\"\n"
                             "\"mid\"=dword:00000001\n";
    WriteBytes(m_file, text);
    const platform::UniqueRegKey first = Open(L"k");
    // Same size, so only the content tells the two files apart.
    WriteBytes(m_file, text.substr(0, text.size() - 2) + "2\n");
    const platform::UniqueRegKey key = Open(L"K");
    std::uint32_t v = 0;
    std::uint32_t size = sizeof v;
    EXPECT_EQ(0u, platform::RegQueryValueEx(key.Get(), L"mid", nullptr,
                                            reinterpret_cast<std::uint8_t*>(&v), &size));
    EXPECT_EQ(2u, v);
    const Bytes data = Utf16Le(L"b");
    ASSERT_EQ(0u, platform::RegSetValueEx(key.Get(), L"new", platform::kRegSz, data.data(), 4));
    ASSERT_EQ(0u, platform::RegSetValueEx(key.Get(), L"ALPHA", platform::kRegSz, data.data(), 4));
    EXPECT_EQ((std::vector<std::wstring>{L"zeta", L"Alpha", L"", L"mid", L"new"}),
              ValueNames(key.Get()));
    EXPECT_NE(std::string::npos, ReadBytes(m_file).find("\n\"Alpha\"=\"b\"\n@=\"\"\n"));
}

// A missing or malformed file is named to the person, by the call's reason and by the
// listing command, which prints it; a key missing from a good file is not blamed on the file.
// A malformed file is never overwritten, and keys opened before keep working.
TEST_F(RegistryFilePosixTest, BadRegistryFilesAreExplainedAndNeverOverwritten) {
    WriteBytes(m_file, std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"ok\"=dword:00000001\n");
    const platform::UniqueRegKey early = Open(L"K");
    const std::string malformed = ReadBytes(m_file) + "\"bad\"=dword:123456789\n";
    const std::string missing = m_dir + "/no/dir/r.reg";
    const struct {
        const std::string* file;  // content; null: no file
        std::string path;
        platform::ErrorCode error;
        std::string reason;  // what RegistryFileError says, and the listing command after
        const char* listed;  // this
    } cases[] = {
        {&malformed, m_file, 13,
         m_file + ":4: bad dword '123456789': expected 1 to 8 hex digits, as in dword:0000002a",
         "error 13: "},
        {nullptr, missing, 2, missing + ": the registry file does not exist", "error 2: "},
        {&kHeaderOnly, m_file, 2, "", "error 2 (no such key)"},
        {nullptr, m_dir + "/gone.reg", 2, m_dir + "/gone.reg: the registry file does not exist",
         "error 2: "},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE",
                                                     platform::Utf8ToWide(c.path).c_str()));
        if (c.file != nullptr) {
            WriteBytes(c.path, *c.file);
        }
        platform::UniqueRegKey key;
        EXPECT_EQ(c.error, platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"K", 0, kAll,
                                                  key.Receive()));
        EXPECT_EQ(c.reason, platform::WideToUtf8(platform::RegistryFileError()));
        std::FILE* tool = ::popen((platform::WideToUtf8(platform::GetExecutableDirectory()) +
                                   "/keltra-plugins --key K 2>&1")
                                      .c_str(),
                                  "r");
        ASSERT_NE(nullptr, tool);
        std::string printed;
        for (char buf[256]; std::fgets(buf, sizeof buf, tool) != nullptr;) {
            printed += buf;
        }
        EXPECT_EQ(c.error, static_cast<platform::ErrorCode>(WEXITSTATUS(::pclose(tool))));
        EXPECT_NE(std::string::npos, printed.find(c.listed + c.reason)) << printed;
        if (c.file == &malformed) {
            EXPECT_EQ(13u, platform::RegSetValueEx(early.Get(), L"x", 4, Bytes(4).data(), 4));
            EXPECT_EQ(13u, platform::RegDeleteTree(platform::HkeyLocalMachine(), L"K"));
            EXPECT_EQ(malformed, ReadBytes(m_file)) << "the administrator's file is left alone";
            EXPECT_EQ(0u, platform::RegQueryValueEx(early.Get(), L"ok", nullptr, nullptr, nullptr));
        }
    }
}

TEST_F(RegistryFilePosixTest, RewritesKeepEncodingLineEndsModeAndLinks) {
    const Bytes text = Utf16Le(
        L"\uFEFFWindows Registry Editor Version 5.00\r\n; by hand\r\n[HKEY_LOCAL_MACHINE\\Log]\r\n"
        L"\"path\"=\"/var/log/svc.log\"\r\n[HKEY_LOCAL_MACHINE\\Plugins]\r\n\"one\"=\"/p/"
        L"1.so\"\r\n",
        false);
    const std::string real = m_dir + "/real.reg";
    WriteBytes(real, std::string(text.begin(), text.end()));
    ASSERT_EQ(0, ::chmod(real.c_str(), 0640));
    ASSERT_EQ(0, ::symlink(real.c_str(), m_file.c_str()));
    const Bytes two = Utf16Le(L"/p/2.so");
    ASSERT_EQ(0u, platform::RegSetValueEx(Open(L"Plugins").Get(), L"two", 1, two.data(), 16));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(m_file.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(0, ::stat(real.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    const Bytes expected = Utf16Le(
        L"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Log]\r\n"
        L"\"path\"=\"/var/log/svc.log\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Plugins]\r\n"
        L"\"one\"=\"/p/1.so\"\r\n\"two\"=\"/p/2.so\"\r\n",
        false);
    EXPECT_EQ(std::string(expected.begin(), expected.end()), ReadBytes(real));
}

TEST_F(RegistryFilePosixTest, AReaderOfTheFileNeverSeesHalfOfAWrite) {
    const platform::UniqueRegKey key = Open(L"Big", true);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    // Straight from disk, as another process or an editor reads it.
    std::thread reader([&] {
        while (!done || reads == 0) {
            const std::string bytes = ReadBytes(m_file);
            platform::regfile::Document doc;
            platform::regfile::ParseError error;
            torn += !platform::regfile::Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                              bytes.size(), &doc, &error) ||
                    doc.FindKey(L"Big") == nullptr;
            ++reads;
        }
    });
    for (std::size_t i = 0; i < 30; ++i) {
        const Bytes blob(64 * 1024 + i * 997, static_cast<std::uint8_t>(i));
        ASSERT_EQ(0u, platform::RegSetValueEx(key.Get(), L"blob", platform::kRegBinary, blob.data(),
                                              static_cast<std::uint32_t>(blob.size())));
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, torn.load()) << "of " << reads.load() << " reads";
}

KELTRA_CHILD_ROLE(registry_writer) {  // args: registry file, value-name prefix
    if (!platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", args.at(0).c_str())) {
        return 3;
    }
    const platform::UniqueRegKey key = Open(L"Shared", true);
    int failures = 0;
    for (std::uint32_t i = 0; i < 25; ++i) {
        failures += platform::RegSetValueEx(key.Get(), (args.at(1) + std::to_wstring(i)).c_str(), 4,
                                            reinterpret_cast<const std::uint8_t*>(&i), 4) != 0;
    }
    return key && failures == 0 ? 0 : 4;
}

TEST_F(RegistryFilePosixTest, WritersInSeveralProcessesLoseNoUpdate) {
    std::vector<platform::UniqueHandle> children;
    for (const wchar_t* prefix : {L"a", L"b", L"c"}) {
        children.emplace_back(
            keltra::test::StartChild("registry_writer", {platform::Utf8ToWide(m_file), prefix}));
        ASSERT_TRUE(children.back());
    }
    for (auto& child : children) {
        ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(child.Get(), 60000));
        std::uint32_t code = 1;
        ASSERT_TRUE(platform::GetExitCodeProcess(child.Get(), &code));
        EXPECT_EQ(0u, code);
    }
    EXPECT_EQ(75u, ValueNames(Open(L"Shared").Get()).size());
}

TEST_F(RegistryFilePosixTest, NamesTheFileCannotHoldAreRefused) {
    const platform::UniqueRegKey key = Open(L"K", true);
    for (const std::wstring& name : {std::wstring(L"two\nlines"), std::wstring(16384, L'n')}) {
        EXPECT_EQ(87u, platform::RegSetValueEx(key.Get(), name.c_str(), 4, Bytes(4).data(), 4));
    }
    for (const std::wstring& name : {std::wstring(256, L'k'), std::wstring(L"a\rb")}) {
        platform::UniqueRegKey sub;
        EXPECT_EQ(87u, platform::RegCreateKeyEx(key.Get(), name.c_str(), kAll, sub.Receive()));
    }
    EXPECT_EQ(5u, platform::RegDeleteTree(platform::HkeyLocalMachine(), nullptr));
    EXPECT_TRUE(ValueNames(key.Get()).empty());
}

}  // namespace
