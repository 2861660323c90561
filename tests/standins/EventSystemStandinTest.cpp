// The COM+ event system stand-in (es.dll), registered as the in-process server
// of CLSID_CEventSystem and CLSID_CEventSubscription, stores subscriptions as
// Windows documents and fires SENS logon events when a test asks.
#include "standins/EventSystemControl.h"
#include "standins/eventsystem/ComHolders.h"
#include "standins/eventsystem/EventSystemGuids.h"

#include <windows.h>

#include <atomic>
#include <eventsys.h>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <sensevts.h>
#include <string>
#include <vector>

namespace
{
namespace Guids = EventSystemGuids;

constexpr wchar_t SubscriptionId[] = L"{4B455354-0000-4000-8000-000000000001}";
constexpr wchar_t OtherId[] = L"{4B455354-0000-4000-8000-000000000002}";
constexpr wchar_t LogonClass[] = L"{D5978630-5B9F-11D1-8DD2-00AA004ABD5E}";

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

CBstrHolder Bstr(const wchar_t* text) { return CBstrHolder(SysAllocString(text)); }

// A subscriber that records each call as "<interface>.<method> <user> [<session>]".
class CLogonSink : public ISensLogon, public ISensLogon2
{
public:
    explicit CLogonSink(bool acceptsDispatch = true) : m_AcceptsDispatch(acceptsDispatch) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = nullptr;
        if (iid == IID_IUnknown || iid == Guids::SensLogonInterface || (iid == IID_IDispatch && m_AcceptsDispatch))
            *object = static_cast<ISensLogon*>(this);
        else if (iid == Guids::SensLogon2Interface)
            *object = static_cast<ISensLogon2*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG references = --m_References;
        if (references == 0)
            delete this;
        return references;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Logon(BSTR user) override { return Record(L"ISensLogon.Logon", user); }
    HRESULT STDMETHODCALLTYPE Logoff(BSTR user) override { return Record(L"ISensLogon.Logoff", user); }
    HRESULT STDMETHODCALLTYPE StartShell(BSTR user) override { return Record(L"ISensLogon.StartShell", user); }
    HRESULT STDMETHODCALLTYPE DisplayLock(BSTR user) override { return Record(L"ISensLogon.DisplayLock", user); }
    HRESULT STDMETHODCALLTYPE DisplayUnlock(BSTR user) override { return Record(L"ISensLogon.DisplayUnlock", user); }
    HRESULT STDMETHODCALLTYPE StartScreenSaver(BSTR user) override
    {
        return Record(L"ISensLogon.StartScreenSaver", user);
    }
    HRESULT STDMETHODCALLTYPE StopScreenSaver(BSTR user) override
    {
        return Record(L"ISensLogon.StopScreenSaver", user);
    }
    HRESULT STDMETHODCALLTYPE Logon(BSTR user, DWORD session) override
    {
        return Record(L"ISensLogon2.Logon", user, session);
    }
    HRESULT STDMETHODCALLTYPE Logoff(BSTR user, DWORD session) override
    {
        return Record(L"ISensLogon2.Logoff", user, session);
    }
    HRESULT STDMETHODCALLTYPE SessionDisconnect(BSTR user, DWORD session) override
    {
        return Record(L"ISensLogon2.SessionDisconnect", user, session);
    }
    HRESULT STDMETHODCALLTYPE SessionReconnect(BSTR user, DWORD session) override
    {
        return Record(L"ISensLogon2.SessionReconnect", user, session);
    }
    HRESULT STDMETHODCALLTYPE PostShell(BSTR user, DWORD session) override
    {
        return Record(L"ISensLogon2.PostShell", user, session);
    }

    // Called on the stand-in's thread, read on the test's.
    std::vector<std::wstring> Calls()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Calls;
    }
    IUnknown* Unknown() { return static_cast<ISensLogon*>(this); }
    ULONG References()
    {
        AddRef();
        return Release();
    }

private:
    virtual ~CLogonSink() = default;

    HRESULT Record(const wchar_t* method, BSTR user, std::optional<DWORD> session = std::nullopt)
    {
        std::wstring call = std::wstring(method) + L" " + (user ? user : L"(null)");
        if (session)
            call += L" " + std::to_wstring(*session);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Calls.push_back(call);
        return S_OK;
    }

