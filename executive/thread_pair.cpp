// The executive thread pair: worker threads, the handler thread's message loop, the main
// thread's start, and bounded stopping with termination.
#include "executive/thread_pair.h"

#include <new>

#include "diagnostics/log_file.h"
#include "executive/library.h"
#include "executive/timeouts.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/handle.h"
#include "platform/message_queue.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace executive {

// ---------------------------------------------------------------------------------------
// Thread

Thread::~Thread() {
    Destroy();
}

std::uint32_t Thread::StartRoutine(void* self) {
    auto* thread = static_cast<Thread*>(self);
    thread->m_procedure(thread->m_argument);
    thread->m_procedureReturned.store(true);
    return 0;
}

bool Thread::Start(Procedure procedure, void* argument) {
    Destroy();
    m_procedureReturned.store(false);
    m_procedure = procedure;
    m_argument = argument;
    m_handle.Reset(platform::BeginThread(&Thread::StartRoutine, this, &m_id));
    if (!m_handle) {
        m_procedure = nullptr;
        m_argument = nullptr;
        m_id = 0;
        return false;
    }
    return true;
}

void Thread::Destroy() {
    if (!m_handle) {
        return;
    }
    const std::uint32_t settleMs = GetTimeouts().terminateSettleMs;
    bool ended = platform::WaitForSingleObject(m_handle.Get(), 0) == platform::kWaitObject0;
    if (!ended && m_procedureReturned.load()) {
        // The procedure is done and the thread is only passing through the runtime's thread
        // exit, which on Windows runs under the loader lock: terminating it there would leave
        // that lock held and hang the next library load or free. Let it finish instead.
        ended = platform::WaitForSingleObject(m_handle.Get(), settleMs) == platform::kWaitObject0;
    }
    if (!ended) {
        // No wait after this: the thread has already had its full bound, and a further wait
        // per terminated thread would stretch a stop past the bounds.
        platform::TerminateThread(m_handle.Get(), 0);
    }
    m_procedure = nullptr;
    m_argument = nullptr;
    m_handle.Reset();
    m_id = 0;
}

// ---------------------------------------------------------------------------------------
// Executive

Executive::~Executive() {
    CleanUpThreads();
}

bool Executive::Create(ComponentEntries* entries) {
    static constexpr wchar_t kFn[] = L"executive::Executive::Create";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    if (entries == nullptr) {
        return false;
    }
    if (m_handlerThread.GetId() != 0) {
        if (m_entries.load() != nullptr) {
            return true;
        }
        // Half-started: a handler thread that missed its ready bound, with no entries.
        // Reporting success here would hand out a pair that can never call the component.
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Handler thread not ready, destroy first.");
        return false;
    }
    m_startEvent.Reset(platform::CreateEvent(false, false));
    bool ready = false;
    if (m_startEvent && m_handlerThread.Start(&Executive::ExecutiveMessageLoop, this)) {
        const std::uint32_t wait =
            platform::WaitForSingleObject(m_startEvent.Get(), GetTimeouts().threadReadyMs);
        if (wait != platform::kWaitObject0) {
            // The late thread may still signal the start event: keep it open until that thread
            // is gone (CleanUpThreads) instead of closing a handle it is about to use.
            return false;
        }
        m_entries.store(entries);
        ready = true;
    }
    m_startEvent.Reset();
    return ready;
}

void Executive::ExecutiveMessageLoop(void* self) {
    static constexpr wchar_t kFn[] = L"executive::Executive::ExecutiveMessageLoop";
    auto* executive = static_cast<Executive*>(self);
    logfilesync::CTraceScope scope(kFn, __LINE__);

    // Creates this thread's queue so that posts succeed from the moment Create returns.
    platform::ThreadMessage message;
    (void)platform::PeekMessage(&message, platform::kWmUser, platform::kWmUser,
                                platform::kPmNoRemove);
    if (HandlerReadyHook hook = GetHandlerReadyHook()) {
        hook();
    }
    platform::SetEvent(executive->m_startEvent.Get());

    const std::uint32_t id = platform::GetCurrentThreadId();
    for (;;) {
        // A failing GetMessage (-1) would fail again at once; end instead of spinning.
        if (platform::GetMessage(&message, WM_EXIT, WM_EXECUTIVE_RESERVED) <= 0) {
            break;
        }
        if (message.message == WM_EXIT) {
            g_defaultLog.Log(L'D', kFn, __LINE__, L"Thread: %u, %s", id, L"WM_EXIT");
            break;
        }
        if (message.message == WM_ENTER_MAIN) {
            g_defaultLog.Log(L'D', kFn, __LINE__, L"Thread: %u, %s", id, L"WM_ENTER_MAIN");
            executive->ServeEnterMain(reinterpret_cast<EnterMainMsg*>(message.wParam));
        } else if (message.message == WM_HANDLER) {
            g_defaultLog.Log(L'D', kFn, __LINE__, L"Thread: %u, %s", id, L"WM_HANDLER");
            executive->ServeHandler(reinterpret_cast<SysMsg*>(message.wParam));
        }
        // WM_EXECUTIVE_RESERVED (0x40D) has no meaning: taken and dropped.
    }
}

