#include "identifiers/SensLogonEvents.h"

#include "diag/Log.h"
#include "platform/ComHolders.h"

namespace
{
// The event-system GUIDs are in no import library.
constexpr GUID CLSID_EventSystem = {0x4E14FBA2, 0x2E22, 0x11D1, {0x99, 0x64, 0x00, 0xC0, 0x4F, 0xBB, 0xB3, 0x45}};
constexpr GUID IID_EventSystem = {0x4E14FB9F, 0x2E22, 0x11D1, {0x99, 0x64, 0x00, 0xC0, 0x4F, 0xBB, 0xB3, 0x45}};
constexpr GUID CLSID_EventSubscription = {0x7542E960, 0x79C7, 0x11D1, {0x88, 0xF9, 0x00, 0x80, 0xC7, 0xD7, 0x71, 0xBF}};
constexpr GUID IID_EventSubscription = {0x4A6B0E15, 0x2E38, 0x11D1, {0x99, 0x65, 0x00, 0xC0, 0x4F, 0xBB, 0xB3, 0x45}};
constexpr GUID IID_SensLogon = {0xD597BAB3, 0x5B9F, 0x11D1, {0x8D, 0xD2, 0x00, 0xAA, 0x00, 0x4A, 0xBD, 0x5E}};
constexpr GUID IID_SensLogon2 = {0xD597BAB4, 0x5B9F, 0x11D1, {0x8D, 0xD2, 0x00, 0xAA, 0x00, 0x4A, 0xBD, 0x5E}};

constexpr wchar_t SubscriptionId[] = L"{34EB00FC-A19E-43ed-8565-E88716AD0DBF}";
constexpr wchar_t SubscriptionName[] = L"User Agent SENS Subscription";
constexpr wchar_t LogonEventClass[] = L"{D5978630-5B9F-11D1-8DD2-00AA004ABD5E}";
constexpr wchar_t SubscriptionProgId[] = L"EventSystem.EventSubscription";
constexpr wchar_t RemovalQueryPrefix[] = L"SubscriptionID == ";
constexpr DWORD NoSession = 0xFFFFFFFF;

HRESULT CreateEventSystem(CComPtr<IEventSystem>& system)
{
    HRESULT result = CoCreateInstance(CLSID_EventSystem, nullptr, CLSCTX_SERVER, IID_EventSystem, system.PutVoid());
    if (FAILED(result))
        LogMessage(L"[!] [SENS] Failed to create IEventSystem instance");
    return result;
}

// One property of the subscription; logs the failure text when it is refused.
HRESULT SetText(IEventSubscription* subscription, HRESULT (WINAPI IEventSubscription::*put)(BSTR), const wchar_t* text,
                const wchar_t* failure)
{
    CBstr value(text);
    HRESULT result = (subscription->*put)(value.Get());
    if (FAILED(result))
        LogMessage(failure);
    return result;
}

HRESULT DescribeSubscription(IEventSubscription* subscription, CSensLogonEvents* sink)
{
    HRESULT result = SetText(subscription, &IEventSubscription::put_SubscriptionID, SubscriptionId,
                             L"[!] [SENS] Failed to set IEventSubscription subscription ID");
    if (SUCCEEDED(result))
        result = SetText(subscription, &IEventSubscription::put_SubscriptionName, SubscriptionName,
                         L"[!] [SENS] Failed to set IEventSubscription subscription name");
    if (SUCCEEDED(result))
        result = SetText(subscription, &IEventSubscription::put_EventClassID, LogonEventClass,
                         L"[!] [SENS] Failed to set IEventSubscription event class ID");
    if (FAILED(result))
        return result;
    result = subscription->put_SubscriberInterface(static_cast<ISensLogon2*>(sink));
    if (FAILED(result))
        LogMessage(L"[!] [SENS] Failed to set IEventSubscription subscriber interface");
    return result;
}
} // namespace

HRESULT WINAPI CSensLogonEvents::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_SensLogon2))
        *object = static_cast<ISensLogon2*>(this);
    else if (IsEqualGUID(iid, IID_SensLogon))
        *object = static_cast<ISensLogon*>(this);
    else
        return E_NOINTERFACE;
    return S_OK;
}

HRESULT WINAPI CSensLogonEvents::GetTypeInfoCount(UINT*) { return E_FAIL; }
HRESULT WINAPI CSensLogonEvents::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_FAIL; }
HRESULT WINAPI CSensLogonEvents::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_FAIL; }
HRESULT WINAPI CSensLogonEvents::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return E_FAIL;
}

HRESULT WINAPI CSensLogonEvents::Logon(BSTR, DWORD)
{
    m_Owner.OnSensLogon();
    return S_OK;
}

HRESULT WINAPI CSensLogonEvents::Logoff(BSTR, DWORD sessionId)
{
    m_Owner.OnSensLogoff(sessionId);
    return S_OK;
}

HRESULT WINAPI CSensLogonEvents::SessionDisconnect(BSTR, DWORD) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::SessionReconnect(BSTR, DWORD) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::PostShell(BSTR, DWORD) { return S_OK; }

HRESULT WINAPI CSensLogonEvents::Logon(BSTR)
{
    m_Owner.OnSensLogon();
    return S_OK;
}

HRESULT WINAPI CSensLogonEvents::Logoff(BSTR)
{
    m_Owner.OnSensLogoff(NoSession);
    return S_OK;
}

HRESULT WINAPI CSensLogonEvents::StartShell(BSTR) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::DisplayLock(BSTR) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::DisplayUnlock(BSTR) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::StartScreenSaver(BSTR) { return S_OK; }
HRESULT WINAPI CSensLogonEvents::StopScreenSaver(BSTR) { return S_OK; }

HRESULT SensRegisterLogon(CSensLogonEvents* sink)
{
    CComApartment apartment;
    CComPtr<IEventSystem> system;
    HRESULT result = CreateEventSystem(system);
    if (FAILED(result))
        return result;
    CComPtr<IEventSubscription> subscription;
    result = CoCreateInstance(CLSID_EventSubscription, nullptr, CLSCTX_SERVER, IID_EventSubscription,
                              subscription.PutVoid());
    if (FAILED(result))
    {
        LogMessage(L"[!] [SENS] Failed to create IEventSubscription instance");
        return result;
    }
    result = DescribeSubscription(subscription.Get(), sink);
    if (FAILED(result))
        return result;
    CBstr progId(SubscriptionProgId);
    result = system->Store(progId.Get(), subscription.Get());
    if (FAILED(result))
        LogMessage(L"[!] [SENS] Failed to store IEventSubscription instance");
    return result;
}

HRESULT SensRemoveLogon()
{
    CComApartment apartment;
    CComPtr<IEventSystem> system;
    HRESULT result = CreateEventSystem(system);
    if (FAILED(result))
        return result;
    CBstr progId(SubscriptionProgId);
    CBstr query(std::wstring(RemovalQueryPrefix) + SubscriptionId);
    int errorIndex = 0;
    result = system->Remove(progId.Get(), query.Get(), &errorIndex);
    if (FAILED(result))
        LogMessage(L"[!] [SENS] Failed to remove IEventSubscription");
    return result;
}
