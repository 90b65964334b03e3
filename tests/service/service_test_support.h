// Shared by the service tests and the test service: a service whose start and stop can be
// held at a named mutex, and the run report that tells what reached each plug-in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/text.h"
#include "platform/wait.h"
#include "service/service_impl.h"
#include "tests/plugins/test_plugin_api.h"

namespace keltra::test {

/// CServiceImpl that waits, while a test holds "<hold>_start" (after start-pending) or
/// "<hold>_stop" (after stop-pending), so the manager's view of those states can be read.
class HeldService : public CServiceImpl {
  public:
    HeldService(const FrameworkParams* params, std::wstring hold)
        : CServiceImpl(params), m_hold(std::move(hold)) {}
    std::uint32_t RegisterNotifications(platform::ServiceStatusHandle handle) override {
        const std::uint32_t result = CService::RegisterNotifications(handle);
        Wait(L"_start");
        return result;
    }
    void UnregisterNotifications(platform::ServiceStatusHandle handle) override {
        Wait(L"_stop");
        CService::UnregisterNotifications(handle);
    }

  private:
    void Wait(const wchar_t* which) const {
        platform::UniqueHandle held(
            platform::OpenMutex(platform::kSynchronize, false, (m_hold + which).c_str()));
        if (held && platform::WaitForSingleObject(held.Get(), 60000) != platform::kWaitTimeout) {
            platform::ReleaseMutex(held.Get());
        }
    }
    std::wstring m_hold;
};

inline FrameworkParams TestParams(const wchar_t* key) {
    FrameworkParams params = {};
    platform::StringCchCopyW(params.pluginKeyPath, 260, key);
    platform::StringCchCopyW(params.valueNameFilter, 260, L"svcbu");
    return params;
}

/// The run report: the service object's address (the handler's context), EntryService's
/// result, and each listed plug-in's record at the end, as bytes (one build writes and reads).
struct RunReport {
    std::uintptr_t service = 0;
    std::uint32_t result = 0xFFFFFFFF;
    std::vector<std::unique_ptr<TestPluginRecord>> plugins;
};

inline void WriteRunReport(const std::wstring& path, const void* service, std::uint32_t result,
                           const std::vector<TestPluginRecord*>& records) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    const auto address = reinterpret_cast<std::uintptr_t>(service);
    out.write(reinterpret_cast<const char*>(&address), sizeof address);
    out.write(reinterpret_cast<const char*>(&result), sizeof result);
    for (const TestPluginRecord* r : records) {
        out.write(reinterpret_cast<const char*>(r), sizeof *r);
    }
}

inline RunReport ReadRunReport(const std::wstring& path) {
    RunReport report;
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    in.read(reinterpret_cast<char*>(&report.service), sizeof report.service);
    in.read(reinterpret_cast<char*>(&report.result), sizeof report.result);
    for (auto r = std::make_unique<TestPluginRecord>();
         in.read(reinterpret_cast<char*>(r.get()), sizeof *r);
         r = std::make_unique<TestPluginRecord>()) {
        report.plugins.push_back(std::move(r));
    }
    return report;
}

}  // namespace keltra::test
