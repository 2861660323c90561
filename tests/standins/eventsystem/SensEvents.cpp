#include "eventsystem/SensEvents.h"

#include "eventsystem/EventSystemGuids.h"

#include <sensevts.h>

namespace
{
using EventSystemGuids::SensLogon2Interface;
using EventSystemGuids::SensLogonInterface;

// The method of ISensLogon (ISensLogon2) a call stands for.
template <HRESULT (STDMETHODCALLTYPE ISensLogon::*Method)(BSTR)>
HRESULT CallLogon(IUnknown* target, BSTR userName, DWORD)
{
    return (static_cast<ISensLogon*>(target)->*Method)(userName);
}

template <HRESULT (STDMETHODCALLTYPE ISensLogon2::*Method)(BSTR, DWORD)>
HRESULT CallLogon2(IUnknown* target, BSTR userName, DWORD sessionId)
{
    return (static_cast<ISensLogon2*>(target)->*Method)(userName, sessionId);
}

const SENS_EVENT Events[] = {
    {L"ISensLogon2.Logon", &SensLogon2Interface, L"Logon", CallLogon2<&ISensLogon2::Logon>},
    {L"ISensLogon2.Logoff", &SensLogon2Interface, L"Logoff", CallLogon2<&ISensLogon2::Logoff>},
    {L"ISensLogon2.SessionDisconnect", &SensLogon2Interface, L"SessionDisconnect",
     CallLogon2<&ISensLogon2::SessionDisconnect>},
    {L"ISensLogon2.SessionReconnect", &SensLogon2Interface, L"SessionReconnect",
     CallLogon2<&ISensLogon2::SessionReconnect>},
    {L"ISensLogon2.PostShell", &SensLogon2Interface, L"PostShell", CallLogon2<&ISensLogon2::PostShell>},
    {L"ISensLogon.Logon", &SensLogonInterface, L"Logon", CallLogon<&ISensLogon::Logon>},
    {L"ISensLogon.Logoff", &SensLogonInterface, L"Logoff", CallLogon<&ISensLogon::Logoff>},
    {L"ISensLogon.StartShell", &SensLogonInterface, L"StartShell", CallLogon<&ISensLogon::StartShell>},
    {L"ISensLogon.DisplayLock", &SensLogonInterface, L"DisplayLock", CallLogon<&ISensLogon::DisplayLock>},
    {L"ISensLogon.DisplayUnlock", &SensLogonInterface, L"DisplayUnlock", CallLogon<&ISensLogon::DisplayUnlock>},
    {L"ISensLogon.StartScreenSaver", &SensLogonInterface, L"StartScreenSaver",
     CallLogon<&ISensLogon::StartScreenSaver>},
    {L"ISensLogon.StopScreenSaver", &SensLogonInterface, L"StopScreenSaver", CallLogon<&ISensLogon::StopScreenSaver>},
    {L"IDispatch", &IID_IDispatch, nullptr, nullptr},
};
} // namespace

const SENS_EVENT* FindSensEvent(const std::wstring& name)
{
    for (const SENS_EVENT& event : Events)
        if (name == event.Name)
            return &event;
    return nullptr;
}
