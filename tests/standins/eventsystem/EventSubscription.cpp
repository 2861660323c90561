#include "eventsystem/EventSubscription.h"

#include "eventsystem/EventSystemGuids.h"
#include "shared/Holders.h"

#include <new>

HRESULT CEventSubscription::QueryInterface(REFIID iid, void** object)
{
    return QueryOwn(iid, EventSystemGuids::EventSubscriptionInterface, object);
}

HRESULT CEventSubscription::get_SubscriberInterface(IUnknown** value)
{
    if (!value)
        return E_POINTER;
    CExclusiveLock lock(m_Lock);
    *value = CComHolder<IUnknown>(m_SubscriberInterface).Take();
    return S_OK;
}

HRESULT CEventSubscription::put_SubscriberInterface(IUnknown* value)
{
    CComHolder<IUnknown> subscriber = CComHolder<IUnknown>::Share(value);
    {
        CExclusiveLock lock(m_Lock);
        std::swap(m_SubscriberInterface, subscriber);
    }
    // The old subscriber is released outside the lock: its release may call back.
    return S_OK;
}

HRESULT CEventSubscription::GetText(const std::wstring& property, BSTR* value)
{
    if (!value)
        return E_POINTER;
    CExclusiveLock lock(m_Lock);
    *value = SysAllocStringLen(property.c_str(), static_cast<UINT>(property.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CEventSubscription::PutText(std::wstring& property, BSTR value)
{
    try
    {
        std::wstring text(value ? value : L"", SysStringLen(value));
        CExclusiveLock lock(m_Lock);
        property.swap(text);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CEventSubscription::GetFlag(const BOOL& property, BOOL* value)
{
    if (!value)
        return E_POINTER;
    CExclusiveLock lock(m_Lock);
    *value = property;
    return S_OK;
}

HRESULT CEventSubscription::PutFlag(BOOL& property, BOOL value)
{
    CExclusiveLock lock(m_Lock);
    property = value;
    return S_OK;
}
