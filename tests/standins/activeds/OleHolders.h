#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <oleauto.h>
#include <utility>

namespace OleRelease
{
inline void SysFreeString(BSTR text) { ::SysFreeString(text); }
inline void SafeArrayDestroy(SAFEARRAY* array) { ::SafeArrayDestroy(array); }
} // namespace OleRelease

using CBstr = CUniqueResource<BSTR, OleRelease::SysFreeString>;
using CSafeArray = CUniqueResource<SAFEARRAY*, OleRelease::SafeArrayDestroy>;

// A VARIANT that is cleared, with whatever it owns, when the holder goes.
class CVariant
{
public:
    CVariant() { VariantInit(&m_Value); }
    ~CVariant() { VariantClear(&m_Value); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;

    const VARIANT& Get() const { return m_Value; }
    // For functions that read a VARIANT through a pointer that is not const.
    VARIANT* Address() { return &m_Value; }
    // Empties the holder first, for functions that fill a VARIANT.
    VARIANT* Put()
    {
        VariantClear(&m_Value);
        return &m_Value;
    }

private:
    VARIANT m_Value;
};

// One reference to a COM interface, released when the holder goes.
template <typename Interface> class CComRef
{
public:
    CComRef() = default;
    // Takes over a reference the caller already holds.
    explicit CComRef(Interface* object) : m_Object(object) {}
    ~CComRef() { Reset(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;
    CComRef(CComRef&& other) noexcept : m_Object(std::exchange(other.m_Object, nullptr)) {}

    Interface* Get() const { return m_Object; }
    Interface* operator->() const { return m_Object; }
    explicit operator bool() const { return m_Object != nullptr; }

    void Reset()
    {
        if (m_Object)
            std::exchange(m_Object, nullptr)->Release();
    }
    // For functions that return an interface through a void**.
    void** PutVoid()
    {
        Reset();
        return reinterpret_cast<void**>(&m_Object);
    }

private:
    Interface* m_Object = nullptr;
};
