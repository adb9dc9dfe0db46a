// Every COM method and export with each of its allocations failing in turn: the
// global allocation functions here fail the calling thread's Nth request once armed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <vector>

#include "cntts_Module.h"
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

using std::align_val_t;
using std::nothrow_t;
using std::size_t;

void* operator new(size_t n) { return AllocateOrThrow(n); }
void* operator new[](size_t n) { return AllocateOrThrow(n); }
void* operator new(size_t n, const nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const nothrow_t&) noexcept { return Allocate(n); }
void* operator new(size_t n, align_val_t a) { return AllocateOrThrow(n, size_t(a)); }
void* operator new[](size_t n, align_val_t a) { return AllocateOrThrow(n, size_t(a)); }
void* operator new(size_t n, align_val_t a, const nothrow_t&) noexcept { return Allocate(n, size_t(a)); }
void* operator new[](size_t n, align_val_t a, const nothrow_t&) noexcept { return Allocate(n, size_t(a)); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }
void operator delete(void* p, const nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const nothrow_t&) noexcept { Free(p); }
void operator delete(void* p, align_val_t) noexcept { Free(p, true); }
void operator delete[](void* p, align_val_t) noexcept { Free(p, true); }
void operator delete(void* p, size_t, align_val_t) noexcept { Free(p, true); }
void operator delete[](void* p, size_t, align_val_t) noexcept { Free(p, true); }
void operator delete(void* p, align_val_t, const nothrow_t&) noexcept { Free(p, true); }
void operator delete[](void* p, align_val_t, const nothrow_t&) noexcept { Free(p, true); }

using namespace KsxShell;
using namespace ShellTest;

namespace {

// Runs `call` with this thread's Nth allocation failing; t_failed tells
// whether the call got that far.
template <typename Call>
HRESULT Failing(unsigned long n, Call call)
{
    struct Disarm {
        ~Disarm() { t_failAt = 0; }
    } disarm;
    t_requests = 0;
    t_failed = false;
    t_failAt = n;
    return call();
}

const CLSID kClsid = {0x5C1E9A42, 0x7D3B, 0x4F0A, {0x9E, 0x21, 0x6B, 0x8D, 0x0C, 0x4A, 0x7F, 0x13}};

int g_alerts = 0;
int WINAPI CountAlert(HWND, LPCSTR text, LPCSTR, UINT)
{
    EXPECT_STREQ(text, "Not Enough Memory !");
    ++g_alerts;
    return IDOK;
}

// One COM method or export, called by `run(n)` through Failing(n, ...). A run
// whose allocation failed answers E_OUTOFMEMORY, or one of `absorbed` where a
// callee takes the failure by its own contract (a dropped log record, an empty
// text, the dispatch's alert), and leaves nothing behind.
struct EntryPoint {
    const char* name;
    std::function<HRESULT(unsigned long n)> run;
    std::vector<HRESULT> absorbed;
    bool allocates;  // some run must answer E_OUTOFMEMORY
};

class OutOfMemoryTest : public ShellTestBase {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Start());
        m_registry.SetString("", "Application Path", m_install.Path());
        m_install.WriteFile("www\\1600\\res\\corvane_logo.bmp", KsxTest::MakeBitmapFile(16, 16));
        DispatchHooksForTesting().messageBox = CountAlert;
    }

    static int Failures()
    {
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    }

    // N = 1, 2, ... until the Nth allocation is no longer reached, or the
    // first failure of this entry point.
    static void EachAllocationFailing(const EntryPoint& e)
    {
        SCOPED_TRACE(e.name);
        e.run(0);  // singletons and caches settle first
        const int failures = Failures();
        int outOfMemory = 0;
        for (unsigned long n = 1; n < 100000 && Failures() == failures; ++n) {
            const long live = g_live;
            const HRESULT hr = e.run(n);
            const long leaked = g_live - live;  // before a failure message allocates
            if (!t_failed) {
                EXPECT_TRUE(outOfMemory || !e.allocates) << "never E_OUTOFMEMORY";
                return;
            }
            outOfMemory += hr == E_OUTOFMEMORY;
            if (Failures() == failures) {
                EXPECT_EQ(leaked, 0) << "allocation " << n << " leaves blocks behind";
            }
            EXPECT_TRUE(hr == E_OUTOFMEMORY || std::count(e.absorbed.begin(), e.absorbed.end(), hr))
                << "allocation " << n << ": 0x" << std::hex << hr;
            EXPECT_EQ(ModuleObjectCount(), 0) << "allocation " << n;
        }
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
    KsxTest::CTempFolder m_install;
    CDispatchHooksScope m_hooks;
};

