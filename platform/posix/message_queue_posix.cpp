// The POSIX backend's thread message queues: one deque per thread, found by thread id.
//
// A thread gets its queue on its first PeekMessage or GetMessage and loses it when it ends:
// ThreadStart destroys it for threads of BeginThread (also after TerminateThread), and a
// thread_local holder does so for every other thread (the process's main thread, threads of
// std::thread or of a test framework). Queues and the registry live under the kernel lock.
#include <deque>
#include <new>
#include <unordered_map>

#include "platform/error.h"
#include "platform/message_queue.h"
#include "platform/posix/kernel_object.h"
#include "platform/thread.h"

namespace platform::posix {
namespace {

// Windows refuses a post once this many messages wait in a queue (its default quota).
constexpr std::size_t kQueueLimit = 10000;
constexpr std::uint32_t kWmQuit = 0x12;

struct MessageQueue {
    std::deque<ThreadMessage> messages;
    Wakeup arrived = std::make_shared<WakeupWord>();  // the owner sleeps here in GetMessage
};

// Thread id to queue; never destroyed, as threads end during the process's exit handlers.
std::unordered_map<std::uint32_t, MessageQueue*>& Registry() noexcept {
    static auto* const registry = new std::unordered_map<std::uint32_t, MessageQueue*>;
    return *registry;
}

// The calling thread's queue; its destructor removes the queue when the thread ends.
struct QueueHolder {
    MessageQueue* queue = nullptr;
    ~QueueHolder() { DestroyThreadMessageQueue(); }
};

thread_local QueueHolder t_queue;

// The calling thread's queue, created if needed. Kernel lock held. Null with error 8.
MessageQueue* OwnQueueLocked() noexcept {
    if (t_queue.queue != nullptr) {
        return t_queue.queue;
    }
    try {
        auto* queue = new MessageQueue;
        try {
            Registry()[GetCurrentThreadId()] = queue;
        } catch (...) {
            delete queue;
            throw;
        }
        t_queue.queue = queue;
        return queue;
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
}

bool Matches(const ThreadMessage& message, std::uint32_t filterMin, std::uint32_t filterMax) {
    if (filterMin == 0 && filterMax == 0) {
        return true;
    }
    return message.message >= filterMin && message.message <= filterMax;
}

std::deque<ThreadMessage>::iterator Find(MessageQueue& queue, std::uint32_t filterMin,
                                         std::uint32_t filterMax) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
        if (Matches(*it, filterMin, filterMax)) {
            return it;
        }
    }
    return queue.messages.end();
}

}  // namespace

void DestroyThreadMessageQueue() noexcept {
    TerminationDeferral deferral;
    MessageQueue* queue = nullptr;
    {
        KernelLock lock;
        queue = t_queue.queue;
        if (queue == nullptr) {
            return;
        }
        Registry().erase(GetCurrentThreadId());
        t_queue.queue = nullptr;
    }
    delete queue;
}

}  // namespace platform::posix

namespace platform {

bool PeekMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax,
                 std::uint32_t removeFlags) noexcept {
    posix::TerminationDeferral deferral;
    if (message == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    posix::KernelLock lock;
    posix::MessageQueue* queue = posix::OwnQueueLocked();
    if (queue == nullptr) {
        return false;
    }
    auto it = posix::Find(*queue, filterMin, filterMax);
    if (it == queue->messages.end()) {
        return false;
    }
    *message = *it;
    if ((removeFlags & kPmRemove) != 0) {
        queue->messages.erase(it);
    }
    return true;
}

int GetMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax) noexcept {
    posix::TerminationDeferral deferral;
    if (message == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return -1;
    }
    posix::KernelLock lock;
    posix::MessageQueue* queue = posix::OwnQueueLocked();
    if (queue == nullptr) {
        return -1;
    }
    for (;;) {
        auto it = posix::Find(*queue, filterMin, filterMax);
        if (it != queue->messages.end()) {
            *message = *it;
            queue->messages.erase(it);
            return message->message == posix::kWmQuit ? 0 : 1;
        }
        if (posix::TerminationRequested()) {
            SetLastError(kErrorInvalidHandle);
            return -1;  // the thread ends when the deferral closes
        }
        posix::BlockLocked(lock, *queue->arrived, true, {});
    }
}

bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept {
    posix::TerminationDeferral deferral;
    posix::KernelLock lock;
    auto& registry = posix::Registry();
    auto it = registry.find(threadId);
    if (it == registry.end()) {
        SetLastError(kErrorInvalidThreadId);
        return false;
    }
    posix::MessageQueue& queue = *it->second;
    if (queue.messages.size() >= posix::kQueueLimit) {
        SetLastError(kErrorNotEnoughQuota);
        return false;
    }
    try {
        queue.messages.push_back(ThreadMessage{message, wParam, lParam});
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
    }
    posix::NotifyAfterUnlock(queue.arrived);  // outlives the queue if its thread ends meanwhile
    return true;
}

}  // namespace platform
