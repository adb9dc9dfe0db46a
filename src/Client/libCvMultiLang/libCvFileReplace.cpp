#include "libCvFileReplace.h"

#include <windows.h>
#include <stdio.h>

#include <memory>

#include "tinyxml.h"

namespace {

// A new, uniquely named file in the folder of a target file; deleted unless
// it has been moved over the target. Keeps the thread's last error.
class CSiblingFile {
public:
    CSiblingFile() = default;
    ~CSiblingFile()
    {
        if (!m_path.empty()) {
            const DWORD saved = ::GetLastError();
            ::DeleteFileW(m_path.c_str());
            ::SetLastError(saved);
        }
    }
    CSiblingFile(const CSiblingFile&) = delete;
    CSiblingFile& operator=(const CSiblingFile&) = delete;

    bool Create(const std::wstring& target)
    {
        const size_t slash = target.find_last_of(L"\\/");
        const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : target.substr(0, slash);
        wchar_t name[MAX_PATH] = {};
        if (!::GetTempFileNameW(folder.c_str(), L"uip", 0, name))
            return false;
        m_path = name;
        return true;
    }
    bool MoveOver(const std::wstring& target)
    {
        if (!::MoveFileExW(m_path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return false;
        m_path.clear();
        return true;
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

struct CFileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

bool SaveXmlReplacing(const TiXmlDocument& doc, const std::wstring& path)
{
    CSiblingFile temp;
    if (!temp.Create(path))
        return false;
    FILE* raw = nullptr;
    if (_wfopen_s(&raw, temp.Path().c_str(), L"wb") != 0 || !raw) {
        if (::GetLastError() == ERROR_SUCCESS)
            ::SetLastError(ERROR_OPEN_FAILED);
        return false;
    }
    std::unique_ptr<FILE, CFileCloser> file(raw);
    const bool written = doc.SaveFile(file.get());
    if (fclose(file.release()) != 0 || !written) {
        if (::GetLastError() == ERROR_SUCCESS)
            ::SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return temp.MoveOver(path);
}

bool CopyReplacing(const std::wstring& source, const std::wstring& target)
{
    CSiblingFile temp;
    return temp.Create(target) && ::CopyFileW(source.c_str(), temp.Path().c_str(), FALSE) && temp.MoveOver(target);
}
