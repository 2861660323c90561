#pragma once

#include "eventsystem/ComHolders.h"

#include <windows.h>

#include <eventsys.h>
#include <functional>
#include <string>
#include <vector>

// What IEventSystem::Store copied from a subscription.
struct STORED_SUBSCRIPTION
{
    std::wstring SubscriptionID;
    std::wstring SubscriptionName;
    std::wstring EventClassID;
    std::wstring MethodName;
    std::wstring PublisherID;
    BOOL PerUser = FALSE;
    BOOL Enabled = TRUE;
    CComHolder<IEventSubscription> Subscription;
    CComHolder<IUnknown> Subscriber;
};

// The process's subscriptions, one per subscription ID (compared without
// regard to case). Entries leave the store by value, so that their
// references are released after the lock: a release may call back into the
// event system.
class CSubscriptionStore
{
public:
    using CPredicate = std::function<bool(const STORED_SUBSCRIPTION&)>;

    // Adds the subscription; returns the one it replaced, if any. May throw
    // std::bad_alloc.
    std::vector<STORED_SUBSCRIPTION> Add(STORED_SUBSCRIPTION subscription);
    std::vector<STORED_SUBSCRIPTION> RemoveIf(const CPredicate& matches);
    // Copies, each with references of its own, of the subscriptions that match.
    std::vector<STORED_SUBSCRIPTION> Select(const CPredicate& matches);

private:
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::vector<STORED_SUBSCRIPTION> m_Subscriptions; // guarded by m_Lock
};

CSubscriptionStore& Subscriptions();
