// The agent's registry: keys below HKEY_LOCAL_MACHINE opened read-only in the
// 32-bit view, and the two ways its values are read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ut_Handle.h"

#define KSX_AGENT_ROOT_KEY "SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion"
#define KSX_AGENT_WIDEN_(x) L##x
#define KSX_AGENT_WIDEN(x) KSX_AGENT_WIDEN_(x)

namespace UTIL {

constexpr const char kAgentRootKeyA[] = KSX_AGENT_ROOT_KEY;
constexpr const wchar_t kAgentRootKeyW[] = KSX_AGENT_WIDEN(KSX_AGENT_ROOT_KEY);
constexpr REGSAM kAgentKeyAccess = KEY_READ | KEY_WOW64_32KEY;  // 0x20219

namespace detail {

inline LONG RegOpen(HKEY parent, const char* path, REGSAM access, HKEY* key)
{
    return ::RegOpenKeyExA(parent, path, 0, access, key);
}
inline LONG RegOpen(HKEY parent, const wchar_t* path, REGSAM access, HKEY* key)
{
    return ::RegOpenKeyExW(parent, path, 0, access, key);
}
inline LONG RegQuery(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* cb)
{
    return ::RegQueryValueExA(key, name, nullptr, type, data, cb);
}
inline LONG RegQuery(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* cb)
{
    return ::RegQueryValueExW(key, name, nullptr, type, data, cb);
}
inline const char* AgentRoot(char) { return kAgentRootKeyA; }
inline const wchar_t* AgentRoot(wchar_t) { return kAgentRootKeyW; }

}  // namespace detail

// Opens HKLM\`path` in the agent's view. Returns the Win32 error; `key` is
// empty on failure.
template <typename Ch>
LONG OpenAgentHklmKey(const Ch* path, CUniqueHKey& key)
{
    const LONG rc = detail::RegOpen(HKEY_LOCAL_MACHINE, path, kAgentKeyAccess, key.put());
    if (rc != ERROR_SUCCESS)
        key.reset();
    return rc;
}

namespace detail {

template <typename Ch>
LONG OpenBelowRoot(const Ch* subKey, REGSAM access, CUniqueHKey& key)
{
    std::basic_string<Ch> path = AgentRoot(Ch());
    if (subKey && *subKey) {
        path += Ch('\\');
        path += subKey;
    }
    const LONG rc = RegOpen(HKEY_LOCAL_MACHINE, path.c_str(), access, key.put());
    if (rc != ERROR_SUCCESS)
        key.reset();
    return rc;
}

}  // namespace detail

// Opens the agent root, or `subKey` below it (null or empty: the root).
template <typename Ch>
LONG OpenAgentKey(const Ch* subKey, CUniqueHKey& key)
{
    return detail::OpenBelowRoot(subKey, kAgentKeyAccess, key);
}

// The same, for the few values the module writes: read and write access
// (0x2021F). The key is never created.
template <typename Ch>
LONG OpenAgentKeyForWrite(const Ch* subKey, CUniqueHKey& key)
{
    return detail::OpenBelowRoot(subKey, kAgentKeyAccess | KEY_WRITE, key);
}

// A 32-bit number as the agent's readers take it: a 4-byte buffer preset to 0,
// the value's type not checked. `value` is untouched on failure.
template <typename Ch>
LONG ReadRegDword(HKEY key, const Ch* name, DWORD& value)
{
    DWORD data = 0;
    DWORD cb = sizeof(data);
    const LONG rc = detail::RegQuery(key, name, nullptr, reinterpret_cast<BYTE*>(&data), &cb);
    if (rc == ERROR_SUCCESS)
        value = data;
    return rc;
}

// Rules a string read may add to the one rule every read has: the value is
// REG_SZ or REG_EXPAND_SZ of at most `cbMax` bytes, taken up to its first NUL.
enum RegStringRule : unsigned {
    kRegStringAnyText = 0,
    kRegStringTerminated = 1,  // the data itself must end in NUL
    kRegStringNonEmpty = 2,    // an empty text is no value
    kRegStringSzOnly = 4,      // REG_SZ only: REG_EXPAND_SZ is no value either
    kRegStringMultiSz = 8,     // REG_MULTI_SZ too, its first string taken; terminated: ends in two NULs
};

// Reads a string value of at most `cbMax` bytes. Returns ERROR_SUCCESS, the
// query's own error (ERROR_MORE_DATA when longer than `cbMax`), or
// ERROR_INVALID_DATA when the value breaks a rule. `text` is untouched on
// failure.
template <typename Ch>
LONG ReadRegString(HKEY key, const Ch* name, DWORD cbMax, std::basic_string<Ch>& text,
                   unsigned rules = kRegStringNonEmpty)
{
    std::vector<Ch> buf(cbMax / sizeof(Ch) + 1, Ch());
    DWORD type = REG_NONE;
    DWORD cb = cbMax;
    const LONG rc = detail::RegQuery(key, name, &type, reinterpret_cast<BYTE*>(buf.data()), &cb);
    if (rc != ERROR_SUCCESS)
        return rc;
    const bool multi = type == REG_MULTI_SZ && (rules & kRegStringMultiSz);
    if (type != REG_SZ && !multi && (type != REG_EXPAND_SZ || (rules & kRegStringSzOnly)))
        return ERROR_INVALID_DATA;
    const size_t count = cb / sizeof(Ch);
    if ((rules & kRegStringTerminated) && count > 0 &&
        (buf[count - 1] != Ch() || (multi && count > 1 && buf[count - 2] != Ch())))
        return ERROR_INVALID_DATA;
    std::basic_string<Ch> value(buf.data(), count);
    value.resize(std::char_traits<Ch>::length(value.c_str()));
    if ((rules & kRegStringNonEmpty) && value.empty())
        return ERROR_INVALID_DATA;
    text.swap(value);
    return ERROR_SUCCESS;
}

}  // namespace UTIL
