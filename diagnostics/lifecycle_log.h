// The service's lifecycle events (started with N plug-ins, a plug-in suppressed, a control that
// timed out, stopped, the log settings re-read) in the system's own log as well as in the trace
// log, where an operator looks first; written whether or not the trace log is open.
//
// Threads: any thread, any time. Failure: nothing throws; what the system's log refuses is
// lost there (the trace log still has its line). The system's log takes entries only once the
// process entry opened it (platform/system_log.h): the service does, /RUN and the commands do
// not.
#pragma once

namespace logfilesync {

/// Formats once and writes the text as a line of g_defaultLog at level (when the log passes
/// it) and as an entry of the system's log: E an error, W a warning, any other an information.
/// "%s" takes a wide string, as in every log call.
void LogLifecycle(wchar_t level, const wchar_t* function, int line, const wchar_t* format, ...);

/// The same entry in the system's log alone, for events whose trace line is written already
/// in its own words.
void ReportLifecycle(wchar_t level, const wchar_t* format, ...);

}  // namespace logfilesync
