// Another user on Linux, for tests that run as root: child roles that drop to uid/gid 65534
// and then try to reach root's named mutexes, or pre-create names in every place that user can
// write, and the test side's handle on such a squatter. Include it in one file per test program
// (it defines child roles).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "tests/support/other_user.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test::foreign {

/// Where named objects live or once lived, and where a squatter puts its traps: the shared
/// places and the per-user and root directories below them.
inline std::vector<std::string> ObjectPlaces() {
    return {"/dev/shm", "/tmp", "/run/keltra", "/dev/shm/keltra-0", "/tmp/keltra-0"};
}

/// The file names a mutex name could be given there: the object file name and the name that
/// shared memory objects had.
inline std::vector<std::string> CandidateFiles(const std::wstring& name) {
    std::string escaped;
    for (const char c : platform::WideToUtf8(name)) {
        escaped += c == '/'   ? std::string("%2F")
                   : c == '%' ? std::string("%25")
                              : std::string(1, c);
    }
    return {"m." + escaped, "keltra-mutex." + escaped};
}

// args: tag, names... As another user: opening any of the names, or opening for reading or
// writing any file in the object places whose name holds tag, sets a bit of the exit code.
KELTRA_CHILD_ROLE(foreign_reach) {
    if (!BecomeOtherUser()) {
        return 64;
    }
    int reached = 0;
    for (std::size_t i = 1; i < args.size(); ++i) {
        platform::UniqueHandle mutex(
            platform::OpenMutex(platform::kSynchronize, false, args[i].c_str()));
        reached |= mutex ? 1 : 0;
    }
    const std::string tag = platform::WideToUtf8(args.at(0));
    for (const std::string& place : ObjectPlaces()) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(place, ignored)) {
            if (entry.path().filename().string().find(tag) == std::string::npos) {
                continue;
            }
            for (const int mode : {O_RDONLY, O_WRONLY}) {
                const int fd = ::open(entry.path().c_str(), mode | O_NOFOLLOW | O_CLOEXEC);
                reached |= fd >= 0 ? (mode == O_RDONLY ? 2 : 4) : 0;
                if (fd >= 0) {
                    ::close(fd);
                }
            }
        }
    }
    return reached;
}

// args: ready directory, names... As another user: makes each name its own (held, owned),
// plants files under the names' candidate file names in every object place it can write
// (directories included), then writes "ready" and waits to be killed.
KELTRA_CHILD_ROLE(foreign_squat) {
    if (!BecomeOtherUser()) {
        return 64;
    }
    std::vector<platform::Handle> held;
    for (std::size_t i = 1; i < args.size(); ++i) {
        for (const std::string& place : ObjectPlaces()) {
            (void)::mkdir(place.c_str(), 0777);  // where it may: a directory root would trust
            for (const std::string& file : CandidateFiles(args[i])) {
                // A set-up word that claims a live process is making the object, then junk.
                std::ofstream trap(place + "/" + file, std::ios::binary);
                const unsigned long long word =
                    (static_cast<unsigned long long>(::getpid()) << 2) | 1;
                trap.write(reinterpret_cast<const char*>(&word), sizeof word);
                trap << std::string(56, '\x7f');
            }
        }
        held.push_back(platform::CreateMutex(true, true, args[i].c_str()));
        if (held.back() == nullptr) {
            return 65;
        }
    }
    if (!(std::ofstream(std::filesystem::path(args.at(0)) / "ready") << "ready")) {
        return 66;
    }
    platform::UniqueHandle never(platform::CreateEvent(true, false));
    (void)platform::WaitForSingleObject(never.Get(), platform::kInfinite);
    return 67;
}

/// A foreign_squat child for names; killed, and its traps removed, when this goes.
class Squatter {
  public:
    explicit Squatter(const std::vector<std::wstring>& names) : m_names(names) {
        const std::wstring ready = MakeTempDirectory(L"squat");
        (void)::chown(platform::WideToUtf8(ready).c_str(), kOtherUser, kOtherUser);
        std::vector<std::wstring> args{ready};
        args.insert(args.end(), names.begin(), names.end());
        m_child.Reset(StartChild("foreign_squat", args));
        const std::filesystem::path flag = std::filesystem::path(ready) / "ready";
        // Pauses on the child's handle, so that a child that fails ends the wait at once.
        for (int i = 0; i < 4000 && m_child && !std::filesystem::exists(flag); ++i) {
            if (platform::WaitForSingleObject(m_child.Get(), 5) != platform::kWaitTimeout) {
                return;
            }
        }
        m_ready = std::filesystem::exists(flag);
    }
    ~Squatter() {
        if (m_child) {
            platform::TerminateProcess(m_child.Get(), 9);
            (void)platform::WaitForSingleObject(m_child.Get(), 20000);
        }
        for (const std::wstring& name : m_names) {
            for (const std::string& place : ObjectPlaces()) {
                for (const std::string& file : CandidateFiles(name)) {
                    struct stat st {};
                    const std::string path = place + "/" + file;
                    if (::lstat(path.c_str(), &st) == 0 && st.st_uid == kOtherUser) {
                        ::unlink(path.c_str());
                    }
                }
                struct stat st {};
                if (::lstat(place.c_str(), &st) == 0 && st.st_uid == kOtherUser) {
                    ::rmdir(place.c_str());  // only the squatter's, and only once empty
                }
            }
        }
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    [[nodiscard]] bool Ready() const { return m_ready; }

  private:
    std::vector<std::wstring> m_names;
    platform::UniqueHandle m_child;
    bool m_ready = false;
};

}  // namespace keltra::test::foreign
