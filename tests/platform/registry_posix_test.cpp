// The POSIX registry file: file order, hand-written files, refusals, atomic rewrites and
// writers in several threads and processes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/registry_file_parser.h"
#include "platform/registry_file_writer.h"
#include "platform/text.h"
#include "platform/wait.h"
#include "tests/support/test_support.h"

namespace {

using platform::RegKey;
using Bytes = std::vector<std::uint8_t>;

Bytes Utf16Le(std::wstring_view text, bool terminator = true) {
    Bytes out;
    for (wchar_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (terminator) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    return platform::WideToUtf8(text);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void WriteText(const std::string& path, const std::string& text) {
    WriteBytes(path, Bytes(text.begin(), text.end()));
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::wstring> ValueNames(RegKey key) {
    std::vector<std::wstring> names;
    for (std::uint32_t i = 0;; ++i) {
        wchar_t name[256];
        std::uint32_t chars = 256;
        const platform::ErrorCode r =
            platform::RegEnumValue(key, i, name, &chars, nullptr, nullptr, nullptr);
        if (r != 0) {
            EXPECT_EQ(platform::kErrorNoMoreItems, r);
            break;
        }
        names.emplace_back(name, chars);
    }
    return names;
}

class RegistryFilePosixTest : public testing::Test {
  protected:
    void SetUp() override {
        m_dir = Narrow(keltra::test::MakeTempDirectory(L"registry-posix"));
        UseFile(m_dir + "/registry.reg");
    }

    void UseFile(const std::string& path) {
        m_file = path;
        ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE",
                                                     platform::Utf8ToWide(path).c_str()));
    }

    RegKey Open(const wchar_t* path, std::uint32_t access = platform::kKeyRead) {
        RegKey key = nullptr;
        EXPECT_EQ(0u, platform::RegOpenKeyEx(platform::HkeyLocalMachine(), path, 0, access, &key))
            << platform::WideToUtf8(platform::RegistryFileError());
        return key;
    }

    platform::regfile::Document ParseFile() {
        const Bytes bytes = ReadBytes(m_file);
        platform::regfile::Document doc;
        platform::regfile::ParseError error;
        EXPECT_TRUE(platform::regfile::Parse(bytes.data(), bytes.size(), &doc, &error))
            << error.line << ": " << platform::WideToUtf8(error.message);
        return doc;
    }

    std::string m_dir;
    std::string m_file;
};

TEST_F(RegistryFilePosixTest, ValuesEnumerateInFileOrderAndNewOnesGoLast) {
    WriteText(m_file,
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Keltra\\Brismont Settings\\SvcPlugins]\n"
              "\"zeta\"=\"/opt/z.so\"\n"
              "\"Alpha\"=\"/opt/a.so\"\n"
              "@=\"default\"\n"
              "\"mid\"=dword:00000001\n");
    RegKey key = Open(L"Software\\Keltra\\Brismont Settings\\SvcPlugins",
                      platform::kKeyRead | platform::kKeySetValue);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ((std::vector<std::wstring>{L"zeta", L"Alpha", L"", L"mid"}), ValueNames(key));

    ASSERT_EQ(0u, platform::RegSetValueEx(key, L"new", platform::kRegSz,
                                          Utf16Le(L"/opt/n.so").data(), 20));
    ASSERT_EQ(0u, platform::RegSetValueEx(key, L"ALPHA", platform::kRegSz,
                                          Utf16Le(L"/opt/b.so").data(), 20));
    EXPECT_EQ((std::vector<std::wstring>{L"zeta", L"Alpha", L"", L"mid", L"new"}), ValueNames(key));
    EXPECT_EQ(0u, platform::RegCloseKey(key));

    // The file reads the same way after the rewrite, and reads like a hand-written one.
    key = Open(L"software\\keltra\\brismont settings\\svcplugins");
    EXPECT_EQ((std::vector<std::wstring>{L"zeta", L"Alpha", L"", L"mid", L"new"}), ValueNames(key));
    EXPECT_EQ(0u, platform::RegCloseKey(key));
    const Bytes bytes = ReadBytes(m_file);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, text.find("\n\"Alpha\"=\"/opt/b.so\"\n@=\"default\"\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\n\"new\"=\"/opt/n.so\"\n")) << text;
}