    bool m_AcceptsDispatch;
    std::atomic<ULONG> m_References{1};
    std::mutex m_Lock;
    std::vector<std::wstring> m_Calls;
};

class CApartment
{
public:
    CApartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~CApartment() { CoUninitialize(); }
    CApartment(const CApartment&) = delete;
    CApartment& operator=(const CApartment&) = delete;
};

// Each test starts with the stand-in registered and nothing stored, and leaves
// nothing stored.
class EventSystemStandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearEventSystemScript();
        RegisterEventSystemStandin(ExeFolder() + L"\\es.dll");
        ASSERT_EQ(S_OK, CoCreateInstance(Guids::EventSystemClass, nullptr, CLSCTX_SERVER, Guids::EventSystemInterface,
                                         m_System.PutVoid()));
    }
    void TearDown() override
    {
        ScriptRemoveError(S_OK);
        EXPECT_EQ(S_OK, Remove(L"ALL"));
        ClearEventSystemScript();
        UnregisterEventSystemStandin();
    }

    // A subscription to the SENS logon events as a client makes it.
    CComHolder<IEventSubscription> Subscription(const wchar_t* id, IUnknown* subscriber)
    {
        CComHolder<IEventSubscription> subscription;
        EXPECT_EQ(S_OK, CoCreateInstance(Guids::EventSubscriptionClass, nullptr, CLSCTX_SERVER,
                                         Guids::EventSubscriptionInterface, subscription.PutVoid()));
        if (!subscription)
            return subscription;
        subscription->put_SubscriptionID(Bstr(id).Get());
        subscription->put_SubscriptionName(Bstr(L"Kestrin logon").Get());
        subscription->put_EventClassID(Bstr(LogonClass).Get());
        subscription->put_SubscriberInterface(subscriber);
        return subscription;
    }
    HRESULT Store(const wchar_t* id, IUnknown* subscriber, const wchar_t* progId = L"EventSystem.EventSubscription")
    {
        return m_System->Store(Bstr(progId).Get(), Subscription(id, subscriber).Get());
    }
    HRESULT Remove(const std::wstring& query, int* errorIndex = nullptr,
                   const wchar_t* progId = L"EventSystem.EventSubscription")
    {
        int index = -1;
        HRESULT result = m_System->Remove(Bstr(progId).Get(), Bstr(query.c_str()).Get(), &index);
        if (errorIndex)
            *errorIndex = index;
        return result;
    }

    CApartment m_Apartment;
    CComHolder<IEventSystem> m_System;
};
} // namespace

TEST_F(EventSystemStandinTest, SubscriptionKeepsItsPropertiesAndAReferenceToItsSubscriber)
{
    CComHolder<CLogonSink> sink(new CLogonSink);
    CComHolder<IEventSubscription> subscription = Subscription(SubscriptionId, sink->Unknown());
    EXPECT_EQ(2u, sink->References());
    CBstrHolder id;
    ASSERT_EQ(S_OK, subscription->get_SubscriptionID(id.Put()));
    EXPECT_STREQ(SubscriptionId, id.Get());
    CBstrHolder eventClass;
    ASSERT_EQ(S_OK, subscription->get_EventClassID(eventClass.Put()));
    EXPECT_STREQ(LogonClass, eventClass.Get());
    BOOL enabled = FALSE;
    ASSERT_EQ(S_OK, subscription->get_Enabled(&enabled));
    EXPECT_TRUE(enabled);
    CComHolder<IUnknown> subscriber;
    ASSERT_EQ(S_OK, subscription->get_SubscriberInterface(subscriber.Put()));
    EXPECT_EQ(sink->Unknown(), subscriber.Get());
    subscriber.Reset();
    EXPECT_EQ(E_NOTIMPL, subscription->RemovePublisherProperty(Bstr(L"Any").Get()));
    subscription.Reset();
    EXPECT_EQ(1u, sink->References());
}

