#pragma once

#include "identifiers/LogonEventSink.h"

#include <windows.h>

#include <eventsys.h>
#include <sensevts.h>

// Receives the logon and logoff events of the System Event Notification
// Service and passes them to the identity. It does no reference counting:
// its owner, the identity, deletes it after removing the subscription.
class CSensLogonEvents : public ISensLogon2, public ISensLogon
{
public:
    explicit CSensLogonEvents(ILogonEventSink& owner) : m_Owner(owner) {}
    virtual ~CSensLogonEvents() = default;
    CSensLogonEvents(const CSensLogonEvents&) = delete;
    CSensLogonEvents& operator=(const CSensLogonEvents&) = delete;

    // IUnknown
    HRESULT WINAPI QueryInterface(REFIID iid, void** object) override;
    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override { return 0; }

    // IDispatch: events are only ever delivered through the interfaces' own
    // methods.
    HRESULT WINAPI GetTypeInfoCount(UINT* count) override;
    HRESULT WINAPI GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT WINAPI GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    HRESULT WINAPI Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                          EXCEPINFO* exception, UINT* argumentError) override;

    // ISensLogon2
    HRESULT WINAPI Logon(BSTR userName, DWORD sessionId) override;
    HRESULT WINAPI Logoff(BSTR userName, DWORD sessionId) override;
    HRESULT WINAPI SessionDisconnect(BSTR userName, DWORD sessionId) override;
    HRESULT WINAPI SessionReconnect(BSTR userName, DWORD sessionId) override;
    HRESULT WINAPI PostShell(BSTR userName, DWORD sessionId) override;

    // ISensLogon, which names no session.
    HRESULT WINAPI Logon(BSTR userName) override;
    HRESULT WINAPI Logoff(BSTR userName) override;
    HRESULT WINAPI StartShell(BSTR userName) override;
    HRESULT WINAPI DisplayLock(BSTR userName) override;
    HRESULT WINAPI DisplayUnlock(BSTR userName) override;
    HRESULT WINAPI StartScreenSaver(BSTR userName) override;
    HRESULT WINAPI StopScreenSaver(BSTR userName) override;

private:
    ILogonEventSink& m_Owner;
};

// Subscribes the sink to the SENS logon events with the COM+ event system;
// each failure is logged and its result returned.
HRESULT SensRegisterLogon(CSensLogonEvents* sink);
// Removes the subscription that SensRegisterLogon stored.
HRESULT SensRemoveLogon();
