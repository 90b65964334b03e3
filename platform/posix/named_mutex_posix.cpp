// POSIX named mutexes: one owner-only lock file per name, locked with the kernel's
// open-file-description locks.
//
// The kernel keeps the locks, so no process can plant state that this one trusts, and a dead
// process's locks go with its descriptors. A name is a file in the user's object directory
// (kernel_object_directory.h), mode 0600, with two locks, which the kernel keeps apart:
//  - flock, taken exclusively by the process whose thread owns the mutex. The file's first
//    byte reads 1 while an owner holds it: set after taking the lock, cleared before letting
//    go, so a taker that finds it set knows that the last owner died holding it. It is mapped
//    (only its user and root can write the file, and it is read as a flag, never as a
//    pointer), which keeps a take and a release at one system call each.
//  - an open-file-description lock on byte 1, taken shared by every process that has the name
//    open: its presence.
//
// Lifetime: a process closing its last handle of the name tries to turn its presence lock
// exclusive; when it can, no other process has the name open, and it removes the file, which
// is what "the mutex goes away with its last handle" means here. A new file is made under a
// temporary name with its presence taken and only then linked under the name, so a file found
// under a name without any presence belongs to processes that died: the opener removes it as
// their last close would have. An opener checks, holding its presence, that the name still
// leads to the file it opened, and starts again if a closer removed it in between; so two
// processes never hold two different mutexes under one name. Waiting for another process to
// finish making or removing a name is bounded.
//
// In a process, every handle of one name shares one SharedName: one descriptor (one presence),
// and a process-private robust pthread mutex that carries thread ownership and thread death;
// recursion is counted beside it. The thread that takes the pthread mutex also takes the
// flock, unless a thread that died owning it left the flock taken for the process.
//
// Waits: an uncontended take is one non-blocking lock call, a release one unlock. A contended
// one blocks in the kernel's lock wait, which a timer signal aimed at the waiting thread
// (kWakeSignal, blocked outside the wait) interrupts at least every 50 ms, so that the deadline
// and a termination request (TerminateThread) are seen.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/kernel_object_directory.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the pthread waits use
constexpr Clock::duration kSlice = std::chrono::milliseconds(50);
// Another process making or removing a name takes microseconds; waiting on it is bounded.
constexpr Clock::duration kSetupBound = std::chrono::seconds(5);
constexpr off_t kStateByte = 0;
constexpr off_t kPresenceByte = 1;
constexpr unsigned char kFree = 0;
constexpr unsigned char kOwned = 1;

int WakeSignal() noexcept {
    return SIGRTMIN + 7;  // SIGRTMIN + 5 ends threads, + 6 takes crash snapshots
}

struct Deadline {
    bool infinite = true;
    Clock::time_point at{};

    static Deadline After(std::uint32_t milliseconds) noexcept {
        Deadline d;
        d.infinite = milliseconds == kInfinite;
        d.at = Clock::now() + std::chrono::milliseconds(d.infinite ? 0 : milliseconds);
        return d;
    }
    [[nodiscard]] bool Passed() const noexcept { return !infinite && Clock::now() >= at; }
    // The next slice of the wait: at most kSlice, never past the deadline.
    [[nodiscard]] Clock::duration Slice() const noexcept {
        return infinite
                   ? kSlice
                   : std::clamp<Clock::duration>(at - Clock::now(), Clock::duration(1), kSlice);
    }
};

timespec ToTimespec(Clock::duration d) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
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
    const bool ok = ::fchmod(fd, 0600) == 0 && ::pwrite(fd, &kFree, 1, kStateByte) == 1 &&
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

// Opens (with create, makes) the object file; *created when this call made it. Returns the
// descriptor with presence held, or -1 with the last error set.
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

