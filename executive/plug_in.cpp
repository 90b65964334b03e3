// One loaded plug-in: creation, the two posts with their packets, suppression and stopping.
#include "executive/plug_in.h"

#include <new>
#include <type_traits>

#include "diagnostics/lifecycle_log.h"
#include "diagnostics/log_file.h"
#include "platform/event.h"
#include "platform/handle.h"

namespace executive {

PlugIn::PlugIn() {
    m_completionEvent.Reset(platform::CreateEvent(true, false));
    m_enterMainMsg.header = MsgHeader{WM_ENTER_MAIN, sizeof(EnterMainMsg), CompletionEvent(), 0};
    m_sysMsg.header = MsgHeader{WM_HANDLER, sizeof(SysMsg), CompletionEvent(), 0};
}

PlugIn::~PlugIn() {
    // Threads first: a late handler thread may still signal the event or write a packet.
    CleanUpThreads();
    m_completionEvent.Reset();
    FreeRetiredPackets();
    if (m_enterMain != &m_enterMainMsg) {
        delete m_enterMain;
    }
    if (m_sys != &m_sysMsg) {
        delete m_sys;
    }
}

bool PlugIn::Create(const wchar_t* path) {
    static constexpr wchar_t kFn[] = L"executive::PlugIn::Create";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    if (path == nullptr) {
        return false;
    }
    g_defaultLog.Log(L'D', kFn, __LINE__, L"Create plugin: %s", path);
    if (m_entries.IsLoaded()) {
        return false;
    }
    if (!m_entries.Create(path)) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Create library failed.");
        return false;
    }
    if (!Executive::Create(&m_entries)) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Base::Create failed.");
        m_entries.Destroy();
        return false;
    }
    return true;
}

template <typename Packet>
Packet* PlugIn::PacketForPost(Packet* current, Packet* embedded, const wchar_t* function) {
    if (!PacketsInFlight()) {
        FreeRetiredPackets();
        return current;
    }
    std::size_t setAside = current != embedded ? 1 : 0;
    if constexpr (std::is_same_v<Packet, SysMsg>) {
        setAside += m_retiredSys.size();
    } else {
        setAside += m_retiredEnterMain.size();
    }
    if (setAside >= kMaxPacketsSetAside) {
        // A hung plug-in reads none of them: one more allocation per event would grow
        // without bound for as long as it hangs.
        g_defaultLog.Log(L'W', function, __LINE__,
                         L"Module \"%s\" has not read its earlier messages, message withheld.",
                         GetDescription());
        return nullptr;
    }
    // The handler thread may still be reading an earlier packet (a late, suppressed plug-in):
    // rewriting it now could hand that thread a half-old, half-new request.
    auto* fresh = new (std::nothrow) Packet(*embedded);
    if (fresh == nullptr) {
        return nullptr;
    }
    if (current != embedded) {
        try {
            if constexpr (std::is_same_v<Packet, SysMsg>) {
                m_retiredSys.push_back(current);
            } else {
                m_retiredEnterMain.push_back(current);
            }
        } catch (...) {
            delete fresh;
            return nullptr;
        }
    }
    return fresh;
}

void PlugIn::FreeRetiredPackets() noexcept {
    for (EnterMainMsg* packet : m_retiredEnterMain) {
        delete packet;
    }
    m_retiredEnterMain.clear();
    for (SysMsg* packet : m_retiredSys) {
        delete packet;
    }
    m_retiredSys.clear();
}

bool PlugIn::PostEnterMainMsg(std::uint32_t argc, wchar_t** argv) {
    static constexpr wchar_t kFn[] = L"executive::PlugIn::PostEnterMainMsg";
    if (g_defaultLog.Passes(L'D')) {  // "GetDescription" is a guarded call: not for nothing
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Send enter main message to module \"%s\"",
                         GetDescription());
    }
    EnterMainMsg* packet = PacketForPost(m_enterMain, &m_enterMainMsg, kFn);
    if (packet == nullptr) {
        return false;
    }
    m_enterMain = packet;
    packet->header.result = 0;
    packet->argc = argc;
    packet->argv = argv;
    if (m_completionEvent) {
        platform::ResetEvent(m_completionEvent.Get());
    }
    if (packet->header.event == nullptr) {
        return false;
    }
    return PostPacket(&packet->header);
}

bool PlugIn::PostSysMsg(std::uint32_t control, std::uint32_t eventType, void* eventData,
                        void* context) {
    static constexpr wchar_t kFn[] = L"executive::PlugIn::PostSysMsg";
    if (!m_entries.IsAlive()) {
        g_defaultLog.Log(L'W', kFn, __LINE__, L"Suppress module \"%s\"", GetDescription());
        logfilesync::ReportLifecycle(
            L'W', L"Plug-in \"%s\" suppressed: it answered that it is no longer alive.",
            GetDescription());
        m_suppressed = Suppression::kNotAlive;
        return false;
    }
    if (g_defaultLog.Passes(L'D')) {
        g_defaultLog.Log(L'D', kFn, __LINE__, L"Send system message to module \"%s\"",
                         GetDescription());
    }
    SysMsg* packet = PacketForPost(m_sys, &m_sysMsg, kFn);
    if (packet == nullptr) {
        return false;
    }
    m_sys = packet;
    packet->header.result = 0;
    packet->control = control;
    packet->eventType = eventType;
    packet->eventData = eventData;
    packet->context = context;
    if (m_completionEvent) {
        platform::ResetEvent(m_completionEvent.Get());
    }
    if (packet->header.event == nullptr) {
        return false;
    }
    return PostPacket(&packet->header);
}

void PlugIn::Destroy() {
    logfilesync::CTraceScope scope(L"executive::PlugIn::Destroy", __LINE__);
    Executive::Destroy();
    m_entries.Destroy();
    FreeRetiredPackets();
}

}  // namespace executive
