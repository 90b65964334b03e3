// Per-thread message queues: post a message to a thread id, take messages by number range.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

/// One thread message: number and two pointer-sized parameters.
struct ThreadMessage {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

enum : std::uint32_t {
    kPmNoRemove = 0,  ///< PeekMessage leaves the message in the queue.
    kPmRemove = 1,    ///< PeekMessage takes the message out.
    kWmUser = 0x400,
};

/// Filters: a message matches filterMin..filterMax inclusive; both 0 match every message; a
/// range with filterMin above filterMax matches none.
///
/// A thread's queue is created by its first PeekMessage or GetMessage and destroyed, with
/// the messages still in it, when the thread ends (however it ends, and whoever started it).
/// Only the owning thread takes messages out; any thread may post.

/// Looks for a message numbered filterMin..filterMax (both 0: any) in the calling thread's
/// queue without waiting; creates the queue first if the thread has none (its only effect
/// when the queue is empty). Returns true and fills *message when one was found.
bool PeekMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax,
                 std::uint32_t removeFlags) noexcept;

/// Waits for the first message numbered filterMin..filterMax (both 0: any) in the calling
/// thread's queue, creating the queue if needed, and takes it out. Messages outside the range
/// stay queued, in order. Returns a positive value with *message filled, 0 for the quit
/// message (0x12, taken out like any other), -1 on failure with the last error set (87 for a
/// null message). On POSIX a thread being terminated returns -1 from here and ends.
int GetMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax) noexcept;

/// Appends a message to the queue of the thread with the given id. Fails (false, last error
/// 1444 ERROR_INVALID_THREAD_ID) when no such thread exists, the thread has not created its
/// queue yet, or it has ended; fails with 1816 (ERROR_NOT_ENOUGH_QUOTA) while 10,000 messages
/// wait in the queue (the Windows default quota). Any thread may post; order between posts of
/// one thread is kept.
bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept;

}  // namespace platform
