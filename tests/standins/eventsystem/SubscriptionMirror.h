#pragma once

#include "eventsystem/SubscriptionStore.h"

#include <string>

// Shows tests what the store holds: one key per subscription under
// HKLM\SOFTWARE\Kestrin Test\EventSystem\Subscriptions, named by its ID.
// Best effort: a key that cannot be written is left out, and the call that
// stored or removed the subscription still succeeds.
void MirrorStored(const STORED_SUBSCRIPTION& subscription);
void MirrorRemoved(const std::wstring& subscriptionId);
