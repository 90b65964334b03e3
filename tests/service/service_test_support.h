// Shared by the service tests and the test service: a service whose start and stop can be
// held at a named mutex, and the run report that tells what reached each plug-in.
#pragma once

#include <cstdint>
#include <cstdio>
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

/// What reached one plug-in: "Main" and "Unload" counts and every "Handler" call.
struct PluginReport {
    unsigned main = 0, unload = 0;
    std::vector<HandlerCall> calls;
};
struct RunReport {
    unsigned long long service = 0;  // the service object's address: the handler's context
    unsigned result = 0;             // of EntryService
    std::vector<PluginReport> plugins;
};

inline void WriteRunReport(const std::wstring& path, const void* service, std::uint32_t result,
                           const std::vector<TestPluginRecord*>& records) {
    FILE* out = std::fopen(platform::WideToUtf8(path).c_str(), "w");
    if (out == nullptr) {
        return;
    }
    std::fprintf(out, "%llx %u\n", reinterpret_cast<unsigned long long>(service), result);
    for (TestPluginRecord* r : records) {
        const unsigned n = r->handlerCalls.load();
        std::fprintf(out, "%u %u %u\n", r->mainCalls.load(), r->unloadCalls.load(), n);
        for (unsigned i = 0; i < n && i < kMaxRecordedCalls; ++i) {
            std::fprintf(out, "%u %u %llx %llx\n", r->calls[i].control, r->calls[i].eventType,
                         reinterpret_cast<unsigned long long>(r->calls[i].eventData),
                         reinterpret_cast<unsigned long long>(r->calls[i].context));
        }
    }
    std::fclose(out);
}

/// Reads a report; empty (no plug-ins, service 0) when there is none.
inline RunReport ReadRunReport(const std::wstring& path) {
    RunReport report;
    FILE* in = std::fopen(platform::WideToUtf8(path).c_str(), "r");
    if (in == nullptr || std::fscanf(in, "%llx %u", &report.service, &report.result) != 2) {
        return report;
    }
    PluginReport plugin;
    unsigned n = 0;
    while (std::fscanf(in, "%u %u %u", &plugin.main, &plugin.unload, &n) == 3) {
        for (unsigned i = 0; i < n; ++i) {
            unsigned long long data = 0, context = 0;
            HandlerCall call = {};
            if (std::fscanf(in, "%u %u %llx %llx", &call.control, &call.eventType, &data,
                            &context) == 4) {
                call.eventData = reinterpret_cast<void*>(data);
                call.context = reinterpret_cast<void*>(context);
                plugin.calls.push_back(call);
            }
        }
        report.plugins.push_back(plugin);
        plugin.calls.clear();
    }
    std::fclose(in);
    return report;
}

}  // namespace keltra::test
