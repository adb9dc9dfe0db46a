// Move-only owners for Win32 handles: one template, one alias per resource.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <memory>
#include <utility>

namespace UTIL {

// Close runs with the thread's last error saved and restored, so a guard
// leaving scope never changes what the caller reads with GetLastError.
template <typename T, typename Traits>
class CUniqueResource {
public:
    CUniqueResource() noexcept = default;
    explicit CUniqueResource(T value) noexcept : m_value(value) {}
    ~CUniqueResource() { reset(); }

    CUniqueResource(CUniqueResource&& other) noexcept : m_value(other.release()) {}
    CUniqueResource& operator=(CUniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CUniqueResource(const CUniqueResource&) = delete;
    CUniqueResource& operator=(const CUniqueResource&) = delete;

    T get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return !(m_value == Traits::empty()); }

    // For out-parameters: frees what is held first.
    T* put() noexcept
    {
        reset();
        return &m_value;
    }

    T release() noexcept { return std::exchange(m_value, Traits::empty()); }

    void reset(T value = Traits::empty()) noexcept
    {
        T old = std::exchange(m_value, value);
        if (!(old == Traits::empty())) {
            DWORD saved = ::GetLastError();
            Traits::close(old);
            ::SetLastError(saved);
        }
    }

private:
    T m_value = Traits::empty();
};

struct CRegKeyTraits {
    static HKEY empty() noexcept { return nullptr; }
    static void close(HKEY key) noexcept
    {
        // Predefined keys are never closed.
        const LONG_PTR v = reinterpret_cast<LONG_PTR>(key);
        const bool predefined = v >= static_cast<LONG>(0x80000000) && v <= static_cast<LONG>(0x800000FF);
        if (!predefined)
            ::RegCloseKey(key);
    }
};
struct CHandleTraits {
    static HANDLE empty() noexcept { return nullptr; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct CFileHandleTraits {
    static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct CModuleTraits {
    static HMODULE empty() noexcept { return nullptr; }
    static void close(HMODULE h) noexcept { ::FreeLibrary(h); }
};
struct CBitmapTraits {
    static HBITMAP empty() noexcept { return nullptr; }
    static void close(HBITMAP h) noexcept { ::DeleteObject(h); }
};
struct CMenuTraits {
    static HMENU empty() noexcept { return nullptr; }
    static void close(HMENU h) noexcept { ::DestroyMenu(h); }
};
struct CServiceHandleTraits {
    static SC_HANDLE empty() noexcept { return nullptr; }
    static void close(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
};

struct CMappedViewTraits {
    static void* empty() noexcept { return nullptr; }
    static void close(void* view) noexcept { ::UnmapViewOfFile(view); }
};

using CUniqueHKey = CUniqueResource<HKEY, CRegKeyTraits>;
using CUniqueHandle = CUniqueResource<HANDLE, CHandleTraits>;
using CUniqueFile = CUniqueResource<HANDLE, CFileHandleTraits>;
using CUniqueModule = CUniqueResource<HMODULE, CModuleTraits>;
using CUniqueBitmap = CUniqueResource<HBITMAP, CBitmapTraits>;
using CUniqueMenu = CUniqueResource<HMENU, CMenuTraits>;
using CUniqueServiceHandle = CUniqueResource<SC_HANDLE, CServiceHandleTraits>;
using CUniqueMappedView = CUniqueResource<void*, CMappedViewTraits>;

// Buffers that the system allocated with LocalAlloc for the caller.
struct CLocalFreeDeleter {
    void operator()(void* p) const noexcept
    {
        DWORD saved = ::GetLastError();
        ::LocalFree(p);
        ::SetLastError(saved);
    }
};
template <typename T>
using CUniqueLocalPtr = std::unique_ptr<T, CLocalFreeDeleter>;

// A medium filled by IDataObject::GetData; released once, when filled.
class CStgMedium {
public:
    CStgMedium() noexcept = default;
    ~CStgMedium() { reset(); }
    CStgMedium(const CStgMedium&) = delete;
    CStgMedium& operator=(const CStgMedium&) = delete;

    STGMEDIUM* put() noexcept
    {
        reset();
        return &m_medium;
    }
    const STGMEDIUM& get() const noexcept { return m_medium; }

    void reset() noexcept
    {
        if (m_medium.tymed != TYMED_NULL) {
            DWORD saved = ::GetLastError();
            ::ReleaseStgMedium(&m_medium);
            ::SetLastError(saved);
        }
        m_medium = STGMEDIUM{};
    }

private:
    STGMEDIUM m_medium = {};
};

// Runs a callable when the scope ends, unless dismissed.
template <typename Fn>
class CScopeExit {
public:
    explicit CScopeExit(Fn fn) noexcept : m_fn(std::move(fn)) {}
    ~CScopeExit()
    {
        if (m_armed)
            m_fn();
    }
    CScopeExit(const CScopeExit&) = delete;
    CScopeExit& operator=(const CScopeExit&) = delete;

    void dismiss() noexcept { m_armed = false; }

private:
    Fn m_fn;
    bool m_armed = true;
};

}  // namespace UTIL
