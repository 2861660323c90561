#include "identifiers/IdentActiveDirectory.h"

#include "common/Format.h"
#include "config/Options.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/DirectoryGroups.h"
#include "identifiers/NameTranslation.h"
#include "identity/DistinguishedName.h"
#include "platform/ComHolders.h"

#include <activeds.h>
#include <cwchar>
#include <iads.h>

namespace
{
constexpr DWORD ERROR_NO_SUCH_DOMAIN_CODE = 1355;

DWORD LowWord(HRESULT result) { return static_cast<DWORD>(result) & 0xFFFF; }

bool NestedGroupsWanted()
{
    const COptions* options = TheOptions();
    return !options || !options->Values().NoNestedGroups;
}
} // namespace

int32_t CIdentActiveDirectory::IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                                            bool wtsReady)
{
    int32_t result = CIdentifier::IdentifyUser(sessionId, user, computer, wtsReady);
    if (result != IDENTIFY_OK)
        return result;
    // No domain, or an account of this computer: nothing to look up.
    if (user.Domain.empty() || _wcsicmp(user.Domain.c_str(), computer.Name.c_str()) == 0)
        return IDENTIFY_OK;
    LookUpDirectory(sessionId, user);
    return IDENTIFY_OK;
}

// The directory is asked with the user's own credentials, so everything in
// between runs impersonated; an exception reverts on its way out.
void CIdentActiveDirectory::LookUpDirectory(DWORD sessionId, USER_IDENTITY& user)
{
    CComApartment apartment;
    CImpersonation impersonation(*this, sessionId);
    GetUserDN(user);
    try
    {
        LookupGroups(user);
    }
    catch (const CException& exception)
    {
        LogPrintf(LOG_ERROR, L"[!] CIdentActiveDirectory::IdentifyUser: Failed to get user groups; %s",
                  exception.Message.c_str());
    }
    if (!impersonation.Revert())
    {
        DWORD error = GetLastError();
        throw CException(
            error,
            FormatString(
                L"[!] CIdentActiveDirectory::IdentifyUser: Failed to revert from impersonation. %s. Error code = %ld.",
                CErrorText(error).Text(), (long)error));
    }
}

int32_t CIdentActiveDirectory::IdentifyUserOnly(DWORD /*sessionId*/, USER_IDENTITY& /*user*/, bool /*wtsReady*/)
{
    return IDENTIFY_NOT_POSSIBLE;
}

int32_t CIdentActiveDirectory::GetComputerName(COMPUTER_IDENTITY& computer)
{
    int32_t result = CIdentifier::GetComputerName(computer);
    if (result != 0)
        return result;
    if (!computer.Name.empty() && !computer.Domain.empty())
        GetComputerDN(computer);
    return 0;
}

void CIdentActiveDirectory::GetUserDN(USER_IDENTITY& user)
{
    if (user.Name.empty() || user.Domain.empty())
        return;
    std::wstring account = user.Domain + L"\\" + user.Name;
    std::wstring dn;
    HRESULT result = TranslateToDN(account, ADS_NAME_TYPE_NT4, dn);
    if (SUCCEEDED(result))
    {
        user.DN = dn;
        user.OU = GetOUPath(dn);
        user.Flags |= USER_DN_VALID;
    }
    else if (LowWord(result) == ERROR_NO_SUCH_DOMAIN_CODE)
    {
        LogPrintf(LOG_IDENTITY, L"[IDENT] Failed to get DN for user %s; (ERROR_NO_SUCH_DOMAIN)", account.c_str());
        LogMessage(L"[IDENT] An attempt to utilize legacy NT group lookups may be attempted for OpenLDAP (native NT) "
                   L"compatibility.");
    }
    else
        LogPrintf(LOG_IDENTITY, L"[IDENT] Failed to get DN for user %s; Error=%lu", account.c_str(),
                  (unsigned long)LowWord(result));
}

void CIdentActiveDirectory::GetComputerDN(COMPUTER_IDENTITY& computer)
{
    if (computer.Name.empty() || computer.Domain.empty())
        return;
    CComApartment apartment;
    std::wstring dn;
    HRESULT result = TranslateToDN(computer.Domain + L"\\" + computer.Name + L"$", ADS_NAME_TYPE_NT4, dn);
    if (SUCCEEDED(result))
    {
        computer.DN = dn;
        computer.OU = GetOUPath(dn);
        computer.Flags |= COMPUTER_DN_VALID;
    }
    else if (LowWord(result) != ERROR_NO_SUCH_DOMAIN_CODE)
        LogPrintf(LOG_ERROR,
                  L"[!] CIdentActiveDirectory::GetComputerDN: Failed to convert user name to AD name. %s. Error code = "
                  L"0X%lx.",
                  CErrorText(result).Text(), (unsigned long)result);
}

void CIdentActiveDirectory::LookupGroups(USER_IDENTITY& user)
{
    std::wstring path = L"LDAP://" + EscapeSlashes(user.DN);
    if (NestedGroupsWanted())
        GetSecurityGroups(user);

    CComPtr<IADs> object;
    HRESULT result = ADsGetObject(path.c_str(), IID_IADs, object.PutVoid());
    if (FAILED(result))
    {
        if (LookupNTLegacyGroups(user))
            return;
        throw CException(static_cast<DWORD>(result),
                         FormatString(L"[!] CIdentActiveDirectory::LookupGroups: Failed to get IADs object for user "
                                      L"DN; Path=%s, HRESULT=0x%lx",
                                      path.c_str(), (unsigned long)result));
    }
    CBstr property(L"memberOf");
    CVariant groups;
    result = object->Get(property.Get(), groups.Get());
    if (result == E_ADS_PROPERTY_NOT_FOUND)
        return;
    if (FAILED(result))
        throw CException(static_cast<DWORD>(result),
                         FormatString(L"[!] CIdentActiveDirectory::LookupGroups: Failed to get \"memberOf\" property "
                                      L"for user IADs object; HRESULT=0x%lx",
                                      (unsigned long)result));
    AddMemberOfGroups(user, groups.Value());
    user.Flags |= USER_GROUPS_VALID;
}
