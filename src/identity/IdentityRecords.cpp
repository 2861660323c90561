#include "identity/IdentityRecords.h"

#include "common/StringSplit.h"

#include <cwchar>

AGENT_VERSION AgentVersionFrom(const std::wstring& fileVersion)
{
    AGENT_VERSION version;
    version.Flags = AGENT_VERSION_VALID;
    version.Kind = 16;
    std::vector<std::wstring> parts = SplitString(fileVersion, L'.');
    if (parts.size() < 3)
        return version;
    version.Major = static_cast<uint8_t>(wcstoul(parts[0].c_str(), nullptr, 10));
    version.Minor = static_cast<uint8_t>(wcstoul(parts[1].c_str(), nullptr, 10));
    version.Build = static_cast<uint8_t>(wcstoul(parts[2].c_str(), nullptr, 10));
    version.Packed = (uint32_t(version.Major) << 20) | (uint32_t(version.Minor) << 10) | version.Build;
    return version;
}

uint8_t OSCodeFor(DWORD major, DWORD minor, BYTE productType)
{
    bool workstation = productType == VER_NT_WORKSTATION;
    switch (major * 10 + minor)
    {
    case 51:
        return 1;
    case 52:
        return 2;
    case 60:
        return workstation ? 4 : 5;
    case 61:
        return workstation ? 7 : 6;
    case 62:
        return workstation ? 8 : 0;
    default:
        return 0;
    }
}
