// Every COM method and export with each of its allocations failing in turn:
// this executable replaces the global allocation functions with ones that
// fail the calling thread's Nth request once armed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "cntts_ScanDispatch.h"
#include "service_fixture.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"

namespace {

thread_local unsigned long t_failAt = 0;  // 0: disarmed
thread_local unsigned long t_requests = 0;
thread_local bool t_failed = false;
std::atomic<long> g_live{0};  // blocks allocated and not yet freed, all threads

void* Allocate(std::size_t size, std::size_t alignment = 0) noexcept
{
    if (t_failAt && !t_failed && ++t_requests == t_failAt) {
        t_failed = true;
        return nullptr;
    }
    void* p = alignment ? _aligned_malloc(size ? size : 1, alignment) : std::malloc(size ? size : 1);
    if (p)
        ++g_live;
    return p;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment = 0)
{
    if (void* p = Allocate(size, alignment))
        return p;
    throw std::bad_alloc();
}

void Free(void* p, bool aligned = false) noexcept
{
    if (!p)
        return;
    --g_live;
    aligned ? _aligned_free(p) : std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return AllocateOrThrow(n); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t) noexcept { Free(p, true); }
void operator delete[](void* p, std::align_val_t) noexcept { Free(p, true); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Free(p, true); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Free(p, true); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Free(p, true); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Free(p, true); }

using namespace KsxShell;
using namespace ShellTest;

namespace {

// Fails this thread's Nth allocation from here to the end of the scope.
class CFailingAllocation {
public:
    explicit CFailingAllocation(unsigned long n)
    {
        t_requests = 0;
        t_failed = false;
        t_failAt = n;
    }
    ~CFailingAllocation() { t_failAt = 0; }
    CFailingAllocation(const CFailingAllocation&) = delete;
    CFailingAllocation& operator=(const CFailingAllocation&) = delete;

    static bool Failed() { return t_failed; }
};

const CLSID kClsid = {0x5C1E9A42, 0x7D3B, 0x4F0A, {0x9E, 0x21, 0x6B, 0x8D, 0x0C, 0x4A, 0x7F, 0x13}};

int g_alerts = 0;
int WINAPI CountAlert(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    EXPECT_EQ(owner, nullptr);
    EXPECT_STREQ(text, "Not Enough Memory !");
    EXPECT_EQ(caption, nullptr);
    EXPECT_EQ(type, static_cast<UINT>(MB_OK));
    ++g_alerts;
    return IDOK;
}

class OutOfMemoryTest : public ShellTestBase {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Start());
        m_registry.SetString("", "Application Path", m_install.Path());
        m_install.WriteFile("www\\1600\\res\\corvane_logo.bmp", KsxTest::MakeBitmapFile(16, 16));
        DispatchHooksForTesting().messageBox = CountAlert;
        g_alerts = 0;
    }

