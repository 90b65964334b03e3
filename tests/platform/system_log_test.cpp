// The system's log: the source registered and removed again (Windows: its key in the real
// registry; the journal needs none), and entries that are written only while the log is open
// (the calls succeed; Wine keeps no event log to read them back from, the journal is read
// back by the service test under a real systemd).
#include "platform/system_log.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/platform/thread_test_helpers.h"

namespace platform {
namespace {

const bool kEventLog = std::wstring(kLibrarySuffix) == L".dll";

// The registered message file of source ("" when the source has no key).
std::wstring MessageFileOf(const std::wstring& source) {
    RegKey key = nullptr;
    const std::wstring path =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    if (RegOpenKeyEx(HkeyLocalMachine(), path.c_str(), 0, kKeyQueryValue, &key) != 0) {
        return L"";
    }
    UniqueRegKey owner(key);
    wchar_t file[260] = {};
    std::uint32_t size = sizeof file - sizeof(wchar_t);
    return RegQueryValueEx(key, L"EventMessageFile", nullptr, reinterpret_cast<std::uint8_t*>(file),
                           &size) == 0
               ? file
               : L"?";
}

TEST(SystemLog, SourceRegisteredEntriesWrittenOnlyWhileOpen) {
    const std::wstring source = L"keltra-test-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring program = GetExecutablePath();
    EXPECT_EQ(87u, RegisterSystemLogSource(L"", program.c_str()));
    EXPECT_EQ(87u, RegisterSystemLogSource(source.c_str(), nullptr));
    ASSERT_EQ(0u, RegisterSystemLogSource(source.c_str(), program.c_str()));
    EXPECT_EQ(kEventLog ? program : L"", MessageFileOf(source));

    EXPECT_EQ(21u, WriteSystemLog(SystemLogSeverity::kError, L"before open"));
    EXPECT_EQ(87u, OpenSystemLog(std::wstring(256, L's').c_str()));
    ASSERT_EQ(0u, OpenSystemLog(source.c_str()));
    for (const SystemLogSeverity severity : {SystemLogSeverity::kError, SystemLogSeverity::kWarning,
                                             SystemLogSeverity::kInformation}) {
        EXPECT_EQ(0u, WriteSystemLog(severity, L"keltra system log test entry"));
    }
    EXPECT_EQ(87u, WriteSystemLog(SystemLogSeverity::kError, nullptr));
    CloseSystemLog();
    EXPECT_EQ(21u, WriteSystemLog(SystemLogSeverity::kError, L"after close"));

    EXPECT_EQ(0u, UnregisterSystemLogSource(source.c_str()));
    EXPECT_EQ(L"", MessageFileOf(source));
    EXPECT_EQ(0u, UnregisterSystemLogSource(source.c_str()));  // nothing left: still 0
}

}  // namespace
}  // namespace platform
