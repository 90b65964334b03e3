// The POSIX wait engine: WaitForSingleObject and WaitForMultipleObjects over simple objects.
//
// A blocked wait is a Waiter on the caller's stack, linked into the wait list of each of its
// objects. Whoever signals an object (WakeWaitersLocked) tests the waiters in arrival order
// and completes each satisfiable one on its behalf: it takes the objects (an auto-reset event
// resets), records the result and wakes the waiter once it has released the kernel lock. Since
// test and take happen under the one kernel lock, a wait-all takes its whole set at once or
// nothing, and a SetEvent on an auto-reset event releases exactly one waiter even if
// ResetEvent follows at once.
#include <algorithm>
#include <new>

#include "platform/error.h"
#include "platform/posix/kernel_object.h"
#include "platform/wait.h"

namespace platform::posix {

struct Waiter;

// One waiter's place in one object's wait list.
struct WaitLink {
    Waiter* waiter = nullptr;
    SimpleWaitable* object = nullptr;
    WaitLink* prev = nullptr;
    WaitLink* next = nullptr;
};

struct Waiter {
    SimpleWaitable* objects[kMaximumWaitObjects] = {};
    WaitLink links[kMaximumWaitObjects];
    std::uint32_t count = 0;
    bool waitAll = false;
    bool done = false;  // completed by a signaller; result holds the outcome
    std::uint32_t result = kWaitFailed;
    Wakeup wakeup;  // made when the wait has to sleep
};

class WaitEngine {
  public:
    // Tests the waiter's condition and, when it holds, takes the objects. Kernel lock held.
    static bool TrySatisfy(Waiter& waiter) noexcept {
        if (waiter.waitAll) {
            for (std::uint32_t i = 0; i < waiter.count; ++i) {
                if (!waiter.objects[i]->IsSignalledLocked()) {
                    return false;
                }
            }
            for (std::uint32_t i = 0; i < waiter.count; ++i) {
                waiter.objects[i]->AcquireLocked();
            }
            waiter.result = kWaitObject0;
            return true;
        }
        for (std::uint32_t i = 0; i < waiter.count; ++i) {
            if (waiter.objects[i]->IsSignalledLocked()) {
                waiter.objects[i]->AcquireLocked();
                waiter.result = kWaitObject0 + i;
                return true;
            }
        }
        return false;
    }

    static void Link(Waiter& waiter) noexcept {
        for (std::uint32_t i = 0; i < waiter.count; ++i) {
            WaitLink& link = waiter.links[i];
            SimpleWaitable& object = *waiter.objects[i];
            link.waiter = &waiter;
            link.object = &object;
            link.next = nullptr;
            link.prev = object.m_tail;
            if (object.m_tail != nullptr) {
                object.m_tail->next = &link;
            } else {
                object.m_head = &link;
            }
            object.m_tail = &link;
        }
    }

    static void Unlink(Waiter& waiter) noexcept {
        for (std::uint32_t i = 0; i < waiter.count; ++i) {
            WaitLink& link = waiter.links[i];
            SimpleWaitable& object = *link.object;
            (link.prev != nullptr ? link.prev->next : object.m_head) = link.next;
            (link.next != nullptr ? link.next->prev : object.m_tail) = link.prev;
            link.prev = link.next = nullptr;
        }
    }

    static void Wake(SimpleWaitable& object) noexcept {
        WaitLink* link = object.m_head;
        while (link != nullptr && object.IsSignalledLocked()) {
            Waiter& waiter = *link->waiter;
            if (!TrySatisfy(waiter)) {
                link = link->next;
                continue;
            }
            Unlink(waiter);
            waiter.done = true;
            NotifyAfterUnlock(waiter.wakeup);
            // Unlinking may have removed the next link too; waiters before this one stay
            // unsatisfiable (taking only ever clears signals), so rescan from the head.
            link = object.m_head;
        }
    }

    static std::uint32_t Wait(std::uint32_t count, const Handle* handles, bool waitAll,
                              std::uint32_t milliseconds);
};

SimpleWaitable::~SimpleWaitable() = default;  // waits hold references: no waiter is left here

void WakeWaitersLocked(SimpleWaitable& object) noexcept {
    WaitEngine::Wake(object);
}

std::uint32_t WaitEngine::Wait(std::uint32_t count, const Handle* handles, bool waitAll,
                               std::uint32_t milliseconds) {
    if (count == 0 || count > kMaximumWaitObjects || handles == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    // The references keep every object alive for the whole wait, even if its handle is
    // closed meanwhile (as a Windows wait keeps its objects).
    std::shared_ptr<KernelObject> refs[kMaximumWaitObjects];
    for (std::uint32_t i = 0; i < count; ++i) {
        refs[i] = LookupHandle(handles[i]);
        if (!refs[i]) {
            return kWaitFailed;
        }
    }
    if (count == 1 && !refs[0]->IsSimpleWaitable()) {
        return refs[0]->WaitAlone(milliseconds);
    }
    Waiter waiter;
    waiter.count = count;
    waiter.waitAll = waitAll;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!refs[i]->IsSimpleWaitable()) {
            SetLastError(kErrorInvalidParameter);
            return kWaitFailed;
        }
        waiter.objects[i] = static_cast<SimpleWaitable*>(refs[i].get());
    }
    if (waitAll) {
        // Windows refuses the same object twice in a wait-all.
        SimpleWaitable* sorted[kMaximumWaitObjects];
        std::copy(waiter.objects, waiter.objects + count, sorted);
        std::sort(sorted, sorted + count);
        if (std::adjacent_find(sorted, sorted + count) != sorted + count) {
            SetLastError(kErrorInvalidParameter);
            return kWaitFailed;
        }
    }

    const bool infinite = milliseconds == kInfinite;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds);
    KernelLock lock;
    if (TrySatisfy(waiter)) {
        return waiter.result;
    }
    if (milliseconds == 0) {
        return kWaitTimeout;
    }
    try {
        waiter.wakeup = std::make_shared<WakeupWord>();
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return kWaitFailed;
    }
    Link(waiter);
    for (;;) {
        const bool inTime = BlockLocked(lock, *waiter.wakeup, infinite, deadline);
        if (waiter.done) {
            return waiter.result;
        }
        if (TerminationRequested()) {
            // The thread ends when its outermost deferral closes; leave no trace behind.
            Unlink(waiter);
            SetLastError(kErrorInvalidHandle);
            return kWaitFailed;
        }
        if (!inTime) {
            Unlink(waiter);
            return kWaitTimeout;
        }
    }
}

}  // namespace platform::posix

namespace platform {

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) noexcept {
    posix::TerminationDeferral deferral;
    return posix::WaitEngine::Wait(1, &object, false, milliseconds);
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                     std::uint32_t milliseconds) noexcept {
    posix::TerminationDeferral deferral;
    return posix::WaitEngine::Wait(count, objects, waitAll, milliseconds);
}

}  // namespace platform
