// The trace log front end: settings from the registry, the log call with its level filter,
// message formatting under the fault guard, the console report and the scope tracer.
#include "diagnostics/trace_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/fault_guard.h"
#include "platform/registry.h"
#include "text/text.h"

logfilesync::CLogFile g_defaultLog;
logfilesync::CLogFileMap g_logFileMap;

namespace logfilesync {
namespace {

// Set by OnFormatInvalidParameter on the thread whose formatting it reports: a malformed
// format fails at every capacity, so FormatText stops instead of growing the buffer.
thread_local bool t_invalidParameter = false;

// A number setting: the raw bytes of the value in a zeroed 4-byte buffer.
bool ReadNumber(platform::RegKey key, const wchar_t* name, std::uint32_t* value) {
    std::uint8_t bytes[4] = {};
    std::uint32_t size = sizeof bytes;
    if (platform::RegQueryValueEx(key, name, nullptr, bytes, &size) != platform::kErrorSuccess) {
        return false;
    }
    std::memcpy(value, bytes, sizeof bytes);
    return true;
}

struct FormatAttempt {
    wchar_t* buffer;
    std::size_t capacity;
    const wchar_t* format;
    va_list* args;
    int result;
};

void RunFormatAttempt(void* context) {
    auto* attempt = static_cast<FormatAttempt*>(context);
    attempt->result = platform::VsnwprintfS(attempt->buffer, attempt->capacity,
                                            attempt->capacity - 1, attempt->format, *attempt->args);
}

// A registry file that cannot be parsed, or that root refuses to trust, leaves the log off
// without anyone knowing why: say it where a person sees it (the log itself is not open yet).
void ReportUnreadableRegistry(platform::ErrorCode error) {
    const wchar_t* reason = platform::RegistryFileError();
    if ((error != platform::kErrorInvalidData && error != platform::kErrorAccessDenied) ||
        reason == nullptr || reason[0] == L'\0') {
        return;
    }
    std::fprintf(stderr, "cannot read the log settings: %s\n",
                 platform::WideToUtf8(reason).c_str());
    std::fflush(stderr);
}

// One formatting attempt into buffer (capacity wide characters) under the fault guard.
enum class Attempt { kDone, kTooLong, kFailed };
Attempt FormatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args,
                   int* chars) {
    platform::SetInvalidParameterHandler(&OnFormatInvalidParameter);
    t_invalidParameter = false;
    va_list copy;
    va_copy(copy, args);
    FormatAttempt attempt{buffer, capacity, format, &copy, -1};
    // A fault (a bad string pointer) ends the attempt: no message, nothing leaked.
    const bool finished = platform::RunGuarded(&RunFormatAttempt, &attempt);
    va_end(copy);
    if (finished && attempt.result > 0) {
        *chars = attempt.result;
        return Attempt::kDone;
    }
    // Empty, faulting or malformed: a larger buffer would not help.
    if (!finished || attempt.result == 0 || t_invalidParameter) {
        return Attempt::kFailed;
    }
    return Attempt::kTooLong;
}

// The growing loop of FormatText from a given first capacity.
int FormatGrowing(va_list args, wchar_t** buffer, const wchar_t* format, std::size_t first,
                  std::size_t largest) {
    for (std::size_t capacity = first; capacity <= largest; capacity *= 2) {
        // Through the new handler, as every allocation, but without an exception.
        wchar_t* attemptBuffer = new (std::nothrow) wchar_t[capacity]();
        if (attemptBuffer == nullptr) {
            return 0;
        }
        int chars = 0;
        const Attempt outcome = FormatInto(attemptBuffer, capacity, format, args, &chars);
        if (outcome == Attempt::kDone) {
            *buffer = attemptBuffer;
            return chars;
        }
        delete[] attemptBuffer;
        if (outcome == Attempt::kFailed) {
            return 0;
        }
    }
    return 0;
}

const wchar_t* OrNull(const wchar_t* text) {
    return text != nullptr ? text : L"(null)";
}

}  // namespace

void OnFormatInvalidParameter(const wchar_t* expression, const wchar_t* function,
                              const wchar_t* file, unsigned int line, std::uintptr_t) {
    t_invalidParameter = true;
    platform::ConsolePrint(L"Invalid parameter detected in function %s. File: %s Line: %d\n",
                           OrNull(function), OrNull(file), static_cast<int>(line));
    platform::ConsolePrint(L"Expression: %s\n", OrNull(expression));
}

