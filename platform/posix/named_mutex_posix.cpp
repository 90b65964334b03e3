// POSIX named mutexes: one object file per name (kernel_object_file.h), whose owner's lock
// the process of the owning thread holds.
//
// The kernel keeps the locks, so no process can plant state that this one trusts, and a dead
// process's locks go with its descriptors. The file's first byte reads kObjectOwned while an
// owner holds the mutex: set after taking the owner's lock, cleared before letting it go, so a
// taker that finds it set knows that the last owner died holding it. It is mapped (only its
// user and root can write the file, and it is read as a flag, never as a pointer), which keeps
// a take and a release at one system call each.
//
// In a process, every handle of one name shares one SharedName: one descriptor (one presence),
// and a process-private robust pthread mutex that carries thread ownership and thread death;
// recursion is counted beside it. The thread that takes the pthread mutex also takes the
// owner's lock, unless a thread that died owning it left that lock taken for the process.
//
// Waits: an uncontended take is one non-blocking lock call, a release one unlock; a contended
// one blocks in the kernel (BlockOnOwnerLock), in slices, so that the deadline and a
// termination request (TerminateThread) are seen.
#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/kernel_object_directory.h"
#include "platform/posix/kernel_object_file.h"
#include "platform/thread.h"
#include "text/text.h"

namespace platform {
namespace {

using posix::Deadline;
using posix::ToTimespec;

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
    posix::CloseObjectFile(m_dir, m_file, m_fd);
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
    if (!posix::TryLockOwner(m_fd)) {
        if (errno != EWOULDBLOCK) {
            SetLastError(ErrorFromErrno(errno));
            return kWaitFailed;
        }
        if (probe) {
            return kWaitTimeout;
        }
        const std::uint32_t result = posix::BlockOnOwnerLock(m_fd, deadline);
        if (result != kWaitObject0) {
            return result;
        }
    }
    // The lock calls order these stores with the other processes' accesses. A process that
    // dies between the lock and the mark dies inside its wait: it never owned the mutex.
    std::atomic_ref<unsigned char> state(*m_state);
    const bool abandoned =
        state.exchange(posix::kObjectOwned, std::memory_order_acq_rel) == posix::kObjectOwned;
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
    std::atomic_ref<unsigned char>(*m_state).store(posix::kObjectFree, std::memory_order_release);
    posix::UnlockOwner(m_fd);
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
    const int fd = posix::OpenObjectFile(dir, file, create, created);
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
