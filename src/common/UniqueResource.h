#pragma once

#include <windows.h>

#include <utility>

// Move-only owner of a resource that is released by a single function, such as
// a service handle, a loaded module or a system-allocated buffer. The close
// preserves the caller's last error.
template <typename T, auto Release, T None = T{}> class CUniqueResource
{
public:
    CUniqueResource() = default;
    explicit CUniqueResource(T value) : m_Value(value) {}
    ~CUniqueResource() { Reset(); }

    CUniqueResource(const CUniqueResource&) = delete;
    CUniqueResource& operator=(const CUniqueResource&) = delete;
    CUniqueResource(CUniqueResource&& other) noexcept : m_Value(other.Take()) {}
    CUniqueResource& operator=(CUniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }

    T Get() const { return m_Value; }
    explicit operator bool() const { return m_Value != None; }

    void Reset(T value = None)
    {
        if (m_Value != None)
        {
            DWORD lastError = GetLastError();
            Release(m_Value);
            SetLastError(lastError);
        }
        m_Value = value;
    }

    T Take() { return std::exchange(m_Value, None); }

    // For APIs that return the resource through an out parameter.
    T* Put()
    {
        Reset();
        return &m_Value;
    }

private:
    T m_Value = None;
};

namespace ResourceRelease
{
inline void LocalFree(HLOCAL memory) { ::LocalFree(memory); }
inline void FreeLibrary(HMODULE module) { ::FreeLibrary(module); }
} // namespace ResourceRelease

using CLocalMemory = CUniqueResource<HLOCAL, ResourceRelease::LocalFree>;
using CModule = CUniqueResource<HMODULE, ResourceRelease::FreeLibrary>;
