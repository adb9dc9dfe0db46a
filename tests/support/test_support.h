// Fixtures and helpers shared by the test suites.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ut_Handle.h"

namespace KsxTest {

// The folder of the running test executable (the build's bin folder), with a
// trailing backslash.
std::wstring ExeDir();
std::string ExeDirA();

// The agent's registry root, created in the 32-bit view for the test and
// removed with everything below it when the object goes.
class CAgentRegistry {
public:
    CAgentRegistry();
    ~CAgentRegistry();
    CAgentRegistry(const CAgentRegistry&) = delete;
    CAgentRegistry& operator=(const CAgentRegistry&) = delete;

    // `subKey` is relative to the agent root; empty means the root itself.
    void SetString(const std::string& subKey, const std::string& name, const std::string& value);
    void SetDword(const std::string& subKey, const std::string& name, DWORD value);
    // Stores `cb` bytes of `data` as they are, through the wide API.
    void SetRaw(const std::string& subKey, const std::wstring& name, DWORD type, const void* data, DWORD cb);
    void DeleteValue(const std::string& subKey, const std::string& name);

    static void RemoveAll();
};

// A folder under %TEMP% named by a GUID, removed with its content.
class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_path; }  // with a trailing backslash
    // Writes `content` to Path() + relative, creating the folders between.
    std::string WriteFile(const std::string& relative, const std::string& content) const;

private:
    std::string m_path;
};

// A file's bytes, empty when it cannot be read; a writer may hold it open.
std::string ReadBytes(const std::string& path);
// ASCII widened character by character.
inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
// `text` as UTF-16LE bytes with one NUL, as the agent's record files hold it.
inline std::string Utf16z(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

// The bytes of a valid 24-bit BMP file of the given size.
std::string MakeBitmapFile(int width, int height);

// Runs a command line, waits at most `timeoutMs`, returns the exit code or -1.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// A child started with " --ready-event NAME" added to `commandLine`: running
// and ready when the constructor returns (a test failure otherwise), killed
// with the object. `output`, when given, takes its stdout and stderr.
class CReadyProcess {
public:
    explicit CReadyProcess(std::wstring commandLine, DWORD timeoutMs = 30000, HANDLE output = nullptr);
    ~CReadyProcess() { Kill(); }
    CReadyProcess(const CReadyProcess&) = delete;
    CReadyProcess& operator=(const CReadyProcess&) = delete;

    bool Ready() const { return static_cast<bool>(m_process); }
    HANDLE Handle() const { return m_process.get(); }
    // The exit code, or -1 when it still runs after `timeoutMs`.
    DWORD Wait(DWORD timeoutMs);
    // Ends it as a crash would: nothing flushed.
    void Kill();

private:
    UTIL::CUniqueHandle m_process;
};

// Deletes a key tree in the given view; missing keys are fine.
void DeleteKeyTree(HKEY root, const std::string& path, REGSAM view = 0);

// Value reading, for assertions: empty optional-like result as {false, ...}.
struct RegString {
    bool found = false;
    std::string value;
};
RegString ReadRegString(HKEY root, const std::string& path, const char* name, REGSAM view = 0);
bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0);

}  // namespace KsxTest
