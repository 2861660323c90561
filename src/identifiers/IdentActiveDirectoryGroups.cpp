// The user's groups from the access token and, where the directory cannot be
// reached the Active Directory way, from the domain controller.
#include "common/Format.h"
#include "common/NetApiBuffer.h"
#include "common/StringConvert.h"
#include "common/ThreadDeadline.h"
#include "common/UniqueResource.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/DirectoryGroups.h"
#include "identifiers/IdentActiveDirectory.h"
#include "identifiers/NameTranslation.h"
#include "identity/DistinguishedName.h"

#include <algorithm>
#include <cwctype>
#include <iads.h>
#include <lm.h>
#include <sddl.h>
#include <vector>

namespace
{

// The token's groups, or nothing when they cannot be read.
std::vector<BYTE> ReadTokenGroups(HANDLE token)
{
    DWORD size = 0;
    if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), size, &size))
        return {};
    return buffer;
}

std::wstring SidText(PSID sid)
{
    CLocalMemory text;
    if (!ConvertSidToStringSidW(sid, reinterpret_cast<LPWSTR*>(text.Put())))
        throw CException(static_cast<DWORD>(E_FAIL),
                         L"[!] CIdentActiveDirectory::GetSecurityGroups: Failed to convert group SID to string");
    return static_cast<const wchar_t*>(text.Get());
}

} // namespace

void CIdentActiveDirectory::GetSecurityGroups(USER_IDENTITY& user)
{
    if (!Token())
        return;
    std::vector<BYTE> buffer = ReadTokenGroups(Token());
    if (buffer.empty())
        return;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    bool translated = false;
    std::wstring errors;
    for (DWORD i = 0; i < groups->GroupCount; ++i)
    {
        // One round trip to the global catalog per group: a slow one must
        // not hold the identification for each of them.
        if (CThreadDeadline::Passed())
        {
            LogPrintf(LOG_ERROR,
                      L"[!] CIdentActiveDirectory::GetSecurityGroups: The identification's time has run out; %lu of "
                      L"the token's groups not translated.",
                      (unsigned long)(groups->GroupCount - i));
            break;
        }
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (!IsValidSid(group.Sid))
            continue;
        std::wstring sid = SidText(group.Sid);
        if (IsSkippedTokenGroup(sid, group.Attributes))
            continue;
        std::wstring dn;
        HRESULT result = TranslateToDN(sid, ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, dn);
        if (SUCCEEDED(result))
        {
            AddGroup(user, USER_GROUP{GetCommonName(dn), dn});
            translated = true;
            continue;
        }
        if (errors.empty())
            errors = L"[!] CIdentActiveDirectory::GetSecurityGroups: Unable to translate group SID(s) ... \r\n";
        errors += FormatString(L"    %s; Error=0x%lx\r\n", sid.c_str(), (unsigned long)(result & 0xFFFF));
    }
    // One entry for the lot; the log ends the entry's last line itself.
    if (!translated && !errors.empty())
        LogMessage(errors.substr(0, errors.size() - 2).c_str());
    if (!user.Groups.empty())
        user.Flags |= USER_GROUPS_VALID;
}

bool CIdentActiveDirectory::LookupNTLegacyGroups(USER_IDENTITY& user)
{
    CNetApiBuffer controllerBuffer;
    NET_API_STATUS status =
        NetGetDCName(nullptr, user.Domain.c_str(), reinterpret_cast<LPBYTE*>(controllerBuffer.Put()));
    if (status != NERR_Success)
    {
        LogPrintf(LOG_ERROR, L"[!] CIdentActiveDirectory::LookupNTLegacyGroups; DC Lookup Error: 0x%lx",
                  (unsigned long)status);
        return false;
    }
    const auto* controllerName = static_cast<const wchar_t*>(controllerBuffer.Get());
    std::wstring controller = LowerCase(controllerName ? controllerName : L"");
    LogPrintf(LOG_INFO, L"[*] CIdentActiveDirectory::LookupNTLegacyGroups; DC Lookup (%s): %s", user.Domain.c_str(),
              controller.c_str());

    CNetApiBuffer groupsBuffer;
    DWORD read = 0;
    DWORD total = 0;
    status = NetUserGetGroups(controller.c_str(), user.Name.c_str(), 0, reinterpret_cast<LPBYTE*>(groupsBuffer.Put()),
                              MAX_PREFERRED_LENGTH, &read, &total);
    if (status != NERR_Success)
    {
        LogPrintf(LOG_ERROR, L"[!] CIdentActiveDirectory::LookupNTLegacyGroups; Group Lookup Error: 0x%lx (%s, %s)",
                  (unsigned long)status, controller.c_str(), user.Name.c_str());
        return false;
    }
    const auto* entries = static_cast<const GROUP_USERS_INFO_0*>(groupsBuffer.Get());
    std::wstring list;
    for (DWORD i = 0; entries && i < read; ++i)
    {
        const wchar_t* name = entries[i].grui0_name ? entries[i].grui0_name : L"";
        user.Groups.push_back(USER_GROUP{LowerCase(name), std::wstring()});
        list += name;
        list += L", ";
    }
    LogPrintf(LOG_INFO, L"[*] CIdentActiveDirectory::LookupNTLegacyGroups; Group Lookup (%s\\%s): %s",
              user.Domain.c_str(), user.Name.c_str(), list.c_str());
    user.Flags |= USER_GROUPS_VALID;
    return true;
}
