#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <oleauto.h>
#include <utility>

namespace ComRelease
{
inline void SysFreeString(BSTR text) { ::SysFreeString(text); }
} // namespace ComRelease

using CBstrHolder = CUniqueResource<BSTR, ComRelease::SysFreeString>;

// Owns one reference to a COM object; copies take references of their own.
template <typename T> class CComHolder
{
public:
    CComHolder() = default;
    // Adopts a reference the caller already holds.
    explicit CComHolder(T* object) : m_Object(object) {}
    ~CComHolder() { Reset(); }

    CComHolder(const CComHolder& other) : m_Object(other.m_Object)
    {
        if (m_Object)
            m_Object->AddRef();
    }
    CComHolder(CComHolder&& other) noexcept : m_Object(other.Take()) {}
    CComHolder& operator=(CComHolder other) noexcept
    {
        std::swap(m_Object, other.m_Object);
        return *this;
    }

    // Takes a reference of its own to an object the caller keeps.
    static CComHolder Share(T* object)
    {
        if (object)
            object->AddRef();
        return CComHolder(object);
    }

    T* Get() const { return m_Object; }
    T* operator->() const { return m_Object; }
    explicit operator bool() const { return m_Object != nullptr; }

    void Reset()
    {
        if (T* object = Take())
            object->Release();
    }
    T* Take() { return std::exchange(m_Object, nullptr); }

    // For QueryInterface and getters that return a new reference.
    T** Put()
    {
        Reset();
        return &m_Object;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

private:
    T* m_Object = nullptr;
};
