// The minidump's system information stream on POSIX (crash path: no allocation, no lock).
#pragma once

#include "minidump/minidump_file.h"
#include "minidump/minidump_format.h"

namespace platform::posix::crash {

/// Appends the system information (x64, the processor's vendor, family, model and stepping,
/// the processors this process may run on, the kernel release as the version and the uname
/// text as the service-pack string) and returns where it lies.
MdLocation AppendSystemInfo(MinidumpFile& file) noexcept;

}  // namespace platform::posix::crash
