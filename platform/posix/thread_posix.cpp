// The POSIX backend's threads: pthreads behind waitable handles, and TerminateThread by signal.
//
// Every thread started by BeginThread runs ThreadStart, which records a jump point with
// sigsetjmp before it calls the routine. TerminateThread marks the thread's object, wakes it
// if it is blocked in a wait of this layer, and sends it kTerminateSignal. The handler, on the
// target thread, jumps back to the recorded point, unless the thread is inside a
// TerminationDeferral (it holds a lock of this layer): then the outermost deferral makes the
// jump when it closes. Either way ThreadStart then ends the thread as if the routine had
// returned the exit code that TerminateThread was given: the message queue goes away, the
// handle is signalled, the pthread returns. Each thread has its own alternate signal stack
// from start to end, so that a stack overflow reaches the fault and crash handlers.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csetjmp>
#include <csignal>
#include <mutex>
#include <new>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/signal_stack.h"
#include "platform/thread.h"

namespace platform::posix {
namespace {

// A real-time signal of our own: never raised by the system, queued rather than merged.
int TerminateSignal() noexcept {
    return SIGRTMIN + 5;
}

class ThreadObject final : public SimpleWaitable {
  public:
    ThreadObject(ThreadRoutine routine, void* argument) noexcept
        : SimpleWaitable(ObjectKind::kThread), routine(routine), argument(argument) {}

    bool IsSignalledLocked() const noexcept override { return ended; }

    const ThreadRoutine routine;
    void* const argument;

    // Kernel lock:
    pthread_t pthread{};
    bool hasPthread = false;
    std::uint32_t tid = 0;
    std::condition_variable started;  // tid published
    bool ended = false;
    std::uint32_t exitCode = kStillActive;
    std::uint32_t terminateExitCode = 0;
    WakeupWord* blockedOn = nullptr;  // the wait the thread sleeps in, if any

    // Set once, under the kernel lock; read from the thread's signal handler too.
    std::atomic<bool> terminateRequested{false};
};

struct ThreadContext {
    sigjmp_buf jump;
    ThreadObject* object = nullptr;
};

// The calling thread's context; null on threads not started by BeginThread.
thread_local ThreadContext* t_context = nullptr;
// Open TerminationDeferrals of the calling thread; read by the signal handler.
thread_local volatile std::sig_atomic_t t_deferDepth = 0;
thread_local std::uint32_t t_threadId = 0;

bool ThisThreadTerminationRequested() noexcept {
    ThreadContext* const context = t_context;
    return context != nullptr &&
           context->object->terminateRequested.load(std::memory_order_acquire);
}

void OnTerminateSignal(int) {
    if (!ThisThreadTerminationRequested() || t_deferDepth != 0) {
        return;  // a stray signal, or the outermost deferral will end the thread
    }
    siglongjmp(t_context->jump, 1);
}

void InstallTerminateHandler() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = OnTerminateSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the handler leaves by jumping anyway
        sigaction(TerminateSignal(), &action, nullptr);
    });
}

void* ThreadStart(void* raw) {
    std::shared_ptr<ThreadObject> self;
    {
        auto* holder = static_cast<std::shared_ptr<ThreadObject>*>(raw);
        self = std::move(*holder);
        delete holder;
    }
    ThreadContext context;
    context.object = self.get();
    t_deferDepth = 1;  // not yet at the jump point
    t_context = &context;
    {
        KernelLock lock;
        self->tid = GetCurrentThreadId();
        self->started.notify_all();
    }
    // The creator's signal mask is inherited; this thread must be reachable.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, TerminateSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    // Room to handle a stack overflow from the first instruction of the routine on: without
    // it the fault kills the process before any handler (the crash handler's dump) can run.
    (void)PrepareThreadSignalStack();

    volatile std::uint32_t exitCode = 0;
    if (sigsetjmp(context.jump, 1) == 0) {
        t_deferDepth = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (!ThisThreadTerminationRequested()) {
            exitCode = self->routine(self->argument);
        }
        std::atomic_signal_fence(std::memory_order_seq_cst);
        t_deferDepth = 1;
    } else {
        t_deferDepth = 1;  // back from TerminateThread: the exit code is the one it was given
    }

    // Freed before the handle is signalled, whichever way the routine ended.
    ReleaseThreadSignalStack();
    DestroyThreadMessageQueue();
    {
        KernelLock lock;
        self->exitCode = self->terminateRequested.load() ? self->terminateExitCode : exitCode;
        self->ended = true;  // from here on nobody signals this pthread
        WakeWaitersLocked(*self);
    }
    t_context = nullptr;
    return nullptr;
}

}  // namespace