int CLogFile::LoadSettings() {
    m_enabled = 0;
    platform::RegKey key = nullptr;
    const platform::ErrorCode opened =
        platform::RegOpenKeyEx(platform::HkeyLocalMachine(), kSettingsKey, 0,
                               platform::kKeyQueryValue | platform::kKeyWow64_64Key, &key);
    if (opened != platform::kErrorSuccess) {
        ReportUnreadableRegistry(opened);
        return 0;
    }
    std::uint32_t enabled = 0;
    if (!ReadNumber(key, L"enabled", &enabled)) {
        (void)platform::RegCloseKey(key);
        return 0;
    }
    m_enabled = enabled;

    std::uint8_t pathBytes[kLogPathChars * 2] = {};
    std::uint32_t pathSize = sizeof pathBytes;
    bool pathRead = platform::RegQueryValueEx(key, L"logpath", nullptr, pathBytes, &pathSize) ==
                    platform::kErrorSuccess;
    if (pathRead) {
        // Up to the first NUL and never past the bytes read: the value need not end with one.
        try {
            const std::wstring path = platform::WideFromUtf16LeBytes(
                pathBytes, std::min<std::size_t>(pathSize, sizeof pathBytes));
            pathRead =
                platform::StringCchCopyW(m_logPath, kLogPathChars, path.c_str()) == platform::kSOk;
        } catch (const std::bad_alloc&) {
            pathRead = false;
        }
    }
    if (!pathRead) {
        m_enabled = 0;
        (void)platform::RegCloseKey(key);
        return 0;
    }
    m_append = 0;
    if (!ReadNumber(key, L"append", &m_append)) {
        m_append = 0;
    }
    m_loglevel = 0;
    if (!ReadNumber(key, L"loglevel", &m_loglevel)) {
        m_loglevel = 0;
    }
    (void)platform::RegCloseKey(key);
    return 1;
}

bool CLogFile::Configure(std::uint32_t enabled, const wchar_t* path, std::uint32_t append,
                         std::uint32_t loglevel) {
    wchar_t copy[kLogPathChars];
    if (path == nullptr || platform::StringCchCopyW(copy, kLogPathChars, path) != platform::kSOk) {
        return false;
    }
    std::copy(copy, copy + kLogPathChars, m_logPath);
    m_enabled = enabled;
    m_append = append;
    m_loglevel = loglevel;
    return true;
}

int CLogFile::LogUnfiltered(wchar_t level, const wchar_t* function, int line, const wchar_t* format,
                            ...) {
    va_list args;
    va_start(args, format);
    const int result = LogV(level, function, line, format, args);
    va_end(args);
    return result;
}

int CLogFile::LogV(wchar_t level, const wchar_t* function, int line, const wchar_t* format,
                   va_list args) {
    if (!Passes(level) || format == nullptr) {
        return 0;
    }
    // Most messages fit the first capacity: format them on the stack, without an allocation.
    wchar_t first[kFirstFormatCapacity];
    int chars = 0;
    const std::size_t firstCapacity = std::min(kFirstFormatCapacity, m_largestMessageBuffer);
    const Attempt outcome = firstCapacity < kFirstFormatCapacity
                                ? Attempt::kTooLong
                                : FormatInto(first, firstCapacity, format, args, &chars);
    if (outcome == Attempt::kDone) {
        return AppendLine(level, function, line, first, static_cast<std::size_t>(chars));
    }
    if (outcome == Attempt::kFailed) {
        return 0;
    }
    wchar_t* message = nullptr;
    chars = FormatGrowing(args, &message, format, kFirstFormatCapacity * 2, m_largestMessageBuffer);
    if (chars <= 0) {
        delete[] message;
        return 0;
    }
    return WriteLine(level, function, line, message, static_cast<std::uint32_t>(chars) * 2) != 0
               ? 1
               : 0;
}

int CLogFile::FormatText(va_list args, wchar_t** buffer, const wchar_t* format) {
    return FormatTextUpTo(args, buffer, format, kLargestFormatCapacity);
}

int CLogFile::FormatTextUpTo(va_list args, wchar_t** buffer, const wchar_t* format,
                             std::size_t largestCapacity) {
    if (buffer == nullptr) {
        return 0;
    }
    *buffer = nullptr;
    if (format == nullptr) {
        return 0;
    }
    return FormatGrowing(args, buffer, format, kFirstFormatCapacity, largestCapacity);
}

CTraceScope::CTraceScope(const wchar_t* function, int line) : m_line(line) {
    m_function[0] = L'\0';
    if (function != nullptr) {
        platform::StringCchCopyW(m_function, kFunctionNameChars, function);
    }
    g_defaultLog.Log(L'D', m_function, m_line, L"===>");
}

CTraceScope::~CTraceScope() {
    g_defaultLog.Log(L'D', m_function, m_line, L"<===");
}

}  // namespace logfilesync
