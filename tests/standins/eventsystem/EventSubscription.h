#pragma once

#include "eventsystem/ComHolders.h"
#include "eventsystem/ComObject.h"

#include <windows.h>

#include <eventsys.h>
#include <string>

// CLSID_CEventSubscription: a bag of properties that IEventSystem::Store
// copies into the store. Free-threaded; every property is read and written
// under the object's lock.
class CEventSubscription : public CComObject<IEventSubscription>
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE get_SubscriptionID(BSTR* value) override { return GetText(m_SubscriptionID, value); }
    HRESULT STDMETHODCALLTYPE put_SubscriptionID(BSTR value) override { return PutText(m_SubscriptionID, value); }
    HRESULT STDMETHODCALLTYPE get_SubscriptionName(BSTR* value) override { return GetText(m_SubscriptionName, value); }
    HRESULT STDMETHODCALLTYPE put_SubscriptionName(BSTR value) override { return PutText(m_SubscriptionName, value); }
    HRESULT STDMETHODCALLTYPE get_PublisherID(BSTR* value) override { return GetText(m_PublisherID, value); }
    HRESULT STDMETHODCALLTYPE put_PublisherID(BSTR value) override { return PutText(m_PublisherID, value); }
    HRESULT STDMETHODCALLTYPE get_EventClassID(BSTR* value) override { return GetText(m_EventClassID, value); }
    HRESULT STDMETHODCALLTYPE put_EventClassID(BSTR value) override { return PutText(m_EventClassID, value); }
    HRESULT STDMETHODCALLTYPE get_MethodName(BSTR* value) override { return GetText(m_MethodName, value); }
    HRESULT STDMETHODCALLTYPE put_MethodName(BSTR value) override { return PutText(m_MethodName, value); }
    HRESULT STDMETHODCALLTYPE get_SubscriberCLSID(BSTR* value) override { return GetText(m_SubscriberCLSID, value); }
    HRESULT STDMETHODCALLTYPE put_SubscriberCLSID(BSTR value) override { return PutText(m_SubscriberCLSID, value); }
    HRESULT STDMETHODCALLTYPE get_SubscriberInterface(IUnknown** value) override;
    HRESULT STDMETHODCALLTYPE put_SubscriberInterface(IUnknown* value) override;
    HRESULT STDMETHODCALLTYPE get_PerUser(BOOL* value) override { return GetFlag(m_PerUser, value); }
    HRESULT STDMETHODCALLTYPE put_PerUser(BOOL value) override { return PutFlag(m_PerUser, value); }
    HRESULT STDMETHODCALLTYPE get_OwnerSID(BSTR* value) override { return GetText(m_OwnerSID, value); }
    HRESULT STDMETHODCALLTYPE put_OwnerSID(BSTR value) override { return PutText(m_OwnerSID, value); }
    HRESULT STDMETHODCALLTYPE get_Enabled(BOOL* value) override { return GetFlag(m_Enabled, value); }
    HRESULT STDMETHODCALLTYPE put_Enabled(BOOL value) override { return PutFlag(m_Enabled, value); }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) override { return GetText(m_Description, value); }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR value) override { return PutText(m_Description, value); }
    HRESULT STDMETHODCALLTYPE get_MachineName(BSTR* value) override { return GetText(m_MachineName, value); }
    HRESULT STDMETHODCALLTYPE put_MachineName(BSTR value) override { return PutText(m_MachineName, value); }
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* value) override { return GetText(m_InterfaceID, value); }
    HRESULT STDMETHODCALLTYPE put_InterfaceID(BSTR value) override { return PutText(m_InterfaceID, value); }

    // Publisher and subscriber properties are not kept.
    HRESULT STDMETHODCALLTYPE GetPublisherProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutPublisherProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemovePublisherProperty(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPublisherPropertyCollection(IEventObjectCollection**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubscriberProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutSubscriberProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveSubscriberProperty(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubscriberPropertyCollection(IEventObjectCollection**) override { return E_NOTIMPL; }

private:
    HRESULT GetText(const std::wstring& property, BSTR* value);
    HRESULT PutText(std::wstring& property, BSTR value);
    HRESULT GetFlag(const BOOL& property, BOOL* value);
    HRESULT PutFlag(BOOL& property, BOOL value);

    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::wstring m_SubscriptionID;
    std::wstring m_SubscriptionName;
    std::wstring m_PublisherID;
    std::wstring m_EventClassID;
    std::wstring m_MethodName;
    std::wstring m_SubscriberCLSID;
    std::wstring m_OwnerSID;
    std::wstring m_Description;
    std::wstring m_MachineName;
    std::wstring m_InterfaceID;
    CComHolder<IUnknown> m_SubscriberInterface;
    BOOL m_PerUser = FALSE;
    BOOL m_Enabled = TRUE;
};
