#pragma once

#include "standins/CallCountControl.h"

#include <windows.h>

#include <optional>
#include <string>

// Scripts the COM+ event system stand-in (es.dll) from a test running under
// Wine; CallCountControl.h reads its call counts. Each function throws std::runtime_error when the registry refuses a
// write.

// Points CLSID_CEventSystem and CLSID_CEventSubscription of the prefix at the
// stand-in (its full Windows path), or at nothing again.
void RegisterEventSystemStandin(const std::wstring& dllPath);
void UnregisterEventSystemStandin();

// IEventSystem::Store (Remove) returns this error; S_OK ends that.
void ScriptStoreError(HRESULT error);
void ScriptRemoveError(HRESULT error);

// Fires the event ("ISensLogon2.Logoff", "ISensLogon.DisplayLock",
// "IDispatch", ...) to the subscriptions stored in whichever process loaded
// the stand-in, and returns the HRESULT it reports: the subscriber's, or
// EVENT_S_NOSUBSCRIBERS. Throws when no answer comes within ten seconds.
HRESULT FireSensEvent(const std::wstring& what, DWORD sessionId = 0);

// What IEventSystem::Store kept of a subscription.
struct STANDIN_STORED_SUBSCRIPTION
{
    std::wstring SubscriptionName;
    std::wstring EventClassID;
    std::wstring MethodName;
    std::wstring PublisherID;
    bool Subscriber = false; // a subscriber interface was set
    bool PerUser = false;
};

// Nothing when no subscription with this ID is stored.
std::optional<STANDIN_STORED_SUBSCRIPTION> StoredSubscription(const std::wstring& subscriptionId);

// Deletes the script and the record of stored subscriptions (not the
// subscriptions a running process holds).
void ClearEventSystemScript();
