// Lifecycle events: one text for the trace log and the system's log.
#include "diagnostics/lifecycle_log.h"

#include <cstdarg>
#include <memory>

#include "diagnostics/log_file.h"
#include "platform/system_log.h"

namespace logfilesync {
namespace {

platform::SystemLogSeverity SeverityOf(wchar_t level) {
    return level == L'E'   ? platform::SystemLogSeverity::kError
           : level == L'W' ? platform::SystemLogSeverity::kWarning
                           : platform::SystemLogSeverity::kInformation;
}

// The formatted text (null when it cannot be formatted), owned by the caller.
std::unique_ptr<wchar_t[]> Format(const wchar_t* format, va_list args) {
    wchar_t* text = nullptr;
    (void)CLogFile::FormatText(args, &text, format);
    return std::unique_ptr<wchar_t[]>(text);
}

}  // namespace

void LogLifecycle(wchar_t level, const wchar_t* function, int line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::unique_ptr<wchar_t[]> text = Format(format, args);
    va_end(args);
    if (text != nullptr) {
        g_defaultLog.Log(level, function, line, L"%s", text.get());
        (void)platform::WriteSystemLog(SeverityOf(level), text.get());
    }
}

void ReportLifecycle(wchar_t level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::unique_ptr<wchar_t[]> text = Format(format, args);
    va_end(args);
    if (text != nullptr) {
        (void)platform::WriteSystemLog(SeverityOf(level), text.get());
    }
}

}  // namespace logfilesync
