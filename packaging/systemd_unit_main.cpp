// keltra-systemd-unit: writes the systemd unit that /INSTALL writes for a program path, so that
// the Debian package ships the very unit the executable would install by hand.
//
//   keltra-systemd-unit PROGRAM DIRECTORY   writes DIRECTORY/<service name>.service and prints
//                                           its file name; the exit code is a Windows error code
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "service/framework.h"
#include "service/host/posix/systemd_unit.h"
#include "service/service.h"
#include "text/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: keltra-systemd-unit PROGRAM DIRECTORY\n", stderr);
        return platform::kErrorInvalidParameter;
    }
    Stoneleaf::CService service;
    if (const std::uint32_t rc = InitServiceIdentity(service); rc != 0) {
        return static_cast<int>(rc);
    }
    wchar_t command[260] = {};
    if (const std::uint32_t rc =
            Stoneleaf::CService::BuildBinaryPath(platform::Utf8ToWide(argv[1]).c_str(), command);
        rc != 0) {
        return static_cast<int>(rc);
    }
    const std::string name = platform::WideToUtf8(Stoneleaf::CService::ServiceName()) + ".service";
    std::ofstream out(std::string(argv[2]) + "/" + name, std::ios::binary | std::ios::trunc);
    out << platform::posix::UnitText(service.InstallConfig(command));
    service.ClearInitialised();
    if (!out.flush()) {
        std::fprintf(stderr, "keltra-systemd-unit: cannot write %s/%s\n", argv[2], name.c_str());
        return platform::kErrorWriteFault;
    }
    std::printf("%s\n", name.c_str());
    return 0;
}
