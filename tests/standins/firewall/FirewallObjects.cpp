#include "firewall/FirewallObjects.h"

#include "eventsystem/ComHolders.h"
#include "firewall/FirewallState.h"

#include <new>

namespace
{
std::wstring ProfileCall(const wchar_t* call, NET_FW_PROFILE_TYPE type)
{
    return std::wstring(call) + L"." + FirewallState::ProfileName(type);
}

// Hands out a new object's only reference, or fails for want of memory.
template <typename Object, typename Interface> HRESULT HandOut(Object* created, Interface** out)
{
    if (!created)
        return E_OUTOFMEMORY;
    *out = created;
    return S_OK;
}

HRESULT SetBool(VARIANT* variant, bool value)
{
    if (!variant)
        return E_POINTER;
    VariantInit(variant);
    V_VT(variant) = VT_BOOL;
    V_BOOL(variant) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
} // namespace

HRESULT CFwManager::get_LocalPolicy(INetFwPolicy** policy)
{
    if (!policy)
        return E_POINTER;
    *policy = nullptr;
    if (HRESULT error = FirewallState::ScriptedError(L"LocalPolicy"))
        return error;
    return HandOut(new (std::nothrow) CFwPolicy, policy);
}

HRESULT CFwManager::get_CurrentProfileType(NET_FW_PROFILE_TYPE* type)
{
    if (!type)
        return E_POINTER;
    *type = FirewallState::Resolve(NET_FW_PROFILE_CURRENT);
    return S_OK;
}

// Allowed in the profile in force: with the firewall off there, or with the
// port open there.
HRESULT CFwManager::IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG port, BSTR, NET_FW_IP_PROTOCOL protocol,
                                  VARIANT* allowed, VARIANT* restricted)
{
    if (!allowed || !restricted)
        return E_POINTER;
    if (HRESULT error = FirewallState::ScriptedError(L"IsPortAllowed"))
        return error;
    NET_FW_PROFILE_TYPE current = FirewallState::Resolve(NET_FW_PROFILE_CURRENT);
    SetBool(allowed, !FirewallState::Enabled(current) || FirewallState::PortOpen(current, port, protocol));
    return SetBool(restricted, false);
}

HRESULT CFwPolicy::GetProfileByType(NET_FW_PROFILE_TYPE type, INetFwProfile** profile)
{
    if (!profile)
        return E_POINTER;
    *profile = nullptr;
    if (type != NET_FW_PROFILE_DOMAIN && type != NET_FW_PROFILE_STANDARD && type != NET_FW_PROFILE_CURRENT)
        return E_INVALIDARG;
    if (HRESULT error = FirewallState::ScriptedError(ProfileCall(L"Profile", type)))
        return error;
    return HandOut(new (std::nothrow) CFwProfile(type), profile);
}

HRESULT CFwProfile::get_Type(NET_FW_PROFILE_TYPE* type)
{
    if (!type)
        return E_POINTER;
    *type = FirewallState::Resolve(m_Type);
    return S_OK;
}

HRESULT CFwProfile::get_FirewallEnabled(VARIANT_BOOL* enabled)
{
    if (!enabled)
        return E_POINTER;
    if (HRESULT error = FirewallState::ScriptedError(ProfileCall(L"FirewallEnabled", m_Type)))
        return error;
    *enabled = FirewallState::Enabled(m_Type) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CFwProfile::put_FirewallEnabled(VARIANT_BOOL enabled)
{
    return FirewallState::SetEnabled(m_Type, enabled != VARIANT_FALSE) ? S_OK : E_ACCESSDENIED;
}

HRESULT CFwProfile::get_GloballyOpenPorts(INetFwOpenPorts** openPorts)
{
    if (!openPorts)
        return E_POINTER;
    *openPorts = nullptr;
    if (HRESULT error = FirewallState::ScriptedError(ProfileCall(L"OpenPorts", m_Type)))
        return error;
    return HandOut(new (std::nothrow) CFwOpenPorts(m_Type), openPorts);
}

HRESULT CFwOpenPorts::get_Count(LONG* count)
{
    if (!count)
        return E_POINTER;
    *count = FirewallState::PortCount(m_Type);
    return S_OK;
}

HRESULT CFwOpenPorts::Add(INetFwOpenPort* port)
{
    if (!port)
        return E_INVALIDARG;
    if (HRESULT error = FirewallState::ScriptedError(ProfileCall(L"Add", m_Type)))
        return error;
    LONG number = 0;
    NET_FW_IP_PROTOCOL protocol = NET_FW_IP_PROTOCOL_TCP;
    BSTR name = nullptr;
    if (FAILED(port->get_Port(&number)) || FAILED(port->get_Protocol(&protocol)) || FAILED(port->get_Name(&name)))
        return E_INVALIDARG;
    std::wstring text(name ? name : L"", name ? SysStringLen(name) : 0);
    SysFreeString(name);
    if (number < 1 || number > 65535 || text.empty())
        return E_INVALIDARG;
    return FirewallState::OpenPort(m_Type, number, protocol, text);
}

// As the firewall's own: no such port is ERROR_FILE_NOT_FOUND.
HRESULT CFwOpenPorts::Item(LONG port, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** item)
{
    if (!item)
        return E_POINTER;
    *item = nullptr;
    std::wstring name;
    if (!FirewallState::PortName(m_Type, port, protocol, name))
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return HandOut(new (std::nothrow) CFwOpenPort(port, protocol, name), item);
}

// Closing a port that is not open has no effect.
HRESULT CFwOpenPorts::Remove(LONG port, NET_FW_IP_PROTOCOL protocol)
{
    return FirewallState::ClosePort(m_Type, port, protocol);
}

HRESULT CFwOpenPort::get_Name(BSTR* name)
{
    if (!name)
        return E_POINTER;
    *name = SysAllocStringLen(m_Name.data(), static_cast<UINT>(m_Name.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFwOpenPort::put_Name(BSTR name)
{
    if (!name || SysStringLen(name) == 0)
        return E_INVALIDARG;
    m_Name.assign(name, SysStringLen(name));
    return S_OK;
}

HRESULT CFwOpenPort::get_Protocol(NET_FW_IP_PROTOCOL* protocol)
{
    if (!protocol)
        return E_POINTER;
    *protocol = m_Protocol;
    return S_OK;
}

HRESULT CFwOpenPort::put_Protocol(NET_FW_IP_PROTOCOL protocol)
{
    if (protocol != NET_FW_IP_PROTOCOL_TCP && protocol != NET_FW_IP_PROTOCOL_UDP)
        return E_INVALIDARG;
    m_Protocol = protocol;
    return S_OK;
}

HRESULT CFwOpenPort::get_Port(LONG* port)
{
    if (!port)
        return E_POINTER;
    *port = m_Port;
    return S_OK;
}

HRESULT CFwOpenPort::put_Port(LONG port)
{
    if (port < 1 || port > 65535)
        return E_INVALIDARG;
    m_Port = port;
    return S_OK;
}
