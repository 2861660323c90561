#pragma once

#include <windows.h>

#include <atomic>
#include <oaidl.h>

// Reference counting and an IDispatch without type information for the
// stand-in's objects, which clients call through their vtables only.
template <typename Interface> class CComObject : public Interface
{
public:
    CComObject() = default;
    CComObject(const CComObject&) = delete;
    CComObject& operator=(const CComObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG references = --m_References;
        if (references == 0)
            delete this;
        return references;
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
    virtual ~CComObject() = default;

    // QueryInterface of an object that implements IUnknown, IDispatch and one
    // interface of its own.
    HRESULT QueryOwn(REFIID iid, const IID& own, void** object)
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != own)
            return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_References{1};
};