    // Runs `call` (arrange, then the entry point inside a CFailingAllocation
    // scope, then tidy up) for N = 1, 2, ... until the Nth allocation is no
    // longer reached. Each run that failed must answer E_OUTOFMEMORY, or one
    // of `absorbed` where a callee takes the failure by its own contract (the
    // log call drops its record, a conversion gives an empty text), and leave
    // nothing allocated. Returns how many runs answered E_OUTOFMEMORY.
    int EachAllocationFailing(const std::function<HRESULT(unsigned long)>& call,
                              std::initializer_list<HRESULT> absorbed)
    {
        call(0);  // singletons and caches settle first
        int outOfMemory = 0;
        for (unsigned long n = 1; n < 100000; ++n) {
            const long live = g_live;
            const HRESULT hr = call(n);
            const long leaked = g_live - live;  // before a failure message allocates
            if (!CFailingAllocation::Failed())
                return outOfMemory;
            outOfMemory += hr == E_OUTOFMEMORY;
            if (!HasFailure()) {
                EXPECT_EQ(leaked, 0) << "allocation " << n << " leaves blocks behind";
            }
            const bool allowed = hr == E_OUTOFMEMORY || std::count(absorbed.begin(), absorbed.end(), hr);
            EXPECT_TRUE(allowed) << "allocation " << n << ": 0x" << std::hex << hr;
            EXPECT_EQ(ModuleObjectCount(), 0) << "allocation " << n;
            if (HasFailure())
                return outOfMemory;
        }
        ADD_FAILURE() << "the allocations never end";
        return outOfMemory;
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
    KsxTest::CTempFolder m_install;
    CDispatchHooksScope m_hooks;
};

TEST_F(OutOfMemoryTest, Exports)
{
    EXPECT_GT(EachAllocationFailing([](unsigned long n) {
                  ComPtr<IClassFactory> factory;
                  CFailingAllocation fail(n);
                  return DllGetClassObject(kClsid, IID_PPV_ARGS(&factory));
              },
                                    {S_OK}),
              0);
    EachAllocationFailing([](unsigned long n) {
        CFailingAllocation fail(n);
        return DllCanUnloadNow();
    },
                          {S_OK});
    EXPECT_GT(EachAllocationFailing(
                  [](unsigned long n) {
                      CFailingAllocation fail(n);
                      return DllRegisterServer();
                  },
                  {S_OK, S_FALSE}),
              0);
    EachAllocationFailing(
        [](unsigned long n) {
            CFailingAllocation fail(n);
            return DllUnregisterServer();
        },
        {S_OK, S_FALSE});
}

TEST_F(OutOfMemoryTest, ClassFactory)
{
    EXPECT_GT(EachAllocationFailing([](unsigned long n) {
                  ComPtr<IClassFactory> factory = NewFactory();
                  ComPtr<IContextMenu> handler;
                  CFailingAllocation fail(n);
                  return factory->CreateInstance(nullptr, IID_PPV_ARGS(&handler));
              },
                                    {S_OK}),
              0);
    EachAllocationFailing([](unsigned long n) {
        ComPtr<IClassFactory> factory = NewFactory();
        CFailingAllocation fail(n);
        return factory->LockServer(TRUE);
    },
                          {S_OK});
}

TEST_F(OutOfMemoryTest, ContextMenu)
{
    ComPtr<IDataObject> data;
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\a.txt"}, &data), S_OK);
    EachAllocationFailing([&](unsigned long n) {
        ComPtr<IShellExtInit> init;
        EXPECT_EQ(NewHandler().As(&init), S_OK);
        CFailingAllocation fail(n);
        return init->Initialize(nullptr, data.Get(), nullptr);
    },
                          {S_OK});
    // A menu left as found, or with both entries: nothing half-built.
    const HRESULT added = MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    EXPECT_GT(EachAllocationFailing(
                  [&](unsigned long n) {
                      ComPtr<IContextMenu> handler = NewHandler();
                      UTIL::CUniqueMenu menu(::CreatePopupMenu());
                      ::AppendMenuA(menu.get(), MF_STRING, 7, "Open");
                      HRESULT hr;
                      {
                          CFailingAllocation fail(n);
                          hr = handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
                      }
                      EXPECT_EQ(::GetMenuItemCount(menu.get()), hr == added ? 3 : 1) << "allocation " << n;
                      return hr;
                  },
                  {added}),
              0);
    EachAllocationFailing([](unsigned long n) {
        ComPtr<IContextMenu> handler = NewHandler();
        char help[64] = {};
        CFailingAllocation fail(n);
        return handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, sizeof(help));
    },
                          {S_OK});
}

TEST_F(OutOfMemoryTest, InvokeCommandTowardsTheMonitor)
{
    CFakeMonitor monitor;
    // A path list that cannot be built is reported with a message box and E_UNEXPECTED.
    EXPECT_GT(EachAllocationFailing(
                  [](unsigned long n) {
                      ComPtr<IContextMenu> handler = NewHandlerWith({L"C:\\a.txt", L"C:\\b"});
                      const int alerts = g_alerts;
                      HRESULT hr;
                      {
                          CFailingAllocation fail(n);
                          hr = Invoke(handler.Get());
                      }
                      EXPECT_EQ(g_alerts, alerts + (hr == E_UNEXPECTED ? 1 : 0)) << "allocation " << n;
                      return hr;
                  },
                  {S_OK, E_UNEXPECTED}),
              0);
    EXPECT_GT(g_alerts, 0);
}

TEST_F(OutOfMemoryTest, InvokeCommandTowardsTheLauncher)
{
    m_registry.SetDword("Misc.", "RCS", 202);  // no launcher in the folder: CreateProcessW fails, as it may
    EXPECT_GT(EachAllocationFailing([](unsigned long n) {
                  ComPtr<IContextMenu> handler = NewHandlerWith({L"C:\\a.txt"});
                  CFailingAllocation fail(n);
                  return Invoke(handler.Get(), "D:\\Data");
              },
                                    {S_OK}),
              0);
}

}  // namespace