TEST_F(RegistryFilePosixTest, MissingFileIsAnEmptyRegistryUntilTheFirstWrite) {
    UseFile(m_dir + "/absent.reg");
    RegKey key = nullptr;
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"Software", 0,
                                     platform::kKeyRead, &key));
    RegKey root = Open(L"");
    ASSERT_NE(nullptr, root);
    EXPECT_TRUE(ValueNames(root).empty());
    EXPECT_EQ(0u, platform::RegCloseKey(root));

    ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"Software\\New",
                                           platform::kKeyAllAccess, &key));
    EXPECT_EQ(0u, platform::RegCloseKey(key));
    const Bytes bytes = ReadBytes(m_file);
    EXPECT_EQ(
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\New]\n",
        std::string(bytes.begin(), bytes.end()));

    // No directory: reading finds nothing, writing cannot create it.
    UseFile(m_dir + "/no/such/dir/registry.reg");
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"Software", 0,
                                     platform::kKeyRead, &key));
    EXPECT_EQ(platform::kErrorPathNotFound,
              platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"Software",
                                       platform::kKeyAllAccess, &key));
}

TEST_F(RegistryFilePosixTest, MalformedFileGives13WithFileAndLineAndIsNeverOverwritten) {
    WriteText(m_file,
              "Windows Registry Editor Version 5.00\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Keltra]\n"
              "\"ok\"=dword:00000001\n");
    RegKey early = Open(L"Software\\Keltra", platform::kKeyAllAccess);
    ASSERT_NE(nullptr, early);

    const std::string broken =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Keltra]\n"
        "\"ok\"=dword:00000001\n"
        "\"bad\"=dword:1234567890\n";
    WriteText(m_file, broken);
    RegKey key = nullptr;
    EXPECT_EQ(platform::kErrorInvalidData,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"Software\\Keltra", 0,
                                     platform::kKeyRead, &key));
    EXPECT_EQ(nullptr, key);
    const std::wstring message = platform::RegistryFileError();
    EXPECT_EQ(0u, message.find(platform::Utf8ToWide(m_file) + L":5: bad dword"))
        << platform::WideToUtf8(message);

    // Writes refuse too, and leave the administrator's file alone.
    EXPECT_EQ(platform::kErrorInvalidData,
              platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"Software\\Other",
                                       platform::kKeyAllAccess, &key));
    EXPECT_EQ(platform::kErrorInvalidData,
              platform::RegSetValueEx(early, L"x", platform::kRegDword, Bytes(4).data(), 4));
    EXPECT_EQ(platform::kErrorInvalidData,
              platform::RegDeleteTree(platform::HkeyLocalMachine(), L"Software\\Keltra"));
    EXPECT_EQ(Bytes(broken.begin(), broken.end()), ReadBytes(m_file));

    // A key opened before keeps the registry it was opened on.
    std::uint32_t size = 0;
    EXPECT_EQ(0u, platform::RegQueryValueEx(early, L"ok", nullptr, nullptr, &size));
    EXPECT_EQ(0u, platform::RegCloseKey(early));

    // Repaired, it reads again and the error is gone.
    WriteText(m_file, broken.substr(0, broken.rfind("\"bad\"")));
    key = Open(L"Software\\Keltra");
    ASSERT_NE(nullptr, key);
    EXPECT_STREQ(L"", platform::RegistryFileError());
    EXPECT_EQ(0u, platform::RegCloseKey(key));
}

