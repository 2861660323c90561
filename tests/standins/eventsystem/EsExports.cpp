// The exports of a COM in-process server for CLSID_CEventSystem and
// CLSID_CEventSubscription.
#include "eventsystem/ClassFactory.h"
#include "eventsystem/ComHolders.h"
#include "eventsystem/EventSubscription.h"
#include "eventsystem/EventSystem.h"
#include "eventsystem/EventSystemGuids.h"

#include <new>

namespace
{
template <typename T> IUnknown* Create() { return static_cast<IUnknown*>(new (std::nothrow) T); }
} // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    CClassFactory::CCreate create = nullptr;
    if (clsid == EventSystemGuids::EventSystemClass)
        create = Create<CEventSystem>;
    else if (clsid == EventSystemGuids::EventSubscriptionClass)
        create = Create<CEventSubscription>;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    CComHolder<IClassFactory> factory(new (std::nothrow) CClassFactory(create));
    if (!factory)
        return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, object);
}

// Never: the thread that fires events runs the DLL's code until the process ends.
STDAPI DllCanUnloadNow() { return S_FALSE; }
