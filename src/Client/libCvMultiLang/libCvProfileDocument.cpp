#include "libCvProfileDocument.h"

#include "ut_Guarded.h"
#include "libCvMultiLang.h"
#include "libCvProfileDocumentLog.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

const wchar_t g_wszProfileDocumentSource[] = KSX_WIDEN(__FILE__);

namespace {

constexpr DWORD kProfileTextChars = 520;  // GetPrivateProfileStringW buffer, terminator included
constexpr DWORD kAppPathReadBytes = 520;  // "Application Path": 260 characters at most
const wchar_t kProfileFolder[] = L"www\\1600";
const wchar_t kProfileName[] = L"UIProfile.cfg";

using CLNUTIL::Guarded;

// Copies `text` into a balloon field, cut to fit without splitting a
// surrogate pair.
void CopyBalloonText(wchar_t (&field)[WDXNTMON_UI_BALLOON_TEXT_SIZE], const std::wstring& text)
{
    size_t n = text.size();
    if (n > WDXNTMON_UI_BALLOON_TEXT_SIZE - 1) {
        n = WDXNTMON_UI_BALLOON_TEXT_SIZE - 1;
        if (IS_HIGH_SURROGATE(text[n - 1]))
            --n;
    }
    wmemcpy(field, text.data(), n);
    field[n] = L'\0';
}

// Owns a parsed profile until it is handed over.
struct CDocumentHolder {
    WDXNTMON_UI_DOCUMENT* p = nullptr;
    ~CDocumentHolder() { WDXNTMON_UI_DestroyDocument(&p); }
};

}  // namespace

CProfileDocument* CProfileDocument::s_pInstance = nullptr;
CLNUTIL::CCriticalSection CProfileDocument::s_csInstance;
LONG CProfileDocument::s_nRegisterResult = 0;

std::wstring ComposeProfilePath(const std::wstring& appPath, const wchar_t* fileName)
{
    std::wstring path = appPath;
    path += kProfileFolder;
    path += L"\\";
    path += fileName;
    return path;
}

std::wstring ComposeL10nPath(const std::wstring& appPath, const std::wstring& lang)
{
    std::wstring path = appPath;
    path += kProfileFolder;
    path += L"\\";
    path += L"i18n";
    path += L"\\";
    path += lang;
    path += L"\\";
    path += L"UIStringTable.ini";
    return path;
}

void UnescapeL10nText(std::wstring& text)
{
    size_t out = 0;
    for (size_t in = 0; in < text.size(); ++in) {
        wchar_t c = text[in];
        if (c == L'\\' && in + 1 < text.size()) {
            if (text[in + 1] == L'n') {
                c = L'\n';
                ++in;
            } else if (text[in + 1] == L'\\') {
                ++in;
            }
        }
        text[out++] = c;
    }
    text.resize(out);
}

void GetEscapeValue(const std::wstring& l10nPath, const std::wstring& section, const std::wstring& key,
                    const std::wstring& defaultValue, std::wstring& value)
{
    wchar_t buf[kProfileTextChars] = {};
    ::GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(), buf, kProfileTextChars,
                               l10nPath.c_str());
    value.assign(buf);
    LOGW(LOG_LEVEL_D, L"%s - Text = %s", L"GetEscapeValue", value.c_str());
    UnescapeL10nText(value);
}

int GetLastWriteTime(const std::wstring& path, FILETIME* time)
{
    if (!time)
        return 0;
    UTIL::CUniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 0;
    FILETIME written = {};
    if (!::GetFileTime(file.get(), nullptr, nullptr, &written))
        return 0;
    *time = written;
    return 1;
}

CProfileDocument::CProfileDocument() = default;

CProfileDocument::~CProfileDocument() { WDXNTMON_UI_DestroyDocument(&m_pstDocument); }

CProfileDocument* CProfileDocument::GetInstance()
{
    CLNUTIL::CCriticalSectionSentry sentry(s_csInstance);
    static CProfileDocument instance;
    if (!s_pInstance)
        s_pInstance = &instance;
    s_pInstance->EnsureInitialized();
    return s_pInstance;
}

void CProfileDocument::EnsureInitialized()
{
    if (m_bInitialized)
        return;
    if (s_nRegisterResult == 0)
        s_nRegisterResult = RegUiProfileAction();
    if (s_nRegisterResult == 1 && Initialize() == 1) {
        m_bInitialized = 1;
        LOGW(LOG_LEVEL_D, L"%s - Success Initialized", L"CProfileDocument::GetInstance");
    } else {
        LOGW(LOG_LEVEL_D, L"%s - UI PROFILE PARSE ERROR", L"CProfileDocument::GetInstance");
    }
}

