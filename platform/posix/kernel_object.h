// The POSIX emulation of kernel objects: the handle table, the kernel lock, waitable objects.
//
// Every Handle the POSIX backend gives out names an entry of one process-wide handle table;
// the entry holds a reference to a KernelObject. Handles are never reused and never
// dereferenced: a null, made-up or closed handle is simply not in the table, so every call
// fails with error 6 instead of touching memory.
//
// Two sorts of waitable object exist:
//  - Simple objects (events, threads, processes) derive from SimpleWaitable. Their signal
//    state lives under the one kernel lock, so WaitForMultipleObjects can test and take a whole
//    set at once. Whoever changes the state calls WakeWaitersLocked, which completes the
//    waits that have become satisfiable, in arrival order, on the waiters' behalf.
//  - Objects that wait by their own means (the named mutex, whose state lives in shared
//    memory) override KernelObject::WaitAlone. They can only be waited on alone.
//
// Thread termination (TerminateThread) jumps out of the target thread from a signal handler.
// Code that holds a lock of this layer or changes shared state opens a TerminationDeferral
// first: inside it the jump is postponed until the outermost deferral closes. Every blocking
// wait of this layer runs inside a deferral and wakes up for a termination request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/types.h"

namespace platform::posix {

/// What a handle names. Other parts of the backend add their objects under these kinds.
enum class ObjectKind : std::uint8_t {
    kEvent,
    kThread,
    kProcess,
    kMutex,
    kFile,
    kOther,
};

/// Base of every object a handle can name. Owned by shared_ptr: one reference per handle,
/// more while a wait or a running thread uses it.
class KernelObject {
  public:
    explicit KernelObject(ObjectKind kind) noexcept : m_kind(kind) {}
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    [[nodiscard]] ObjectKind Kind() const noexcept { return m_kind; }

    /// True for SimpleWaitable objects (waitable in any combination).
    [[nodiscard]] virtual bool IsSimpleWaitable() const noexcept { return false; }

    /// Called once, by CloseHandle, after the handle has left the table and outside every
    /// lock of this layer. The object itself may live on while waits or threads still hold
    /// references; release external resources (descriptors, mappings) here or in the
    /// destructor. Runs inside a TerminationDeferral.
    virtual void OnHandleClosed() noexcept {}

    /// The wait of an object that is not a SimpleWaitable, called by WaitForSingleObject and
    /// by WaitForMultipleObjects with a count of 1, with no lock of this layer held and inside
    /// a TerminationDeferral. Returns a wait result; on kWaitFailed the last error must be
    /// set. A wait that may block for long should poll TerminationRequested() (at least every
    /// 50 ms or so) and return kWaitFailed once it is true, so that the thread can be ended.
    /// The default: not waitable, kWaitFailed with error 6.
    [[nodiscard]] virtual std::uint32_t WaitAlone(std::uint32_t milliseconds) noexcept;

  private:
    const ObjectKind m_kind;
};

struct WaitLink;

/// An object whose signal state lives under the kernel lock. Subclasses answer
/// IsSignalledLocked and AcquireLocked with the kernel lock held, and call
/// WakeWaitersLocked (with the lock held) after every change that may signal them.
class SimpleWaitable : public KernelObject {
  public:
    using KernelObject::KernelObject;
    ~SimpleWaitable() override;

    [[nodiscard]] bool IsSimpleWaitable() const noexcept final { return true; }

    /// Whether a wait would be satisfied now. Kernel lock held.
    [[nodiscard]] virtual bool IsSignalledLocked() const noexcept = 0;

    /// A wait was satisfied by this object: consume what the wait takes (an auto-reset
    /// event resets). Kernel lock held; called only when IsSignalledLocked is true.
    virtual void AcquireLocked() noexcept {}

  private:
    friend struct WaitLink;
    friend class WaitEngine;
    WaitLink* m_head = nullptr;  // waiters in arrival order (kernel lock)
    WaitLink* m_tail = nullptr;
};

/// Postpones thread termination while it lives (see the file comment). Nests. When the
/// outermost deferral of a thread that has been asked to end closes, the thread ends right
/// there: declare it first in a function, so that every other local is already destroyed.
class TerminationDeferral {
  public:
    TerminationDeferral() noexcept;
    ~TerminationDeferral();
    TerminationDeferral(const TerminationDeferral&) = delete;
    TerminationDeferral& operator=(const TerminationDeferral&) = delete;
};

/// What a blocked thread of this layer sleeps on: a counter each notification advances, slept
/// on with the kernel lock released (a futex). Unlike a condition variable's wait, waking
/// from it does not take the kernel lock in its contended state, which would cost every later
/// unlock a system call.
class WakeupWord {
  public:
    /// Advances the counter and wakes its sleeper. Any thread, any lock.
    void Notify() noexcept;
    /// The counter, read with the kernel lock held before it is released for Sleep.
    [[nodiscard]] std::uint32_t Sequence() const noexcept { return m_sequence.load(); }
    /// Sleeps while the counter still is seen, until the steady-clock deadline (none when
    /// infinite); returns early on a signal or spuriously. No lock of this layer held.
    void Sleep(std::uint32_t seen, bool infinite,
               std::chrono::steady_clock::time_point deadline) noexcept;

