#include "eventsystem/ClassFactory.h"

#include "eventsystem/ComHolders.h"
#include "eventsystem/FireWatcher.h"

HRESULT CClassFactory::QueryInterface(REFIID iid, void** object)
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

ULONG CClassFactory::Release()
{
    ULONG references = --m_References;
    if (references == 0)
        delete this;
    return references;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if (DWORD error = StartFireWatcher())
        return HRESULT_FROM_WIN32(error);
    CComHolder<IUnknown> created(m_Create());
    if (!created)
        return E_OUTOFMEMORY;
    return created->QueryInterface(iid, object);
}
