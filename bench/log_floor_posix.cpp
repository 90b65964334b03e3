// The locked-append floor on POSIX: flock, lseek to the end, write.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "bench/log_floor.h"
#include "text/text.h"

namespace keltra::bench {

FloorWriter::FloorWriter(const std::wstring& path)
    : m_file(::open(platform::WideToUtf8(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {}

FloorWriter::~FloorWriter() {
    if (m_file >= 0) {
        ::close(static_cast<int>(m_file));
    }
}

bool FloorWriter::Ok() const {
    return m_file >= 0;
}

bool FloorWriter::Append(const std::string& bytes) {
    const int fd = static_cast<int>(m_file);
    if (::flock(fd, LOCK_EX) != 0) {
        return false;
    }
    const bool ok = ::lseek(fd, 0, SEEK_END) >= 0 &&
                    ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::flock(fd, LOCK_UN);
    return ok;
}

}  // namespace keltra::bench
