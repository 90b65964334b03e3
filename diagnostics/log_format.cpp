// The trace log's message formatting: attempts under the fault guard into a growing buffer,
// and the console report of a malformed format.
#include "diagnostics/log_format.h"

#include <new>

#include "platform/fault_guard.h"
#include "text/text.h"

namespace logfilesync {
namespace {

// Set by OnFormatInvalidParameter on the thread whose formatting it reports: a malformed
// format fails at every capacity, so FormatText stops instead of growing the buffer.
thread_local bool t_invalidParameter = false;

struct FormatAttempt {
    wchar_t* buffer;
    std::size_t capacity;
    const wchar_t* format;
    va_list* args;
    int result;
};

void RunFormatAttempt(void* context) {
    auto* attempt = static_cast<FormatAttempt*>(context);
    attempt->result = platform::VsnwprintfS(attempt->buffer, attempt->capacity,
                                            attempt->capacity - 1, attempt->format, *attempt->args);
}

const wchar_t* OrNull(const wchar_t* text) {
    return text != nullptr ? text : L"(null)";
}

}  // namespace

void OnFormatInvalidParameter(const wchar_t* expression, const wchar_t* function,
                              const wchar_t* file, unsigned int line, std::uintptr_t) {
    t_invalidParameter = true;
    platform::ConsolePrint(L"Invalid parameter detected in function %s. File: %s Line: %d\n",
                           OrNull(function), OrNull(file), static_cast<int>(line));
    platform::ConsolePrint(L"Expression: %s\n", OrNull(expression));
}

FormatOutcome FormatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args,
                         int* chars) {
    platform::SetInvalidParameterHandler(&OnFormatInvalidParameter);
    t_invalidParameter = false;
    va_list copy;
    va_copy(copy, args);
    FormatAttempt attempt{buffer, capacity, format, &copy, -1};
    // A fault (a bad string pointer) ends the attempt: no message, nothing leaked.
    const bool finished = platform::RunGuarded(&RunFormatAttempt, &attempt);
    va_end(copy);
    if (finished && attempt.result > 0) {
        *chars = attempt.result;
        return FormatOutcome::kDone;
    }
    // Empty, faulting or malformed: a larger buffer would not help.
    if (!finished || attempt.result == 0 || t_invalidParameter) {
        return FormatOutcome::kFailed;
    }
    return FormatOutcome::kTooLong;
}

int FormatGrowing(va_list args, wchar_t** buffer, const wchar_t* format, std::size_t first,
                  std::size_t largest) {
    for (std::size_t capacity = first; capacity <= largest; capacity *= 2) {
        // Through the new handler, as every allocation, but without an exception.
        wchar_t* attemptBuffer = new (std::nothrow) wchar_t[capacity]();
        if (attemptBuffer == nullptr) {
            return 0;
        }
        int chars = 0;
        const FormatOutcome outcome = FormatInto(attemptBuffer, capacity, format, args, &chars);
        if (outcome == FormatOutcome::kDone) {
            *buffer = attemptBuffer;
            return chars;
        }
        delete[] attemptBuffer;
        if (outcome == FormatOutcome::kFailed) {
            return 0;
        }
    }
    return 0;
}

}  // namespace logfilesync
