// The log server's file: appended line by line, rotated at a size limit.
#pragma once

#include <windows.h>

#include <string>

#include "ut_Handle.h"

namespace LogServer {

class CRotatingLogFile {
public:
    CRotatingLogFile();
    ~CRotatingLogFile();
    CRotatingLogFile(const CRotatingLogFile&) = delete;
    CRotatingLogFile& operator=(const CRotatingLogFile&) = delete;

    // `keep` older files survive as path.1 .. path.keep (newest first).
    // False (with the system error in `error`) when the file cannot be opened.
    bool Open(const std::wstring& path, ULONGLONG maxBytes, int keep, DWORD& error);
    // Thread-safe. Rotates first when the line would pass the limit; a failed
    // rotation is reported once, the line still goes to the current file and
    // the rotation is tried again later.
    bool Append(const std::string& line);

    unsigned Rotations() const { return m_uRotations; }

private:
    bool OpenCurrent(DWORD& error);
    void Rotate();
    std::wstring Generation(int n) const;

    CRITICAL_SECTION m_cs;
    UTIL::CUniqueFile m_file;
    std::wstring m_strPath;
    ULONGLONG m_ullMaxBytes = 0;
    ULONGLONG m_ullSize = 0;
    ULONGLONG m_ullRetryAt = 0;
    int m_nKeep = 0;
    unsigned m_uRotations = 0;
    bool m_bRotateFailed = false;
};

}  // namespace LogServer
