// The binary path as the service manager gets it, which paths each platform takes as absolute,
// the status record and its JSON with hostile text, and the host's writer of the record (a burst
// of controls against a reader), in process. (Command words and control
// codes are tried on the real executable.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "service/host/service_control.h"
#include "service/host/status_reporter.h"
#include "service/service.h"
#include "service/status_command.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace {

TEST(BuildBinaryPath, TrimsAndQuotesOnlyWhatNeedsIt) {
    const std::wstring with258 = L"C:\\" + std::wstring(247, L'x') + L" svc.exe";  // 258
    const struct {
        std::wstring in;
        std::uint32_t code;
        std::wstring out;
    } cases[] = {
        {L" \tC:\\Program Files\\x\\svc.exe \r\n", 0, L"\"C:\\Program Files\\x\\svc.exe\""},
        {L"\"C:\\a b\\svc.exe\" -x", 0, L"\"C:\\a b\\svc.exe\" -x"},
        {L"C:\\a b\\svc.exe\"", 0, L"C:\\a b\\svc.exe\""},
        {L"C:\\a\tb\\svc.exe", 0, L"C:\\a\tb\\svc.exe"},
        {with258.substr(1), 0, L"\"" + with258.substr(1) + L"\""},  // 257 + quotes = 259
        {with258, 111, L""},                                        // 258 + quotes = 260
        {std::wstring(259, L'x'), 0, std::wstring(259, L'x')},
        {std::wstring(260, L'x'), 111, L""},
    };
    for (const auto& c : cases) {
        wchar_t out[260] = {};
        EXPECT_EQ(c.code, Stoneleaf::CService::BuildBinaryPath(c.in.c_str(), out)) << c.in.size();
        if (c.code == 0) {
            EXPECT_EQ(c.out, out);
        }
    }
}

