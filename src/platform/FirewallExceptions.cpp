#include "platform/FirewallExceptions.h"

#include "common/Format.h"
#include "platform/ComHolders.h"

#include <windows.h>

#include <netfw.h>
#include <vector>

namespace
{
// The classes by their identifiers, as the firewall registers them.
const CLSID ClsidNetFwMgr = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const IID IidNetFwMgr = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const CLSID ClsidNetFwOpenPort = {0x0CA545C6, 0x37AD, 0x4A6C, {0xBF, 0x92, 0x9F, 0x76, 0x10, 0x06, 0x7E, 0xF5}};
const IID IidNetFwOpenPort = {0xE0483BA0, 0x47FF, 0x4D9C, {0xA6, 0xD6, 0x77, 0x41, 0xD0, 0xB1, 0x95, 0xF7}};

struct FIREWALL_PORT
{
    LONG Port;
    NET_FW_IP_PROTOCOL Protocol;
};

const FIREWALL_PORT Ports[] = {{1305, NET_FW_IP_PROTOCOL_UDP}};

struct FIREWALL_PROFILE
{
    NET_FW_PROFILE_TYPE Type;
    const wchar_t* Name;
};

const FIREWALL_PROFILE Profiles[] = {
    {NET_FW_PROFILE_DOMAIN, L"Domain"}, {NET_FW_PROFILE_STANDARD, L"Standard"}, {NET_FW_PROFILE_CURRENT, L"Current"}};

const wchar_t* ProtocolName(NET_FW_IP_PROTOCOL protocol)
{
    return protocol == NET_FW_IP_PROTOCOL_TCP ? L"TCP" : L"UDP";
}

std::wstring OurPortName(const FIREWALL_PORT& port)
{
    return FormatString(L"Varnel User Agent (%s:%d)", ProtocolName(port.Protocol), (int)port.Port);
}

CComPtr<INetFwPolicy> LocalPolicy(std::wstring& text)
{
    CComPtr<INetFwMgr> manager;
    CComPtr<INetFwPolicy> policy;
    HRESULT result = CoCreateInstance(ClsidNetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IidNetFwMgr, manager.PutVoid());
    if (FAILED(result))
        text = FormatString(L"[!] Firewall Exceptions:CoCreateInstance failed: 0x%08lx", (unsigned long)result);
    else if (FAILED(result = manager->get_LocalPolicy(reinterpret_cast<INetFwPolicy**>(policy.PutVoid()))))
        text =
            FormatString(L"[!] Firewall Exceptions: Unable to obtain the local policy: 0x%08lx", (unsigned long)result);
    return policy;
}

// Our port in one profile's open ports, removed when it carries our name.
std::wstring RemoveOurPort(INetFwOpenPorts* openPorts, const FIREWALL_PORT& port, const wchar_t* profile)
{
    CComPtr<INetFwOpenPort> open;
    if (FAILED(openPorts->Item(port.Port, port.Protocol, reinterpret_cast<INetFwOpenPort**>(open.PutVoid()))) || !open)
        return std::wstring();
    CBstr name;
    std::wstring ours = OurPortName(port);
    if (FAILED(open->get_Name(name.Put())) || name.Text() != ours)
        return std::wstring();
    HRESULT result = openPorts->Remove(port.Port, port.Protocol);
    if (FAILED(result))
        return FormatString(L"[!] Firewall Exceptions: Error removing exception \"%s\" from the %s profile: 0x%08lx",
                            ours.c_str(), profile, (unsigned long)result);
    return FormatString(L"Firewall Exceptions: Removed exception \"%s\" from the %s profile", ours.c_str(), profile);
}

void RemoveFromProfile(INetFwPolicy* policy, const FIREWALL_PROFILE& profile, std::vector<std::wstring>& lines)
{
    CComPtr<INetFwProfile> fwProfile;
    CComPtr<INetFwOpenPorts> openPorts;
    if (FAILED(policy->GetProfileByType(profile.Type, reinterpret_cast<INetFwProfile**>(fwProfile.PutVoid()))) ||
        FAILED(fwProfile->get_GloballyOpenPorts(reinterpret_cast<INetFwOpenPorts**>(openPorts.PutVoid()))))
        return;
    for (const FIREWALL_PORT& port : Ports)
    {
        std::wstring line = RemoveOurPort(openPorts.Get(), port, profile.Name);
        if (!line.empty())
            lines.push_back(line);
    }
}

class CFirewallExceptions
{
public:
    std::wstring Add();

private:
    // Which ports the firewall does not allow yet; false when that is unknown.
    bool FindBlockedPorts(INetFwMgr* manager, std::vector<FIREWALL_PORT>& blocked);
    // False when the remaining profiles are not to be examined.
    bool OpenPortsInProfile(INetFwPolicy* policy, const FIREWALL_PROFILE& profile,
                            const std::vector<FIREWALL_PORT>& blocked);
    void AddPort(INetFwOpenPorts* openPorts, const FIREWALL_PORT& port);

    std::wstring m_Text;
};

std::wstring CFirewallExceptions::Add()
{
    CComApartment apartment;
    HRESULT result = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(result))
        return FormatString(L"[!] Error initializing COM: 0x%lx", (unsigned long)result);
    CComPtr<INetFwMgr> manager;
    result = CoCreateInstance(ClsidNetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IidNetFwMgr, manager.PutVoid());
    if (FAILED(result))
        return FormatString(L"[!] Firewall Exceptions:CoCreateInstance failed: 0x%08lx", (unsigned long)result);
    std::vector<FIREWALL_PORT> blocked;
    if (!FindBlockedPorts(manager.Get(), blocked) || blocked.empty())
        return m_Text;
    CComPtr<INetFwPolicy> policy;
    result = manager->get_LocalPolicy(reinterpret_cast<INetFwPolicy**>(policy.PutVoid()));
    if (FAILED(result))
        return FormatString(L"[!] Firewall Exceptions: Unable to obtain the local policy: 0x%08lx",
                            (unsigned long)result);
    for (const FIREWALL_PROFILE& profile : Profiles)
        if (!OpenPortsInProfile(policy.Get(), profile, blocked))
            break;
    return m_Text;
}

