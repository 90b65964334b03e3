// The locked-append floor on Windows: LockFileEx on the whole file, SetFilePointerEx to the
// end, WriteFile, UnlockFileEx.
#include <windows.h>

#include "bench/log_floor.h"

namespace keltra::bench {

FloorWriter::FloorWriter(const std::wstring& path)
    : m_file(reinterpret_cast<std::intptr_t>(::CreateFileW(
          path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))) {}

FloorWriter::~FloorWriter() {
    if (Ok()) {
        ::CloseHandle(reinterpret_cast<HANDLE>(m_file));
    }
}

bool FloorWriter::Ok() const {
    return reinterpret_cast<HANDLE>(m_file) != INVALID_HANDLE_VALUE;
}

bool FloorWriter::Append(const std::string& bytes) {
    const HANDLE file = reinterpret_cast<HANDLE>(m_file);
    OVERLAPPED whole{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        return false;
    }
    LARGE_INTEGER zero{};
    DWORD written = 0;
    const bool ok =
        ::SetFilePointerEx(file, zero, nullptr, FILE_END) &&
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    return ok;
}

}  // namespace keltra::bench
