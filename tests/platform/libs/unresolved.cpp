// A POSIX test library that imports a function nobody defines: loading it must fail.
#include "keltra/plugin.h"

extern "C" int KeltraSymbolThatNoLibraryDefines(void);

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL CallsTheMissingSymbol(void) {
    return KeltraSymbolThatNoLibraryDefines();
}
