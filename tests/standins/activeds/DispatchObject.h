#pragma once

#include "activeds/ModuleLock.h"

#include <windows.h>

#include <atomic>
#include <oaidl.h>

// IUnknown and IDispatch for an object with one dual interface. Scripting
// clients are not served: the type information and late binding return
// E_NOTIMPL, which callers through the vtable never see.
template <typename Interface> class CDispatchObject : public Interface
{
public:
    CDispatchObject(const CDispatchObject&) = delete;
    CDispatchObject& operator=(const CDispatchObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, m_Iid))
            return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --m_References;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

protected:
    // Starts with one reference, the creator's.
    explicit CDispatchObject(REFIID iid) : m_Iid(iid) { AddModuleReference(); }
    virtual ~CDispatchObject() { ReleaseModuleReference(); }

private:
    const IID& m_Iid;
    std::atomic<ULONG> m_References{1};
};