TEST_F(RegistryFilePosixTest, EachMalformedFormGives13AndItsLine) {
    struct Case {
        Bytes bytes;
        const wchar_t* where;
    };
    const std::string h = "Windows Registry Editor Version 5.00\n";
    Bytes oddUtf16 = {0xFF, 0xFE};
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]")) {
        oddUtf16.push_back(static_cast<std::uint8_t>(c));
        oddUtf16.push_back(0);
    }
    oddUtf16.push_back('x');
    auto ascii = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    const Case cases[] = {
        {ascii("Windows Registry Editor\n"), L":1: "},
        {ascii(h + "[HKEY_LOCAL_MACHINE\\K\n"), L":2: "},
        {ascii(h + "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:1,zz\n"), L":3: "},
        {ascii(h + "[HKEY_LOCAL_MACHINE\\K]\n\n\"a\"=dword:x\n"), L":4: "},
        {ascii(h + "\"a\"=\"b\"\n"), L":2: "},
        {ascii(h + "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"b\"\n\nwhat is this\n"), L":5: "},
        {oddUtf16, L":2: "},
    };
    for (const Case& c : cases) {
        WriteBytes(m_file, c.bytes);
        RegKey key = nullptr;
        EXPECT_EQ(platform::kErrorInvalidData,
                  platform::RegOpenKeyEx(platform::HkeyLocalMachine(), L"K", 0, platform::kKeyRead,
                                         &key));
        const std::wstring message = platform::RegistryFileError();
        EXPECT_NE(std::wstring::npos, message.find(platform::Utf8ToWide(m_file) + c.where))
            << platform::WideToUtf8(message);
    }
}

