// The plug-in manager: reads the plug-in list, loads every listed plug-in (all or none),
// broadcasts requests to them with one bounded completion wait, and unloads them.
//
// Broadcast and wait results: 0 when every plug-in waited for has finished (or there are
// none), 1 when the bound passed (each late plug-in is then suppressed and never waited for
// again), 0xFFFFFFFF when the wait itself failed (no handle to wait for, or more than 64
// plug-ins that are not suppressed: the platform's limit on one wait).
//
// Threads: no lock. The list is built and emptied, and broadcasts run, on the service's
// threads one call at a time; nothing here may overlap another call on the same manager.
// GetAllPluginDLLs and OnDeleteService use no manager state.
//
// Ownership: the manager owns the plug-ins it lists and destroys them in UnloadAllPlugins.
// Its destructor frees only the list: plug-ins still listed then are left as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "executive/plug_in.h"
#include "platform/types.h"

namespace executive {

enum : std::uint32_t {
    kBroadcastComplete = 0,
    kBroadcastTimeout = 1,
    kBroadcastWaitFailed = 0xFFFFFFFF,
};

/// Told of each bounded wait the manager is about to make, with its bound in ms, on the thread
/// that makes it: loading a plug-in (its handler thread's ready bound), a broadcast (the
/// completion bound), unloading a plug-in (its two thread-exit bounds). The service passes it
/// on to the service manager. Must not call back into the manager.
class WaitObserver {
  public:
    virtual ~WaitObserver() = default;
    virtual void BeforeBoundedWait(std::uint32_t boundMs) = 0;
};

class PluginMgr {
  public:
    PluginMgr() = default;
    PluginMgr(const PluginMgr&) = delete;
    PluginMgr& operator=(const PluginMgr&) = delete;
    virtual ~PluginMgr() = default;

    /// Reads HKEY_LOCAL_MACHINE\keyPath: the REG_SZ values whose name starts with a filter
    /// character, whose file exists, first copy of each path, in registry order. Returns 0, the
    /// open's error code (dlls emptied), or 87 for a null key or filter (dlls untouched).
    static platform::ErrorCode GetAllPluginDLLs(std::vector<std::wstring>& dlls,
                                                const wchar_t* keyPath, const wchar_t* filter);

    /// Creates one plug-in per listed path, in order. Any failure unloads every plug-in made so
    /// far: the result is 0 with all plug-ins loaded, or an error with none (the registry's
    /// code, 1631 when a plug-in could not be created, 8 when memory ran out).
    platform::ErrorCode SearchAndLoadPlugins(const wchar_t* keyPath, const wchar_t* filter);

    /// Destroys and deletes every plug-in, front to back, one fully before the next; empties
    /// the list. Bounded by the thread waits of each plug-in.
    void UnloadAllPlugins();

    /// Gives each listed library its optional "OnDeleteService" call on a load of its own in
    /// which no other export is called. Not guarded. 0 unless the list cannot be read.
    static platform::ErrorCode OnDeleteService(const wchar_t* keyPath, const wchar_t* filter);

    /// Posts WM_ENTER_MAIN to every plug-in, then waits for all. Result as above.
    std::uint32_t PostEntryMainMsgToAll(std::uint32_t argc, wchar_t** argv);

    /// Posts a system message to every plug-in that says it is alive, then waits for all that
    /// are not suppressed. Result as above.
    std::uint32_t PostSysMsgToAll(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                  void* context);

    /// Waits (broadcast bound) for the completion events of every plug-in that is not
    /// suppressed; suppresses the late ones. Result as above.
    std::uint32_t WaitForComplete();

    /// The observer of every later bounded wait; null (the default) for none. Not owned.
    void SetWaitObserver(WaitObserver* observer) noexcept { m_waitObserver = observer; }

    [[nodiscard]] const std::vector<PlugIn*>& Plugins() const noexcept { return m_plugins; }
    [[nodiscard]] std::uint64_t Count() const noexcept { return m_count; }

  private:
    void BeforeBoundedWait(std::uint64_t boundMs) const;

    std::vector<PlugIn*> m_plugins;
    WaitObserver* m_waitObserver = nullptr;
    std::uint64_t m_count = 0;
    std::vector<platform::Handle> m_waitHandles;  // reused by every wait
};

}  // namespace executive
