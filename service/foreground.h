// The foreground host ("/RUN"): the configured plug-ins run in this terminal exactly as the
// service runs them, with controls from the command line and the keyboard, and the trace log
// printed as it is written. For plug-in authors and for a first look.
//
// Threads: runs on the main thread; a reader thread takes lines from standard input and a
// second thread echoes the log. Failure: a 32-bit Windows error code.
#pragma once

#include <cstdint>

#include "service/service.h"

namespace Stoneleaf {

/// argv: program, "/RUN", then control codes sent in order once the plug-ins run (a number,
/// INTERROGATE, PARAMCHANGE, or "CODE:EVENTTYPE"); "STOP" among them stops the host there.
/// Without STOP the host then reads the same from standard input, one a line (empty lines are
/// skipped), until STOP, the end of input, Ctrl-C or SIGTERM; its one reader of standard input
/// ends with the run. A closed terminal (SIGHUP) or a closed standard output (a write fails
/// with EPIPE) stops it the same way. Takes the service's single-instance mutex: 183 while
/// the service (or another foreground host) runs. 87 for an unreadable code on the command
/// line; else, once every plug-in was stopped and unloaded, 129 after SIGHUP, 141 after a
/// closed output (what a shell reports for a process those signals end), 0 otherwise.
/// The echoed log shows control characters as visible escapes (logfilesync::ShowControls).
std::uint32_t RunForeground(CService& service, int argc, wchar_t** argv);

}  // namespace Stoneleaf