// Blocks until the owner's lock on fd is taken for this process, the deadline passes or the
// thread is asked to end: kWaitObject0, kWaitTimeout or kWaitFailed with the last error set.
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
        itimerspec spec{ToTimespec(std::chrono::milliseconds(5)), ToTimespec(deadline.Slice())};
        ::timer_settime(timer, 0, &spec, nullptr);
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
        if (posix::TerminationRequested()) {
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

// Every handle of one name in this process.
class SharedName {
  public:
    SharedName(std::string key, int dir, std::string file, int fd) noexcept
        : m_key(std::move(key)), m_dir(dir), m_file(std::move(file)), m_fd(fd) {}
    SharedName(const SharedName&) = delete;
    SharedName& operator=(const SharedName&) = delete;
    ~SharedName();

    /// Maps the state byte and sets up the pthread mutex; false with the last error set.
    bool Initialise() noexcept;
    /// A wait of the mutex (WaitForSingleObject's results).
    std::uint32_t Wait(std::uint32_t milliseconds) noexcept;
    /// Releases one level of the calling thread's ownership.
    bool Release() noexcept;

  private:
    int LockLocal(const Deadline& deadline, bool probe) noexcept;
    std::uint32_t LockCross(const Deadline& deadline, bool probe) noexcept;

    static std::uint64_t CurrentThread() noexcept {
        static std::atomic<std::uint64_t> next{1};
        thread_local const std::uint64_t id = next.fetch_add(1);  // never reused, unlike tids
        return id;
    }

    const std::string m_key;
    const int m_dir;
    const std::string m_file;
    const int m_fd;
    bool m_initialised = false;
    unsigned char* m_state = nullptr;  // the file's first byte, mapped
    pthread_mutex_t m_local{};
    // The owner's, read by others only to find that they are not the owner.
    std::atomic<std::uint64_t> m_owner{0};
    std::uint32_t m_depth = 0;  // the owner's
    bool m_crossHeld = false;   // the flock taken for this process; the owner's
};

// Every name this process has open, by user and file name.
struct NameTable {
    std::mutex mutex;  // a leaf lock
    std::unordered_map<std::string, std::weak_ptr<SharedName>> names;
};

NameTable& Names() noexcept {
    static NameTable* const table = new NameTable;  // used until the last handle closes
    return *table;
}

SharedName::~SharedName() {
    {
        NameTable& table = Names();
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto it = table.names.find(m_key);
        if (it != table.names.end() && it->second.expired()) {
            table.names.erase(it);
        }
    }
    if (m_initialised) {
        pthread_mutex_destroy(&m_local);
    }
    if (m_state != nullptr) {
        ::munmap(m_state, 1);
    }
    // The last handle anywhere removes the name.
    if (LockByte(m_fd, F_WRLCK, kPresenceByte)) {
        UnlinkIfNamed(m_dir, m_file, m_fd);
    }
    ::close(m_fd);  // also drops every lock of this process on it
    ::close(m_dir);
}

bool SharedName::Initialise() noexcept {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || (st.st_size < 1 && ::ftruncate(m_fd, 1) != 0)) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    void* state = ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (state == MAP_FAILED) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    m_state = static_cast<unsigned char*>(state);
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        SetLastError(kErrorNoSystemResources);
        return false;
    }
    m_initialised = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                    pthread_mutex_init(&m_local, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!m_initialised) {
        SetLastError(kErrorNoSystemResources);
    }
    return m_initialised;
}

// The pthread mutex in slices, so that a thread asked to end is not kept waiting: 0,
// EOWNERDEAD, ETIMEDOUT, ECANCELED (asked to end) or another error.
int SharedName::LockLocal(const Deadline& deadline, bool probe) noexcept {
    if (probe) {
        const int result = pthread_mutex_trylock(&m_local);
        return result == EBUSY ? ETIMEDOUT : result;
    }
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const auto until = std::chrono::seconds(now.tv_sec) +
                           std::chrono::nanoseconds(now.tv_nsec) + deadline.Slice();
        const timespec slice = ToTimespec(until);
        const int result = pthread_mutex_clocklock(&m_local, CLOCK_MONOTONIC, &slice);
        if (result != ETIMEDOUT && result != EINTR) {
            return result;
        }
        if (posix::TerminationRequested()) {
            return ECANCELED;
        }
        if (deadline.Passed()) {
            return ETIMEDOUT;
        }
    }
}

// Takes the owner's lock for this process and marks the mutex owned: kWaitObject0,
// kWaitAbandoned0 (the last owner died holding it), kWaitTimeout, or kWaitFailed with the last
// error set.
std::uint32_t SharedName::LockCross(const Deadline& deadline, bool probe) noexcept {
    if (!LockOwner(m_fd, false)) {
        if (errno != EWOULDBLOCK) {
            SetLastError(ErrorFromErrno(errno));
            return kWaitFailed;
        }
        if (probe) {
            return kWaitTimeout;
        }
        const std::uint32_t result = BlockOnOwnerLock(m_fd, deadline);
        if (result != kWaitObject0) {
            return result;
        }
    }
    // The lock calls order these stores with the other processes' accesses. A process that
    // dies between the lock and the mark dies inside its wait: it never owned the mutex.
    std::atomic_ref<unsigned char> state(*m_state);
    const bool abandoned = state.exchange(kOwned, std::memory_order_acq_rel) == kOwned;
    return abandoned ? kWaitAbandoned0 : kWaitObject0;
}

std::uint32_t SharedName::Wait(std::uint32_t milliseconds) noexcept {
    const std::uint64_t self = CurrentThread();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return kWaitObject0;
    }
    const Deadline deadline = Deadline::After(milliseconds);
    const int local = LockLocal(deadline, milliseconds == 0);
    bool abandoned = false;
    if (local == EOWNERDEAD) {
        // A thread of this process ended owning it: ours now, usable again for the next owner.
        pthread_mutex_consistent(&m_local);
        abandoned = true;
    } else if (local == ETIMEDOUT) {
        return kWaitTimeout;
    } else if (local != 0) {
        SetLastError(local == ECANCELED ? kErrorInvalidHandle : ErrorFromErrno(local));
        return kWaitFailed;
    }
    if (!m_crossHeld) {
        const std::uint32_t cross = LockCross(deadline, milliseconds == 0);
        if (cross != kWaitObject0 && cross != kWaitAbandoned0) {
            pthread_mutex_unlock(&m_local);
            return cross;
        }
        abandoned = abandoned || cross == kWaitAbandoned0;
        m_crossHeld = true;
    }
    m_depth = 1;
    m_owner.store(self, std::memory_order_relaxed);
    return abandoned ? kWaitAbandoned0 : kWaitObject0;
}

