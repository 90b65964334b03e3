/* The executable's string table, the one source of the service's identity strings: windres
   compiles it into the Windows executable (keltra.rc), and the POSIX build reads the same
   definitions. Kept to the preprocessor so that both the resource compiler and C++ take it. */
#ifndef KELTRA_RESOURCES_STRINGS_H
#define KELTRA_RESOURCES_STRINGS_H

#define IDS_SERVICE_NAME 101
#define IDS_DISPLAY_NAME 102
#define IDS_DESCRIPTION 103

#define KELTRA_SERVICE_NAME L"KeltraServiceFramework"
#define KELTRA_DISPLAY_NAME L"Keltra Service Framework"
#define KELTRA_DESCRIPTION L"Infrastructure services for Keltra plugins."

#endif
