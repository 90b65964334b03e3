// The administration commands' own rules, in process: the binary path as the service manager
// gets it, command words, control codes.
#include <gtest/gtest.h>

#include <string>

#include "service/service.h"
#include "service/service_admin.h"

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
        {L"/opt/k/keltra-service", 0, L"/opt/k/keltra-service"},
        {L"   ", 0, L""},
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

TEST(CommandLine, WordsFoldOnlyAsciiLettersAndMatchWhole) {
    EXPECT_TRUE(Stoneleaf::IsCommandWord(L"/install", L"/INSTALL"));
    EXPECT_TRUE(Stoneleaf::IsCommandWord(L"/UnInStAlL", L"/UNINSTALL"));
    EXPECT_FALSE(Stoneleaf::IsCommandWord(L"/INSTAL", L"/INSTALL"));
    EXPECT_FALSE(Stoneleaf::IsCommandWord(L"/INSTALLX", L"/INSTALL"));
    EXPECT_FALSE(Stoneleaf::IsCommandWord(L"-INSTALL", L"/INSTALL"));
    EXPECT_FALSE(Stoneleaf::IsCommandWord(std::wstring(300, L'/').c_str(), L"/STOP"));
}

TEST(CommandLine, ControlCodesAreUserParamChangeOrInterrogate) {
    const struct {
        const wchar_t* text;
        bool ok;
        std::uint32_t code;
    } cases[] = {{L"128", true, 128},       {L"0xFF", true, 255}, {L"interrogate", true, 4},
                 {L"ParamChange", true, 6}, {L"4", true, 4},      {L"1", false, 0},
                 {L"127", false, 0},        {L"256", false, 0},   {L"-128", false, 0},
                 {L"12x", false, 0},        {L"", false, 0},      {L"STOP", false, 0}};
    for (const auto& c : cases) {
        std::uint32_t code = 0;
        EXPECT_EQ(c.ok, Stoneleaf::ParseControlCode(c.text, &code)) << c.text;
        EXPECT_EQ(c.code, code) << c.text;
    }
}

TEST(CommandLine, RefusedBeforeInitialisationAndWithoutArguments) {
    Stoneleaf::CService service;
    wchar_t program[] = L"svc";
    wchar_t* argv[] = {program, nullptr};
    EXPECT_EQ(21u, service.ExecArguments(1, argv));
    ASSERT_EQ(0u, service.InitService(L"KeltraAdminTest", L"d", L"d"));
    EXPECT_EQ(87u, service.ExecArguments(0, argv));
    EXPECT_EQ(87u, service.ExecArguments(1, nullptr));
    EXPECT_EQ(0u, service.ExecArguments(1, argv));
    service.ClearInitialised();
}

}  // namespace
