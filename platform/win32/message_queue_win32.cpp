// The Windows backend's thread message queues: PeekMessageW, GetMessageW, PostThreadMessageW.
#include "platform/message_queue.h"
#include "platform/win32/windows_lean.h"

namespace platform {
namespace {

void FromMsg(const MSG& msg, ThreadMessage* message) noexcept {
    message->message = msg.message;
    message->wParam = msg.wParam;
    message->lParam = msg.lParam;
}

}  // namespace

bool PeekMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax,
                 std::uint32_t removeFlags) noexcept {
    if (message == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    MSG msg{};
    if (!::PeekMessageW(&msg, nullptr, filterMin, filterMax, removeFlags)) {
        return false;
    }
    FromMsg(msg, message);
    return true;
}

int GetMessage(ThreadMessage* message, std::uint32_t filterMin, std::uint32_t filterMax) noexcept {
    if (message == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MSG msg{};
    const BOOL result = ::GetMessageW(&msg, nullptr, filterMin, filterMax);
    if (result == -1) {
        return -1;
    }
    FromMsg(msg, message);
    return result == 0 ? 0 : 1;
}

bool PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept {
    return ::PostThreadMessageW(threadId, message, wParam, lParam) != FALSE;
}

}  // namespace platform
