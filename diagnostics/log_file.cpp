// The trace log front end and the shared log file store (first cut: closed log only).
#include "diagnostics/log_file.h"

#include <cstring>

#include "platform/text.h"

logfilesync::CLogFile g_defaultLog;
logfilesync::CLogFileMap g_logFileMap;

namespace logfilesync {

CLogFile::CMutexLock::~CMutexLock() { Close(); }
std::uint32_t CLogFile::CMutexLock::Create(const wchar_t*) { return 120; }
std::uint32_t CLogFile::CMutexLock::Lock() { return 21; }
std::uint32_t CLogFile::CMutexLock::Unlock() { return 21; }
void CLogFile::CMutexLock::Close() {}

CLogFile::CLogFile() {
    m_levelRanks['V'] = 0;
    m_levelRanks['D'] = 1;
    m_levelRanks['I'] = 2;
    m_levelRanks['W'] = 3;
    m_levelRanks['E'] = 4;
}
CLogFile::~CLogFile() { Close(); }
int CLogFile::LoadSettings() { return 0; }
int CLogFile::Open() { return 0; }
void CLogFile::Close() {}

int CLogFile::Log(wchar_t level, const wchar_t* function, int line, const wchar_t* format, ...) {
    if (!IsOpen()) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int result = LogV(level, function, line, format, args);
    va_end(args);
    return result;
}
int CLogFile::LogV(wchar_t, const wchar_t*, int, const wchar_t*, va_list) { return 0; }
int CLogFile::FormatText(va_list, wchar_t** buffer, const wchar_t*) {
    *buffer = nullptr;
    return 0;
}
int CLogFile::WriteLine(wchar_t, const wchar_t*, int, wchar_t* message, std::uint32_t) {
    delete[] message;
    return 0;
}
int CLogFile::MakeMutexName(wchar_t*, std::size_t) const { return 0; }
int CLogFile::CreateLogDirectory() const { return 0; }

CLogFileMap::~CLogFileMap() { Clear(); }
CLogFile* CLogFileMap::Find(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_table.find(name);
    return it == m_table.end() ? nullptr : it->second;
}
void CLogFileMap::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : m_table) {
        delete entry.second;
    }
    m_table.clear();
}

CTraceScope::CTraceScope(const wchar_t* function, int line) : m_line(line) {
    m_function[0] = L'\0';
    if (function != nullptr) {
        platform::StringCchCopyW(m_function, 260, function);
    }
    g_defaultLog.Log(L'D', m_function, m_line, L"===>");
}
CTraceScope::~CTraceScope() { g_defaultLog.Log(L'D', m_function, m_line, L"<==="); }

}  // namespace logfilesync
