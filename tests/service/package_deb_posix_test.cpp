// The Debian packages, built by the build's own packaging step and handled by dpkg in a real
// systemd (the suite's sandbox): installed, the service is enabled, runs and loads the plug-ins
// the edited configuration file lists; a newer version over it keeps that file and restarts the
// service on the new executable; removal stops it and takes the unit away; a purge leaves
// nothing of it. lintian finds no error in either package.
#include <filesystem>

#include "service/framework.h"
#include "service/host/posix/systemd_unit.h"
#include "tests/service/systemd_fixture_posix.h"

namespace keltra::test {
namespace {

const std::string kUnit = "KeltraServiceFramework.service";

class DebPackage : public Systemd {
  protected:
    void SetUp() override {
        Systemd::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // A fresh machine has no configuration; this one's container policy forbids services
        // to start from package scripts (exit 101), which no server of a fleet has.
        ASSERT_EQ(Run("rm -rf /etc/keltra /usr/sbin/policy-rc.d"), "");
    }

    // Builds both packages of version into dir/<version>/ with the build's own script; the
    // path of keltra-service's.
    std::string Build(const std::string& version) {
        const std::string out = platform::WideToUtf8(dir) + "/" + version;
        EXPECT_EQ(RunExe({platform::Utf8ToWide(KELTRA_SOURCE_DIR "/packaging/deb/build-deb.sh"),
                          platform::Utf8ToWide(KELTRA_BINARY_DIR), platform::Utf8ToWide(out),
                          platform::Utf8ToWide(version)},
                         150000, L"/bin/sh"),
                  0u);
        return out + "/keltra-service_" + version + "_amd64.deb";
    }
    std::string Show(const std::string& property) {
        return Run("systemctl show --value -p " + property + " " + kUnit);
    }
};

TEST_F(DebPackage, InstallUpgradeRemovePurge) {
    const std::string first = Build(KELTRA_VERSION), next = Build(KELTRA_NEXT_VERSION);
    const std::filesystem::path dev = std::filesystem::path(first).parent_path() /
                                      ("keltra-service-dev_" KELTRA_VERSION "_all.deb");
    ASSERT_TRUE(std::filesystem::exists(first) && std::filesystem::exists(dev));
    EXPECT_EQ(RunExe({L"--fail-on", L"error", L"--tag-display-limit", L"0",
                      platform::Utf8ToWide(first), dev.wstring()},
                     150000, L"/usr/bin/lintian"),
              0u);
    EXPECT_NE(Run("dpkg-deb -c " + dev.string()).find("./usr/include/keltra/plugin.h"),
              std::string::npos);

    // Installed: enabled, started, the unit exactly what /INSTALL writes for the program.
    ASSERT_EQ(Run("dpkg -i " + first + " >/dev/null 2>&1; echo $?"), "0\n");
    EXPECT_EQ(Show("ActiveState") + Show("UnitFileState") + Show("StatusText"),
              "active\nenabled\nRunning: no plug-in loaded\n");
    Stoneleaf::CService identity;
    ASSERT_EQ(InitServiceIdentity(identity), 0u);
    EXPECT_EQ(Run("cat /lib/systemd/system/" + kUnit),
              platform::posix::UnitText(identity.InstallConfig(L"/usr/bin/keltra-service")));
    identity.ClearInitialised();
    EXPECT_EQ(Run("test -s /var/log/keltra/service.log; echo $?"), "0\n")
        << "packaged log settings";

    // The administrator lists plug-ins; a restart loads them, a control reaches them.
    ASSERT_EQ(Run("cp " + platform::WideToUtf8(dir) + "/registry.reg /etc/keltra/registry.reg"),
              "");
    ASSERT_EQ(Run("systemctl restart " + kUnit), "");
    EXPECT_EQ(Show("StatusText"), "Running: 2 plug-ins loaded\n");
    // The executable's commands find the packaged service, and leave its unit to the package.
    EXPECT_EQ(Inside({L"/usr/bin/keltra-service", L"/CONTROL", L"128"}), 0u);
    EXPECT_EQ(Inside({L"/usr/bin/keltra-service", L"/INSTALL", L"/usr/bin/keltra-service"}),
              AsExitCode(1073));
    const std::string edited = Run("cat /etc/keltra/registry.reg"), before = Show("MainPID");

    // The newer version: the edited file kept, the service restarted on the new executable.
    ASSERT_EQ(Run("dpkg -i " + next + " >/dev/null 2>&1; echo $?"), "0\n");
    EXPECT_EQ(Run("dpkg-query -W -f '${Version}' keltra-service"), KELTRA_NEXT_VERSION);
    EXPECT_EQ(Run("cat /etc/keltra/registry.reg"), edited);
    EXPECT_EQ(Show("ActiveState") + Show("StatusText"), "active\nRunning: 2 plug-ins loaded\n");
    EXPECT_NE(Show("MainPID"), before);
    EXPECT_EQ(Run("sh -c 'readlink /proc/$(systemctl show -p MainPID --value " + kUnit + ")/exe'"),
              "/usr/bin/keltra-service\n");  // not "(deleted)": the file the new package put there

    // Removed: stopped (the plug-ins unloaded), the unit gone, the configuration kept.
    ASSERT_EQ(Run("dpkg -r keltra-service >/dev/null 2>&1; echo $?"), "0\n");
    EXPECT_EQ(Show("ActiveState"), "inactive\n");
    EXPECT_EQ(Run("sh -c 'ls /lib/systemd/system/" + kUnit + " /usr/bin/keltra-service 2>&-'"), "");
    EXPECT_EQ(Run("cat /etc/keltra/registry.reg"), edited);
    for (const std::wstring& path : recorders) {
        EXPECT_EQ(CallsOfEveryRun(path),
                  "Handler 128 0\nHandler 1 0\nUnload\nHandler 1 0\nUnload\n");
    }

    // Purged: nothing of it remains.
    ASSERT_EQ(Run("dpkg -P keltra-service >/dev/null 2>&1; echo $?"), "0\n");
    EXPECT_EQ(
        Run("sh -c 'dpkg-query -W keltra-service 2>/dev/null; ls -d /etc/keltra /var/log/keltra "
            "/var/lib/KeltraServiceFramework /etc/systemd/system/" +
            kUnit + " /etc/systemd/system/*/" + kUnit + " /var/lib/systemd/deb-systemd-helper-*/*" +
            kUnit + "* 2>/dev/null'"),
        "");
    EXPECT_EQ(Show("LoadState"), "not-found\n");
}

}  // namespace
}  // namespace keltra::test
