// The systemd unit of a service: its text (ExecStart= quoted by systemd's own rules, so that
// systemd runs exactly the one program), what systemctl shows for that ExecStart=, and writing
// the unit in one step.
//
// Any thread. Text in UTF-8, as systemd reads it. Failure: Windows error codes.
#pragma once

#include <string>

#include "service/host/service_control.h"

namespace platform::posix {

/// The program of a binary path: the path, or what lies between the double quotes that a path
/// with a space gets for a Windows command line (a path here starts with '/').
[[nodiscard]] std::string ProgramOf(const wchar_t* binaryPath);

/// A value for a unit line: specifiers (%) doubled, a control character (which would end the
/// line) made a space. Null is empty.
[[nodiscard]] std::string UnitValue(const wchar_t* text);

/// The whole unit: Type=notify, the display name as Description= (the description under
/// X-Description=, which systemd ignores), ExecStart= of the program alone, reload, runtime
/// and state directories, the recovery (Restart=on-failure with the first delay and the
/// start-rate limit, or Restart=no), the start and stop timeouts as a backstop, wanted by
/// multi-user.target.
[[nodiscard]] std::string UnitText(const ServiceConfig& config);

/// How `systemctl show -p ExecStart` begins (after "ExecStart=") for a unit that runs exactly
/// program and nothing else.
[[nodiscard]] std::string ExecStartShownFor(const std::string& program);

/// Puts text at path in one step, so systemd never reads half a unit: a temporary file beside
/// it (mode 0644 whatever the umask), then linked into place (1073 when path exists) or, with
/// replace, renamed over it. 0 or the error; no temporary file is left behind.
[[nodiscard]] ErrorCode WriteUnitFile(const std::string& path, const std::string& text,
                                      bool replace);

}  // namespace platform::posix
