// The framework singleton: the top of the service host. Run loads the service's names from
// the string table, builds the concrete service on its own frame and either runs it under the
// service manager (no argument), in this terminal ("/RUN"), or performs one administration
// command.
//
// Threads: GetInstance and Run on the process's main thread. Failure: Run returns a 32-bit
// Windows error code, which the process entry makes its exit code; nothing throws out of it.
#pragma once

#include <cstdint>

#include "service/framework_params.h"

namespace Stoneleaf {
class CService;
}

/// Gives service the identity the executable has, from its string table: the service name,
/// display name and description (InitService's result). Used by Run and by the build tools
/// that write the packages' service definitions, so both name the same service.
std::uint32_t InitServiceIdentity(Stoneleaf::CService& service);

class CPluginFramework {
  public:
    CPluginFramework(const CPluginFramework&) = delete;
    CPluginFramework& operator=(const CPluginFramework&) = delete;
    virtual ~CPluginFramework() = default;

    /// The one instance, created on first use under the singleton lock; never null.
    static CPluginFramework* GetInstance();

    /// Runs the service, the foreground host or one command (argv[0] is the program). 1247
    /// when the service object was already initialised, else the result of the road taken.
    std::uint32_t Run(int argc, wchar_t** argv, const FrameworkParams* params);

  private:
    CPluginFramework() = default;
};