void Executive::ServeEnterMain(EnterMainMsg* packet) {
    if (packet == nullptr) {
        return;
    }
    std::uint32_t result;
    {
        std::lock_guard<std::mutex> lock(m_mainSlotLock);
        if (m_mainThread.GetId() != 0) {
            result = platform::kErrorAlreadyExists;
        } else if (m_entries.load() == nullptr) {
            result = platform::kErrorNotReady;
        } else {
            auto* args = new (std::nothrow) MainArgs{packet->argc, packet->argv, this};
            m_mainArgs.store(args);
            if (args != nullptr && m_mainThread.Start(&Executive::MainLoop, args)) {
                result = platform::kErrorSuccess;
            } else {
                delete m_mainArgs.exchange(nullptr);
                result = platform::kErrorCreateFailed;
            }
        }
    }
    FinishPacket(&packet->header, result);
}

void Executive::ServeHandler(SysMsg* packet) {
    if (packet == nullptr) {
        return;
    }
    // Null once Destroy has let go of the component: a request queued behind a long
    // "Handler" is then answered without calling into a component that is being unloaded.
    ComponentEntries* entries = m_entries.load();
    const std::uint32_t result = entries != nullptr
                                     ? entries->Handler(packet->control, packet->eventType,
                                                        packet->eventData, packet->context)
                                     : platform::kErrorNotReady;
    FinishPacket(&packet->header, result);
}

void Executive::FinishPacket(MsgHeader* packet, std::uint32_t result) {
    const platform::Handle event = packet->event;
    packet->result = result;
    // Last touch of the packet: from here the poster may reuse or free it.
    m_packetsServed.fetch_add(1, std::memory_order_acq_rel);
    if (event != nullptr) {
        platform::SetEvent(event);
    }
}

void Executive::MainLoop(void* mainArgs) {
    auto* args = static_cast<MainArgs*>(mainArgs);
    logfilesync::CTraceScope scope(L"executive::Executive::MainLoop", __LINE__);
    Executive* owner = args->owner;
    if (ComponentEntries* entries = owner->m_entries.load()) {
        entries->Main(args->argc, args->argv);
    }
    // Taken back from the owner, which frees it instead if this thread is terminated.
    delete owner->m_mainArgs.exchange(nullptr);
}

bool Executive::PostPacket(MsgHeader* packet) {
    // No pair (never created, or destroyed): there is no thread to post to, and the platform
    // does not reject thread id 0 everywhere.
    if (m_handlerThread.GetId() == 0) {
        return false;
    }
    m_packetsPosted.fetch_add(1, std::memory_order_acq_rel);
    if (!platform::PostThreadMessage(m_handlerThread.GetId(), packet->message,
                                     reinterpret_cast<std::uintptr_t>(packet), 0)) {
        m_packetsPosted.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

void Executive::Destroy() {
    static constexpr wchar_t kFn[] = L"executive::Executive::Destroy";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    if (m_handlerThread.GetId() == 0) {
        return;
    }
    const Timeouts timeouts = GetTimeouts();
    if (platform::PostThreadMessage(m_handlerThread.GetId(), WM_EXIT, 0, 0)) {
        const std::uint32_t wait =
            platform::WaitForSingleObject(m_handlerThread.GetHandle(), timeouts.threadExitMs);
        g_defaultLog.Log(L'D', kFn, __LINE__, L"HandlerThread: [%d] exit, dwRet=%d",
                         static_cast<int>(m_handlerThread.GetId()), static_cast<int>(wait));
    }
    // Let go of the component before "Unload": from here a late request is answered without
    // calling it, and no main thread can start any more, so the slot read below is stable.
    ComponentEntries* entries;
    {
        std::lock_guard<std::mutex> lock(m_mainSlotLock);
        entries = m_entries.exchange(nullptr);
    }
    if (entries != nullptr) {
        entries->Unload();
    }
    const std::uint32_t wait =
        platform::WaitForSingleObject(m_mainThread.GetHandle(), timeouts.threadExitMs);
    g_defaultLog.Log(L'D', kFn, __LINE__, L"MainThread: [%d] exit, dwRet=%d",
                     static_cast<int>(m_mainThread.GetId()), static_cast<int>(wait));
    CleanUpThreads();
}

void Executive::CleanUpThreads() {
    m_handlerThread.Destroy();
    m_mainThread.Destroy();
    // Both threads are gone now: nothing can signal the start event or own the start block.
    m_startEvent.Reset();
    delete m_mainArgs.exchange(nullptr);
}

}  // namespace executive
