// The POSIX backend's unnamed events: a flag under the kernel lock, and the wait engine.
#include <new>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/posix/kernel_object.h"

namespace platform::posix {
namespace {

class EventObject final : public SimpleWaitable {
  public:
    EventObject(bool manualReset, bool signalled) noexcept
        : SimpleWaitable(ObjectKind::kEvent), m_manualReset(manualReset), m_signalled(signalled) {}

    bool IsSignalledLocked() const noexcept override { return m_signalled; }

    void AcquireLocked() noexcept override {
        if (!m_manualReset) {
            m_signalled = false;
        }
    }

    void SetLocked() noexcept {
        m_signalled = true;
        WakeWaitersLocked(*this);
    }

    void ResetLocked() noexcept { m_signalled = false; }

  private:
    const bool m_manualReset;
    bool m_signalled;  // kernel lock
};

}  // namespace
}  // namespace platform::posix

namespace platform {

Handle CreateEvent(bool manualReset, bool initiallySignalled) noexcept {
    posix::TerminationDeferral deferral;
    std::shared_ptr<posix::EventObject> event;
    try {
        event = std::make_shared<posix::EventObject>(manualReset, initiallySignalled);
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    return posix::InsertHandle(std::move(event));
}

bool SetEvent(Handle event) noexcept {
    posix::TerminationDeferral deferral;
    auto object = posix::LookupHandleAs<posix::EventObject>(event, posix::ObjectKind::kEvent);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    object->SetLocked();
    return true;
}

bool ResetEvent(Handle event) noexcept {
    posix::TerminationDeferral deferral;
    auto object = posix::LookupHandleAs<posix::EventObject>(event, posix::ObjectKind::kEvent);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    object->ResetLocked();
    return true;
}

}  // namespace platform
