// The guards: each releases on scope exit, put() releases first, closing keeps
// the caller's last error, and predefined keys are never closed.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "ut_AgentRegistry.h"
#include "ut_CryptHandle.h"
#include "ut_Handle.h"

namespace {

using namespace UTIL;

// Owns a fresh resource through reset() or through put(), which must release
// what it held first; the guard releases it on scope exit, keeping the last error.
template <typename Guard, typename Make, typename Alive>
void CheckGuard(const char* name, Make make, Alive alive)
{
    for (bool usePut : {false, true}) {
        SCOPED_TRACE(std::string(name) + (usePut ? " via put()" : " via reset()"));
        auto value = make();
        {
            Guard guard;
            if (usePut) {
                auto decoy = make();
                *guard.put() = decoy;
                *guard.put() = value;
                EXPECT_FALSE(alive(decoy)) << "put() did not release what it held";
            } else {
                guard.reset(value);
            }
            EXPECT_TRUE(alive(value));
            ::SetLastError(0xdeadbeef);
        }
        EXPECT_EQ(0xdeadbeefu, ::GetLastError()) << "closing changed the last error";
        EXPECT_FALSE(alive(value));
    }
}

bool HandleAlive(HANDLE h)
{
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

TEST(HandleGuardTest, EachGuardReleasesOnScopeExitAndPutReleasesFirst)
{
    CheckGuard<CUniqueHandle>(
        "event", [] { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }, HandleAlive);
    CheckGuard<CUniqueFile>(
        "file",
        [] {
            return ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
        },
        HandleAlive);
    CheckGuard<CUniqueHKey>(
        "registry key",
        [] {
            HKEY key = nullptr;
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key);
            return key;
        },
        [](HKEY key) {
            DWORD subKeys = 0;
            return ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        });
    CheckGuard<CUniqueMappedView>(
        "mapped view",
        [] {
            CUniqueHandle mapping(
                ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
            return ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
        },
        [](void* view) {
            MEMORY_BASIC_INFORMATION info = {};
            ::VirtualQuery(view, &info, sizeof(info));
            return info.State == MEM_COMMIT;
        });
    CheckGuard<CUniqueBitmap>(
        "bitmap", [] { return ::CreateBitmap(4, 4, 1, 32, nullptr); },
        [](HBITMAP b) { return ::GetObjectType(b) == OBJ_BITMAP; });
    CheckGuard<CUniqueMenu>(
        "menu", [] { return ::CreatePopupMenu(); }, [](HMENU m) { return ::IsMenu(m) != FALSE; });
    CheckGuard<CUniqueServiceHandle>(
        "service manager", [] { return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT); },
        [](SC_HANDLE h) {
            SC_HANDLE s = ::OpenServiceW(h, L"NoSuchService", SERVICE_QUERY_STATUS);
            return ::GetLastError() != ERROR_INVALID_HANDLE || s != nullptr;
        });
}

TEST(HandleGuardTest, PredefinedKeysAreNeverClosed)
{
    const std::pair<HKEY, const wchar_t*> keys[] = {
        {HKEY_LOCAL_MACHINE, L"SOFTWARE"}, {HKEY_CURRENT_USER, L"Software"}, {HKEY_CLASSES_ROOT, L"CLSID"}};
    for (const auto& [predefined, child] : keys) {
        {
            CUniqueHKey guard(predefined);
        }
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(predefined, child, 0, KEY_READ, &key));
        CUniqueHKey owned(key);
    }
}

// A store reports contexts still in use when asked to close with the check
// flag: the certificate, chain and message guards must leave none behind.
TEST(HandleGuardTest, CryptoGuardsLeaveNoContextInUse)
{
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(nullptr, store);
    {
        CUniqueCertStore duplicate(::CertDuplicateStore(store));
        // A self-made certificate is enough to own a context and a chain of it.
        wchar_t subject[] = L"CN=Guard Test";
        BYTE nameBlob[256] = {};
        DWORD cbName = sizeof(nameBlob);
        ASSERT_TRUE(
            ::CertStrToNameW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, nameBlob, &cbName, nullptr));
        CERT_NAME_BLOB name = {cbName, nameBlob};
        CUniqueCertContext cert(
            ::CertCreateSelfSignCertificate(0, &name, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(cert);
        CUniqueCertContext inStore;
        ASSERT_TRUE(::CertAddCertificateContextToStore(store, cert.get(), CERT_STORE_ADD_ALWAYS, inStore.put()));

        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof(para);
        CUniqueChainContext chain;
        ASSERT_TRUE(::CertGetCertificateChain(nullptr, inStore.get(), nullptr, store, &para, 0, nullptr, chain.put()));

        CUniqueCryptMsg msg(::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
        EXPECT_TRUE(msg);

        CUniqueLocalPtr<wchar_t> text(static_cast<wchar_t*>(::LocalAlloc(LMEM_FIXED, 64)));
        EXPECT_TRUE(text);
    }
    ::SetLastError(0);
    EXPECT_TRUE(::CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG)) << "contexts in use: " << ::GetLastError();
}

// The trust state is closed through the entry point it was verified with,
// once, and only when armed.
LONG WINAPI CountingVerify(HWND, GUID*, LPVOID data)
{
    auto* wtd = static_cast<WINTRUST_DATA*>(data);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_CLOSE), wtd->dwStateAction);
    ++*reinterpret_cast<int*>(wtd->pPolicyCallbackData);
    return 0;
}

TEST(HandleGuardTest, TrustStateClosesOnceWhenArmed)
{
    for (bool arm : {false, true}) {
        int closes = 0;
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof(data);
        data.pPolicyCallbackData = &closes;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        const GUID action = {0x00aac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
        {
            CWinTrustState state(CountingVerify, static_cast<HWND>(INVALID_HANDLE_VALUE), action, data);
            if (arm)
                state.arm();
            ::SetLastError(0xdeadbeef);
        }
        EXPECT_EQ(arm ? 1 : 0, closes);
        EXPECT_EQ(0xdeadbeefu, ::GetLastError());
    }
}

TEST(HandleGuardTest, ScopeExitRunsUnlessDismissed)
{
    int runs = 0;
    for (bool dismiss : {false, true}) {
        CScopeExit exit([&] { ++runs; });
        if (dismiss)
            exit.dismiss();
    }
    EXPECT_EQ(1, runs);
}

}  // namespace
