// One loaded plug-in: its entry table, its thread pair, one request packet of each kind, a
// completion event and a suppressed flag.
//
// Threads: Create, Destroy, the two posts and every change of the suppressed flag run on the
// thread that drives the manager, one at a time. The plug-in's handler thread reads a packet
// only after the post that filled it and signals the completion event when it is done.
//
// Packets: normally one of each kind, reused for every post. A plug-in that is late (and so
// suppressed) may still be reading the previous packet when the next post comes; that post
// then gets a fresh packet, so the late reader never sees a half-rewritten one. Packets set
// aside this way stay owned by the plug-in and are freed once nothing is in flight, and at
// the latest by Destroy or the destructor. A plug-in that hangs reads nothing, so at most
// kMaxPacketsSetAside packets of a kind are set aside; past that each post is withheld with
// a warning ("Module \"%s\" has not read its earlier messages, message withheld.").
//
// Ownership: the owner calls Destroy before deleting a plug-in that was created successfully
// (the destructor alone terminates threads but never frees the library).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "executive/library.h"
#include "executive/thread_pair.h"

namespace executive {

class PlugIn : private Executive {
  public:
    /// Packets of one kind a plug-in may leave unread before further posts are withheld.
    static constexpr std::size_t kMaxPacketsSetAside = 4;

    /// Builds an empty plug-in with its completion event (manual reset, not signalled). If the
    /// event cannot be made it stays null, and both posts then fail.
    PlugIn();
    /// Terminates threads still running, closes the completion event and frees every packet.
    /// Does not free the library: run Destroy first.
    ~PlugIn() override;

    /// Loads the library, resolves its exports and starts the handler thread. False for a null
    /// path, a plug-in already created (nothing changes), a library that cannot be loaded or
    /// lacks exports ("Create library failed."), or a handler thread that cannot start or is
    /// not ready in time ("Base::Create failed.", library freed again).
    bool Create(const wchar_t* path);

    /// Posts WM_ENTER_MAIN with the service's start arguments. Ignores the suppressed flag.
    /// True when posted.
    bool PostEnterMainMsg(std::uint32_t argc, wchar_t** argv);

    /// Asks "IsAlive"; on false logs "Suppress module", sets the suppressed flag and posts
    /// nothing. Otherwise posts WM_HANDLER with the four values. True when posted; false (and
    /// nothing posted) also when the plug-in has left too many packets unread.
    bool PostSysMsg(std::uint32_t control, std::uint32_t eventType, void* eventData, void* context);

    /// Stops the thread pair (bounded, terminating what does not end) and frees the library.
    void Destroy();

    /// Why a plug-in gets no more messages: it was late to finish one, or said it is not alive.
    enum class Suppression { kNone, kLate, kNotAlive };
    [[nodiscard]] bool IsSuppressed() const noexcept { return m_suppressed != Suppression::kNone; }
    [[nodiscard]] Suppression SuppressedAs() const noexcept { return m_suppressed; }
    /// Suppresses it as late.
    void Suppress() noexcept { m_suppressed = Suppression::kLate; }
    [[nodiscard]] platform::Handle CompletionEvent() const noexcept {
        return m_completionEvent.Get();
    }
    /// "GetDescription" of the plug-in, guarded; null after a fault or when not loaded.
    [[nodiscard]] const wchar_t* GetDescription() { return m_entries.GetDescription(); }
    [[nodiscard]] const PlugInEntries& Entries() const noexcept { return m_entries; }

    /// The packets the next post of each kind would use (for tests and diagnostics).
    [[nodiscard]] const EnterMainMsg& CurrentEnterMainMsg() const noexcept { return *m_enterMain; }
    [[nodiscard]] const SysMsg& CurrentSysMsg() const noexcept { return *m_sys; }
    /// Heap packets of both kinds held while a late handler thread may still read them.
    [[nodiscard]] std::size_t PacketsSetAside() const noexcept {
        return m_retiredEnterMain.size() + m_retiredSys.size() + (m_enterMain != &m_enterMainMsg) +
               (m_sys != &m_sysMsg);
    }

    using Executive::HandlerThreadHandle;
    using Executive::HandlerThreadId;
    using Executive::MainThreadHandle;
    using Executive::MainThreadId;

  private:
    template <typename Packet>
    Packet* PacketForPost(Packet* current, Packet* embedded, const wchar_t* function);
    void FreeRetiredPackets() noexcept;

    PlugInEntries m_entries;
    Suppression m_suppressed = Suppression::kNone;
    EnterMainMsg m_enterMainMsg;
    SysMsg m_sysMsg;
    platform::UniqueHandle m_completionEvent;

    EnterMainMsg* m_enterMain = &m_enterMainMsg;
    SysMsg* m_sys = &m_sysMsg;
    // Heap packets set aside while the handler thread may still read them.
    std::vector<EnterMainMsg*> m_retiredEnterMain;
    std::vector<SysMsg*> m_retiredSys;
};

}  // namespace executive
