// Acting as another user in a POSIX test: a child of the test program that drops to uid and
// gid 65534 (setresgid, then setresuid) before it acts, so what it makes is really another
// user's. Only root can do that: tests that need it skip without root.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test {

inline constexpr unsigned kOtherUser = 65534;

/// Why a test cannot act as another user here, or null when it can.
inline const char* CannotActAsOtherUser() {
    return ::geteuid() == 0 ? nullptr : "needs root to act as another user (uid 65534)";
}

/// Drops this root process to uid and gid 65534 with no supplementary groups, for good.
inline bool BecomeOtherUser() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0 && ::geteuid() == kOtherUser;
}

/// args: "link TARGET PATH" plants a symbolic link; "write PATH TEXT" creates a file (0644).
KELTRA_CHILD_ROLE(as_other_user) {
    if (!BecomeOtherUser()) {
        return 2;
    }
    const std::string what = platform::WideToUtf8(args.at(0));
    const std::string a = platform::WideToUtf8(args.at(1));
    const std::string b = platform::WideToUtf8(args.at(2));
    if (what == "link") {
        return ::symlink(a.c_str(), b.c_str()) == 0 ? 0 : 3;
    }
    const int fd = ::open(a.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    return fd >= 0 && ::close(fd) == 0 && written ? 0 : 4;
}

/// Runs one action of as_other_user; 0 when it was done.
inline std::uint32_t AsOtherUser(const std::vector<std::wstring>& args) {
    return RunChild("as_other_user", args, 30000);
}

}  // namespace keltra::test
