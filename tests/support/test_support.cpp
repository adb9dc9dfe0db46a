#include "test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlwapi.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "ut_AgentRegistry.h"

namespace KsxTest {

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s = path;
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

std::string ExeDirA()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.find_last_of('\\') + 1);
}

namespace {

HKEY CreateAgentKey(const std::string& subKey)
{
    std::string path = UTIL::kAgentRootKeyA;
    if (!subKey.empty())
        path += "\\" + subKey;
    HKEY key = nullptr;
    LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                nullptr, &key, nullptr);
    EXPECT_EQ(rc, ERROR_SUCCESS) << path;
    return key;
}

}  // namespace

void DeleteKeyTree(HKEY root, const std::string& path, REGSAM view)
{
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) == ERROR_SUCCESS)
        ::RegDeleteTreeA(key.get(), nullptr);
    key.reset();
    ::RegDeleteKeyExA(root, path.c_str(), view, 0);
}

CAgentRegistry::CAgentRegistry()
{
    RemoveAll();
    ::RegCloseKey(CreateAgentKey(""));
}

CAgentRegistry::~CAgentRegistry() { RemoveAll(); }

void CAgentRegistry::RemoveAll() { DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", KEY_WOW64_32KEY); }

void CAgentRegistry::SetString(const std::string& subKey, const std::string& name, const std::string& value)
{
    UTIL::CUniqueHKey key(CreateAgentKey(subKey));
    ASSERT_EQ(::RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
}

void CAgentRegistry::SetDword(const std::string& subKey, const std::string& name, DWORD value)
{
    SetRaw(subKey, Wide(name), REG_DWORD, &value, sizeof(value));
}

void CAgentRegistry::SetRaw(const std::string& subKey, const std::wstring& name, DWORD type, const void* data, DWORD cb)
{
    UTIL::CUniqueHKey key(CreateAgentKey(subKey));
    ASSERT_EQ(::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
}

void CAgentRegistry::DeleteValue(const std::string& subKey, const std::string& name)
{
    UTIL::CUniqueHKey key(CreateAgentKey(subKey));
    ::RegDeleteValueA(key.get(), name.c_str());
}

CTempFolder::CTempFolder()
{
    GUID guid = {};
    ::CoCreateGuid(&guid);
    char name[64];
    snprintf(name, sizeof(name), "ksx-%08lx-%04x-%04x-%02x%02x", static_cast<unsigned long>(guid.Data1), guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1]);
    m_path = (std::filesystem::temp_directory_path() / name).string() + "\\";
    std::filesystem::create_directory(m_path);
}

CTempFolder::~CTempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string CTempFolder::WriteFile(const std::string& relative, const std::string& content) const
{
    const std::string full = m_path + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream file(full, std::ios::binary | std::ios::trunc);
    EXPECT_TRUE(file.write(content.data(), content.size()).flush()) << full;
    return full;
}

std::string MakeBitmapFile(int width, int height)
{
    const int stride = (width * 3 + 3) & ~3;
    const DWORD pixels = static_cast<DWORD>(stride * height);
    BITMAPFILEHEADER fh = {};
    BITMAPINFOHEADER ih = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + pixels;
    ih.biSize = sizeof(ih);
    ih.biWidth = width;
    ih.biHeight = height;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = pixels;
    std::string out(reinterpret_cast<const char*>(&fh), sizeof(fh));
    out.append(reinterpret_cast<const char*>(&ih), sizeof(ih));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < stride; ++x)
            out.push_back(static_cast<char>((x * 40 + y * 16) & 0xFF));
    return out;
}

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs)
{
    std::wstring cmd = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return static_cast<DWORD>(-1);
    UTIL::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (::WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 1);
        return static_cast<DWORD>(-1);
    }
    DWORD code = static_cast<DWORD>(-1);
    ::GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

CReadyProcess::CReadyProcess(std::wstring commandLine, DWORD timeoutMs, HANDLE output)
{
    static std::atomic<unsigned> s_serial{0};
    const std::wstring name =
        L"KsxTestReady-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++s_serial);
    UTIL::CUniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    commandLine += L" --ready-event " + name;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = output;
    }
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, output != nullptr, CREATE_NO_WINDOW, nullptr,
                          nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine.c_str() << ", error " << ::GetLastError();
        return;
    }
    UTIL::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    HANDLE handles[2] = {ready.get(), process.get()};
    if (::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0)
        m_process = std::move(process);
    else
        ADD_FAILURE() << "did not get ready: " << commandLine.c_str();
    if (process)
        ::TerminateProcess(process.get(), 1);
}

DWORD CReadyProcess::Wait(DWORD timeoutMs)
{
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(m_process.get(), &code))
        m_process.reset();
    return code;
}

void CReadyProcess::Kill()
{
    if (!m_process)
        return;
    ::TerminateProcess(m_process.get(), 9);
    EXPECT_EQ(::WaitForSingleObject(m_process.get(), 15000), WAIT_OBJECT_0) << "a child outlived its kill";
    m_process.reset();
}

std::string ReadBytes(const std::string& path)
{
    std::string content;
    UTIL::CUniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read)
        content.append(buffer, read);
    return content;
}

RegString ReadRegString(HKEY root, const std::string& path, const char* name, REGSAM view)
{
    RegString out;
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return out;
    char buf[2048] = {};
    DWORD cb = sizeof(buf) - 1;
    DWORD type = 0;
    if (::RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) != ERROR_SUCCESS ||
        type != REG_SZ)
        return out;
    out.found = true;
    out.value = buf;
    return out;
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view)
{
    UTIL::CUniqueHKey key;
    return ::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

}  // namespace KsxTest
