#include "eventsystem/EventSystem.h"

#include "eventsystem/EventSystemGuids.h"
#include "eventsystem/RemoveQuery.h"
#include "eventsystem/SubscriptionMirror.h"
#include "eventsystem/SubscriptionStore.h"
#include "shared/CallCounter.h"
#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <new>

namespace
{
using CTextGetter = HRESULT (STDMETHODCALLTYPE IEventSubscription::*)(BSTR*);
using CFlagGetter = HRESULT (STDMETHODCALLTYPE IEventSubscription::*)(BOOL*);

HRESULT ScriptedError(const wchar_t* name)
{
    return static_cast<HRESULT>(CScriptKey(ScriptNames::EventSystemKey).ReadDword(name).value_or(S_OK));
}

bool IsProgID(BSTR progId, const wchar_t* expected)
{
    return progId && CompareStringOrdinal(progId, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

HRESULT ReadText(IEventSubscription* subscription, CTextGetter getter, std::wstring& text)
{
    CBstrHolder value;
    HRESULT result = (subscription->*getter)(value.Put());
    if (SUCCEEDED(result))
        text.assign(value.Get() ? value.Get() : L"", SysStringLen(value.Get()));
    return result;
}

// Copies what the store keeps, as the real store copies a subscription's
// properties: later changes to the object do not reach the store.
HRESULT ReadSubscription(IEventSubscription* subscription, STORED_SUBSCRIPTION& stored)
{
    const std::pair<CTextGetter, std::wstring*> texts[] = {
        {&IEventSubscription::get_SubscriptionID, &stored.SubscriptionID},
        {&IEventSubscription::get_SubscriptionName, &stored.SubscriptionName},
        {&IEventSubscription::get_EventClassID, &stored.EventClassID},
        {&IEventSubscription::get_MethodName, &stored.MethodName},
        {&IEventSubscription::get_PublisherID, &stored.PublisherID},
    };
    for (const auto& [getter, text] : texts)
        if (HRESULT result = ReadText(subscription, getter, *text); FAILED(result))
            return result;
    for (const auto& [getter, flag] :
         {std::pair<CFlagGetter, BOOL*>{&IEventSubscription::get_PerUser, &stored.PerUser},
          std::pair<CFlagGetter, BOOL*>{&IEventSubscription::get_Enabled, &stored.Enabled}})
        if (HRESULT result = (subscription->*getter)(flag); FAILED(result))
            return result;
    stored.Subscription = CComHolder<IEventSubscription>::Share(subscription);
    return subscription->get_SubscriberInterface(stored.Subscriber.Put());
}

HRESULT StoreSubscription(IUnknown* object)
{
    CComHolder<IEventSubscription> subscription;
    if (!object || FAILED(object->QueryInterface(EventSystemGuids::EventSubscriptionInterface, subscription.PutVoid())))
        return E_INVALIDARG;
    STORED_SUBSCRIPTION stored;
    if (HRESULT result = ReadSubscription(subscription.Get(), stored); FAILED(result))
        return result;
    if (stored.SubscriptionID.empty())
        return E_INVALIDARG;
    // The subscription it replaces is released when this goes, after the store's lock.
    std::vector<STORED_SUBSCRIPTION> replaced = Subscriptions().Add(stored);
    MirrorStored(stored);
    return S_OK;
}

HRESULT RemoveSubscriptions(BSTR progId, BSTR queryCriteria, int& errorIndex)
{
    bool subscriptions = IsProgID(progId, EventSystemGuids::SubscriptionProgID) ||
                         IsProgID(progId, EventSystemGuids::SubscriptionCollectionProgID);
    bool eventClasses = IsProgID(progId, EventSystemGuids::EventClassProgID) ||
                        IsProgID(progId, EventSystemGuids::EventClassCollectionProgID);
    if (!subscriptions && !eventClasses)
        return E_INVALIDARG;
    REMOVE_QUERY query;
    if (HRESULT result = ParseRemoveQuery(queryCriteria, query, errorIndex); FAILED(result))
        return result;
    if (eventClasses)
        return S_OK; // none are kept, so none match
    // Released when this goes, after the store's lock.
    std::vector<STORED_SUBSCRIPTION> removed =
        Subscriptions().RemoveIf([&query](const STORED_SUBSCRIPTION& stored) { return query.Matches(stored); });
    for (const STORED_SUBSCRIPTION& subscription : removed)
        MirrorRemoved(subscription.SubscriptionID);
    return S_OK;
}

HRESULT TryRemoveSubscriptions(BSTR progId, BSTR queryCriteria, int& errorIndex)
{
    try
    {
        return RemoveSubscriptions(progId, queryCriteria, errorIndex);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
} // namespace

HRESULT CEventSystem::QueryInterface(REFIID iid, void** object)
{
    return QueryOwn(iid, EventSystemGuids::EventSystemInterface, object);
}

HRESULT CEventSystem::Store(BSTR progId, IUnknown* object)
{
    CountCall(L"EventSystem.Store");
    if (HRESULT scripted = ScriptedError(ScriptNames::StoreError))
        return scripted;
    if (!IsProgID(progId, EventSystemGuids::SubscriptionProgID))
        return E_INVALIDARG; // event classes are not kept
    try
    {
        return StoreSubscription(object);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CEventSystem::Remove(BSTR progId, BSTR queryCriteria, int* errorIndex)
{
    CountCall(L"EventSystem.Remove");
    if (HRESULT scripted = ScriptedError(ScriptNames::RemoveError))
        return scripted;
    int index = 0;
    HRESULT result = TryRemoveSubscriptions(progId, queryCriteria, index);
    if (errorIndex)
        *errorIndex = index;
    return result;
}

HRESULT CEventSystem::RemoveS(BSTR progId, BSTR queryCriteria)
{
    int errorIndex = 0;
    return Remove(progId, queryCriteria, &errorIndex);
}