int CProfileDocument::Initialize()
{
    const wchar_t* const name = L"CProfileDocument::Initialize";
    return Guarded(name, [&] {
        EnsureInstalledLanguages();
        std::wstring appPath;
        if (!GetAppPath(appPath)) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to get application path", name);
            return 0;
        }
        std::wstring profilePath = ComposeProfilePath(appPath, kProfileName);
        {
            CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
            m_wstrNewProfilePath = profilePath;
        }
        if (!Reload(1)) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to reload profile, file path = %s", name, profilePath.c_str());
            return 0;
        }
        SyncLang(1);
        if (!Reload(1)) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to reload profile, file path = %s", name, profilePath.c_str());
            return 0;
        }
        return 1;
    });
}

int CProfileDocument::Reload(int bForce)
{
    const wchar_t* const name = L"CProfileDocument::Reload";
    if (!bForce && !m_bInitialized) {
        LOGW(LOG_LEVEL_D, L"%s - <<< Not initialized", name);
        return 0;
    }
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (!ReloadDocument())
            return 0;
        return ReloadL10n() ? 1 : 0;
    });
}

int CProfileDocument::ReloadDocument()
{
    const wchar_t* const name = L"CProfileDocument::ReloadDocument";
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (m_wstrNewProfilePath.empty()) {
            LOGW(LOG_LEVEL_D, L"%s - Failed to reload %s, m_wstrNewProfilePath is NULL", name, kProfileName);
            return 0;
        }
        FILETIME lastWrite = {};
        const bool samePath = m_wstrNewProfilePath == m_wstrProfilePath;
        if (samePath) {
            // Without a time to compare, the loaded document stays.
            if (!GetLastWriteTime(m_wstrProfilePath, &lastWrite)) {
                LOGW(LOG_LEVEL_D, L"%s - GetLastWriteTime Failed", name);
                return 1;
            }
            if (::CompareFileTime(&m_ftProfileLastWrite, &lastWrite) != -1)
                return 1;
        } else if (!GetLastWriteTime(m_wstrNewProfilePath, &lastWrite)) {
            lastWrite = FILETIME{};
        }
        // The time is taken before parsing, so an edit made meanwhile is seen
        // at the next reload. The loaded document is replaced only by a good parse.
        std::wstring path = m_wstrNewProfilePath;
        CDocumentHolder parsed;
        if (!WDXNTMON_UI_Deserialize(&parsed.p, path.c_str())) {
            LOGW(LOG_LEVEL_D, L"%s - Failed to deserialize %s", name, kProfileName);
            return 0;
        }
        WDXNTMON_UI_DestroyDocument(&m_pstDocument);
        m_pstDocument = parsed.p;
        parsed.p = nullptr;
        m_wstrProfilePath.swap(path);
        m_ftProfileLastWrite = lastWrite;
        m_bDocumentReloaded = 1;
        return 1;
    });
}

int CProfileDocument::ReloadL10n()
{
    const wchar_t* const name = L"CProfileDocument::ReloadL10n";
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (m_wstrNewProfilePath.empty()) {
            LOGW(LOG_LEVEL_D, L"%s - Failed to reload %s, UIm_wstrNewProfilePath is NULL", name, kProfileName);
            return 0;
        }
        if (!m_pstDocument) {
            LOGW(LOG_LEVEL_D, L"%s - m_pstDocument is NULL", name);
            return 0;
        }
        int result = 1;
        for (WDXNTMON_UI_FEATURE_INFO* feature = m_pstDocument->pFeatureList; feature; feature = feature->pNext) {
            const UINT32 id = static_cast<UINT32>(feature->nId);
            auto entry = m_mapFeatureL10n.find(id);
            if (entry == m_mapFeatureL10n.end()) {
                FeatureL10nState state;
                if (!MBWC::MBToWC(feature->szDefLocale, state.wstrAppliedLang, CP_ACP, 0))
                    GetLang(state.wstrAppliedLang, nullptr);
                entry = m_mapFeatureL10n.emplace(id, std::move(state)).first;
            }
            FeatureL10nState& state = entry->second;
            std::wstring appPath;
            if (state.wstrAppliedLang == m_wstrNewLang) {
                if (!GetAppPath(appPath)) {
                    LOGW(LOG_LEVEL_D, L"%s - Failed to get application path", name);
                    continue;
                }
                const std::wstring l10nPath = ComposeL10nPath(appPath, state.wstrAppliedLang);
                FILETIME lastWrite = {};
                if (!GetLastWriteTime(l10nPath, &lastWrite)) {
                    LOGW(LOG_LEVEL_D, L"%s - GetLastWriteTime Failed", name);
                    continue;
                }
                if (::CompareFileTime(&state.ftAppliedLastWrite, &lastWrite) == -1) {
                    ReloadL10nHelper(l10nPath, feature);
                    state.ftAppliedLastWrite = lastWrite;
                } else if (m_bDocumentReloaded) {
                    ReloadL10nHelper(l10nPath, feature);
                }
            } else {
                if (!GetAppPath(appPath)) {
                    LOGW(LOG_LEVEL_D, L"%s - Failed to get application path", name);
                    result = 0;
                    continue;
                }
                const std::wstring l10nPath =
                    ComposeL10nPath(appPath, m_wstrNewLang.empty() ? state.wstrAppliedLang : m_wstrNewLang);
                FILETIME lastWrite = {};
                GetLastWriteTime(l10nPath, &lastWrite);
                ReloadL10nHelper(l10nPath, feature);
                state.wstrAppliedLang = m_wstrNewLang;
                state.ftAppliedLastWrite = lastWrite;
            }
        }
        // Once for all features, so that every feature of a re-parsed profile
        // gets its texts.
        m_bDocumentReloaded = 0;
        return result;
    });
}