bool SharedName::Release() noexcept {
    if (m_owner.load(std::memory_order_relaxed) != CurrentThread()) {
        SetLastError(kErrorNotOwner);
        return false;
    }
    if (--m_depth > 0) {
        return true;
    }
    m_owner.store(0, std::memory_order_relaxed);
    // Cleared before letting go: a taker that finds it set knows the owner died.
    std::atomic_ref<unsigned char>(*m_state).store(kFree, std::memory_order_release);
    (void)::flock(m_fd, LOCK_UN);
    m_crossHeld = false;
    pthread_mutex_unlock(&m_local);
    return true;
}

class MutexObject final : public posix::KernelObject {
  public:
    explicit MutexObject(std::shared_ptr<SharedName> shared) noexcept
        : KernelObject(posix::ObjectKind::kMutex), m_shared(std::move(shared)) {}

    std::uint32_t WaitAlone(std::uint32_t milliseconds) noexcept override {
        return m_shared->Wait(milliseconds);
    }
    bool Release() noexcept { return m_shared->Release(); }

  private:
    // Not dropped at OnHandleClosed: a wait on another thread may still use it.
    std::shared_ptr<SharedName> m_shared;
};

bool ValidName(const wchar_t* name) noexcept {
    if (name == nullptr || name[0] == L'\0' ||
        std::char_traits<wchar_t>::length(name) > kMaxMutexName) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

// The name's SharedName in this process, opened (with create, made) if none is open. *created
// tells whether this call made the mutex.
std::shared_ptr<SharedName> OpenShared(const wchar_t* name, bool create, bool* created) {
    *created = false;
    if (!ValidName(name)) {
        return nullptr;
    }
    const std::string file = posix::ObjectFileName(WideToUtf8(name));
    const std::string key = std::to_string(::geteuid()) + '/' + file;
    NameTable& table = Names();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto it = table.names.find(key);
        if (it != table.names.end()) {
            if (std::shared_ptr<SharedName> open = it->second.lock()) {
                return open;
            }
        }
    }
    const int dir = posix::OpenObjectDirectory();
    if (dir < 0) {
        return nullptr;
    }
    const int fd = OpenObjectFile(dir, file, create, created);
    if (fd < 0) {
        const ErrorCode error = GetLastError();
        ::close(dir);
        SetLastError(error);
        return nullptr;
    }
    std::shared_ptr<SharedName> shared;
    try {
        shared = std::make_shared<SharedName>(key, dir, file, fd);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        ::close(dir);
        throw;
    }
    if (!shared->Initialise()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(table.mutex);
    std::weak_ptr<SharedName>& slot = table.names[key];
    if (std::shared_ptr<SharedName> other = slot.lock()) {
        return other;  // another thread opened it meanwhile: one per process
    }
    slot = shared;
    return shared;
}

Handle OpenHandle(const wchar_t* name, bool create, bool* created) noexcept {
    try {
        std::shared_ptr<SharedName> shared = OpenShared(name, create, created);
        return shared ? posix::InsertHandle(std::make_shared<MutexObject>(std::move(shared)))
                      : nullptr;
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
}

}  // namespace

Handle CreateMutex(bool /*openToEveryone*/, bool initiallyOwned, const wchar_t* name) noexcept {
    bool created = false;
    UniqueHandle handle(OpenHandle(name, true, &created));
    if (!handle) {
        return nullptr;
    }
    if (created && initiallyOwned) {
        auto object = posix::LookupHandleAs<MutexObject>(handle.Get(), posix::ObjectKind::kMutex);
        if (!object || object->WaitAlone(kInfinite) == kWaitFailed) {
            const ErrorCode error = GetLastError();
            handle.Reset();
            SetLastError(error);
            return nullptr;
        }
    }
    SetLastError(created ? kErrorSuccess : kErrorAlreadyExists);
    return handle.Release();
}

Handle OpenMutex(std::uint32_t /*access*/, bool /*inheritHandle*/, const wchar_t* name) noexcept {
    bool created = false;
    Handle handle = OpenHandle(name, false, &created);
    if (handle != nullptr) {
        SetLastError(kErrorSuccess);
    }
    return handle;
}

bool ReleaseMutex(Handle mutex) noexcept {
    auto object = posix::LookupHandleAs<MutexObject>(mutex, posix::ObjectKind::kMutex);
    if (!object) {
        return false;
    }
    return object->Release();
}

}  // namespace platform
