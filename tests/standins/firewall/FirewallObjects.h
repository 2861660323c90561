#pragma once

#include "eventsystem/ComObject.h"

#include <windows.h>

#include <netfw.h>
#include <string>

// The Windows Firewall's manager, policy, profile and open-port objects over
// the state in the registry (FirewallState.h). What a client of the firewall's
// exceptions does not use answers E_NOTIMPL.
namespace FirewallIds
{
const CLSID ManagerClass = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const CLSID OpenPortClass = {0x0CA545C6, 0x37AD, 0x4A6C, {0xBF, 0x92, 0x9F, 0x76, 0x10, 0x06, 0x7E, 0xF5}};
const IID Manager = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const IID Policy = {0xD46D2478, 0x9AC9, 0x4008, {0x9D, 0xC7, 0x55, 0x63, 0xCE, 0x55, 0x36, 0xCC}};
const IID Profile = {0x174A0DDA, 0xE9F9, 0x449D, {0x99, 0x3B, 0x21, 0xAB, 0x66, 0x7C, 0xA4, 0x56}};
const IID OpenPorts = {0xC0E9D7FA, 0xE07E, 0x430A, {0xB1, 0x9A, 0x09, 0x0C, 0xE8, 0x2D, 0x92, 0xE2}};
const IID OpenPort = {0xE0483BA0, 0x47FF, 0x4D9C, {0xA6, 0xD6, 0x77, 0x41, 0xD0, 0xB1, 0x95, 0xF7}};
} // namespace FirewallIds

class CFwManager : public CComObject<INetFwMgr>
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOwn(iid, FirewallIds::Manager, object);
    }
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** policy) override;
    HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE RestoreDefaults() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR image, NET_FW_IP_VERSION version, LONG port, BSTR localAddress,
                                            NET_FW_IP_PROTOCOL protocol, VARIANT* allowed,
                                            VARIANT* restricted) override;
    HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*) override
    {
        return E_NOTIMPL;
    }
};

class CFwPolicy : public CComObject<INetFwPolicy>
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOwn(iid, FirewallIds::Policy, object);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** profile) override
    {
        return GetProfileByType(NET_FW_PROFILE_CURRENT, profile);
    }
    HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE type, INetFwProfile** profile) override;
};

// A profile as asked for: the current profile's scripted failures are its
// own, its state is that of the profile in force.
class CFwProfile : public CComObject<INetFwProfile>
{
public:
    explicit CFwProfile(NET_FW_PROFILE_TYPE type) : m_Type(type) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOwn(iid, FirewallIds::Profile, object);
    }
    HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL* enabled) override;
    HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL enabled) override;
    HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts** openPorts) override;
    HRESULT STDMETHODCALLTYPE get_Services(INetFwServices**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications**) override { return E_NOTIMPL; }

private:
    NET_FW_PROFILE_TYPE m_Type;
};

class CFwOpenPorts : public CComObject<INetFwOpenPorts>
{
public:
    explicit CFwOpenPorts(NET_FW_PROFILE_TYPE type) : m_Type(type) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOwn(iid, FirewallIds::OpenPorts, object);
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override;
    HRESULT STDMETHODCALLTYPE Add(INetFwOpenPort* port) override;
    HRESULT STDMETHODCALLTYPE Remove(LONG port, NET_FW_IP_PROTOCOL protocol) override;
    HRESULT STDMETHODCALLTYPE Item(LONG port, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** item) override;
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

private:
    NET_FW_PROFILE_TYPE m_Type;
};

// A port's settings: one not yet added, or a copy of an open one.
class CFwOpenPort : public CComObject<INetFwOpenPort>
{
public:
    CFwOpenPort() = default;
    CFwOpenPort(LONG port, NET_FW_IP_PROTOCOL protocol, std::wstring name)
        : m_Name(std::move(name)), m_Protocol(protocol), m_Port(port)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOwn(iid, FirewallIds::OpenPort, object);
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override;
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Protocol(NET_FW_IP_PROTOCOL* protocol) override;
    HRESULT STDMETHODCALLTYPE put_Protocol(NET_FW_IP_PROTOCOL protocol) override;
    HRESULT STDMETHODCALLTYPE get_Port(LONG* port) override;
    HRESULT STDMETHODCALLTYPE put_Port(LONG port) override;
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_BuiltIn(VARIANT_BOOL*) override { return E_NOTIMPL; }

private:
    std::wstring m_Name;
    // A port object starts as TCP, as the firewall's own does.
    NET_FW_IP_PROTOCOL m_Protocol = NET_FW_IP_PROTOCOL_TCP;
    LONG m_Port = 0;
};
