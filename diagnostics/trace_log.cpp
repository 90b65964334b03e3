// The trace log front end: the process's default log, the named-log table and the scope
// tracer.
#include "diagnostics/trace_log.h"

#include "diagnostics/log_file.h"
#include "text/text.h"

logfilesync::CLogFile g_defaultLog;
logfilesync::CLogFileMap g_logFileMap;

namespace logfilesync {

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