bool CFirewallExceptions::FindBlockedPorts(INetFwMgr* manager, std::vector<FIREWALL_PORT>& blocked)
{
    for (const FIREWALL_PORT& port : Ports)
    {
        VARIANT allowed;
        VARIANT restricted;
        VariantInit(&allowed);
        VariantInit(&restricted);
        HRESULT result = manager->IsPortAllowed(nullptr, NET_FW_IP_VERSION_V4, port.Port, nullptr, port.Protocol,
                                                &allowed, &restricted);
        bool isAllowed = SUCCEEDED(result) && V_VT(&allowed) == VT_BOOL && V_BOOL(&allowed) != VARIANT_FALSE;
        VariantClear(&allowed);
        VariantClear(&restricted);
        if (FAILED(result))
        {
            m_Text = FormatString(L"[!] Firewall Exceptions: Unable to determine if %s port %d is allowed: 0x%08lx",
                                  ProtocolName(port.Protocol), (int)port.Port, (unsigned long)result);
            return false;
        }
        if (!isAllowed)
            blocked.push_back(port);
    }
    return true;
}

bool CFirewallExceptions::OpenPortsInProfile(INetFwPolicy* policy, const FIREWALL_PROFILE& profile,
                                             const std::vector<FIREWALL_PORT>& blocked)
{
    CComPtr<INetFwProfile> fwProfile;
    HRESULT result = policy->GetProfileByType(profile.Type, reinterpret_cast<INetFwProfile**>(fwProfile.PutVoid()));
    if (FAILED(result))
    {
        // Without the current profile there is nothing after it to examine.
        if (profile.Type == NET_FW_PROFILE_CURRENT)
            return true;
        m_Text = FormatString(L"[!] Firewall Exceptions: Unable to obtain the %s profile: 0x%08lx", profile.Name,
                              (unsigned long)result);
        return false;
    }
    VARIANT_BOOL enabled = VARIANT_FALSE;
    result = fwProfile->get_FirewallEnabled(&enabled);
    if (FAILED(result))
    {
        m_Text = FormatString(
            L"[!] Firewall Exceptions: Unable to determine if the firewall is enabled in the %s profile: 0x%08lx",
            profile.Name, (unsigned long)result);
        return false;
    }
    if (enabled == VARIANT_FALSE)
    {
        m_Text = FormatString(L"[!] Firewall Exceptions: The firewall is NOT enabled in the %s profile", profile.Name);
        return true;
    }
    CComPtr<INetFwOpenPorts> openPorts;
    result = fwProfile->get_GloballyOpenPorts(reinterpret_cast<INetFwOpenPorts**>(openPorts.PutVoid()));
    if (FAILED(result))
    {
        // Said, so that a profile left without the port is not a silent one.
        m_Text = FormatString(L"[!] Firewall Exceptions: Unable to obtain the open ports of the %s profile: 0x%08lx",
                              profile.Name, (unsigned long)result);
        return true;
    }
    for (const FIREWALL_PORT& port : blocked)
        AddPort(openPorts.Get(), port);
    return true;
}

void CFirewallExceptions::AddPort(INetFwOpenPorts* openPorts, const FIREWALL_PORT& port)
{
    std::wstring name = OurPortName(port);
    CComPtr<INetFwOpenPort> openPort;
    HRESULT result =
        CoCreateInstance(ClsidNetFwOpenPort, nullptr, CLSCTX_INPROC_SERVER, IidNetFwOpenPort, openPort.PutVoid());
    if (FAILED(result))
    {
        m_Text = FormatString(L"[!] Firewall Exceptions: Unable to create the open port \"%s\": 0x%08lx", name.c_str(),
                              (unsigned long)result);
        return;
    }
    result = openPort->put_Port(port.Port);
    if (SUCCEEDED(result))
        result = openPort->put_Protocol(port.Protocol);
    if (SUCCEEDED(result))
    {
        CBstr bstrName(name);
        result = openPort->put_Name(bstrName.Get());
    }
    if (SUCCEEDED(result))
        result = openPorts->Add(openPort.Get());
    if (SUCCEEDED(result))
        m_Text = FormatString(L"[!] Firewall Exceptions: Added exception \"%s\" to the firewall", name.c_str());
    else
        m_Text = FormatString(L"[!] Firewall Exceptions: Error adding exception \"%s\" to the firewall: 0x%08lx",
                              name.c_str(), (unsigned long)result);
}
} // namespace

std::wstring AddFirewallExceptions()
{
    try
    {
        return CFirewallExceptions().Add();
    }
    catch (...)
    {
        // Only the name's allocation can throw; the start-up goes on without it.
        return L"[!] Firewall Exceptions: Out of memory";
    }
}

std::vector<std::wstring> RemoveFirewallExceptions()
{
    try
    {
        CComApartment apartment;
        std::wstring failure;
        CComPtr<INetFwPolicy> policy = LocalPolicy(failure);
        if (!policy)
            return {failure};
        std::vector<std::wstring> lines;
        // The current profile is one of these two.
        for (const FIREWALL_PROFILE& profile : Profiles)
            if (profile.Type != NET_FW_PROFILE_CURRENT)
                RemoveFromProfile(policy.Get(), profile, lines);
        return lines;
    }
    catch (...)
    {
        return {L"[!] Firewall Exceptions: Out of memory"};
    }
}
