// The framework parameters: where the plug-in list lives in the registry. Filled by the
// process entry, copied whole into the service object.
#pragma once

/// Two wide strings of 260 characters each (terminator included), in this order: the plug-in
/// key path under HKEY_LOCAL_MACHINE and the value-name filter.
struct FrameworkParams {
    wchar_t pluginKeyPath[260];
    wchar_t valueNameFilter[260];
};
