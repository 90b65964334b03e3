// The executive thread pair of one component: a handler thread serving request packets from
// its message queue, and a main thread running the component's long-running "Main".
//
// Thread messages (posted to the handler thread's id, lParam always 0):
//   WM_EXIT       0x40A  wParam 0                      leave the loop; the thread ends
//   WM_ENTER_MAIN 0x40B  wParam: EnterMainMsg*         start the main thread, which calls Main
//   WM_HANDLER    0x40C  wParam: SysMsg*               call Handler with the packet's values
// The loop takes only 0x40A..0x40D; 0x40D is taken and ignored, anything else stays queued.
//
// Packets are owned by the poster; only their address crosses threads. The handler thread
// writes the result, then signals the packet's completion event (if any) and touches the
// packet no more.
//
// Threads: one owner thread creates, posts to and destroys an Executive. Create blocks for up
// to the ready bound (32000 ms); Destroy for up to two exit bounds plus "Unload". Threads that
// do not end in time are terminated, never waited for beyond their bound.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/types.h"

namespace executive {

class ComponentEntries;

enum : std::uint32_t {
    WM_EXIT = 0x40A,
    WM_ENTER_MAIN = 0x40B,
    WM_HANDLER = 0x40C,
    WM_EXECUTIVE_RESERVED = 0x40D,
};

// Results the handler thread writes for WM_ENTER_MAIN: kErrorSuccess, the main thread
// started; kErrorAlreadyExists, Main was entered in this cycle; kErrorCreateFailed, the main
// thread could not start. For any request: kErrorNotReady, the request arrived after Destroy had
// let go of the component, so the component was not called (a request queued behind a long
// "Handler").

struct MsgHeader {
    std::uint32_t message = 0;         ///< the thread-message number the packet travels with
    std::uint32_t size = 0;            ///< size of the whole packet structure
    platform::Handle event = nullptr;  ///< signalled once result is written; null: none
    std::uint32_t result = 0;          ///< written by the handler thread
};

struct EnterMainMsg {
    MsgHeader header;
    std::uint32_t argc = 0;
    wchar_t** argv = nullptr;
};

struct SysMsg {
    MsgHeader header;
    std::uint32_t control = 0;
    std::uint32_t eventType = 0;
    void* eventData = nullptr;
    void* context = nullptr;
};

class Executive;

/// Start block of a main thread: allocated by the handler thread, owned and freed by the main
/// thread after Main returns.
struct MainArgs {
    std::uint32_t argc = 0;
    wchar_t** argv = nullptr;
    Executive* owner = nullptr;
};

/// Owner of one worker thread. The handle and id stay after the thread has ended (the slot
/// counts as occupied) until the next Start, Destroy or the destructor.
class Thread {
  public:
    using Procedure = void (*)(void* argument);

    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    /// Terminates the thread if it still runs and closes the handle.
    ~Thread();

    /// Ends any previous thread (terminating it if it still runs), then starts a new one
    /// running procedure(argument). True when a thread was started.
    bool Start(Procedure procedure, void* argument);

    /// Terminates the thread if it still runs, closes the handle and clears the slot. A thread
    /// whose procedure has already returned is given the settle time to finish exiting before
    /// it would be terminated.
    void Destroy();

    [[nodiscard]] platform::Handle GetHandle() const noexcept { return m_handle.Get(); }
    [[nodiscard]] std::uint32_t GetId() const noexcept { return m_id; }

  private:
    static std::uint32_t StartRoutine(void* self);

    platform::UniqueHandle m_handle;
    std::uint32_t m_id = 0;
    Procedure m_procedure = nullptr;
    void* m_argument = nullptr;
    // Set by the thread once its procedure has returned: what remains is the runtime's exit.
    std::atomic<bool> m_procedureReturned{false};
};

class Executive {
  public:
    Executive() = default;
    Executive(const Executive&) = delete;
    Executive& operator=(const Executive&) = delete;
    /// Terminates any thread still running (handler first) and closes the handles: no message,
    /// no wait, no "Unload".
    virtual ~Executive();

    /// Starts the handler thread and waits (ready bound) until its queue exists. Entries are
    /// not owned. True when the pair is Ready, or was already Ready (entries kept). False for
    /// null entries, when a thread or event cannot be made, when the thread is not ready in
    /// time (Half-started: the thread is left for Destroy or the destructor to end), and for a
    /// Create on a Half-started pair, which has no entries and must not pass for Ready.
    bool Create(ComponentEntries* entries);

    /// Stops the pair: WM_EXIT and a bounded wait for the handler thread, "Unload" if entries
    /// are set, a bounded wait for the main thread, then termination of whatever still runs.
    /// Does nothing on a pair that has no handler thread.
    void Destroy();

    [[nodiscard]] std::uint32_t HandlerThreadId() const noexcept { return m_handlerThread.GetId(); }
    [[nodiscard]] std::uint32_t MainThreadId() const noexcept { return m_mainThread.GetId(); }
    [[nodiscard]] platform::Handle HandlerThreadHandle() const noexcept {
        return m_handlerThread.GetHandle();
    }
    [[nodiscard]] platform::Handle MainThreadHandle() const noexcept {
        return m_mainThread.GetHandle();
    }

  protected:
    /// Posts a packet to the handler thread with the packet's message number. Counts it as in
    /// flight until the handler thread has finished with it. True when posted.
    bool PostPacket(MsgHeader* packet);

    /// True while a packet posted with PostPacket may still be read by the handler thread.
    [[nodiscard]] bool PacketsInFlight() const noexcept {
        return m_packetsServed.load(std::memory_order_acquire) <
               m_packetsPosted.load(std::memory_order_acquire);
    }

    /// Steps 5 and 6 of Destroy: terminate what still runs, close handles, clear the slots.
    void CleanUpThreads();

  private:
    static void ExecutiveMessageLoop(void* self);
    static void MainLoop(void* mainArgs);
    void ServeEnterMain(EnterMainMsg* packet);
    void ServeHandler(SysMsg* packet);
    void FinishPacket(MsgHeader* packet, std::uint32_t result);

    Thread m_mainThread;
    Thread m_handlerThread;
    // Exists while Create runs; kept after a ready timeout (Half-started) so that the late
    // handler thread never signals a closed handle, and closed once that thread is gone.
    platform::UniqueHandle m_startEvent;
    std::atomic<ComponentEntries*> m_entries{nullptr};
    // The start block of the running main thread: freed by that thread after Main returns, or
    // by CleanUpThreads if the thread had to be terminated.
    std::atomic<MainArgs*> m_mainArgs{nullptr};
    // Orders starting the main thread (handler thread) against Destroy letting go of the
    // entries and reading the main thread slot (owner thread).
    std::mutex m_mainSlotLock;
    std::atomic<std::uint64_t> m_packetsPosted{0};
    std::atomic<std::uint64_t> m_packetsServed{0};
};

}  // namespace executive