TEST_F(EventSystemStandinTest, StoreKeepsTheSubscriptionAndShowsIt)
{
    CComHolder<CLogonSink> sink(new CLogonSink);
    DWORD stores = ReadCallCount(L"EventSystem.Store");
    ASSERT_EQ(S_OK, Store(SubscriptionId, sink->Unknown()));
    EXPECT_EQ(stores + 1, ReadCallCount(L"EventSystem.Store"));
    std::optional<STANDIN_STORED_SUBSCRIPTION> stored = StoredSubscription(SubscriptionId);
    ASSERT_TRUE(stored);
    EXPECT_EQ(L"Kestrin logon", stored->SubscriptionName);
    EXPECT_EQ(LogonClass, stored->EventClassID);
    EXPECT_TRUE(stored->Subscriber);
    EXPECT_FALSE(stored->PerUser);
    EXPECT_EQ(3u, sink->References()); // the test's, the kept subscription's and the store's
}

TEST_F(EventSystemStandinTest, FiredEventsReachTheSubscriber)
{
    struct CASE
    {
        const wchar_t* What;
        DWORD SessionId;
        bool AcceptsDispatch;
        HRESULT Result;
        const wchar_t* Call; // null: none
    };
    const CASE cases[] = {
        {L"ISensLogon2.Logoff", 3, true, S_OK, L"ISensLogon2.Logoff KESTRIN\\standin 3"},
        {L"ISensLogon2.Logon", 1, true, S_OK, L"ISensLogon2.Logon KESTRIN\\standin 1"},
        {L"ISensLogon2.SessionDisconnect", 2, true, S_OK, L"ISensLogon2.SessionDisconnect KESTRIN\\standin 2"},
        {L"ISensLogon.DisplayLock", 0, true, S_OK, L"ISensLogon.DisplayLock KESTRIN\\standin"},
        {L"ISensLogon.StopScreenSaver", 0, true, S_OK, L"ISensLogon.StopScreenSaver KESTRIN\\standin"},
        {L"IDispatch", 0, true, S_OK, nullptr},
        {L"IDispatch", 0, false, E_NOINTERFACE, nullptr},
        {L"ISensLogon.Unknown", 0, true, E_INVALIDARG, nullptr},
    };
    for (const CASE& test : cases)
    {
        SCOPED_TRACE(testing::Message() << test.What << " " << test.AcceptsDispatch);
        CComHolder<CLogonSink> sink(new CLogonSink(test.AcceptsDispatch));
        ASSERT_EQ(S_OK, Store(SubscriptionId, sink->Unknown()));
        DWORD fires = ReadCallCount(L"EventSystem.Fire");
        EXPECT_EQ(test.Result, FireSensEvent(test.What, test.SessionId));
        EXPECT_EQ(fires + 1, ReadCallCount(L"EventSystem.Fire"));
        std::vector<std::wstring> expected;
        if (test.Call)
            expected.push_back(test.Call);
        EXPECT_EQ(expected, sink->Calls());
    }
}

TEST_F(EventSystemStandinTest, FiringWithoutSubscribersReachesNobody)
{
    EXPECT_EQ(EVENT_S_NOSUBSCRIBERS, FireSensEvent(L"ISensLogon2.Logon", 1));
}

TEST_F(EventSystemStandinTest, StoringTheSameIdReplacesTheSubscription)
{
    CComHolder<CLogonSink> first(new CLogonSink);
    CComHolder<CLogonSink> second(new CLogonSink);
    ASSERT_EQ(S_OK, Store(SubscriptionId, first->Unknown()));
    ASSERT_EQ(S_OK, Store(SubscriptionId, second->Unknown()));
    EXPECT_EQ(S_OK, FireSensEvent(L"ISensLogon2.Logon", 1));
    EXPECT_TRUE(first->Calls().empty());
    EXPECT_EQ(1u, second->Calls().size());
    EXPECT_EQ(1u, first->References());
}

