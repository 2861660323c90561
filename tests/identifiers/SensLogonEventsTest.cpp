#include "identifiers/SensLogonEvents.h"

#include "reporting/Identity.h"

#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace
{
const IID SensLogon = {0xD597BAB3, 0x5B9F, 0x11D1, {0x8D, 0xD2, 0x00, 0xAA, 0x00, 0x4A, 0xBD, 0x5E}};
const IID SensLogon2 = {0xD597BAB4, 0x5B9F, 0x11D1, {0x8D, 0xD2, 0x00, 0xAA, 0x00, 0x4A, 0xBD, 0x5E}};

class CRecordingIdentity : public CIdentity
{
public:
    CRecordingIdentity() : CIdentity(nullptr) {}
    void OnSensLogon() override { Calls.push_back(L"logon"); }
    void OnSensLogoff(DWORD sessionId) override { Calls.push_back(L"logoff " + std::to_wstring(sessionId)); }

    std::vector<std::wstring> Calls;
};

class SensLogonEventsTest : public testing::Test
{
protected:
    // The sink as an event source sees it: only through what QueryInterface hands out.
    template <typename T> T* Query(const IID& iid)
    {
        void* object = nullptr;
        EXPECT_EQ(m_Sink.QueryInterface(iid, &object), S_OK);
        return static_cast<T*>(object);
    }

    CRecordingIdentity m_Identity;
    CSensLogonEvents m_Sink{m_Identity};
    BSTR m_User = nullptr;
};

TEST_F(SensLogonEventsTest, QueryInterfaceHandsOutTheInterfaceAskedFor)
{
    void* object = &m_Sink;
    EXPECT_EQ(m_Sink.QueryInterface(IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(m_Sink.QueryInterface(IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_NE(static_cast<void*>(Query<ISensLogon>(SensLogon)), static_cast<void*>(Query<ISensLogon2>(SensLogon2)));
    EXPECT_NE(Query<IUnknown>(IID_IUnknown), nullptr);
    // No reference counting: the identity owns the sink.
    EXPECT_EQ(m_Sink.AddRef(), 1u);
    EXPECT_EQ(m_Sink.Release(), 0u);
    EXPECT_EQ(Query<ISensLogon2>(SensLogon2)->Invoke(1, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr), E_FAIL);
}

TEST_F(SensLogonEventsTest, EachInterfaceReachesItsOwnMethods)
{
    ISensLogon2* logon2 = Query<ISensLogon2>(SensLogon2);
    ISensLogon* logon = Query<ISensLogon>(SensLogon);
    struct
    {
        std::function<HRESULT()> Event;
        std::vector<std::wstring> Calls;
    } cases[] = {
        {[&] { return logon2->Logon(m_User, 3); }, {L"logon"}},
        {[&] { return logon2->Logoff(m_User, 3); }, {L"logoff 3"}},
        {[&] { return logon->Logon(m_User); }, {L"logon"}},
        {[&] { return logon->Logoff(m_User); }, {L"logoff 4294967295"}},
        {[&] { return logon2->SessionDisconnect(m_User, 3); }, {}},
        {[&] { return logon2->SessionReconnect(m_User, 3); }, {}},
        {[&] { return logon2->PostShell(m_User, 3); }, {}},
        {[&] { return logon->StartShell(m_User); }, {}},
        {[&] { return logon->DisplayLock(m_User); }, {}},
        {[&] { return logon->DisplayUnlock(m_User); }, {}},
        {[&] { return logon->StartScreenSaver(m_User); }, {}},
        {[&] { return logon->StopScreenSaver(m_User); }, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        m_Identity.Calls.clear();
        EXPECT_EQ(cases[i].Event(), S_OK) << i;
        EXPECT_EQ(m_Identity.Calls, cases[i].Calls) << i;
    }
}
} // namespace
