#include "activeds/ClassFactory.h"

#include "activeds/ModuleLock.h"
#include "activeds/NameTranslate.h"
#include "activeds/OleHolders.h"

#include <atomic>
#include <new>

namespace
{
class CNameTranslateFactory : public IClassFactory
{
public:
    CNameTranslateFactory() { AddModuleReference(); }
    virtual ~CNameTranslateFactory() { ReleaseModuleReference(); }
    CNameTranslateFactory(const CNameTranslateFactory&) = delete;
    CNameTranslateFactory& operator=(const CNameTranslateFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
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

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CComRef<CNameTranslate> created(new (std::nothrow) CNameTranslate());
        if (!created)
            return E_OUTOFMEMORY;
        return created->QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            AddModuleReference();
        else
            ReleaseModuleReference();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_References{1};
};
} // namespace

HRESULT GetNameTranslateFactory(REFIID iid, void** object)
{
    CComRef<CNameTranslateFactory> factory(new (std::nothrow) CNameTranslateFactory());
    if (!factory)
        return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, object);
}
