// The exports of a COM in-process server for the Windows Firewall's NetFwMgr
// and NetFwOpenPort classes.
#include "eventsystem/ComHolders.h"
#include "firewall/FirewallObjects.h"
#include "firewall/FirewallState.h"

#include <atomic>
#include <new>

namespace
{
class CFactory : public IClassFactory
{
public:
    explicit CFactory(const CLSID& clsid) : m_Class(clsid) {}
    CFactory(const CFactory&) = delete;
    CFactory& operator=(const CFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory)
            return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG references = --m_References;
        if (references == 0)
            delete this;
        return references;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        bool manager = m_Class == FirewallIds::ManagerClass;
        if (HRESULT error = FirewallState::ScriptedError(manager ? L"CreateManager" : L"CreateOpenPort"))
            return error;
        CComHolder<IUnknown> created(manager ? static_cast<IUnknown*>(new (std::nothrow) CFwManager)
                                             : static_cast<IUnknown*>(new (std::nothrow) CFwOpenPort));
        if (!created)
            return E_OUTOFMEMORY;
        return created->QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    virtual ~CFactory() = default;

    CLSID m_Class;
    std::atomic<ULONG> m_References{1};
};
} // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (clsid != FirewallIds::ManagerClass && clsid != FirewallIds::OpenPortClass)
        return CLASS_E_CLASSNOTAVAILABLE;
    CComHolder<IClassFactory> factory(new (std::nothrow) CFactory(clsid));
    if (!factory)
        return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, object);
}

// The objects hold no state of their own beyond their lives; staying loaded
// keeps the stand-in simple.
STDAPI DllCanUnloadNow() { return S_FALSE; }
