// The crash path's dump file: aligned appends, process memory copied by the kernel, strings.
#include "minidump/minidump_file.h"

#include <cerrno>

#include "platform/posix/crash_internal_posix.h"
#include "platform/posix/raw_syscalls.h"
#include "text/text_codec.h"

namespace platform::posix::crash {
namespace {

constexpr std::uint64_t kPageBytes = 4096;
const unsigned char kZeros[4096] = {};

}  // namespace

void MinidumpFile::Start(int fd) noexcept {
    m_fd = fd;
    m_offset = 0;
    m_error = 0;
}

void MinidumpFile::Fail(int error) noexcept {
    if (m_error == 0) {
        m_error = error;
    }
}

bool MinidumpFile::Write(const void* data, std::size_t bytes) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0 && m_error == 0) {
        const long written = SysWrite(m_fd, p, bytes);
        if (written == -EINTR) {
            continue;
        }
        if (written <= 0) {
            Fail(written == 0 ? EIO : static_cast<int>(-written));
            break;
        }
        p += written;
        bytes -= static_cast<std::size_t>(written);
        m_offset += static_cast<std::uint64_t>(written);
    }
    return m_error == 0;
}

void MinidumpFile::WriteZeros(std::uint64_t bytes) noexcept {
    while (bytes > 0 && m_error == 0) {
        const std::size_t chunk = bytes < sizeof kZeros ? bytes : sizeof kZeros;
        Write(kZeros, chunk);
        bytes -= chunk;
    }
}

void MinidumpFile::Align(std::uint64_t alignment) noexcept {
    const std::uint64_t misalignment = m_offset % alignment;
    if (misalignment != 0) {
        WriteZeros(alignment - misalignment);
    }
}

std::uint32_t MinidumpFile::Append(const void* data, std::size_t bytes) noexcept {
    Align(8);
    const auto rva = static_cast<std::uint32_t>(m_offset);
    Write(data, bytes);
    return rva;
}

// The kernel reads the memory (write from a user address): a bad page gives EFAULT instead of
// a second fault.
std::uint32_t MinidumpFile::AppendMemory(std::uint64_t address, std::uint64_t bytes) noexcept {
    Align(8);
    const auto rva = static_cast<std::uint32_t>(m_offset);
    while (bytes > 0 && m_error == 0) {
        const long written = SysWrite(m_fd, reinterpret_cast<const void*>(address), bytes);
        if (written == -EINTR) {
            continue;
        }
        if (written > 0) {
            address += static_cast<std::uint64_t>(written);
            bytes -= static_cast<std::uint64_t>(written);
            m_offset += static_cast<std::uint64_t>(written);
            continue;
        }
        if (written != -EFAULT) {
            Fail(written == 0 ? EIO : static_cast<int>(-written));
            break;
        }
        const std::uint64_t toPageEnd = kPageBytes - address % kPageBytes;
        const std::uint64_t skip = toPageEnd < bytes ? toPageEnd : bytes;
        WriteZeros(skip);
        address += skip;
        bytes -= skip;
    }
    return rva;
}

std::uint32_t MinidumpFile::AppendString(const char* utf8) noexcept {
    const std::size_t units =
        utf::Convert(utf8, TextLength(utf8), m_text, sizeof m_text / sizeof m_text[0] - 1).written;
    m_text[units] = u'\0';
    const auto bytes = static_cast<std::uint32_t>(units * sizeof(char16_t));
    const std::uint32_t rva = Append(&bytes, sizeof bytes);
    Write(m_text, (units + 1) * sizeof(char16_t));
    return rva;
}

}  // namespace platform::posix::crash