TEST_F(OutOfMemoryTest, EveryComMethodAndExport)
{
    ComPtr<IDataObject> data;
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\a.txt", L"C:\\b"}, &data), S_OK);
    auto handler = [&] {
        ComPtr<IContextMenu> menu = NewHandler();
        ComPtr<IShellExtInit> init;
        EXPECT_EQ(menu.As(&init), S_OK);
        EXPECT_EQ(init->Initialize(nullptr, data.Get(), nullptr), S_OK);
        return menu;
    };
    const HRESULT added = MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    CFakeMonitor monitor;
    const EntryPoint entryPoints[] = {
        {"DllGetClassObject",
         [](unsigned long n) {
             ComPtr<IClassFactory> f;
             return Failing(n, [&] { return DllGetClassObject(kClsid, IID_PPV_ARGS(&f)); });
         },
         {S_OK},
         true},
        {"DllCanUnloadNow", [](unsigned long n) { return Failing(n, DllCanUnloadNow); }, {S_OK}, false},
        {"DllRegisterServer", [](unsigned long n) { return Failing(n, DllRegisterServer); }, {S_OK, S_FALSE}, true},
        {"DllUnregisterServer",
         [](unsigned long n) { return Failing(n, DllUnregisterServer); },
         {S_OK, S_FALSE},
         false},
        {"CreateInstance",
         [](unsigned long n) {
             ComPtr<IClassFactory> factory = NewFactory();
             ComPtr<IContextMenu> menu;
             return Failing(n, [&] { return factory->CreateInstance(nullptr, IID_PPV_ARGS(&menu)); });
         },
         {S_OK},
         true},
        {"LockServer",
         [](unsigned long n) {
             ComPtr<IClassFactory> factory = NewFactory();
             return Failing(n, [&] { return factory->LockServer(TRUE); });
         },
         {S_OK},
         false},
        {"Initialize",
         [&](unsigned long n) {
             ComPtr<IShellExtInit> init;
             EXPECT_EQ(NewHandler().As(&init), S_OK);
             return Failing(n, [&] { return init->Initialize(nullptr, data.Get(), nullptr); });
         },
         {S_OK},
         false},
        // The menu is left as found, or gets both entries: nothing half-built.
        {"QueryContextMenu",
         [&](unsigned long n) {
             ComPtr<IContextMenu> menu = NewHandler();
             UTIL::CUniqueMenu popup(::CreatePopupMenu());
             ::AppendMenuA(popup.get(), MF_STRING, 7, "Open");
             const HRESULT hr = Failing(n, [&] { return menu->QueryContextMenu(popup.get(), 0, 1, 2, 0); });
             EXPECT_EQ(::GetMenuItemCount(popup.get()), hr == added ? 3 : 1) << "allocation " << n;
             return hr;
         },
         {added},
         true},
        {"GetCommandString",
         [](unsigned long n) {
             ComPtr<IContextMenu> menu = NewHandler();
             char help[64] = {};
             return Failing(n, [&] { return menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, 64); });
         },
         {S_OK},
         false},
        // A path list that cannot be built: the alert and E_UNEXPECTED, as documented.
        {"InvokeCommand towards the monitor",
         [&](unsigned long n) {
             ComPtr<IContextMenu> menu = handler();
             const int alerts = g_alerts;
             const HRESULT hr = Failing(n, [&] { return Invoke(menu.Get()); });
             EXPECT_EQ(g_alerts, alerts + (hr == E_UNEXPECTED ? 1 : 0)) << "allocation " << n;
             return hr;
         },
         {S_OK, E_UNEXPECTED},
         true},
        // No launcher in the folder: CreateProcessW fails, as it may.
        {"InvokeCommand towards the launcher",
         [&](unsigned long n) {
             m_registry.SetDword("Misc.", "RCS", 202);
             ComPtr<IContextMenu> menu = handler();
             const HRESULT hr = Failing(n, [&] { return Invoke(menu.Get(), "D:\\Data"); });
             m_registry.DeleteValue("Misc.", "RCS");
             return hr;
         },
         {S_OK},
         true},
    };
    for (const auto& e : entryPoints)
        EachAllocationFailing(e);
    if (!HasFailure()) {
        EXPECT_GT(g_alerts, 0);
        EXPECT_GT(monitor.requests, 0);
    }
}

}  // namespace
