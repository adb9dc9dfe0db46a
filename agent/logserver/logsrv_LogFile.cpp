#include "logsrv_LogFile.h"

#include <stdio.h>

namespace LogServer {

CRotatingLogFile::CRotatingLogFile() { ::InitializeCriticalSection(&m_cs); }

CRotatingLogFile::~CRotatingLogFile()
{
    m_file.reset();
    ::DeleteCriticalSection(&m_cs);
}

std::wstring CRotatingLogFile::Generation(int n) const { return m_strPath + L"." + std::to_wstring(n); }

bool CRotatingLogFile::OpenCurrent(DWORD& error)
{
    // Readers may look at (and rotate away) the file while it is written.
    m_file.reset(::CreateFileW(m_strPath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) {
        error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER size = {};
    m_ullSize = ::GetFileSizeEx(m_file.get(), &size) ? static_cast<ULONGLONG>(size.QuadPart) : 0;
    return true;
}

bool CRotatingLogFile::Open(const std::wstring& path, ULONGLONG maxBytes, int keep, DWORD& error)
{
    m_strPath = path;
    m_ullMaxBytes = maxBytes;
    m_nKeep = keep < 0 ? 0 : keep;
    return OpenCurrent(error);
}

void CRotatingLogFile::Rotate()
{
    const ULONGLONG sizeBefore = m_ullSize;
    m_file.reset();
    bool moved = true;
    if (m_nKeep == 0) {
        moved = ::DeleteFileW(m_strPath.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
    } else {
        ::DeleteFileW(Generation(m_nKeep).c_str());
        for (int n = m_nKeep - 1; n >= 1; --n)
            ::MoveFileExW(Generation(n).c_str(), Generation(n + 1).c_str(), MOVEFILE_REPLACE_EXISTING);
        moved = ::MoveFileExW(m_strPath.c_str(), Generation(1).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    }
    const DWORD moveError = ::GetLastError();
    if (!moved && !m_bRotateFailed) {
        fprintf(stderr, "logserver: cannot rotate the log file (error %lu); it keeps growing\n",
                static_cast<unsigned long>(moveError));
        fflush(stderr);
    }
    m_bRotateFailed = !moved;
    if (moved)
        ++m_uRotations;
    // After a failure, try again once another slice of the limit was written.
    m_ullRetryAt = moved ? 0 : sizeBefore + (m_ullMaxBytes / 8 > 4096 ? m_ullMaxBytes / 8 : 4096);
    DWORD error = 0;
    if (!OpenCurrent(error)) {
        fprintf(stderr, "logserver: cannot reopen the log file (error %lu)\n", static_cast<unsigned long>(error));
        fflush(stderr);
    }
}

bool CRotatingLogFile::Append(const std::string& line)
{
    ::EnterCriticalSection(&m_cs);
    if (m_ullMaxBytes && m_ullSize > 0 && m_ullSize + line.size() > m_ullMaxBytes && m_ullSize >= m_ullRetryAt)
        Rotate();
    if (!m_file) {
        DWORD error = 0;
        OpenCurrent(error);
    }
    DWORD written = 0;
    const bool ok = m_file &&
                    ::WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
                    written == line.size();
    m_ullSize += written;
    ::LeaveCriticalSection(&m_cs);
    return ok;
}

}  // namespace LogServer