// Each platform takes only its own absolute forms: elsewhere they name another file.
TEST(IsAbsolutePath, OnlyThisPlatformsOwnForms) {
    const bool windows = platform::kPathSeparator == L'\\';
    const struct {
        const wchar_t* path;
        bool onWindows, onPosix;
    } cases[] = {
        {L"/usr/bin/x", false, true}, {L"C:\\x", true, false},
        {L"c:/x", true, false},       {L"\\\\srv\\share\\x", true, false},
        {L"\\x", false, false},       {L"C:x", false, false},
        {L"x/y", false, false},       {L"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::IsAbsolutePath(c.path), windows ? c.onWindows : c.onPosix)
            << platform::WideToUtf8(c.path);
    }
    EXPECT_FALSE(platform::IsAbsolutePath(nullptr));
}

// Refused with 87 before the service manager is asked (so nothing can be installed): a control
// character, text that is not valid Unicode, a path not absolute here.
TEST(Install, RefusesPathsThatNameNoFileOnThisPlatform) {
    const std::wstring root = platform::kPathSeparator == L'/' ? L"/" : L"C:\\";
    const std::wstring rejected[] = {root + L"a\nExecStartPre=/bin/true\n/svc",
                                     root + L"a\tb",
                                     root + L"a\x7F",
                                     root + L"a\xFFFD",
                                     root == L"/" ? L"C:\\svc" : L"/svc",
                                     L"svc"};
    Stoneleaf::CService service;  // a name of its own: a path let through would be installed
    ASSERT_EQ(service.InitService(L"keltra-admin-test", L"", L""), 0u);
    for (const std::wstring& path : rejected) {
        EXPECT_EQ(service.Install(path.c_str(), false), 87u) << platform::WideToUtf8(path);
    }
    (void)service.Uninstall();  // only after a failure is there anything to remove
    service.ClearInitialised();
}

// Any text a plug-in or a path holds survives the record and is escaped in the JSON; a record
// cut short (a writer that died) or with a stray escape is refused, never half read.
TEST(StatusRecord, KeepsAnyTextAndRefusesAPartOne) {
    Stoneleaf::HostView view;
    view.processId = 4242;
    view.startedAt = 1700000000;
    view.state = 4;
    view.text = L"2 plug-ins\tloaded";
    view.plugins = {{L"/a\tb\\c\nplugin\rx\t", L"say \"hi\"\x01\x7F \u00e9", L"loaded"},
                    {L"", L"", L"suppressed (late)"}};
    view.controlSeen = true;
    view.lastControl = 128;
    view.lastControlAt = 1700000100;
    const std::string text = Stoneleaf::FormatHostView(view);
    Stoneleaf::HostView back;
    ASSERT_TRUE(Stoneleaf::ParseHostView(text, &back)) << text;
    EXPECT_EQ(Stoneleaf::FormatHostView(back), text);
    EXPECT_EQ(back.plugins.at(0).path, view.plugins[0].path);
    EXPECT_EQ(back.plugins.at(0).description, view.plugins[0].description);
    EXPECT_FALSE(back.handlerAnswered);
    for (const std::string& bad :
         {text.substr(0, text.size() - 4), text.substr(0, text.find("plugin")),
          std::string("keltra-status 1\ntext\ta\\q\nend\n"),
          std::string("keltra-status 1\nprocess\t-1\nend\n"), std::string()}) {
        EXPECT_FALSE(Stoneleaf::ParseHostView(bad, &back)) << bad;
    }

    // Member by member: gcc 12 at -O3 misreads a braced report as partly uninitialised.
    Stoneleaf::ServiceStatusReport report;
    report.serviceName = L"svc\"x";
    report.manager.status = {0x10, 4, 0, 0, 0, 0, 0};
    report.manager.processId = 4242;
    report.manager.binaryPath = L"C:\\a b\\x.exe";
    report.manager.recovery = 1;
    report.now = 1700000061;
    report.hostCurrent = true;
    report.host = view;
    EXPECT_EQ(Stoneleaf::FormatStatusJson(report),
              "{\"service\":\"svc\\\"x\",\"state\":\"running\",\"processId\":4242,"
              "\"binaryPath\":\"C:\\\\a b\\\\x.exe\",\"recovery\":\"on\",\"host\":{"
              "\"startedAt\":\"2023-11-14T22:13:20Z\",\"uptimeSeconds\":61,"
              "\"statusText\":\"2 plug-ins\\u0009loaded\",\"plugins\":["
              "{\"path\":\"/a\\u0009b\\\\c\\u000aplugin\\u000dx\\u0009\","
              "\"description\":\"say \\\"hi\\\"\\u0001\\u007f \xC3\xA9\",\"state\":\"loaded\"},"
              "{\"path\":\"\",\"description\":\"\",\"state\":\"suppressed (late)\"}],"
              "\"lastControl\":{\"code\":128,\"result\":0,\"at\":\"2023-11-14T22:15:00Z\"},"
              "\"slowestAnswer\":null}}\n");
}

// Controls are published by the reporter's writer, not by the thread that answered them: a
// reader racing a burst of them sees whole records only, and the last control of the burst
// reaches the record. A new plug-in list is there as soon as the call returns.
TEST(StatusRecord, TheWriterPublishesTheLastOfABurstWhole) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"status-writer");
    ASSERT_TRUE(platform::SetEnvironmentVariable(L"STATE_DIRECTORY", dir.c_str()));
    const wchar_t name[] = L"keltra-status-writer-test";
    const platform::ErrorCode made =
        platform::CreateDirectoryTree(platform::ServiceDataDirectory(name).c_str(), true);
    ASSERT_TRUE(made == 0 || made == platform::kErrorAlreadyExists) << made;
    {
        Stoneleaf::StatusReporter reporter;
        reporter.Start(name);
        reporter.SetPlugins({{L"/p/one", L"one", L"loaded"}});
        Stoneleaf::HostView seen;
        ASSERT_EQ(Stoneleaf::ReadStatusRecord(name, &seen), 0u);
        ASSERT_EQ(seen.plugins.size(), 1u);
        EXPECT_FALSE(seen.controlSeen);

        constexpr std::uint32_t kLast = 2000;
        for (std::uint32_t control = 128; control <= kLast; ++control) {
            reporter.RecordControl(control, 0, control == 200 ? 7 : 0);
            reporter.Heartbeat();  // outside a dispatcher: nothing to send, must not block
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            ASSERT_EQ(Stoneleaf::ReadStatusRecord(name, &seen), 0u);  // never a part record
        } while (seen.lastControl != kLast && std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(seen.lastControl, kLast);
        EXPECT_EQ(seen.slowestControl, 200u);
        EXPECT_EQ(seen.slowestAnswerMs, 7u);
        EXPECT_EQ(seen.plugins.size(), 1u);
    }
    EXPECT_TRUE(platform::DeleteFile(Stoneleaf::StatusRecordPath(name).c_str()));
    (void)platform::SetEnvironmentVariable(L"STATE_DIRECTORY", nullptr);
}

}  // namespace