  private:
    std::atomic<std::uint32_t> m_sequence{0};
};

/// Shared: a signaller that completed a wait holds it until its notification, made after the
/// kernel lock is released, even if the sleeper has left the wait (a timeout that came at the
/// same moment) or ended meanwhile.
using Wakeup = std::shared_ptr<WakeupWord>;

/// The kernel lock: one process-wide mutex guarding the state of every SimpleWaitable, the
/// wait lists and the thread message queues. Holds a TerminationDeferral while locked. Not
/// recursive; one per thread at a time.
///
/// Notifications a holder makes through NotifyAfterUnlock are delivered when it is released:
/// a thread woken while the lock is still held would at once block on the lock again.
class KernelLock {
  public:
    KernelLock();
    ~KernelLock();
    KernelLock(const KernelLock&) = delete;
    KernelLock& operator=(const KernelLock&) = delete;

    std::unique_lock<std::mutex>& Get() noexcept { return m_lock; }

    /// Delivers the notifications gathered so far now, with the lock held (before the holder
    /// sleeps, so that none waits behind its sleep).
    void NotifyNow() noexcept;

    static std::mutex& Mutex() noexcept;

  private:
    friend void NotifyAfterUnlock(const Wakeup& wakeup) noexcept;
    static constexpr std::size_t kDeferred = 8;  // more are notified at once, under the lock

    TerminationDeferral m_deferral;  // constructed before the lock, released after it
    std::unique_lock<std::mutex> m_lock;
    Wakeup m_deferred[kDeferred];
    std::size_t m_deferredCount = 0;
};

/// Wakes one sleeper on wakeup once the calling thread releases the kernel lock, which it
/// holds through a KernelLock; the state the sleeper tests must be set before, under the lock.
void NotifyAfterUnlock(const Wakeup& wakeup) noexcept;

/// Completes the waits on object that are satisfiable now, oldest first, until none is or the
/// object is no longer signalled; their threads wake when the caller's KernelLock is released.
/// Call with the kernel lock held after signalling it.
void WakeWaitersLocked(SimpleWaitable& object) noexcept;

/// Delivers the notifications lock has gathered (KernelLock::NotifyNow), then blocks the
/// calling thread on wakeup (with the kernel lock held by lock, released while it sleeps) until
/// it is notified, the steady-clock deadline passes (none when infinite) or the thread is asked
/// to end; a termination request also notifies wakeup. Returns false once the deadline has
/// passed. Callers loop on their own condition and check TerminationRequested().
bool BlockLocked(KernelLock& lock, WakeupWord& wakeup, bool infinite,
                 std::chrono::steady_clock::time_point deadline);

/// True when the calling thread was started by BeginThread and TerminateThread has been
/// called on it. Async-signal-safe.
[[nodiscard]] bool TerminationRequested() noexcept;

/// Destroys the calling thread's message queue, if it has one; later posts to the thread fail
/// with 1444. Called when a thread ends (its queue must be gone before its handle signals).
void DestroyThreadMessageQueue() noexcept;

/// Enters object into the handle table. Returns its handle, or null with the last error 8.
[[nodiscard]] Handle InsertHandle(std::shared_ptr<KernelObject> object) noexcept;

/// The object a live handle names, or null with the last error 6.
[[nodiscard]] std::shared_ptr<KernelObject> LookupHandle(Handle handle) noexcept;

/// The object a live handle names if it is of the given kind and type T, else null with the
/// last error 6 (what Windows reports for a handle of the wrong type).
template <typename T>
[[nodiscard]] std::shared_ptr<T> LookupHandleAs(Handle handle, ObjectKind kind) noexcept;

/// Sets the last error to 6; for LookupHandleAs.
void SetInvalidHandleError() noexcept;

template <typename T>
std::shared_ptr<T> LookupHandleAs(Handle handle, ObjectKind kind) noexcept {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object) {
        return nullptr;
    }
    if (object->Kind() != kind) {
        SetInvalidHandleError();
        return nullptr;
    }
    return std::static_pointer_cast<T>(std::move(object));
}

}  // namespace platform::posix
