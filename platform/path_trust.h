// Whether a file a root process is about to trust (its configuration, code it runs) could be
// changed or replaced by another user, and whether a directory lets others plant names.
//
// The rule privileged daemons apply to their own configuration: a process running as root
// trusts a path only when no user but root could change the file (its owner, its mode) or
// replace it (the owner and mode of every directory on its way, and every symbolic link met,
// whose target's way counts too). A directory that others can write is fine when it has the
// sticky bit, since others cannot then rename or delete entries they do not own; the entries
// met in it must still be root's. A process that does not run as root runs only what its own
// user could run anyway: nothing is checked for it.
//
// Windows: the system's access control lists govern; nothing is checked there.
//
// Threads: any thread. Failure: a path that cannot be examined is reported as untrusted, with
// the reason; a path that does not exist (yet) is not the check's business and passes.
#pragma once

#include <string>

namespace platform {

/// Empty when the path may be trusted (or the process is not root, or on Windows); else why
/// not, naming the path at fault: "/srv/p is writable by group or others",
/// "/srv/p/a.so is owned by uid 65534, not root".
[[nodiscard]] std::wstring UntrustedPathReason(const wchar_t* path);

/// True when a user other than root and this process's own could add, rename or remove names
/// in the directory holding path's last component (its owner, or group or other write
/// permission, sticky or not): a name there may be a symbolic link someone planted, so it is
/// opened without following one. False on Windows, and when that directory cannot be examined.
[[nodiscard]] bool OthersCanWriteDirectoryOf(const wchar_t* path) noexcept;

/// Why a user other than root and this process's own could plant a name in the directory
/// holding path's last component: "<directory> is owned by uid N", or "<directory> is writable
/// by group or others" (a sticky directory passes: others cannot rename or remove the names
/// they do not own there). With entryToo, also what is at path itself, not followed: "<path> is
/// owned by uid N". Empty when nobody could, when the directory does not exist or cannot be
/// examined, and on Windows.
[[nodiscard]] std::wstring PlantedNameReason(const wchar_t* path, bool entryToo);

}  // namespace platform
