// Where the POSIX backend keeps named kernel objects: a directory that no other user can write.
//
// Windows keeps "Global\" names in a namespace where an ordinary user cannot create them; this
// gives Linux the same barrier. Root's objects live in /run/keltra (owned by root, mode 0755);
// every other user's in a private directory of its own, /dev/shm/keltra-<uid> (owned by that
// user, mode 0700; /tmp/keltra-<uid> where /dev/shm is missing). Each process finds the
// directory of its effective user, so another user can neither open, read nor pre-create what
// a process names there. /run may be a bare tmpfs, writable by all with the sticky bit: then
// another user may make /run/keltra first, which is refused (root's names then fail with 5,
// they are never found in that user's directory). Root can open a user's objects (its permission
// checks pass), but looks for its own names only in its own directory.
//
// Threads: any. Failure: -1 with the last error set (5 when an existing directory or a
// directory on the way is not what it must be: a link, not a directory, another owner, or
// writable by others).
#pragma once

#include <string>

namespace platform::posix {

/// Opens the calling user's object directory, creating it (and nothing above it) when it is
/// missing, and checks it: never followed through a link; root's owned by root and writable
/// by nobody else, a user's owned by that user with no access for anyone else. Returns its
/// descriptor (close-on-exec; the caller closes it) or -1 with the last error set.
[[nodiscard]] int OpenObjectDirectory() noexcept;

/// The file name within the object directory under which the object named utf8Name lives:
/// "m." followed by the name with '/' and '%' escaped (%2F, %25); a name whose file name would
/// pass 255 bytes keeps a prefix and a hash of the whole. Never starts with '.', never holds
/// '/'.
[[nodiscard]] std::string ObjectFileName(const std::string& utf8Name);

}  // namespace platform::posix
