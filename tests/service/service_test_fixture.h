// Test-program side of the service tests: a listed set of copied test plug-ins, each with the
// test's own load to read what reached it.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/executive/exec_test_support.h"
#include "tests/service/service_test_support.h"

namespace keltra::test {

class PluginSet {
  public:
    PluginSet(std::initializer_list<const wchar_t*> baseNames) {
        const std::wstring dir = MakeTempDirectory(L"svc");
        for (const wchar_t* name : baseNames) {
            const std::wstring index = std::to_wstring(m_libs.size());
            const std::wstring path = CopyPlugin(name, dir, L"svc" + index);
            m_key.SetString((L"svcbu" + index).c_str(), path);
            m_libs.push_back(std::make_unique<TestLib>(path));
        }
        m_params = TestParams(m_key.Path());
    }
    [[nodiscard]] const FrameworkParams* Params() const { return &m_params; }
    [[nodiscard]] const wchar_t* Key() const { return m_key.Path(); }
    TestLib& operator[](std::size_t i) { return *m_libs[i]; }
    [[nodiscard]] std::size_t Size() const { return m_libs.size(); }

  private:
    TestRegistryKey m_key;
    std::vector<std::unique_ptr<TestLib>> m_libs;
    FrameworkParams m_params;
};

/// The controls a plug-in saw, in order.
inline std::vector<std::uint32_t> Controls(const std::vector<HandlerCall>& calls) {
    std::vector<std::uint32_t> out;
    for (const HandlerCall& c : calls) {
        out.push_back(c.control);
    }
    return out;
}
inline std::vector<HandlerCall> Calls(TestPluginRecord& r) {
    return {r.calls, r.calls + std::min<std::uint32_t>(r.handlerCalls.load(), kMaxRecordedCalls)};
}

}  // namespace keltra::test
