// The POSIX registry file: bad files explained to the person, hand edits, rewrites that keep
// the administrator's file, a reader that never sees half a write, writers in several
// processes.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "regfile/registry_file_parser.h"
#include "tests/platform/registry_test_support.h"

namespace {

using namespace keltra::test;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n";
constexpr std::uint32_t kAll = platform::kKeyAllAccess;

template <typename Text>  // std::string or Bytes
void WriteBytes(const std::string& path, const Text& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

platform::UniqueRegKey Open(const wchar_t* path, bool create = false) {
    return OpenKey(platform::HkeyLocalMachine(), path, kAll, create);
}

class RegistryFilePosixTest : public testing::Test {
  protected:
    void SetUp() override {
        m_file = platform::WideToUtf8(UseFreshRegistryFile(L"registry-posix"));
        m_dir = m_file.substr(0, m_file.rfind('/'));
    }

    std::string m_dir;
    std::string m_file;
};

// A missing or malformed file is named to the person, by the call's reason and by the
// listing command, which prints it; a key missing from a good file is not blamed on the file.
// A malformed file is never overwritten, and keys opened before keep working.
TEST_F(RegistryFilePosixTest, BadRegistryFilesAreExplainedAndNeverOverwritten) {
    WriteBytes(m_file, std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"ok\"=dword:00000001\n");
    const platform::UniqueRegKey early = Open(L"K");
    const std::string malformed = ReadBytes(m_file) + "\"bad\"=dword:123456789\n";
    const struct {
        const char* file;  // content; null: no file
        std::string path;
        platform::ErrorCode error;
        std::string reason;  // what RegistryFileError says, and the listing command after
        const char* listed;  // this
    } cases[] = {
        {malformed.c_str(), m_file, 13,
         m_file + ":4: bad dword '123456789': expected 1 to 8 hex digits, as in dword:0000002a",
         "error 13: "},
        {kHeader, m_file, 2, "", "error 2 (no such key)"},
        {nullptr, m_dir + "/gone.reg", 2, m_dir + "/gone.reg: the registry file does not exist",
         "error 2: "},
    };
    const std::string lister =
        platform::WideToUtf8(platform::GetExecutableDirectory()) + "/keltra-plugins --key K 2>&1";
    for (const auto& c : cases) {
        ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE",
                                                     platform::Utf8ToWide(c.path).c_str()));
        if (c.file != nullptr) {
            WriteBytes(c.path, std::string(c.file));
        }
        platform::UniqueRegKey key;
        EXPECT_EQ(c.error, platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"K", 0, kAll,
                                                  key.Receive()));
        EXPECT_EQ(c.reason, platform::WideToUtf8(platform::RegistryFileError()));
        std::FILE* tool = ::popen(lister.c_str(), "r");
        ASSERT_NE(nullptr, tool);
        std::string printed;
        for (char buf[256]; std::fgets(buf, sizeof buf, tool) != nullptr;) {
            printed += buf;
        }
        EXPECT_EQ(c.error, static_cast<platform::ErrorCode>(WEXITSTATUS(::pclose(tool))));
        EXPECT_NE(std::string::npos, printed.find(c.listed + c.reason)) << printed;
        if (c.error == 13) {
            EXPECT_EQ(13u, platform::RegSetValueEx(early.Get(), L"x", 4, Bytes(4).data(), 4));
            EXPECT_EQ(13u, platform::RegDeleteTree(platform::HkeyLocalMachine(), L"K"));
            EXPECT_EQ(malformed, ReadBytes(m_file)) << "the administrator's file is left alone";
            EXPECT_EQ(0u, platform::RegQueryValueEx(early.Get(), L"ok", nullptr, nullptr, nullptr));
        }
    }
}

// An administrator's file: UTF-16LE, CR LF, a comment, mode 0640, reached through a link.
TEST_F(RegistryFilePosixTest, HandEditsAreSeenAndRewritesKeepFileOrderEncodingModeAndLinks) {
    const std::wstring text =
        L"\uFEFFWindows Registry Editor Version 5.00\r\n; by hand\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        L"\"zeta\"=\"z\"\r\n\"Alpha\"=\"a\"\r\n@=\"\"\r\n\"mid\"=dword:00000001\r\n";
    const std::string real = m_dir + "/real.reg";
    WriteBytes(real, Utf16Le(text, false));
    ASSERT_EQ(0, ::chmod(real.c_str(), 0640));
    ASSERT_EQ(0, ::symlink(real.c_str(), m_file.c_str()));
    const platform::UniqueRegKey first = Open(L"k");
    // Same size, so only the content tells the two files apart.
    WriteBytes(real, Utf16Le(text.substr(0, text.size() - 3) + L"2\r\n", false));
    const platform::UniqueRegKey key = Open(L"K");
    std::uint32_t v = 0, size = sizeof v;
    EXPECT_EQ(0u, platform::RegQueryValueEx(key.Get(), L"mid", nullptr,
                                            reinterpret_cast<std::uint8_t*>(&v), &size));
    EXPECT_EQ(2u, v);
    const Bytes data = Utf16Le(L"b");
    ASSERT_EQ(0u, platform::RegSetValueEx(key.Get(), L"new", platform::kRegSz, data.data(), 4));
    ASSERT_EQ(0u, platform::RegSetValueEx(key.Get(), L"ALPHA", platform::kRegSz, data.data(), 4));
    const Bytes after = Utf16Le(
        L"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        L"\"zeta\"=\"z\"\r\n\"Alpha\"=\"b\"\r\n@=\"\"\r\n\"mid\"=dword:00000002\r\n\"new\"="
        L"\"b\"\r\n",
        false);
    EXPECT_EQ(std::string(after.begin(), after.end()), ReadBytes(real));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(m_file.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(0, ::stat(real.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
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
    std::vector<std::thread> writers;
    for (const wchar_t* prefix : {L"a", L"b", L"c"}) {
        writers.emplace_back([this, prefix] {
            EXPECT_EQ(0u, RunChild("registry_writer", {platform::Utf8ToWide(m_file), prefix}));
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(75u, Enumerate(Open(L"Shared").Get()).size());
}

}  // namespace
