// The integration switches: id, registry/INI key name, built-in default,
// refresh callback and whether a plain Bastion client reads it from the registry.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <string>

namespace BrixIntegration {

// Run after a switch was refreshed from an INI file; the argument is 0.
typedef int (*PFN_UPDATE_CALLBACK)(int);

class CConfigureKey {
public:
    CConfigureKey(const wchar_t* pwszKeyName = nullptr, DWORD dwDefaultValue = 0,
                  PFN_UPDATE_CALLBACK pfnUpdateCallback = nullptr, BYTE byBastionClient = 0);
    virtual ~CConfigureKey();

    const std::wstring& GetKeyName() const { return m_wstrKeyName; }
    DWORD GetDefaultValue() const { return m_dwDefaultValue; }
    PFN_UPDATE_CALLBACK GetUpdateCallback() const { return m_pfnUpdateCallback; }
    // Non-zero: read from the registry even on a plain Bastion client.
    BYTE GetBastionClientFlag() const { return m_byBastionClient; }

private:
    std::wstring m_wstrKeyName;
    DWORD m_dwDefaultValue;
    PFN_UPDATE_CALLBACK m_pfnUpdateCallback;
    BYTE m_byBastionClient;
};

class CConfigureId {
public:
    enum : int {
        ID_ENABLE_MANUAL_LANGUAGE_SWITCH = 159,
    };
};

// One row of the built-in table.
struct CConfigureRow {
    int nId;
    const wchar_t* pwszKeyName;
    DWORD dwDefaultValue;
    PFN_UPDATE_CALLBACK pfnUpdateCallback;
    BYTE byBastionClient;
};

class CConfigureContainer : public CConfigureId {
public:
    typedef std::map<int, CConfigureKey> ConfigureMap;

    CConfigureContainer();
    virtual ~CConfigureContainer();
    CConfigureContainer(const CConfigureContainer&) = delete;
    CConfigureContainer& operator=(const CConfigureContainer&) = delete;

    // (Re)builds the built-in table; 0 (and an empty table) when memory runs out.
    virtual int Initialize();
    // Empties the table.
    virtual int DeInitialize();

    // Null when `nId` is not in the table.
    const CConfigureKey* Find(int nId) const;
    // Ascending id order.
    const ConfigureMap& GetTable() const { return m_mapConfigure; }

protected:
    // Empties the table and inserts `rows`; a repeated id keeps its first row.
    int Load(const CConfigureRow* rows, size_t count);

private:
    ConfigureMap m_mapConfigure;
};

}  // namespace BrixIntegration