TerminationDeferral::TerminationDeferral() noexcept {
    t_deferDepth = t_deferDepth + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

TerminationDeferral::~TerminationDeferral() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const std::sig_atomic_t depth = t_deferDepth - 1;
    t_deferDepth = depth;
    if (depth == 0 && ThisThreadTerminationRequested()) {
        siglongjmp(t_context->jump, 1);
    }
}

bool TerminationRequested() noexcept {
    return ThisThreadTerminationRequested();
}

bool BlockLocked(KernelLock& lock, WakeupWord& wakeup, bool infinite,
                 std::chrono::steady_clock::time_point deadline) {
    lock.NotifyNow();
    ThreadObject* const self = t_context != nullptr ? t_context->object : nullptr;
    if (self != nullptr) {
        if (self->terminateRequested.load()) {
            return true;
        }
        self->blockedOn = &wakeup;
    }
    // Read under the lock: a notification after it (every one comes from a holder of the lock
    // or after it) changes the word, and the sleep returns at once.
    const std::uint32_t seen = wakeup.Sequence();
    lock.Get().unlock();
    wakeup.Sleep(seen, infinite, deadline);
    lock.Get().lock();
    if (self != nullptr) {
        self->blockedOn = nullptr;
    }
    return infinite || std::chrono::steady_clock::now() < deadline;
}

}  // namespace platform::posix

namespace platform {

Handle BeginThread(ThreadRoutine routine, void* argument, std::uint32_t* threadId) noexcept {
    posix::TerminationDeferral deferral;
    if (routine == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    std::shared_ptr<posix::ThreadObject> thread;
    try {
        thread = std::make_shared<posix::ThreadObject>(routine, argument);
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    Handle handle = posix::InsertHandle(thread);
    if (handle == nullptr) {
        return nullptr;
    }
    posix::InstallTerminateHandler();

    auto* holder = new (std::nothrow) std::shared_ptr<posix::ThreadObject>(thread);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t pthread{};
    const int error =
        holder != nullptr ? pthread_create(&pthread, &attr, posix::ThreadStart, holder) : ENOMEM;
    pthread_attr_destroy(&attr);
    if (error != 0) {
        delete holder;
        CloseHandle(handle);
        SetLastError(ErrorFromErrno(error));
        return nullptr;
    }

    posix::KernelLock lock;
    // The pthread_t stays usable while the thread has not ended: it is detached, and it ends
    // only after marking itself ended under this lock.
    thread->pthread = pthread;
    thread->hasPthread = true;
    if (thread->terminateRequested.load() && !thread->ended) {
        pthread_kill(pthread, posix::TerminateSignal());
    }
    while (thread->tid == 0) {
        thread->started.wait(lock.Get());
    }
    if (threadId != nullptr) {
        *threadId = thread->tid;
    }
    return handle;
}

bool TerminateThread(Handle thread, std::uint32_t exitCode) noexcept {
    posix::TerminationDeferral deferral;
    auto object = posix::LookupHandleAs<posix::ThreadObject>(thread, posix::ObjectKind::kThread);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    if (object->ended || object->terminateRequested.load()) {
        return true;
    }
    object->terminateExitCode = exitCode;
    object->terminateRequested.store(true, std::memory_order_release);
    if (object->blockedOn != nullptr) {
        object->blockedOn->Notify();
    }
    if (object->hasPthread) {
        pthread_kill(object->pthread, posix::TerminateSignal());
    }
    return true;
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) noexcept {
    posix::TerminationDeferral deferral;
    if (exitCode == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    auto object = posix::LookupHandleAs<posix::ThreadObject>(thread, posix::ObjectKind::kThread);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    *exitCode = object->ended ? object->exitCode : kStillActive;
    return true;
}

std::uint32_t GetCurrentThreadId() noexcept {
    if (posix::t_threadId == 0) {
        posix::t_threadId = static_cast<std::uint32_t>(syscall(SYS_gettid));
    }
    return posix::t_threadId;
}

std::uint32_t GetCurrentProcessId() noexcept {
    return static_cast<std::uint32_t>(getpid());
}

void Sleep(std::uint32_t milliseconds) noexcept {
    if (milliseconds == kInfinite) {
        for (;;) {
            pause();
        }
    }
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
