// The Event Log as the system's log: an event source registered at install time, entries
// written with ReportEventW as the one message of the executable's message table.
#include "platform/win32/windows_lean.h"

#include <atomic>
#include <cwchar>

#include "platform/system_log.h"

namespace platform {
namespace {

// The message table (resources/event_messages.mc) holds one message, "%1", under this id.
constexpr DWORD kEventText = 1;
constexpr std::size_t kCrashTextChars = 512;
constexpr wchar_t kSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

std::atomic<HANDLE> g_source{nullptr};
wchar_t g_crashWritten[kCrashTextChars] = {};
wchar_t g_crashFailed[kCrashTextChars] = {};

WORD TypeOf(SystemLogSeverity severity) {
    switch (severity) {
        case SystemLogSeverity::kError:
            return EVENTLOG_ERROR_TYPE;
        case SystemLogSeverity::kWarning:
            return EVENTLOG_WARNING_TYPE;
        default:
            return EVENTLOG_INFORMATION_TYPE;
    }
}

void Keep(wchar_t (&field)[kCrashTextChars], const wchar_t* text) {
    field[0] = L'\0';
    if (text != nullptr) {
        std::wcsncpy(field, text, kCrashTextChars - 1);
        field[kCrashTextChars - 1] = L'\0';
    }
}

// The source's key below the Application log, or false when the name does not fit.
bool SourceKey(const wchar_t* source, wchar_t (&key)[512]) {
    if (source == nullptr || source[0] == L'\0' ||
        std::wcslen(kSourcesKey) + std::wcslen(source) >= 512) {
        return false;
    }
    std::wcscpy(key, kSourcesKey);
    std::wcscat(key, source);
    return true;
}

}  // namespace

ErrorCode OpenSystemLog(const wchar_t* source) noexcept {
    if (source == nullptr || source[0] == L'\0' || std::wcslen(source) > 255) {
        return ERROR_INVALID_PARAMETER;
    }
    HANDLE handle = RegisterEventSourceW(nullptr, source);
    if (handle == nullptr) {
        return GetLastError();
    }
    if (HANDLE old = g_source.exchange(handle)) {
        DeregisterEventSource(old);
    }
    return 0;
}

void CloseSystemLog() noexcept {
    if (HANDLE old = g_source.exchange(nullptr)) {
        DeregisterEventSource(old);
    }
}

ErrorCode WriteSystemLog(SystemLogSeverity severity, const wchar_t* text) noexcept {
    HANDLE source = g_source.load();
    if (source == nullptr) {
        return ERROR_NOT_READY;
    }
    if (text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const wchar_t* strings[] = {text};
    return ReportEventW(source, TypeOf(severity), 0, kEventText, nullptr, 1, 0, strings, nullptr)
               ? 0
               : GetLastError();
}

void PrepareCrashSystemLog(const wchar_t* written, const wchar_t* failed) noexcept {
    Keep(g_crashWritten, written);
    Keep(g_crashFailed, failed);
}

void WriteCrashSystemLog(bool dumpWritten) noexcept {
    const wchar_t* text = dumpWritten ? g_crashWritten : g_crashFailed;
    if (text[0] != L'\0') {
        (void)WriteSystemLog(SystemLogSeverity::kError, text);
    }
}

ErrorCode RegisterSystemLogSource(const wchar_t* source, const wchar_t* messageFile) noexcept {
    wchar_t keyPath[512];
    if (!SourceKey(source, keyPath) || messageFile == nullptr || messageFile[0] == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return static_cast<ErrorCode>(status);
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(messageFile),
                            static_cast<DWORD>((std::wcslen(messageFile) + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
    return static_cast<ErrorCode>(status);
}

ErrorCode UnregisterSystemLogSource(const wchar_t* source) noexcept {
    wchar_t keyPath[512];
    if (!SourceKey(source, keyPath)) {
        return ERROR_INVALID_PARAMETER;
    }
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath);
    return status == ERROR_FILE_NOT_FOUND ? 0 : static_cast<ErrorCode>(status);
}

}  // namespace platform
