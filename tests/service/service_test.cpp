// The service classes driven through the control handler directly, as the manager would call
// it: every control reaches every plug-in once with its four values, shutdown keeps the
// plug-ins loaded, stop unloads them. (Windows: device, power, session and shutdown events
// cannot be sent to a service under Wine, so they are covered here.)
#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

using Stoneleaf::CService;

TEST(ServiceTest, EveryControlReachesEveryPluginOnceUnchanged) {
    LogCapture log;
    PluginSet plugins{L"tp_good", L"tp_good"};
    CServiceImpl service(plugins.Params());
    wchar_t arg0[] = L"svc-arg";
    wchar_t* argv[] = {arg0, nullptr};
    service.EnterMainLoop(1, argv);
    ASSERT_EQ(service.PluginCount(), 2u);
    int deviceData = 0, wrongKind = 0;  // data of another event type passes through untouched
    struct Row {
        std::uint32_t control, eventType;
        void* data;
    } const rows[] = {{4, 0, nullptr},           {6, 0, nullptr},          {2, 0, nullptr},
                      {11, 0x8000, &deviceData}, {13, 0x8013, &wrongKind}, {14, 5, &wrongKind},
                      {12, 1, nullptr},          {200, 7, nullptr},        {0, 0, nullptr},
                      {300, 0, nullptr},         {5, 0, nullptr}};
    for (const Row& row : rows) {
        EXPECT_EQ(CService::ServiceCtrlHandlerEx(row.control, row.eventType, row.data, &service),
                  0u);
    }
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(4, 0, nullptr, nullptr), 120u);  // no context
    EXPECT_EQ(service.PluginCount(), 2u) << "shutdown must not unload";
    for (std::size_t p = 0; p < 2; ++p) {
        TestPluginRecord& record = plugins[p].Record();
        EXPECT_STREQ(record.mainFirstArg, L"svc-arg");
        EXPECT_EQ(record.unloadCalls.load(), 0u);
        const auto calls = Calls(record);
        ASSERT_EQ(calls.size(), std::size(rows));
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].control, rows[i].control);
            EXPECT_EQ(calls[i].eventType, rows[i].eventType);
            EXPECT_EQ(calls[i].eventData, rows[i].data);
            EXPECT_EQ(calls[i].context, &service);
        }
    }
    EXPECT_EQ(CService::ServiceCtrlHandlerEx(1, 0, nullptr, &service), 0u);
    EXPECT_EQ(service.PluginCount(), 0u);
    for (std::size_t p = 0; p < 2; ++p) {
        EXPECT_EQ(plugins[p].Record().unloadCalls.load(), 1u);
        EXPECT_EQ(plugins[p].Record().calls[std::size(rows)].control, 1u);
    }
    EXPECT_EQ(log.Messages(L"CServiceImpl::OnStop"),
              (std::vector<std::wstring>{L"D Unloaded all plugins.",
                                         L"D Terminated service main loop."}));
}

}  // namespace
}  // namespace keltra::test
