#pragma once

#include "diag/Exception.h"

#include <windows.h>

#include <oleauto.h>
#include <string>
#include <utility>

// Owns one reference to a COM interface and releases it when it goes.
template <typename T> class CComPtr
{
public:
    CComPtr() = default;
    ~CComPtr() { Reset(); }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;
    CComPtr(CComPtr&& other) noexcept : m_Pointer(std::exchange(other.m_Pointer, nullptr)) {}

    T* Get() const { return m_Pointer; }
    T* operator->() const { return m_Pointer; }
    explicit operator bool() const { return m_Pointer != nullptr; }

    void Reset()
    {
        if (m_Pointer)
            std::exchange(m_Pointer, nullptr)->Release();
    }

    // For creation functions that return the interface as void**.
    void** PutVoid()
    {
        Reset();
        return reinterpret_cast<void**>(&m_Pointer);
    }

private:
    T* m_Pointer = nullptr;
};

// Owns a BSTR; null stands for the empty text, as COM allows.
class CBstr
{
public:
    CBstr() = default;
    // Throws STRING_NO_MEMORY when the string cannot be allocated.
    explicit CBstr(const std::wstring& text) : m_Text(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
        if (!m_Text)
            throw STRING_NO_MEMORY{static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))};
    }
    ~CBstr() { SysFreeString(m_Text); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    BSTR Get() const { return m_Text; }
    BSTR* Put()
    {
        SysFreeString(std::exchange(m_Text, nullptr));
        return &m_Text;
    }
    std::wstring Text() const { return m_Text ? std::wstring(m_Text, SysStringLen(m_Text)) : std::wstring(); }

private:
    BSTR m_Text = nullptr;
};

// A VARIANT that is cleared, with whatever it holds, when it goes.
class CVariant
{
public:
    CVariant() { VariantInit(&m_Value); }
    ~CVariant() { VariantClear(&m_Value); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;

    VARIANT* Get() { return &m_Value; }
    const VARIANT& Value() const { return m_Value; }

private:
    VARIANT m_Value;
};

// Initialises COM as a multithreaded apartment for the life of a scope, for
// work that may run on threads of the system's choosing; a thread already in
// an apartment keeps it.
class CComApartment
{
public:
    CComApartment() : m_Initialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~CComApartment()
    {
        if (m_Initialized)
            CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;

private:
    bool m_Initialized;
};
