/* The plug-in SDK: the exports a plug-in library provides to the host, and their contract. */
/*
 * A plug-in is a dynamic library (a DLL on Windows, a shared object on Linux) that exports
 * the functions below with C linkage and these exact, case-sensitive names. Define each with
 * the KELTRA_PLUGIN_EXPORT macro, for example:
 *
 *     KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL Main(uint32_t argc, wchar_t** argv) { ... }
 *
 * Required: "Main", "Handler", "Unload", "GetDescription", "IsAlive". A library lacking any of
 * them is refused, and with it the whole plug-in set of the service. Optional:
 * "OnDeleteService".
 *
 * Threads. The host gives every plug-in two threads of its own:
 *  - the handler thread calls "Handler", one call at a time, never overlapping, in the order
 *    in which the service received the events;
 *  - the main thread calls "Main" once per service run, after all plug-ins are loaded.
 * "IsAlive" and "GetDescription" are called on the host's service thread, concurrently with
 * "Main" and "Handler". "Unload" is called on the host's service thread, possibly while
 * "Main" still runs: it must make "Main" return.
 *
 * Time limits. The host waits at most 30000 ms for all plug-ins to finish one event in
 * "Handler"; a plug-in that is late is suppressed (no longer waited for; it still receives
 * events while "IsAlive" says true). At unload the host waits at most 32000 ms for the
 * handler thread and 32000 ms for "Main" to return after "Unload"; threads still running then
 * are terminated (no destructors run on them) and the library is freed.
 *
 * Faults. A processor fault (access violation, divide by zero, illegal instruction) or an
 * exception that escapes "Main", "Handler", "Unload", "GetDescription" or "IsAlive" is caught
 * by the host: the call ends, the host goes on, and the call counts as failed ("Handler"
 * returns 0x80004005, "IsAlive" false, "GetDescription" null). Frames of the plug-in that the
 * fault abandons run no destructors. "OnDeleteService" is not guarded.
 */
#ifndef KELTRA_PLUGIN_H
#define KELTRA_PLUGIN_H

#include <stdint.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define KELTRA_PLUGIN_CALL __stdcall /* x64 has one convention; this keeps 32-bit builds right */
#define KELTRA_PLUGIN_VISIBLE __declspec(dllexport)
#else
#define KELTRA_PLUGIN_CALL
#define KELTRA_PLUGIN_VISIBLE __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define KELTRA_PLUGIN_EXPORT extern "C" KELTRA_PLUGIN_VISIBLE
extern "C" {
#else
#define KELTRA_PLUGIN_EXPORT KELTRA_PLUGIN_VISIBLE
#endif

/** "Main": the plug-in's long-running routine, on its own main thread, at most once per run.
 * argc and argv are the service's start arguments, passed on unchanged (argv may be null when
 * argc is 0). It may run until "Unload" is called and should return soon after. */
typedef void(KELTRA_PLUGIN_CALL* KeltraMainFn)(uint32_t argc, wchar_t** argv);

/** "Handler": one service-control event, on the handler thread. control is the service
 * control code (1 stop, 5 shutdown, 13 power event, 128..255 user controls, ...); eventType
 * and eventData are as the service control manager delivered them (eventData may be null and
 * is valid only during the call); context is the host's. The result is recorded by the host
 * but not acted on. */
typedef uint32_t(KELTRA_PLUGIN_CALL* KeltraHandlerFn)(uint32_t control, uint32_t eventType,
                                                      void* eventData, void* context);

/** "Unload": the plug-in is being stopped; make "Main" return and release resources. Called
 * once, after the handler thread has ended, possibly without "Main" ever having run. */
typedef void(KELTRA_PLUGIN_CALL* KeltraUnloadFn)(void);

/** "GetDescription": a NUL-terminated wide string naming the plug-in in log lines. Owned by the
 * plug-in, valid while the library is loaded; called from any thread. */
typedef const wchar_t*(KELTRA_PLUGIN_CALL* KeltraGetDescriptionFn)(void);

/** "IsAlive": asked before every event. false means the event is withheld and the plug-in
 * is suppressed (no longer waited for). Called on the host's service thread. */
typedef bool(KELTRA_PLUGIN_CALL* KeltraIsAliveFn)(void);

/** "OnDeleteService" (optional): the service is being uninstalled. Called once, in the
 * uninstalling process, on a fresh load of the library in which no other export is called. */
typedef void(KELTRA_PLUGIN_CALL* KeltraOnDeleteServiceFn)(void);

/** Export names, as the host resolves them. */
#define KELTRA_EXPORT_MAIN "Main"
#define KELTRA_EXPORT_HANDLER "Handler"
#define KELTRA_EXPORT_UNLOAD "Unload"
#define KELTRA_EXPORT_GET_DESCRIPTION "GetDescription"
#define KELTRA_EXPORT_IS_ALIVE "IsAlive"
#define KELTRA_EXPORT_ON_DELETE_SERVICE "OnDeleteService"

/** The value the host records when "Handler" faults (E_FAIL). */
#define KELTRA_HANDLER_FAULT_RESULT 0x80004005u

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELTRA_PLUGIN_H */
