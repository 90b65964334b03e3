// The journal as the system's log: sd_journal_send with a priority and an identifier.
#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/error.h"
#include "platform/system_log.h"
#include "text/text.h"

namespace platform {
namespace {

constexpr std::size_t kSourceChars = 256;
constexpr std::size_t kCrashTextBytes = 2048;  // 511 characters of up to 4 bytes, and a name

std::atomic<bool> g_open{false};
char g_source[kSourceChars * 4] = {};  // UTF-8
// Whole journal fields, ready for the crash path: "MESSAGE=..." and "SYSLOG_IDENTIFIER=...".
char g_crashWritten[kCrashTextBytes] = {};
char g_crashFailed[kCrashTextBytes] = {};
char g_crashIdentifier[sizeof g_source + 32] = {};

int PriorityOf(SystemLogSeverity severity) {
    switch (severity) {
        case SystemLogSeverity::kError:
            return 3;  // LOG_ERR
        case SystemLogSeverity::kWarning:
            return 4;  // LOG_WARNING
        default:
            return 6;  // LOG_INFO
    }
}

// "MESSAGE=" and the text's first 511 characters in UTF-8, into field.
void PrepareField(char (&field)[kCrashTextBytes], const wchar_t* text) {
    field[0] = '\0';
    if (text == nullptr) {
        return;
    }
    std::wstring cut(text);
    cut.resize(std::min<std::size_t>(cut.size(), 511));
    const std::string utf8 = "MESSAGE=" + WideToUtf8(cut);
    if (utf8.size() < sizeof field) {
        std::memcpy(field, utf8.c_str(), utf8.size() + 1);
    }
}

}  // namespace

ErrorCode OpenSystemLog(const wchar_t* source) noexcept try {
    if (source == nullptr || source[0] == L'\0' || std::wcslen(source) >= kSourceChars) {
        return kErrorInvalidParameter;
    }
    const std::string utf8 = WideToUtf8(source);
    std::memcpy(g_source, utf8.c_str(), utf8.size() + 1);
    std::strcpy(g_crashIdentifier, "SYSLOG_IDENTIFIER=");
    std::strcat(g_crashIdentifier, g_source);
    g_open = true;
    return 0;
} catch (...) {
    return kErrorNotEnoughMemory;
}

void CloseSystemLog() noexcept {
    g_open = false;
}

ErrorCode WriteSystemLog(SystemLogSeverity severity, const wchar_t* text) noexcept try {
    if (!g_open) {
        return kErrorNotReady;
    }
    if (text == nullptr) {
        return kErrorInvalidParameter;
    }
    const int sent =
        sd_journal_send("MESSAGE=%s", WideToUtf8(text).c_str(), "PRIORITY=%d", PriorityOf(severity),
                        "SYSLOG_IDENTIFIER=%s", g_source, nullptr);
    return sent < 0 ? ErrorFromErrno(-sent) : 0;
} catch (...) {
    return kErrorNotEnoughMemory;
}

void PrepareCrashSystemLog(const wchar_t* written, const wchar_t* failed) noexcept try {
    PrepareField(g_crashWritten, written);
    PrepareField(g_crashFailed, failed);
} catch (...) {
    g_crashWritten[0] = g_crashFailed[0] = '\0';
}

void WriteCrashSystemLog(bool dumpWritten) noexcept {
    const char* message = dumpWritten ? g_crashWritten : g_crashFailed;
    if (!g_open || message[0] == '\0') {
        return;
    }
    // sd_journal_sendv with ready fields formats nothing and allocates nothing on its way to
    // one sendmsg (its stack arrays come from alloca), unlike sd_journal_send.
    static char priority[] = "PRIORITY=3";
    const iovec fields[] = {{const_cast<char*>(message), std::strlen(message)},
                            {priority, sizeof priority - 1},
                            {g_crashIdentifier, std::strlen(g_crashIdentifier)}};
    (void)sd_journal_sendv(fields, 3);
}

ErrorCode RegisterSystemLogSource(const wchar_t* source, const wchar_t* messageFile) noexcept {
    const bool named = source != nullptr && source[0] != L'\0';
    return named && messageFile != nullptr && messageFile[0] != L'\0'
               ? ErrorCode{0}
               : ErrorCode{kErrorInvalidParameter};
}

ErrorCode UnregisterSystemLogSource(const wchar_t* source) noexcept {
    return source != nullptr && source[0] != L'\0' ? ErrorCode{0}
                                                   : ErrorCode{kErrorInvalidParameter};
}

}  // namespace platform