TEST_F(RegistryFilePosixTest, RewritesKeepOtherKeysEncodingLineEndsModeAndLinks) {
    const std::wstring text =
        L"Windows Registry Editor Version 5.00\r\n"
        L"\r\n"
        L"; installed by hand\r\n"
        L"[HKEY_LOCAL_MACHINE\\Software\\Keltra\\Brismont Settings\\DbgLog]\r\n"
        L"\"enabled\"=dword:00000001\r\n"
        L"\"logpath\"=\"/var/log/keltra/svc.log\"\r\n"
        L"\r\n"
        L"[HKEY_LOCAL_MACHINE\\Software\\Keltra\\Brismont Settings\\SvcPlugins]\r\n"
        L"\"svcbu1\"=\"/opt/keltra/plugins/one.so\"\r\n"
        L"\"blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        L"  16,17,18\r\n";
    Bytes bytes = {0xFF, 0xFE};
    const Bytes body = Utf16Le(text, false);
    bytes.insert(bytes.end(), body.begin(), body.end());
    const std::string real = m_dir + "/real.reg";
    WriteBytes(real, bytes);
    ASSERT_EQ(0, ::chmod(real.c_str(), 0640));
    const std::string link = m_dir + "/link.reg";
    ASSERT_EQ(0, ::symlink(real.c_str(), link.c_str()));
    UseFile(link);

    RegKey key = Open(L"Software\\Keltra\\Brismont Settings\\SvcPlugins", platform::kKeyAllAccess);
    ASSERT_NE(nullptr, key);
    ASSERT_EQ(0u, platform::RegSetValueEx(key, L"svcbu2", platform::kRegSz,
                                          Utf16Le(L"/opt/keltra/plugins/two.so").data(), 54));
    EXPECT_EQ(0u, platform::RegCloseKey(key));

    struct stat st {};
    ASSERT_EQ(0, ::lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(0, ::stat(real.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);

    const Bytes after = ReadBytes(real);
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(0xFF, after[0]);
    EXPECT_EQ(0xFE, after[1]);
    platform::regfile::Document doc;
    platform::regfile::ParseError error;
    ASSERT_TRUE(platform::regfile::Parse(after.data(), after.size(), &doc, &error));
    EXPECT_TRUE(doc.crlf);
    const platform::regfile::Key* log = doc.FindKey(L"Software\\Keltra\\Brismont Settings\\DbgLog");
    ASSERT_NE(nullptr, log);
    ASSERT_EQ(2u, log->values.size());
    EXPECT_EQ(Utf16Le(L"/var/log/keltra/svc.log"), log->values[1].data);
    const platform::regfile::Key* plugins =
        doc.FindKey(L"Software\\Keltra\\Brismont Settings\\SvcPlugins");
    ASSERT_NE(nullptr, plugins);
    ASSERT_EQ(3u, plugins->values.size());
    EXPECT_EQ(25u, plugins->values[1].data.size());
    EXPECT_EQ(L"svcbu2", plugins->values[2].name);

    // Nothing but the two files is left in the directory: no temporary file.
    std::vector<std::string> entries;
    if (DIR* dir = ::opendir(m_dir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                entries.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ((std::vector<std::string>{"link.reg", "real.reg"}), entries);
}

TEST_F(RegistryFilePosixTest, AnEditByHandIsSeenAtTheNextOpen) {
    const std::string before =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n";
    WriteText(m_file, before);
    RegKey first = Open(L"K");
    ASSERT_NE(nullptr, first);
    // Same size, written at once: only the content tells the two files apart.
    std::string after = before;
    after[after.size() - 2] = '2';
    WriteText(m_file, after);
    RegKey second = Open(L"K");
    ASSERT_NE(nullptr, second);
    std::uint32_t v = 0;
    std::uint32_t size = sizeof v;
    ASSERT_EQ(0u, platform::RegQueryValueEx(second, L"v", nullptr,
                                            reinterpret_cast<std::uint8_t*>(&v), &size));
    EXPECT_EQ(2u, v);
    EXPECT_EQ(0u, platform::RegCloseKey(first));
    EXPECT_EQ(0u, platform::RegCloseKey(second));
}

TEST_F(RegistryFilePosixTest, AReaderOfTheFileNeverSeesHalfOfAWrite) {
    RegKey key = nullptr;
    ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"Software\\Big",
                                           platform::kKeyAllAccess, &key));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> failures{0};
    // The reader reads the file as another process or an editor would: straight from disk.
    std::thread reader([&] {
        while (!done.load() || reads.load() == 0) {
            const Bytes bytes = ReadBytes(m_file);
            if (bytes.empty()) {
                continue;  // before the first write
            }
            platform::regfile::Document doc;
            platform::regfile::ParseError error;
            if (!platform::regfile::Parse(bytes.data(), bytes.size(), &doc, &error) ||
                doc.FindKey(L"Software\\Big") == nullptr) {
                ++failures;
            }
            ++reads;
        }
    });
    for (int i = 0; i < 30; ++i) {
        const Bytes blob(64 * 1024 + static_cast<std::size_t>(i) * 997,
                         static_cast<std::uint8_t>(i));
        ASSERT_EQ(0u, platform::RegSetValueEx(key, L"blob", platform::kRegBinary, blob.data(),
                                              static_cast<std::uint32_t>(blob.size())));
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, failures.load()) << "of " << reads.load() << " reads";
    EXPECT_EQ(0u, platform::RegCloseKey(key));
}

// Damaged files reach the calls whole: each open answers 0, 2 or 13 with a reason, and
// enumerating whatever was read, with buffers of every size, stays within them.
TEST_F(RegistryFilePosixTest, RandomlyDamagedFilesNeverBreakTheCalls) {
    const std::string valid =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Keltra\\Brismont Settings\\SvcPlugins]\n"
        "\"svcbu1\"=\"/opt/keltra/plugins/one.so\"\n"
        "@=\"\"\n"
        "\"raw\"=hex(1):61,00,62,00\n"
        "\"multi\"=hex(7):61,00,00,00,00,00\n"
        "\"n\"=dword:00000010\n"
        "\"blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "  16,17,18,19\n";
    std::mt19937 rng(99);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    int opened = 0;
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        std::string text = valid;
        // One mutation mostly: a few of them nearly always break the file.
        const int mutations = pick(4) == 0 ? 2 : 1;
        for (int m = 0; m < mutations; ++m) {
            const std::size_t at = pick(text.size());
            switch (pick(3)) {
                case 0:
                    text[at] = static_cast<char>(pick(256));
                    break;
                case 1:
                    text.erase(at, 1 + pick(8));
                    break;
                default:
                    text.insert(at, 1, "\\\",\n[]=-"[pick(7)]);
                    break;
            }
        }
        WriteText(m_file, text);
        RegKey key = nullptr;
        const platform::ErrorCode r = platform::RegOpenKeyEx(
            platform::HkeyLocalMachine(), L"Software\\Keltra\\Brismont Settings\\SvcPlugins", 0,
            platform::kKeyRead, &key);
        if (r == platform::kErrorInvalidData) {
            ++refused;
            EXPECT_NE(std::wstring::npos,
                      std::wstring(platform::RegistryFileError()).find(L".reg:"));
            continue;
        }
        if (r != 0) {
            EXPECT_EQ(platform::kErrorFileNotFound, r);
            continue;
        }
        ++opened;
        for (std::uint32_t i = 0; i < 64; ++i) {
            // Exact-size heap buffers, so that the sanitizers see any write past them.
            const std::uint32_t nameCap = 1 + static_cast<std::uint32_t>(pick(12));
            const std::uint32_t dataCap = static_cast<std::uint32_t>(pick(40));
            auto name = std::make_unique<wchar_t[]>(nameCap);
            auto data = std::make_unique<std::uint8_t[]>(dataCap + 1);
            std::uint32_t nameChars = nameCap;
            std::uint32_t dataBytes = dataCap;
            const platform::ErrorCode e = platform::RegEnumValue(key, i, name.get(), &nameChars,
                                                                 nullptr, data.get(), &dataBytes);
            if (e == platform::kErrorNoMoreItems) {
                break;
            }
            EXPECT_TRUE(e == 0 || e == platform::kErrorMoreData) << e;
        }
        EXPECT_EQ(0u, platform::RegCloseKey(key));
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}

KELTRA_CHILD_ROLE(registry_writer) {
    // args: registry file, value-name prefix, count
    if (args.size() != 3 ||
        !platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", args[0].c_str())) {
        return 2;
    }
    RegKey key = nullptr;
    if (platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"Software\\Shared",
                                 platform::kKeyAllAccess, &key) != 0) {
        return 3;
    }
    const int count = std::stoi(args[2]);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring name = args[1] + std::to_wstring(i);
        const std::uint32_t v = static_cast<std::uint32_t>(i);
        failures +=
            platform::RegSetValueEx(key, name.c_str(), platform::kRegDword,
                                    reinterpret_cast<const std::uint8_t*>(&v), sizeof v) != 0;
    }
    (void)platform::RegCloseKey(key);
    return failures == 0 ? 0 : 4;
}

