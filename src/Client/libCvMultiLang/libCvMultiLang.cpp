// Language operations of CProfileDocument. Until the language decision and
// the registration of the profile's language lists are in place, the language
// stays what it is ("EN-US" when none is set) and registration succeeds
// without touching the profile.
#include "libCvMultiLang.h"

#include "libCvProfileDocument.h"
#include "logcl_DebugLog.h"

namespace {
constexpr LCID kEnglishLcid = 0x0409;
}

void EnsureInstalledLanguages() {}

int CProfileDocument::SyncLang(int bForce)
{
    if (!bForce && !m_bInitialized) {
        LOGW(LOG_LEVEL_D, L"%s - <<< Not initialized", L"CProfileDocument::SyncLang");
        return 0;
    }
    {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (!m_wstrNewLang.empty())
            return 0;
    }
    SetLang(L"EN-US", &kEnglishLcid);
    return 1;
}

void CProfileDocument::SetLang(const std::wstring& lang, const LCID* lcid)
{
    CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
    m_wstrNewLang = lang;
    if (lcid)
        m_nNewLangID = *lcid;
    LOGW(LOG_LEVEL_D, L"%s - m_wstrNewLang = %s, m_nNewLangID = %d", L"CProfileDocument::SetLang",
         m_wstrNewLang.c_str(), static_cast<int>(m_nNewLangID));
}

void CProfileDocument::GetLang(std::wstring& lang, LCID* lcid)
{
    const wchar_t* const name = L"CProfileDocument::GetLang";
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    bool empty;
    {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        empty = m_wstrNewLang.empty();
    }
    if (empty)
        SyncLang(0);
    CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
    lang = m_wstrNewLang;
    if (lcid) {
        *lcid = m_nNewLangID;
        LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s, lcidLangID = %d", name, lang.c_str(), static_cast<int>(*lcid));
    } else {
        LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s", name, lang.c_str());
    }
}

int CProfileDocument::RegUiProfileAction() { return 1; }
