#include "eventsystem/SubscriptionStore.h"

#include "shared/Holders.h"

#include <algorithm>
#include <iterator>

CSubscriptionStore& Subscriptions()
{
    // Never destroyed: at the end of the process the subscribers' code and
    // COM itself may be gone, so the references held are left unreleased.
    static CSubscriptionStore* store = new CSubscriptionStore;
    return *store;
}

std::vector<STORED_SUBSCRIPTION> CSubscriptionStore::Add(STORED_SUBSCRIPTION subscription)
{
    std::wstring id = subscription.SubscriptionID;
    CPredicate sameId = [&id](const STORED_SUBSCRIPTION& stored)
    { return CompareStringOrdinal(stored.SubscriptionID.c_str(), -1, id.c_str(), -1, TRUE) == CSTR_EQUAL; };
    std::vector<STORED_SUBSCRIPTION> replaced;
    replaced.reserve(1);
    CExclusiveLock lock(m_Lock);
    m_Subscriptions.reserve(m_Subscriptions.size() + 1);
    auto old = std::find_if(m_Subscriptions.begin(), m_Subscriptions.end(), sameId);
    if (old == m_Subscriptions.end())
    {
        m_Subscriptions.push_back(std::move(subscription));
        return replaced;
    }
    replaced.push_back(std::move(*old));
    *old = std::move(subscription);
    return replaced;
}

std::vector<STORED_SUBSCRIPTION> CSubscriptionStore::RemoveIf(const CPredicate& matches)
{
    std::vector<STORED_SUBSCRIPTION> removed;
    CExclusiveLock lock(m_Lock);
    auto kept = std::stable_partition(m_Subscriptions.begin(), m_Subscriptions.end(),
                                      [&matches](const STORED_SUBSCRIPTION& stored) { return !matches(stored); });
    removed.assign(std::make_move_iterator(kept), std::make_move_iterator(m_Subscriptions.end()));
    m_Subscriptions.erase(kept, m_Subscriptions.end());
    return removed;
}

std::vector<STORED_SUBSCRIPTION> CSubscriptionStore::Select(const CPredicate& matches)
{
    std::vector<STORED_SUBSCRIPTION> selected;
    CExclusiveLock lock(m_Lock);
    std::copy_if(m_Subscriptions.begin(), m_Subscriptions.end(), std::back_inserter(selected), matches);
    return selected;
}
