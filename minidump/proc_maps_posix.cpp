// The crash path's reader of /proc/self/maps.
#include "minidump/proc_maps.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/posix/raw_syscalls.h"

namespace platform::posix::crash {
namespace {

const char* ParseHex(const char* p, std::uint64_t* value) noexcept {
    std::uint64_t v = 0;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            v = v * 16 + static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v = v * 16 + static_cast<std::uint64_t>(c - 'a' + 10);
        } else {
            break;
        }
    }
    *value = v;
    return p;
}

const char* SkipSpaces(const char* p) noexcept {
    while (*p == ' ') {
        ++p;
    }
    return p;
}

const char* SkipField(const char* p) noexcept {
    while (*p != '\0' && *p != ' ') {
        ++p;
    }
    return SkipSpaces(p);
}

}  // namespace

bool ParseMapLine(const char* p, MapLine* out) noexcept {
    p = ParseHex(p, &out->start);
    if (*p != '-') {
        return false;
    }
    p = ParseHex(p + 1, &out->end);
    if (*p != ' ') {
        return false;
    }
    ++p;
    for (int i = 0; i < 4; ++i) {
        out->permissions[i] = *p != '\0' ? *p++ : '-';
    }
    out->permissions[4] = '\0';
    p = ParseHex(SkipSpaces(p), &out->offset);
    p = SkipField(SkipSpaces(p));  // device
    out->path = SkipField(p);      // inode
    return out->end > out->start;
}

bool MapsReader::Open() noexcept {
    const long fd = SysOpen("/proc/self/maps", O_RDONLY | O_CLOEXEC, 0);
    m_fd = fd >= 0 ? static_cast<int>(fd) : -1;
    m_length = 0;
    m_position = 0;
    m_end = fd < 0;
    return fd >= 0;
}

void MapsReader::Close() noexcept {
    if (m_fd >= 0) {
        SysClose(m_fd);
    }
    m_fd = -1;
}

bool MapsReader::Fill() noexcept {
    if (m_end) {
        return false;
    }
    long got;
    do {
        got = SysRead(m_fd, m_buffer, sizeof m_buffer);
    } while (got == -EINTR);
    m_end = got <= 0;
    m_length = got > 0 ? static_cast<std::size_t>(got) : 0;
    m_position = 0;
    return !m_end;
}

const char* MapsReader::NextChunk(std::size_t* bytes) noexcept {
    if (m_position == m_length && !Fill()) {
        return nullptr;
    }
    *bytes = m_length - m_position;
    m_position = m_length;
    return m_buffer + m_length - *bytes;
}

// The next line into m_line (cut if longer); false at the end.
bool MapsReader::NextText() noexcept {
    std::size_t n = 0;
    while (m_position < m_length || Fill()) {
        const char c = m_buffer[m_position++];
        if (c == '\n') {
            m_line[n] = '\0';
            return true;
        }
        if (n + 1 < sizeof m_line) {
            m_line[n++] = c;
        }
    }
    m_line[n] = '\0';
    return n > 0;
}

bool MapsReader::Next(MapLine* line) noexcept {
    while (NextText()) {
        if (ParseMapLine(m_line, line)) {
            return true;
        }
    }
    return false;
}

}  // namespace platform::posix::crash
