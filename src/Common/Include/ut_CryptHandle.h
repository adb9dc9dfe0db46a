// Guards for what the signature checks hold: stores, messages, certificates,
// chains, catalog contexts and trust-provider state.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <mscat.h>
#include <wintrust.h>

#include <utility>

#include "ut_Handle.h"

namespace UTIL {

template <DWORD Flags>
struct CCertStoreTraits {
    static HCERTSTORE empty() noexcept { return nullptr; }
    static void close(HCERTSTORE store) noexcept { ::CertCloseStore(store, Flags); }
};
struct CCryptMsgTraits {
    static HCRYPTMSG empty() noexcept { return nullptr; }
    static void close(HCRYPTMSG msg) noexcept { ::CryptMsgClose(msg); }
};
struct CCertContextTraits {
    static PCCERT_CONTEXT empty() noexcept { return nullptr; }
    static void close(PCCERT_CONTEXT cert) noexcept { ::CertFreeCertificateContext(cert); }
};
struct CChainContextTraits {
    static PCCERT_CHAIN_CONTEXT empty() noexcept { return nullptr; }
    static void close(PCCERT_CHAIN_CONTEXT chain) noexcept { ::CertFreeCertificateChain(chain); }
};
struct CCatAdminTraits {
    static HCATADMIN empty() noexcept { return nullptr; }
    static void close(HCATADMIN admin) noexcept { ::CryptCATAdminReleaseContext(admin, 0); }
};

using CUniqueCertStore = CUniqueResource<HCERTSTORE, CCertStoreTraits<0>>;
using CUniqueCryptMsg = CUniqueResource<HCRYPTMSG, CCryptMsgTraits>;
// Release before handing the context to a find or enum call: those free the
// previous context themselves.
using CUniqueCertContext = CUniqueResource<PCCERT_CONTEXT, CCertContextTraits>;
using CUniqueChainContext = CUniqueResource<PCCERT_CHAIN_CONTEXT, CChainContextTraits>;
using CUniqueCatAdmin = CUniqueResource<HCATADMIN, CCatAdminTraits>;

// A catalog context belongs to the administrator context that found it.
// CryptCATAdminEnumCatalogFromHash frees the previous context it is given:
// pass release() there, never get().
class CCatalogContext {
public:
    explicit CCatalogContext(HCATADMIN admin) noexcept : m_admin(admin) {}
    ~CCatalogContext() { reset(); }
    CCatalogContext(const CCatalogContext&) = delete;
    CCatalogContext& operator=(const CCatalogContext&) = delete;

    HCATINFO get() const noexcept { return m_info; }
    explicit operator bool() const noexcept { return m_info != nullptr; }
    HCATINFO release() noexcept { return std::exchange(m_info, nullptr); }
    void reset(HCATINFO info = nullptr) noexcept
    {
        HCATINFO old = std::exchange(m_info, info);
        if (old && m_admin) {
            DWORD saved = ::GetLastError();
            ::CryptCATAdminReleaseCatalogContext(m_admin, old, 0);
            ::SetLastError(saved);
        }
    }

private:
    HCATADMIN m_admin = nullptr;
    HCATINFO m_info = nullptr;
};

// The state a WTD_STATEACTION_VERIFY call leaves in WINTRUST_DATA. Armed only
// after the verify call; closing calls the same entry point again with
// WTD_STATEACTION_CLOSE.
class CWinTrustState {
public:
    using VerifyFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);

    CWinTrustState(VerifyFn verify, HWND window, const GUID& action, WINTRUST_DATA& data) noexcept
        : m_verify(verify), m_window(window), m_action(action), m_data(data)
    {
    }
    ~CWinTrustState() { reset(); }
    CWinTrustState(const CWinTrustState&) = delete;
    CWinTrustState& operator=(const CWinTrustState&) = delete;

    void arm() noexcept { m_armed = true; }
    bool armed() const noexcept { return m_armed; }

    void reset() noexcept
    {
        if (!m_armed)
            return;
        m_armed = false;
        if (!m_verify)
            return;
        DWORD saved = ::GetLastError();
        m_data.dwStateAction = WTD_STATEACTION_CLOSE;
        m_verify(m_window, &m_action, &m_data);
        m_data.hWVTStateData = nullptr;
        ::SetLastError(saved);
    }

private:
    VerifyFn m_verify;
    HWND m_window;
    GUID m_action;
    WINTRUST_DATA& m_data;
    bool m_armed = false;
};

}  // namespace UTIL
