#include "eventsystem/EventDelivery.h"

#include "eventsystem/ComHolders.h"
#include "eventsystem/EventSystemGuids.h"
#include "eventsystem/GuidText.h"
#include "eventsystem/SubscriptionStore.h"

#include <optional>

namespace
{
constexpr wchar_t UserName[] = L"KESTRIN\\standin";

bool IsLogonEventClass(const std::wstring& text)
{
    GUID eventClass = {};
    return ParseBracedGuid(text, eventClass) && (eventClass == EventSystemGuids::SensLogonEventClass ||
                                                 eventClass == EventSystemGuids::SensLogon2EventClass);
}

bool Receives(const STORED_SUBSCRIPTION& subscription, const SENS_EVENT& event)
{
    if (!subscription.Subscriber || !subscription.Enabled || !IsLogonEventClass(subscription.EventClassID))
        return false;
    return subscription.MethodName.empty() || !event.Method ||
           CompareStringOrdinal(subscription.MethodName.c_str(), -1, event.Method, -1, TRUE) == CSTR_EQUAL;
}

HRESULT DeliverTo(IUnknown* subscriber, const SENS_EVENT& event, BSTR userName, DWORD sessionId)
{
    CComHolder<IUnknown> target;
    HRESULT result = subscriber->QueryInterface(*event.Interface, target.PutVoid());
    if (FAILED(result) || !event.Call)
        return result;
    return event.Call(target.Get(), userName, sessionId);
}
} // namespace

HRESULT DeliverSensEvent(const SENS_EVENT& event, DWORD sessionId)
{
    // Copies with references of their own: a Remove meanwhile releases only
    // the store's references, never a subscriber being called.
    std::vector<STORED_SUBSCRIPTION> receivers =
        Subscriptions().Select([&event](const STORED_SUBSCRIPTION& stored) { return Receives(stored, event); });
    if (receivers.empty())
        return EVENT_S_NOSUBSCRIBERS;
    CBstrHolder userName(SysAllocString(UserName));
    if (!userName)
        return E_OUTOFMEMORY;
    std::optional<HRESULT> reported;
    for (const STORED_SUBSCRIPTION& receiver : receivers)
    {
        HRESULT result = DeliverTo(receiver.Subscriber.Get(), event, userName.Get(), sessionId);
        if (!reported || (SUCCEEDED(*reported) && FAILED(result)))
            reported = result;
    }
    return *reported;
}
