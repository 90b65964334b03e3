// A plug-in library loaded by path, and its entry table of guarded export calls.
#include "executive/library.h"

#include <cstdint>

#include "diagnostics/log_file.h"
#include "platform/fault_guard.h"
#include "platform/path_trust.h"

namespace executive {

std::uint32_t HandleBits(const void* handle) noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

bool Library::Load(const wchar_t* path) {
    logfilesync::CTraceScope scope(L"executive::Library::Load", __LINE__);
    if (path == nullptr || m_module != nullptr) {
        return false;
    }
    // Checked again right before loading: the file may have changed since it was listed.
    if (const std::wstring untrusted = platform::UntrustedPathReason(path); !untrusted.empty()) {
        g_defaultLog.Log(L'E', L"executive::Library::Load", __LINE__,
                         L"Refused %s: %s (running as root)", path, untrusted.c_str());
        return false;
    }
    m_module = platform::LoadLibrary(path);
    g_defaultLog.Log(L'D', L"executive::Library::Load", __LINE__, L"lib: 0x%08X, path: %s",
                     HandleBits(m_module), path);
    if (m_module == nullptr) {
        return false;
    }
    m_path = path;
    return true;
}

void Library::Unload() {
    logfilesync::CTraceScope scope(L"executive::Library::Unload", __LINE__);
    g_defaultLog.Log(L'D', L"executive::Library::Unload", __LINE__, L"lib: 0x%08X, path: %s",
                     HandleBits(m_module), m_path.c_str());
    if (m_module != nullptr) {
        platform::FreeLibrary(m_module);
        m_module = nullptr;
    }
    m_path.clear();
}

bool PlugInEntries::Create(const wchar_t* path) {
    static constexpr wchar_t kFn[] = L"executive::PlugInEntries::Create";
    logfilesync::CTraceScope scope(kFn, __LINE__);
    if (path == nullptr || m_library.Module() != nullptr) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"invalid parameters.");
        return false;
    }
    g_defaultLog.Log(L'D', kFn, __LINE__, L"Create library: %s", path);
    if (!m_library.Load(path)) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Load library failed.");
        return false;
    }
    const platform::Module module = m_library.Module();
    m_main = reinterpret_cast<KeltraMainFn>(platform::GetProcAddress(module, KELTRA_EXPORT_MAIN));
    m_handler =
        reinterpret_cast<KeltraHandlerFn>(platform::GetProcAddress(module, KELTRA_EXPORT_HANDLER));
    m_unload =
        reinterpret_cast<KeltraUnloadFn>(platform::GetProcAddress(module, KELTRA_EXPORT_UNLOAD));
    m_getDescription = reinterpret_cast<KeltraGetDescriptionFn>(
        platform::GetProcAddress(module, KELTRA_EXPORT_GET_DESCRIPTION));
    m_isAlive =
        reinterpret_cast<KeltraIsAliveFn>(platform::GetProcAddress(module, KELTRA_EXPORT_IS_ALIVE));
    if (m_main == nullptr || m_handler == nullptr || m_unload == nullptr ||
        m_getDescription == nullptr || m_isAlive == nullptr) {
        g_defaultLog.Log(L'E', kFn, __LINE__, L"Load method failed.");
        Destroy();
        return false;
    }
    return true;
}

void PlugInEntries::Destroy() {
    logfilesync::CTraceScope scope(L"executive::PlugInEntries::Destroy", __LINE__);
    m_library.Unload();
    ClearEntries();
}

void PlugInEntries::ClearEntries() noexcept {
    m_main = nullptr;
    m_handler = nullptr;
    m_unload = nullptr;
    m_getDescription = nullptr;
    m_isAlive = nullptr;
}

// Each wrapper also answers with its failure value on an empty table, so that a call that
// arrives after Destroy (a post to a plug-in that is gone) fails instead of jumping to null.

void PlugInEntries::Main(std::uint32_t argc, wchar_t** argv) {
    if (m_main == nullptr) {
        return;
    }
    // The markers sit inside the guard: after a fault "<==" is missing, which is how the log
    // tells that "Main" did not return normally.
    (void)platform::CallGuardedVoid([&] {
        g_defaultLog.Log(L'D', L"executive::PlugInEntries::Main", __LINE__, L"==>");
        m_main(argc, argv);
        g_defaultLog.Log(L'D', L"executive::PlugInEntries::Main", __LINE__, L"<==");
    });
}

std::uint32_t PlugInEntries::Handler(std::uint32_t control, std::uint32_t eventType,
                                     void* eventData, void* context) {
    if (m_handler == nullptr) {
        return kHandlerFaultResult;
    }
    return platform::CallGuarded<std::uint32_t>(
        [&] { return m_handler(control, eventType, eventData, context); }, kHandlerFaultResult);
}

void PlugInEntries::Unload() {
    if (m_unload == nullptr) {
        return;
    }
    (void)platform::CallGuardedVoid([&] {
        g_defaultLog.Log(L'D', L"executive::PlugInEntries::Unload", __LINE__, L"==>");
        m_unload();
        g_defaultLog.Log(L'D', L"executive::PlugInEntries::Unload", __LINE__, L"<==");
    });
}

bool PlugInEntries::IsAlive() {
    if (m_isAlive == nullptr) {
        return false;
    }
    return platform::CallGuarded<bool>([&] { return m_isAlive(); }, false);
}

const wchar_t* PlugInEntries::GetDescription() {
    if (m_getDescription == nullptr) {
        return nullptr;
    }
    return platform::CallGuarded<const wchar_t*>([&] { return m_getDescription(); }, nullptr);
}

}  // namespace executive
