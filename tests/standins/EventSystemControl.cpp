#include "standins/EventSystemControl.h"

#include "common/StringConvert.h"
#include "platform/RegKey.h"
#include "standins/eventsystem/EventSystemGuids.h"
#include "standins/shared/ScriptNames.h"

#include <objbase.h>
#include <stdexcept>

namespace
{
constexpr DWORD FiredTimeoutMilliseconds = 10000;
constexpr DWORD FiredPollMilliseconds = 20;

void Check(LONG result, const std::wstring& what)
{
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("event system script: cannot write " + WideToAnsi(what) + " (error " +
                                 std::to_string(result) + ")");
}

void CreateKey(CRegKey& key, const std::wstring& path) { Check(key.Create(path.c_str(), KEY_READ | KEY_WRITE), path); }

void DeleteKey(const std::wstring& path)
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, path);
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, ARRAYSIZE(text));
    return text;
}

std::wstring ClassKey(const CLSID& clsid) { return L"Software\\Classes\\CLSID\\" + GuidText(clsid); }

void RegisterClass(const CLSID& clsid, const std::wstring& dllPath)
{
    CRegKey key;
    CreateKey(key, ClassKey(clsid) + L"\\InprocServer32");
    Check(key.WriteString(nullptr, dllPath), L"InprocServer32");
    Check(key.WriteString(L"ThreadingModel", L"Both"), L"ThreadingModel");
}

void ScriptError(const wchar_t* name, HRESULT error)
{
    CRegKey key;
    CreateKey(key, ScriptNames::EventSystemKey);
    if (error != S_OK)
        return Check(key.WriteDword(name, static_cast<DWORD>(error)), name);
    LONG result = RegDeleteValueW(key.Get(), name);
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, name);
}

// A tag no earlier request used, in this process or another.
std::wstring NewTag()
{
    GUID guid = {};
    if (FAILED(CoCreateGuid(&guid)))
        throw std::runtime_error("event system script: no GUID for a tag");
    std::wstring text = GuidText(guid);
    return text.substr(1, text.size() - 2);
}

// The HRESULT of "<tag> 0x<HRESULT>" once Fired holds the tag's answer.
std::optional<HRESULT> ReadFired(const std::wstring& tag)
{
    CRegKey key;
    std::wstring fired;
    if (key.Open(ScriptNames::EventSystemKey, KEY_READ) != ERROR_SUCCESS ||
        key.ReadString(ScriptNames::Fired, fired) != ERROR_SUCCESS || fired.compare(0, tag.size() + 1, tag + L" ") != 0)
        return std::nullopt;
    return static_cast<HRESULT>(std::wcstoul(fired.c_str() + tag.size() + 1, nullptr, 16));
}
} // namespace

void RegisterEventSystemStandin(const std::wstring& dllPath)
{
    RegisterClass(EventSystemGuids::EventSystemClass, dllPath);
    RegisterClass(EventSystemGuids::EventSubscriptionClass, dllPath);
}

void UnregisterEventSystemStandin()
{
    DeleteKey(ClassKey(EventSystemGuids::EventSystemClass));
    DeleteKey(ClassKey(EventSystemGuids::EventSubscriptionClass));
}

void ScriptStoreError(HRESULT error) { ScriptError(ScriptNames::StoreError, error); }
void ScriptRemoveError(HRESULT error) { ScriptError(ScriptNames::RemoveError, error); }

HRESULT FireSensEvent(const std::wstring& what, DWORD sessionId)
{
    std::wstring tag = NewTag();
    {
        CRegKey key;
        CreateKey(key, ScriptNames::EventSystemKey);
        Check(key.WriteString(ScriptNames::Fire, tag + L" " + what + L" " + std::to_wstring(sessionId)),
              ScriptNames::Fire);
    }
    for (DWORD waited = 0; waited < FiredTimeoutMilliseconds; waited += FiredPollMilliseconds)
    {
        if (std::optional<HRESULT> result = ReadFired(tag))
            return *result;
        Sleep(FiredPollMilliseconds);
    }
    throw std::runtime_error("event system script: no answer to " + WideToAnsi(what));
}

std::optional<STANDIN_STORED_SUBSCRIPTION> StoredSubscription(const std::wstring& subscriptionId)
{
    CRegKey key;
    if (key.Open((std::wstring(ScriptNames::SubscriptionsKey) + L"\\" + subscriptionId).c_str(), KEY_READ) !=
        ERROR_SUCCESS)
        return std::nullopt;
    STANDIN_STORED_SUBSCRIPTION stored;
    key.ReadString(ScriptNames::SubscriptionName, stored.SubscriptionName);
    key.ReadString(ScriptNames::EventClassID, stored.EventClassID);
    key.ReadString(ScriptNames::MethodName, stored.MethodName);
    key.ReadString(ScriptNames::PublisherID, stored.PublisherID);
    DWORD flag = 0;
    stored.Subscriber = key.ReadDword(ScriptNames::Subscriber, flag) == ERROR_SUCCESS && flag != 0;
    flag = 0;
    stored.PerUser = key.ReadDword(ScriptNames::PerUser, flag) == ERROR_SUCCESS && flag != 0;
    return stored;
}

void ClearEventSystemScript() { DeleteKey(ScriptNames::EventSystemKey); }
