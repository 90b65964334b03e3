// A plug-in library loaded by path, and its entry table of guarded export calls.
//
//  - Library: one loaded module and the path it came from. Only Unload frees the module;
//    destroying the object never does.
//  - ComponentEntries: the abstract interface through which the thread pair calls a component.
//  - PlugInEntries: the entry table of one plug-in library: loads it, resolves the five
//    required exports ("Main", "Handler", "Unload", "GetDescription", "IsAlive") and calls
//    each under the platform's fault guard, so that a fault or exception inside the plug-in
//    ends the call with a failure value and never reaches the host.
//
// Threads: Create and Destroy run on the owner's thread while no plug-in thread runs. Between
// them the table is only read, by up to three threads at once (main, handler, owner); no lock
// is taken. On an empty table every wrapper returns its failure value without calling.
#pragma once

#include <cstdint>
#include <string>

#include "keltra/plugin.h"
#include "platform/dynamic_library.h"

namespace executive {

/// The value "Handler" stands for when it faults (E_FAIL).
inline constexpr std::uint32_t kHandlerFaultResult = KELTRA_HANDLER_FAULT_RESULT;

class Library {
  public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    /// Frees the path only; a module still held stays loaded.
    ~Library() = default;

    /// Loads the library at path. False, without logging, for a null path or when a module is
    /// already held; false after an E line with the reason when the process runs as root and
    /// another user could change or replace the file (platform/path_trust.h); false after
    /// logging a zero handle when the platform cannot load it.
    bool Load(const wchar_t* path);

    /// Logs the handle and path, frees the module if one is held and empties the path. Safe on
    /// a library that was never loaded.
    void Unload();

    [[nodiscard]] platform::Module Module() const noexcept { return m_module; }
    [[nodiscard]] const std::wstring& Path() const noexcept { return m_path; }

  private:
    std::wstring m_path;
    platform::Module m_module = nullptr;
};

class ComponentEntries {
  public:
    ComponentEntries() = default;
    ComponentEntries(const ComponentEntries&) = delete;
    ComponentEntries& operator=(const ComponentEntries&) = delete;

    /// The component's long-running routine, on its main thread.
    virtual void Main(std::uint32_t argc, wchar_t** argv) = 0;
    /// One request, on the handler thread; never overlapping.
    virtual std::uint32_t Handler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                  void* context) = 0;
    /// Tells the component to stop; "Main" may still run.
    virtual void Unload() = 0;
    /// Asked before every system message, on the posting thread.
    virtual bool IsAlive() = 0;
    /// Reserved hook; nothing in the system calls it.
    virtual void Reserved() = 0;
    virtual ~ComponentEntries() = default;
};

class PlugInEntries : public ComponentEntries {
  public:
    PlugInEntries() = default;
    /// Frees the library's path only: neither calls "Unload" nor frees the module, so the owner
    /// runs Destroy first.
    ~PlugInEntries() override = default;

    /// Loads the library and resolves the five required exports. False (with an E line) for a
    /// null path, a table that is already loaded, a library that cannot be loaded, or one that
    /// lacks any required export; in the last case the library is freed again.
    bool Create(const wchar_t* path);

    /// Frees the library (if any) and clears every entry. Safe on an empty table. Call only
    /// after every thread that may run plug-in code has ended or been terminated.
    void Destroy();

    /// Guarded calls. Faults give: nothing (Main, Unload), 0x80004005 (Handler), false
    /// (IsAlive), null (GetDescription). Main and Unload log "==>" and "<==" around the call.
    void Main(std::uint32_t argc, wchar_t** argv) override;
    std::uint32_t Handler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                          void* context) override;
    void Unload() override;
    bool IsAlive() override;
    void Reserved() override {}
    [[nodiscard]] const wchar_t* GetDescription();

    [[nodiscard]] const Library& GetLibrary() const noexcept { return m_library; }
    [[nodiscard]] bool IsLoaded() const noexcept { return m_library.Module() != nullptr; }

  private:
    void ClearEntries() noexcept;

    Library m_library;
    KeltraMainFn m_main = nullptr;
    KeltraHandlerFn m_handler = nullptr;
    KeltraUnloadFn m_unload = nullptr;
    KeltraGetDescriptionFn m_getDescription = nullptr;
    KeltraIsAliveFn m_isAlive = nullptr;
};

/// The low 32 bits of a module handle, as the "lib: 0x%08X" log lines show it.
[[nodiscard]] std::uint32_t HandleBits(const void* handle) noexcept;

}  // namespace executive
