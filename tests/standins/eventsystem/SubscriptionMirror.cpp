#include "eventsystem/SubscriptionMirror.h"

#include "shared/Holders.h"
#include "shared/ScriptNames.h"

namespace
{
// Empty for an ID that cannot name one key below the subscriptions key.
std::wstring KeyPath(const std::wstring& subscriptionId)
{
    if (subscriptionId.empty() || subscriptionId.find(L'\\') != std::wstring::npos)
        return std::wstring();
    return std::wstring(ScriptNames::SubscriptionsKey) + L"\\" + subscriptionId;
}

void WriteText(HKEY key, const wchar_t* name, const std::wstring& text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
} // namespace

void MirrorStored(const STORED_SUBSCRIPTION& subscription)
{
    std::wstring path = KeyPath(subscription.SubscriptionID);
    if (path.empty())
        return;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()); // nothing of a replaced subscription stays
    CKeyHolder key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    WriteText(key.Get(), ScriptNames::SubscriptionName, subscription.SubscriptionName);
    WriteText(key.Get(), ScriptNames::EventClassID, subscription.EventClassID);
    WriteText(key.Get(), ScriptNames::MethodName, subscription.MethodName);
    WriteText(key.Get(), ScriptNames::PublisherID, subscription.PublisherID);
    WriteDword(key.Get(), ScriptNames::Subscriber, subscription.Subscriber ? 1 : 0);
    WriteDword(key.Get(), ScriptNames::PerUser, subscription.PerUser ? 1 : 0);
}

void MirrorRemoved(const std::wstring& subscriptionId)
{
    std::wstring path = KeyPath(subscriptionId);
    if (!path.empty())
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
}
