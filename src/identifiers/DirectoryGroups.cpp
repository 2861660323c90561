#include "identifiers/DirectoryGroups.h"

#include "common/Format.h"
#include "diag/Exception.h"
#include "identity/DistinguishedName.h"
#include "platform/ComHolders.h"

#include <cwchar>

namespace
{
const wchar_t* const EveryUsersGroups[] = {L"S-1-1-0", L"S-1-2-0", L"S-1-5-4", L"S-1-5-11"};

CException ArrayError(const wchar_t* what, HRESULT result)
{
    return CException(static_cast<DWORD>(result),
                      FormatString(L"[!] CIdentActiveDirectory::LookupGroups: Failed to %s for groups array; "
                                   L"HRESULT=0x%lx",
                                   what, (unsigned long)result));
}

void AddGroupDN(USER_IDENTITY& user, const wchar_t* dn) { AddGroup(user, USER_GROUP{GetCommonName(dn), dn}); }

void AddArrayGroups(USER_IDENTITY& user, SAFEARRAY* groups)
{
    LONG lower = 0;
    LONG upper = -1;
    HRESULT result = SafeArrayGetLBound(groups, 1, &lower);
    if (FAILED(result))
        throw ArrayError(L"get lower array bounds", result);
    result = SafeArrayGetUBound(groups, 1, &upper);
    if (FAILED(result))
        throw ArrayError(L"get upper array bounds", result);
    for (LONG index = lower; index <= upper; ++index)
    {
        CVariant element;
        result = SafeArrayGetElement(groups, &index, element.Get());
        if (FAILED(result))
            throw ArrayError(L"access array element", result);
        if (element.Value().vt == VT_BSTR && element.Value().bstrVal)
            AddGroupDN(user, element.Value().bstrVal);
    }
}
} // namespace

void AddGroup(USER_IDENTITY& user, USER_GROUP group)
{
    for (const USER_GROUP& listed : user.Groups)
        if (_wcsicmp(listed.DN.c_str(), group.DN.c_str()) == 0)
            return;
    user.Groups.push_back(std::move(group));
}

bool IsSkippedTokenGroup(const std::wstring& sid, DWORD attributes)
{
    if ((attributes & SE_GROUP_RESOURCE) || (attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID)
        return true;
    for (const wchar_t* common : EveryUsersGroups)
        if (sid == common)
            return true;
    return sid.find(L"S-1-5-32-") != std::wstring::npos;
}

std::wstring EscapeSlashes(const std::wstring& dn)
{
    std::wstring escaped;
    for (wchar_t c : dn)
    {
        if (c == L'/')
            escaped += L'\\';
        escaped += c;
    }
    return escaped;
}

void AddMemberOfGroups(USER_IDENTITY& user, const VARIANT& memberOf)
{
    if (memberOf.vt == VT_BSTR)
        AddGroupDN(user, memberOf.bstrVal ? memberOf.bstrVal : L"");
    else if (memberOf.vt == (VT_ARRAY | VT_VARIANT))
        AddArrayGroups(user, memberOf.parray);
    else
        throw CException(0,
                         FormatString(L"[!] CIdentActiveDirectory::LookupGroups: Unhandled groups variant type 0x%lx",
                                      (unsigned long)memberOf.vt));
}
