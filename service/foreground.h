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
/// Without STOP the host then reads the same from standard input, one a line, until STOP,
/// the end of input or Ctrl-C. Takes the service's single-instance mutex: 183 while the
/// service (or another foreground host) runs. 87 for an unreadable code on the command line;
/// else 0 once every plug-in was stopped and unloaded.
std::uint32_t RunForeground(CService& service, int argc, wchar_t** argv);

}  // namespace Stoneleaf
