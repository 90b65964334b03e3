// POSIX named mutexes: a robust, process-shared, recursive pthread mutex in shared memory.
//
// Lifetime: every handle holds a shared flock on its shared-memory object. The handle that
// closes last gets the exclusive flock and unlinks the name, so the object goes away with its
// last user, as a Windows named object does. A process that dies drops its flocks but unlinks
// nothing: an opener that can take the exclusive flock finds no live handle and removes the
// object as that last close would have, so "exists" means "some live process has it open". An
// opener checks, under its shared flock, that the name still leads to the object it opened, and
// starts again if a closer unlinked it in between; so two processes never hold two different
// mutexes under one name.
//
// Initialisation: the object is zero-filled when created. Whoever first moves its state from
// "fresh" to "initialising" sets up the pthread mutex; others wait for "ready". If the
// initialising process dies half-way, a waiter that finds it gone takes the job over.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/posix/kernel_object.h"
#include "platform/text.h"

namespace platform {
namespace {

// The set-up word: state in the low two bits, the pid of the process setting it up above.
// One word, so that a process cannot die between claiming the job and naming itself.
enum : std::uint64_t { kStateFresh = 0, kStateInitialising = 1, kStateReady = 2, kStateMask = 3 };

struct SharedMutex {
    std::atomic<std::uint64_t> setup;
    pthread_mutex_t mutex;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// A file name has at most 255 bytes: a name whose escaped UTF-8 is longer keeps a prefix
// and a hash of the whole.
constexpr std::size_t kMaxShmName = 255;
constexpr char kShmPrefix[] = "/keltra-mutex.";

std::string ShmNameFor(const std::string& utf8) {
    std::string escaped;
    for (const char c : utf8) {
        if (c == '/') {
            escaped += "%2F";
        } else if (c == '%') {
            escaped += "%25";
        } else {
            escaped += c;
        }
    }
    std::string name = kShmPrefix + escaped;
    if (name.size() <= kMaxShmName) {
        return name;
    }
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over the full escaped name
    for (const char c : escaped) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    name.resize(kMaxShmName - (sizeof suffix - 3));
    return name + suffix;
}

void Flock(int fd, int operation) noexcept {
    while (::flock(fd, operation) != 0 && errno == EINTR) {
    }
}

// Unlinks the name if it still leads to fd's object. The caller holds the exclusive flock, so
// no other process can unlink the name and make it lead elsewhere meanwhile.
void UnlinkIfNamed(const std::string& shmName, int fd) noexcept {
    const int current = ::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (current < 0) {
        return;
    }
    struct stat ours {};
    struct stat named {};
    if (::fstat(fd, &ours) == 0 && ::fstat(current, &named) == 0 && ours.st_dev == named.st_dev &&
        ours.st_ino == named.st_ino) {
        ::shm_unlink(shmName.c_str());
    }
    ::close(current);
}

bool ProcessIsGone(std::int32_t pid) noexcept {
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool InitialiseMutex(pthread_mutex_t* mutex) noexcept {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return false;
    }
    const bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

// Brings the shared object to "ready"; false with the last error set if it cannot.
bool MakeReady(SharedMutex* shared) noexcept {
    const std::uint64_t claim = (static_cast<std::uint64_t>(::getpid()) << 2) | kStateInitialising;
    for (unsigned spins = 0;; ++spins) {
        std::uint64_t word = shared->setup.load(std::memory_order_acquire);
        if ((word & kStateMask) == kStateReady) {
            return true;
        }
        bool mine = false;
        if (word == kStateFresh) {
            mine = shared->setup.compare_exchange_strong(word, claim, std::memory_order_acq_rel);
        } else if ((word & kStateMask) == kStateInitialising &&
                   ProcessIsGone(static_cast<std::int32_t>(word >> 2))) {
            mine = shared->setup.compare_exchange_strong(word, claim, std::memory_order_acq_rel);
        }
        if (mine) {
            if (!InitialiseMutex(&shared->mutex)) {
                shared->setup.store(kStateFresh, std::memory_order_release);
                SetLastError(kErrorNoSystemResources);
                return false;
            }
            shared->setup.store(kStateReady, std::memory_order_release);
            return true;
        }
        // Another process is setting it up: a matter of microseconds.
        if (spins < 100) {
            sched_yield();
        } else {
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
}

class MutexObject final : public posix::KernelObject {
  public:
    MutexObject(std::string shmName, int fd, SharedMutex* shared) noexcept
        : KernelObject(posix::ObjectKind::kMutex),
          m_shmName(std::move(shmName)),
          m_fd(fd),
          m_shared(shared) {}
    // Not at OnHandleClosed: a wait on another thread may still be inside the mapping.
    ~MutexObject() override { Detach(); }

    std::uint32_t WaitAlone(std::uint32_t milliseconds) noexcept override;

    bool Release() noexcept {
        const int result = pthread_mutex_unlock(&m_shared->mutex);
        if (result == 0) {
            return true;
        }
        SetLastError(result == EPERM ? kErrorNotOwner : ErrorFromErrno(result));
        return false;
    }

    /// Takes the mutex once for the calling thread (initial ownership).
    bool TakeInitialOwnership() noexcept { return WaitAlone(kInfinite) != kWaitFailed; }

  private:
    void Detach() noexcept {
        if (m_fd < 0) {
            return;
        }
        ::munmap(m_shared, sizeof(SharedMutex));
        // The last handle anywhere unlinks the name.
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            UnlinkIfNamed(m_shmName, m_fd);
        }
        ::close(m_fd);  // also drops the flock
        m_fd = -1;
        m_shared = nullptr;
    }

    std::string m_shmName;
    int m_fd;
    SharedMutex* m_shared;
};

std::uint32_t MutexObject::WaitAlone(std::uint32_t milliseconds) noexcept {
    if (m_shared == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return kWaitFailed;
    }
    pthread_mutex_t* mutex = &m_shared->mutex;
    int result;
    if (milliseconds == 0) {
        result = pthread_mutex_trylock(mutex);
        if (result == EBUSY) {
            return kWaitTimeout;
        }
    } else {
        // Short slices, so that a thread asked to end (TerminateThread) is not kept waiting.
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const bool infinite = milliseconds == kInfinite;
        if (!infinite) {
            deadline.tv_sec += milliseconds / 1000;
            deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
        }
        while (true) {
            timespec slice{};
            clock_gettime(CLOCK_MONOTONIC, &slice);
            slice.tv_nsec += 50 * 1000000L;
            if (slice.tv_nsec >= 1000000000L) {
                slice.tv_sec += 1;
                slice.tv_nsec -= 1000000000L;
            }
            const bool last =
                !infinite &&
                (slice.tv_sec > deadline.tv_sec ||
                 (slice.tv_sec == deadline.tv_sec && slice.tv_nsec >= deadline.tv_nsec));
            result = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, last ? &deadline : &slice);
            if (result != ETIMEDOUT && result != EINTR) {
                break;
            }
            if (posix::TerminationRequested()) {
                SetLastError(kErrorInvalidHandle);
                return kWaitFailed;
            }
            if (last && result == ETIMEDOUT) {
                return kWaitTimeout;
            }
        }
    }
    if (result == 0) {
        return kWaitObject0;
    }
    if (result == EOWNERDEAD) {
        // Ours now, like WAIT_ABANDONED: mark it usable again for the next owner.
        pthread_mutex_consistent(mutex);
        return kWaitAbandoned0;
    }
    SetLastError(result == EAGAIN ? kErrorNotOwner : ErrorFromErrno(result));
    return kWaitFailed;
}

bool ValidName(const wchar_t* name) noexcept {
    if (name == nullptr || name[0] == L'\0' ||
        std::char_traits<wchar_t>::length(name) > kMaxMutexName) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

// Opens (and with create, creates) the named object. *created tells whether this call made it.
Handle OpenShared(const wchar_t* name, bool create, bool openToEveryone, bool* created) noexcept {
    *created = false;
    if (!ValidName(name)) {
        return nullptr;
    }
    std::string shmName;
    try {
        shmName = ShmNameFor(WideToUtf8(name));
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    const mode_t mode = openToEveryone ? 0666 : 0600;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        bool madeIt = false;
        int fd = -1;
        if (create) {
            fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            madeIt = fd >= 0;
            if (fd < 0 && errno != EEXIST) {
                SetLastError(ErrorFromErrno(errno));
                return nullptr;
            }
        }
        if (fd < 0) {
            fd = ::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
            if (fd < 0) {
                if (errno == ENOENT && create) {
                    continue;  // unlinked by its last closer just now: create afresh
                }
                SetLastError(errno == ENOENT ? kErrorFileNotFound : ErrorFromErrno(errno));
                return nullptr;
            }
        }
        if (!madeIt && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // No handle holds it: its last users died without closing. Remove it as their
            // last close would have; an opener between its open and its flock sees the name
            // moved and starts again.
            UnlinkIfNamed(shmName, fd);
            ::close(fd);
            if (!create) {
                SetLastError(kErrorFileNotFound);
                return nullptr;
            }
            continue;
        }
        Flock(fd, LOCK_SH);
        // Still the object the name leads to? A last closer may have unlinked it meanwhile.
        const int check = ::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
        struct stat ours {};
        struct stat named {};
        const bool same = check >= 0 && ::fstat(fd, &ours) == 0 && ::fstat(check, &named) == 0 &&
                          ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
        if (check >= 0) {
            ::close(check);
        }
        if (!same) {
            ::close(fd);
            if (!create) {
                SetLastError(kErrorFileNotFound);
                return nullptr;
            }
            continue;
        }
        if (madeIt && openToEveryone) {
            (void)::fchmod(fd, 0666);  // regardless of umask
        }
        if (ours.st_size < static_cast<off_t>(sizeof(SharedMutex)) &&
            ::ftruncate(fd, sizeof(SharedMutex)) != 0) {
            SetLastError(ErrorFromErrno(errno));
            ::close(fd);
            return nullptr;
        }
        void* memory =
            ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) {
            SetLastError(ErrorFromErrno(errno));
            ::close(fd);
            return nullptr;
        }
        auto* shared = static_cast<SharedMutex*>(memory);
        if (!MakeReady(shared)) {
            ::munmap(memory, sizeof(SharedMutex));
            ::close(fd);
            return nullptr;
        }
        std::shared_ptr<MutexObject> object;
        try {
            object = std::make_shared<MutexObject>(shmName, fd, shared);
        } catch (const std::bad_alloc&) {
            ::munmap(memory, sizeof(SharedMutex));
            ::close(fd);
            SetLastError(kErrorNotEnoughMemory);
            return nullptr;
        }
        *created = madeIt;
        return posix::InsertHandle(std::move(object));
    }
    SetLastError(kErrorBusy);
    return nullptr;
}

}  // namespace

Handle CreateMutex(bool openToEveryone, bool initiallyOwned, const wchar_t* name) noexcept {
    bool created = false;
    UniqueHandle handle(OpenShared(name, true, openToEveryone, &created));
    if (!handle) {
        return nullptr;
    }
    if (created && initiallyOwned) {
        auto object = posix::LookupHandleAs<MutexObject>(handle.Get(), posix::ObjectKind::kMutex);
        if (!object || !object->TakeInitialOwnership()) {
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
    Handle handle = OpenShared(name, false, false, &created);
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
