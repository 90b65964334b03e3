// The command site on Windows: this machine and its service manager.
#include "bench/command_site.h"
#include "platform/process.h"

namespace bench {
namespace {

class LocalSite : public CommandSite {
  public:
    platform::Handle Start(const std::wstring& program,
                           const std::vector<std::wstring>& args) override {
        return platform::StartProcess(program, args);
    }
    bool UseRegistryFile(const std::wstring&) override { return true; }  // the real registry
};

}  // namespace

std::unique_ptr<CommandSite> CommandSite::Open(const std::wstring&, std::string*) {
    return std::make_unique<LocalSite>();
}

}  // namespace bench
