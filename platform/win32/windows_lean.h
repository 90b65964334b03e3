// The one place that includes <windows.h>, lean and without min/max macros.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The platform layer declares functions with the Win32 names (platform::CreateEvent, ...).
// The SDK's A/W macros would rename them in this file only, so drop the macros: backend code
// calls the explicit wide functions (CreateEventW, ...).
#undef CreateEvent
#undef CreateFile
#undef CreateMutex
#undef OpenMutex
#undef LoadLibrary
#undef GetMessage
#undef PeekMessage
#undef PostThreadMessage
#undef DeleteFile
#undef MoveFile
#undef GetEnvironmentVariable
#undef SetEnvironmentVariable
#undef RegOpenKeyEx
#undef RegEnumValue
#undef RegQueryValueEx
#undef RegCreateKeyEx
#undef RegSetValueEx
#undef RegDeleteTree
#undef CreateProcess
#undef OpenService
#undef CreateService
#undef OpenSCManager
#undef StartService