TEST_F(RegistryFilePosixTest, WritersInSeveralProcessesLoseNoUpdate) {
    constexpr int kChildren = 3;
    constexpr int kEach = 25;
    std::vector<platform::UniqueHandle> children;
    for (int c = 0; c < kChildren; ++c) {
        children.emplace_back(keltra::test::StartChild(
            "registry_writer", {platform::Utf8ToWide(m_file), L"p" + std::to_wstring(c) + L"-",
                                std::to_wstring(kEach)}));
        ASSERT_TRUE(children.back());
    }
    for (auto& child : children) {
        ASSERT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(child.Get(), 60000));
        std::uint32_t code = 1;
        ASSERT_TRUE(platform::GetExitCodeProcess(child.Get(), &code));
        EXPECT_EQ(0u, code);
    }
    RegKey key = Open(L"Software\\Shared");
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(static_cast<std::size_t>(kChildren * kEach), ValueNames(key).size());
    EXPECT_EQ(0u, platform::RegCloseKey(key));
}

TEST_F(RegistryFilePosixTest, NamesTheFileCannotHoldAreRefused) {
    RegKey key = nullptr;
    ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), L"K",
                                           platform::kKeyAllAccess, &key));
    const Bytes four(4);
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegSetValueEx(key, L"two\nlines", platform::kRegDword, four.data(), 4));
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegSetValueEx(key, std::wstring(16384, L'n').c_str(), platform::kRegDword,
                                      four.data(), 4));
    RegKey sub = nullptr;
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegCreateKeyEx(key, std::wstring(256, L'k').c_str(),
                                       platform::kKeyAllAccess, &sub));
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegCreateKeyEx(key, L"a\rb", platform::kKeyAllAccess, &sub));
    EXPECT_EQ(platform::kErrorAccessDenied,
              platform::RegDeleteTree(platform::HkeyLocalMachine(), nullptr));
    EXPECT_TRUE(ValueNames(key).empty());
    EXPECT_EQ(0u, platform::RegCloseKey(key));
}

}  // namespace
