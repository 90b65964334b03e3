// The trace log's cross-process lock: a machine-wide named mutex, created or opened by name.
#include "diagnostics/log_lock.h"

#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/wait.h"
#include "text/text.h"

namespace logfilesync {
namespace {

constexpr wchar_t kMutexPrefix[] = L"Global\\";
constexpr std::size_t kMutexPrefixChars = 7;
constexpr std::size_t kFullNameChars = platform::kMaxMutexName + 1;

}  // namespace

CLogLock::~CLogLock() {
    Close();
}

std::uint32_t CLogLock::Create(const wchar_t* name, std::uint32_t timeout) {
    if (m_created != 0) {
        return platform::kErrorAlreadyExists;
    }
    if (name == nullptr || name[0] == L'\0') {
        return platform::kErrorInvalidParameter;
    }
    wchar_t full[kFullNameChars];
    if (platform::StringCchPrintfW(full, kFullNameChars, L"%s%s", kMutexPrefix, name) !=
        platform::kSOk) {
        return platform::kErrorInvalidParameter;
    }
    // Backslashes and full stops are not allowed in the name part of a kernel object name.
    for (wchar_t* c = full + kMutexPrefixChars; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'.') {
            *c = L'$';
        }
    }
    platform::Handle mutex = platform::CreateMutex(true, false, full);
    if (mutex == nullptr) {
        // Creating in the global namespace needs a privilege that opening does not.
        mutex = platform::OpenMutex(platform::kSynchronize, false, full);
    }
    if (mutex == nullptr) {
        const platform::ErrorCode error = platform::GetLastError();
        return error != platform::kErrorSuccess ? error : platform::kErrorInvalidFunction;
    }
    m_mutex.Reset(mutex);
    m_timeout = timeout;
    m_created = 1;
    return platform::kErrorSuccess;
}

std::uint32_t CLogLock::Lock() {
    if (m_created == 0) {
        return platform::kErrorNotReady;
    }
    platform::Handle mutex = m_mutex.Get();
    switch (platform::WaitForMultipleObjects(1, &mutex, false, m_timeout)) {
        case platform::kWaitObject0:
            m_abandoned = false;
            return platform::kErrorSuccess;
        case platform::kWaitAbandoned0:  // a dead owner's mutex is ours now
            m_abandoned = true;
            return platform::kErrorSuccess;
        case platform::kWaitTimeout:
            return platform::kErrorBusy;
        default:
            return platform::kErrorInvalidFunction;
    }
}

std::uint32_t CLogLock::Unlock() {
    if (m_created == 0) {
        return platform::kErrorNotReady;
    }
    if (platform::ReleaseMutex(m_mutex.Get())) {
        return platform::kErrorSuccess;
    }
    return platform::GetLastError();
}

void CLogLock::Close() {
    m_mutex.Reset();
    m_timeout = 0;
    m_created = 0;
}

}  // namespace logfilesync
