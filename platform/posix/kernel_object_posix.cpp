// The POSIX handle table, the kernel lock, the wakeup threads sleep on, and CloseHandle.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <unordered_map>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/posix/kernel_object.h"

namespace platform::posix {
namespace {

// Handle values look like Windows ones (multiples of 4, never 0 or all bits set) and are never
// reused, so a stale handle cannot reach an object created after it was closed.
constexpr std::uintptr_t kFirstHandleValue = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
    std::mutex mutex;  // a leaf lock: nothing else is taken while it is held
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = kFirstHandleValue;
};

// Never destroyed: threads may close handles while the process runs its exit handlers.
HandleTable& Table() noexcept {
    static HandleTable* const table = new HandleTable;
    return *table;
}

}  // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == 4 &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex is a plain 32-bit word");

void WakeupWord::Notify() noexcept {
    m_sequence.fetch_add(1);
    (void)syscall(SYS_futex, &m_sequence, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void WakeupWord::Sleep(std::uint32_t seen, bool infinite,
                       std::chrono::steady_clock::time_point deadline) noexcept {
    timespec relative = {};
    if (!infinite) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        relative.tv_sec = static_cast<time_t>(ns / 1000000000);
        relative.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    // Returns at once when a notification came after seen was read (the word differs).
    (void)syscall(SYS_futex, &m_sequence, FUTEX_WAIT_PRIVATE, seen, infinite ? nullptr : &relative,
                  nullptr, 0);
}

// The calling thread's kernel lock holder, if it holds the lock.
thread_local KernelLock* t_holder = nullptr;

KernelLock::KernelLock() : m_lock(Mutex()) {
    t_holder = this;
}

KernelLock::~KernelLock() {
    t_holder = nullptr;
    if (m_lock.owns_lock()) {
        m_lock.unlock();
    }
    NotifyNow();
}

void KernelLock::NotifyNow() noexcept {
    for (std::size_t i = 0; i < m_deferredCount; ++i) {
        m_deferred[i]->Notify();
        m_deferred[i].reset();
    }
    m_deferredCount = 0;
}

void NotifyAfterUnlock(const Wakeup& wakeup) noexcept {
    KernelLock* const holder = t_holder;
    if (holder == nullptr || holder->m_deferredCount == KernelLock::kDeferred) {
        wakeup->Notify();
        return;
    }
    holder->m_deferred[holder->m_deferredCount++] = wakeup;
}

std::mutex& KernelLock::Mutex() noexcept {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

std::uint32_t KernelObject::WaitAlone(std::uint32_t) noexcept {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
}

void SetInvalidHandleError() noexcept {
    SetLastError(kErrorInvalidHandle);
}

Handle InsertHandle(std::shared_ptr<KernelObject> object) noexcept {
    TerminationDeferral deferral;
    if (!object) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    HandleTable& table = Table();
    try {
        std::lock_guard<std::mutex> lock(table.mutex);
        const std::uintptr_t value = table.next;
        table.objects.emplace(value, std::move(object));
        table.next += kHandleStep;
        return reinterpret_cast<Handle>(value);
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
}

std::shared_ptr<KernelObject> LookupHandle(Handle handle) noexcept {
    TerminationDeferral deferral;
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it != table.objects.end()) {
            return it->second;
        }
    }
    SetLastError(kErrorInvalidHandle);
    return nullptr;
}

}  // namespace platform::posix

namespace platform {

bool CloseHandle(Handle handle) noexcept {
    posix::TerminationDeferral deferral;
    std::shared_ptr<posix::KernelObject> object;
    {
        posix::HandleTable& table = posix::Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it != table.objects.end()) {
            object = std::move(it->second);
            table.objects.erase(it);
        }
    }
    if (!object) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    object->OnHandleClosed();
    return true;
}

}  // namespace platform
