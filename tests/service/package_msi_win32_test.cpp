// The Windows Installer package under the real installer and service manager (Wine's msiexec
// and services): a silent install registers the service as /INSTALL does and starts it, with
// the plug-in key in place; a control reaches the plug-ins listed there; a newer package
// upgrades in place, keeping the list and calling no deletion hook; a silent removal stops
// and deletes the service, calls the hooks as /UNINSTALL does and leaves none of its files.
#include "platform/win32/windows_lean.h"

#include <msi.h>

#include <filesystem>

#include "resources/strings.h"
#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

const std::wstring kPackage = L"keltra-service-" KELTRA_VERSION "-x64.msi";
const std::wstring kNextPackage = L"keltra-service-" KELTRA_NEXT_VERSION "-x64.msi";

class WindowsInstaller : public HostFixture {
  protected:
    void SetUp() override {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        msiexec = std::wstring(system) + L"\\msiexec.exe";
        wchar_t programFiles[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
        installed = std::wstring(programFiles) + L"\\Keltra\\KeltraServicePlugin.exe";
        if (!std::filesystem::exists(ExePath(kPackage))) {
            GTEST_SKIP() << "no package: the build found no wixl or msibuild (scripts/setup.sh)";
        }
        Remove();  // left over from an interrupted run, before this test's plug-ins are listed
        HostFixture::SetUp();
    }
    void TearDown() override {
        Remove();
        HostFixture::TearDown();
    }
    void Remove() {
        for (const std::wstring& package : {kNextPackage, kPackage}) {
            (void)Msiexec(L"/x", package);
        }
        (void)RunExe({L"/UNINSTALL"});
    }
    // Runs msiexec silently, its log in the test's directory. It inherits no handle: the
    // installer starts Wine's desktop process, which may outlive it, and must not hold the
    // test's output open after the test.
    std::uint32_t Msiexec(const wchar_t* action, const std::wstring& package) {
        std::wstring command =
            L"\"" + msiexec + L"\" " + action + L" \"" + ExePath(package) + L"\" /qn";
        if (!dir.empty()) {
            command += L" /l*v \"" + dir + L"\\msiexec-" + std::to_wstring(++runs) + L".log\"";
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        platform::UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                               OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.Get();
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(msiexec.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &info)) {
            ADD_FAILURE() << "msiexec not started: " << ::GetLastError();
            return 0xFFFFFFFF;
        }
        CloseHandle(info.hThread);
        ChildProcess child(info.hProcess);
        DWORD code = 0xFFFFFFFF;
        if (WaitForSingleObject(info.hProcess, 180000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(info.hProcess, &code)) {
            ADD_FAILURE() << "msiexec " << platform::WideToUtf8(command) << " hung";
        }
        return code;
    }
    std::uint32_t Installed(const std::vector<std::wstring>& args) {
        return RunExe(args, 150000, installed);
    }

    // The version of every installed product of this package, and the service's process id
    // (0 when not running) with its configuration.
    static std::vector<std::wstring> Products() {
        std::vector<std::wstring> versions;
        wchar_t product[39];
        for (DWORD i = 0; MsiEnumRelatedProductsW(KELTRA_MSI_UPGRADE_CODE, 0, i, product) == 0;
             ++i) {
            wchar_t version[64] = {};
            DWORD size = 64;
            MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &size);
            versions.emplace_back(version);
        }
        return versions;
    }
    struct Service {
        DWORD open, process, start;
        std::wstring path, display, description;
    };
    static Service Query() {
        Service s{0, 0, 0, {}, {}, {}};
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(manager, KELTRA_SERVICE_NAME, SERVICE_ALL_ACCESS);
        s.open = service != nullptr ? 0 : ::GetLastError();
        alignas(8) BYTE config[8192] = {}, description[8192] = {};
        SERVICE_STATUS_PROCESS status = {};
        DWORD size = 0;
        if (service != nullptr &&
            QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config),
                                sizeof config, &size) &&
            QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, description,
                                 sizeof description, &size) &&
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &size)) {
            const auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config);
            s = {0,
                 status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0,
                 c->dwStartType,
                 c->lpBinaryPathName,
                 c->lpDisplayName,
                 reinterpret_cast<SERVICE_DESCRIPTIONW*>(description)->lpDescription};
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return s;
    }

    static bool PluginKeyExists() {
        HKEY key = nullptr;
        const bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPluginKey, 0, KEY_READ, &key) == 0;
        RegCloseKey(key);
        return exists;
    }

    std::wstring msiexec, installed;
    int runs = 0;
};

TEST_F(WindowsInstaller, InstallControlUpgradeUninstall) {
    // Installed on a machine without the plug-in key: registered as /INSTALL registers it,
    // running, the key in place.
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), L"Software\\Keltra");
    ASSERT_FALSE(PluginKeyExists());
    ASSERT_EQ(Msiexec(L"/i", kPackage), 0u);
    EXPECT_EQ(Products(), std::vector<std::wstring>{L"" KELTRA_VERSION});
    Service s = Query();
    EXPECT_NE(s.process, 0u);
    EXPECT_EQ(s.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(s.path, L"\"" + installed + L"\"");
    EXPECT_EQ(s.display, KELTRA_DISPLAY_NAME);
    EXPECT_EQ(s.description, KELTRA_DESCRIPTION);
    EXPECT_TRUE(PluginKeyExists());

    // The administrator lists the plug-ins; after a restart a control reaches them.
    WriteKeys(recorders);
    EXPECT_EQ(Installed({L"/STOP"}), 0u);
    EXPECT_EQ(Installed({L"/START"}), 0u);
    EXPECT_EQ(Installed({L"/CONTROL", L"128"}), 0u);

    // The newer package: in place, the list kept, the service running again, no hook called.
    const DWORD before = Query().process;
    ASSERT_EQ(Msiexec(L"/i", kNextPackage), 0u);
    EXPECT_EQ(Products(), std::vector<std::wstring>{L"" KELTRA_NEXT_VERSION});
    s = Query();
    EXPECT_NE(s.process, 0u);
    EXPECT_NE(s.process, before);
    EXPECT_EQ(s.path, L"\"" + installed + L"\"");
    EXPECT_EQ(Installed({L"/CONTROL", L"129"}), 0u);

    // Removed: stopped, deleted, the hooks called once, no file left; the list is the
    // administrator's and stays.
    ASSERT_EQ(Msiexec(L"/x", kNextPackage), 0u);
    EXPECT_TRUE(Products().empty());
    EXPECT_EQ(Query().open, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(installed).parent_path()));
    for (const std::wstring& path : recorders) {
        EXPECT_EQ(CallsOfEveryRun(path),
                  "Handler 128 0\nHandler 1 0\nUnload\nHandler 129 0\nHandler 1 0\nUnload\n"
                  "OnDeleteService\n");
    }
    EXPECT_TRUE(PluginKeyExists());
}

}  // namespace
}  // namespace keltra::test
