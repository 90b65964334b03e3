// Named kernel objects as files: making, opening and removing them with the other processes
// of the name, and the owner's lock with its bounded wait.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/kernel_object_file.h"
#include "platform/thread.h"

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

// Another process making or removing a name takes microseconds; waiting on it is bounded.
constexpr Clock::duration kSetupBound = std::chrono::seconds(5);
constexpr off_t kPresenceByte = 1;

int WakeSignal() noexcept {
    return SIGRTMIN + 7;  // SIGRTMIN + 5 ends threads, + 6 takes crash snapshots
}

// The owner's lock: flock, which does not meet the byte locks. False with errno set.
bool LockOwner(int fd, bool wait) noexcept {
    return ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == 0;
}

// One lock request on one byte of fd, without waiting; false with errno set.
bool LockByte(int fd, short type, off_t byte) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool SameFile(int dir, const std::string& file, int fd) noexcept {
    struct stat ours {};
    struct stat named {};
    return ::fstat(fd, &ours) == 0 &&
           ::fstatat(dir, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
}

// Removes the name if it still leads to fd's file. The caller holds the exclusive presence
// lock, so nobody else removes it meanwhile, and nobody can link another file under it.
void UnlinkIfNamed(int dir, const std::string& file, int fd) noexcept {
    if (SameFile(dir, file, fd)) {
        ::unlinkat(dir, file.c_str(), 0);
    }
}

// Makes a new file, takes its presence and only then links it under file. The descriptor, or
// -1 with errno set (EEXIST: the name exists).
int CreateObjectFile(int dir, const std::string& file) noexcept {
    static std::atomic<unsigned> counter{0};
    char temporary[48];
    std::snprintf(temporary, sizeof temporary, "t.%d.%u", static_cast<int>(::getpid()),
                  counter.fetch_add(1));
    const int fd =
        ::openat(dir, temporary, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    // 0600 whatever the umask; the state byte written now, so that it can be mapped.
    const bool ok = ::fchmod(fd, 0600) == 0 && ::pwrite(fd, &kObjectFree, 1, 0) == 1 &&
                    LockByte(fd, F_RDLCK, kPresenceByte) &&
                    ::linkat(dir, temporary, dir, file.c_str(), 0) == 0;
    const int error = errno;
    ::unlinkat(dir, temporary, 0);
    if (!ok) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

bool TryLockOwner(int fd) noexcept {
    return LockOwner(fd, false);
}

void UnlockOwner(int fd) noexcept {
    (void)::flock(fd, LOCK_UN);
}

timespec ToTimespec(std::chrono::steady_clock::duration d) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

int OpenObjectFile(int dir, const std::string& file, bool create, bool* created) noexcept {
    const Clock::time_point giveUp = Clock::now() + kSetupBound;
    auto pause = std::chrono::microseconds(20);
    const uid_t user = ::geteuid();
    do {
        int fd = ::openat(dir, file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            if (!create) {
                SetLastError(kErrorFileNotFound);
                return -1;
            }
            fd = CreateObjectFile(dir, file);
            if (fd >= 0) {
                *created = true;
                return fd;
            }
            if (errno == EEXIST) {
                continue;  // made by another just now: open that one
            }
        }
        if (fd < 0) {
            SetLastError(errno == ELOOP ? kErrorAccessDenied : ErrorFromErrno(errno));
            return -1;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
            (st.st_uid != user && st.st_uid != 0)) {
            ::close(fd);  // not ours: never used
            SetLastError(kErrorAccessDenied);
            return -1;
        }
        if (LockByte(fd, F_WRLCK, kPresenceByte)) {
            // No process has it open: its users died without closing. Remove it as their
            // last close would have.
            UnlinkIfNamed(dir, file, fd);
            ::close(fd);
            if (!create) {
                SetLastError(kErrorFileNotFound);
                return -1;
            }
            continue;
        }
        if (LockByte(fd, F_RDLCK, kPresenceByte) && SameFile(dir, file, fd)) {
            return fd;
        }
        ::close(fd);
        // Another process is removing it: a matter of microseconds.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    } while (Clock::now() < giveUp);
    SetLastError(kErrorTimeout);
    return -1;
}

std::uint32_t BlockOnOwnerLock(int fd, const Deadline& deadline) noexcept {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};  // only to interrupt the wait: no SA_RESTART
        sigemptyset(&action.sa_mask);
        ::sigaction(WakeSignal(), &action, nullptr);
    });
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &wake, &saved);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WakeSignal();
    event._sigev_un._tid = static_cast<pid_t>(GetCurrentThreadId());
    timer_t timer{};
    std::uint32_t result = kWaitFailed;
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
        SetLastError(ErrorFromErrno(errno));
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        return kWaitFailed;
    }
    for (;;) {
        // Repeats, in case it fires between unblocking and entering the wait.
        itimerspec period{ToTimespec(std::chrono::milliseconds(5)), ToTimespec(deadline.Slice())};
        ::timer_settime(timer, 0, &period, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
        const bool locked = LockOwner(fd, true);
        const int error = errno;
        pthread_sigmask(SIG_BLOCK, &wake, nullptr);
        if (locked) {
            result = kWaitObject0;
            break;
        }
        if (error != EINTR) {
            SetLastError(ErrorFromErrno(error));
            break;
        }
        if (TerminationRequested()) {
            SetLastError(kErrorInvalidHandle);
            break;
        }
        if (deadline.Passed()) {
            result = kWaitTimeout;
            break;
        }
    }
    ::timer_delete(timer);
    const timespec none{};
    while (::sigtimedwait(&wake, nullptr, &none) > 0) {  // leave no wake-up behind
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return result;
}

void CloseObjectFile(int dir, const std::string& file, int fd) noexcept {
    // The last presence anywhere removes the name.
    if (LockByte(fd, F_WRLCK, kPresenceByte)) {
        UnlinkIfNamed(dir, file, fd);
    }
    ::close(fd);  // also drops every lock of this process on it
}

}  // namespace platform::posix
