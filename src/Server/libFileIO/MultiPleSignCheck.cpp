#include "MultiPleSignCheck.h"

#include <atomic>

#include "MultiPleSignCheck_TestHooks.h"

namespace {

std::atomic<CVerifyFileSignV2*> g_pInstance{nullptr};
UTIL::CSingletonLocker g_singletonLock;
std::atomic<MultiPleSignCheckHooks::CertInfoVerifierFn> g_certInfoHook{nullptr};

}  // namespace

class CVerifyFileSignV2Holder {
public:
    static CVerifyFileSignV2* Get()
    {
        static CVerifyFileSignV2 instance;
        return &instance;
    }
};

CVerifyFileSignV2* CVerifyFileSignV2::GetInstance()
{
    CVerifyFileSignV2* instance = g_pInstance.load(std::memory_order_acquire);
    if (!instance) {
        UTIL::CAutoSingletonLocker guard(g_singletonLock);
        instance = g_pInstance.load(std::memory_order_relaxed);
        if (!instance) {
            instance = CVerifyFileSignV2Holder::Get();
            g_pInstance.store(instance, std::memory_order_release);
        }
    }
    return instance;
}

int CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo(const wchar_t* pwszFile, WINTRUST_DATA* wtd)
{
    if (const auto hook = g_certInfoHook.load())
        return hook(pwszFile, wtd);
    // No vendor key is trusted yet: nothing passes this way.
    return 0;
}

MultiPleSignCheckHooks::CertInfoVerifierFn MultiPleSignCheckHooks::SetCertInfoVerifier(CertInfoVerifierFn fn)
{
    return g_certInfoHook.exchange(fn);
}
