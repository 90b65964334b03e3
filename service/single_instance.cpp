// The service's single-instance lock: one machine-wide named mutex per service name.
#include "service/single_instance.h"

#include "platform/error.h"
#include "platform/named_mutex.h"
#include "text/text.h"

namespace Stoneleaf {

CSingleInstance::~CSingleInstance() {
    Release();
}

std::uint32_t CSingleInstance::Acquire(const wchar_t* serviceName) {
    Release();
    wchar_t mutexName[260] = {};
    (void)platform::StringCchPrintfW(mutexName, 260, L"Global\\mtx_%s", serviceName);
    m_mutex.Reset(platform::CreateMutex(false, true, mutexName));
    const std::uint32_t result = platform::GetLastError();
    if (!m_mutex || result == platform::kErrorAlreadyExists) {
        m_mutex.Reset();
        return result;
    }
    m_owned = true;
    return platform::kErrorSuccess;
}

void CSingleInstance::Release() {
    if (m_owned) {
        platform::ReleaseMutex(m_mutex.Get());
        m_owned = false;
    }
    m_mutex.Reset();
}

}  // namespace Stoneleaf