int CProfileDocument::ReloadL10nHelper(const std::wstring& l10nPath, WDXNTMON_UI_FEATURE_INFO* feature)
{
    if (feature)
        ApplyL10NKit(l10nPath, feature->pBalloonList);
    return 1;
}

void CProfileDocument::ApplyL10NKit(const std::wstring& l10nPath, WDXNTMON_UI_BALLOON* balloon)
{
    const wchar_t* const name = L"CProfileDocument::ApplyL10NKit";
    Guarded(name, [&] {
        LOGW(LOG_LEVEL_D, L"%s - ==> ApplyL10NKit() for Balloon", name);
        std::wstring text;
        for (; balloon; balloon = balloon->pNext) {
            const std::wstring key = std::to_wstring(balloon->nId);
            GetEscapeValue(l10nPath, L"Balloon_Title", key, L"", text);
            CopyBalloonText(balloon->wszTitle, text);
            GetEscapeValue(l10nPath, L"Balloon_Content", key, L"", text);
            CopyBalloonText(balloon->wszContent, text);
        }
        LOGW(LOG_LEVEL_D, L"%s - <== ApplyL10NKit() for Balloon finished", name);
        return 1;
    });
}

int CProfileDocument::GetL10nString(const std::wstring& section, const std::wstring& key, std::wstring& value)
{
    const wchar_t* const name = L"CProfileDocument::GetL10nString";
    if (!m_bInitialized) {
        LOGW(LOG_LEVEL_D, L"%s - <<< Not initialized", name);
        return 0;
    }
    return Guarded(name, [&] {
        value.clear();
        std::wstring appPath;
        if (!GetAppPath(appPath)) {
            LOGW(LOG_LEVEL_D, L"%s - Failed to get application path", name);
            return 0;
        }
        std::wstring l10nPath;
        {
            CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
            std::wstring current = ComposeL10nPath(appPath, m_wstrNewLang);
            if (current != m_wstrL10nPath)
                m_wstrL10nPath.swap(current);
            l10nPath = m_wstrL10nPath;
        }
        // Read outside the lock, from this call's own copy of the path.
        wchar_t buf[kProfileTextChars] = {};
        ::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buf, kProfileTextChars, l10nPath.c_str());
        value.assign(buf);
        LOGW(LOG_LEVEL_D, L"%s - Value = %s", name, value.c_str());
        UnescapeL10nText(value);
        return 1;
    });
}

int CProfileDocument::GetAppPath(std::wstring& path)
{
    const wchar_t* const name = L"CProfileDocument::GetAppPath";
    path.clear();
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (m_wstrAppPath.empty()) {
            UTIL::CUniqueHKey key;
            if (UTIL::OpenAgentKey<wchar_t>(nullptr, key) != ERROR_SUCCESS) {
                LOGW(LOG_LEVEL_W, L"%s - Can not open reg", name);
                return 0;
            }
            // A number or an empty text is no folder.
            std::wstring folder;
            const LONG rc = UTIL::ReadRegString(key.get(), L"Application Path", kAppPathReadBytes, folder);
            if (rc != ERROR_SUCCESS) {
                LOGW(LOG_LEVEL_W, L"%s - Can not find application path(%d)", name, static_cast<int>(rc));
                return 0;
            }
            if (folder.back() != L'\\')
                folder += L'\\';
            m_wstrAppPath.swap(folder);
        }
        path = m_wstrAppPath;
        return 1;
    });
}