TEST_F(EventSystemStandinTest, RemoveTakesWhatTheQueryMatches)
{
    std::wstring lowerId = SubscriptionId;
    CharLowerW(lowerId.data());
    const std::wstring queries[] = {
        std::wstring(L"SubscriptionID == ") + SubscriptionId,
        L"subscriptionid=" + lowerId,
        std::wstring(L"SubscriptionID = '") + SubscriptionId + L"'",
        std::wstring(L"EventClassID == \"") + LogonClass + L"\"",
        L"ALL",
    };
    for (const std::wstring& query : queries)
    {
        SCOPED_TRACE(testing::Message() << query.c_str());
        CComHolder<CLogonSink> sink(new CLogonSink);
        ASSERT_EQ(S_OK, Store(SubscriptionId, sink->Unknown()));
        DWORD removes = ReadCallCount(L"EventSystem.Remove");
        int errorIndex = -1;
        EXPECT_EQ(S_OK, Remove(query, &errorIndex));
        EXPECT_EQ(removes + 1, ReadCallCount(L"EventSystem.Remove"));
        EXPECT_FALSE(StoredSubscription(SubscriptionId));
        EXPECT_EQ(1u, sink->References());
        EXPECT_EQ(EVENT_S_NOSUBSCRIBERS, FireSensEvent(L"ISensLogon2.Logoff", 1));
        EXPECT_TRUE(sink->Calls().empty());
    }
}

TEST_F(EventSystemStandinTest, RemoveKeepsWhatTheQueryDoesNotMatch)
{
    const std::wstring byId = std::wstring(L"SubscriptionID == ") + SubscriptionId;
    struct CASE
    {
        std::wstring Query;
        const wchar_t* ProgID;
        HRESULT Result;
        int ErrorIndex; // -1: not checked
    };
    const CASE cases[] = {
        {std::wstring(L"SubscriptionID == ") + OtherId, L"EventSystem.EventSubscription", S_OK, -1},
        {byId, L"EventSystem.EventClass", S_OK, -1},
        {std::wstring(L"SubscriptionID ") + SubscriptionId, L"EventSystem.EventSubscription", EVENT_E_QUERYSYNTAX, 15},
        {byId + L" AND", L"EventSystem.EventSubscription", EVENT_E_QUERYSYNTAX, static_cast<int>(byId.size()) + 1},
        {L"SubscriptionID == {not-a-guid}", L"EventSystem.EventSubscription", EVENT_E_QUERYSYNTAX, 18},
        {std::wstring(L"Colour == ") + SubscriptionId, L"EventSystem.EventSubscription", EVENT_E_QUERYFIELD, 0},
        {L"ALL", L"EventSystem.Nonsense", E_INVALIDARG, -1},
    };
    CComHolder<CLogonSink> sink(new CLogonSink);
    ASSERT_EQ(S_OK, Store(SubscriptionId, sink->Unknown()));
    for (const CASE& test : cases)
    {
        SCOPED_TRACE(testing::Message() << test.Query.c_str());
        int errorIndex = -1;
        EXPECT_EQ(test.Result, Remove(test.Query, &errorIndex, test.ProgID));
        if (test.ErrorIndex >= 0)
        {
            EXPECT_EQ(test.ErrorIndex, errorIndex);
        }
        EXPECT_TRUE(StoredSubscription(SubscriptionId));
    }
    EXPECT_EQ(S_OK, FireSensEvent(L"ISensLogon.Logon"));
    EXPECT_EQ(1u, sink->Calls().size());
}

TEST_F(EventSystemStandinTest, ScriptedErrorsAndUnknownProgIdsStoreAndRemoveNothing)
{
    CComHolder<CLogonSink> sink(new CLogonSink);
    ScriptStoreError(E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, Store(SubscriptionId, sink->Unknown()));
    ScriptStoreError(S_OK);
    EXPECT_EQ(E_INVALIDARG, Store(SubscriptionId, sink->Unknown(), L"EventSystem.EventClass"));
    EXPECT_EQ(E_INVALIDARG, Store(SubscriptionId, sink->Unknown(), L"Nonsense"));
    EXPECT_FALSE(StoredSubscription(SubscriptionId));
    EXPECT_EQ(EVENT_S_NOSUBSCRIBERS, FireSensEvent(L"ISensLogon.Logon"));

    ASSERT_EQ(S_OK, Store(SubscriptionId, sink->Unknown()));
    ScriptRemoveError(EVENT_E_NOT_ALL_REMOVED);
    EXPECT_EQ(EVENT_E_NOT_ALL_REMOVED, Remove(L"ALL"));
    EXPECT_TRUE(StoredSubscription(SubscriptionId));
}
