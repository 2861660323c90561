#include "common/Format.h"
#include "diag/Exception.h"
#include "platform/RegKey.h"
#include "reporting/Identity.h"

namespace
{
// Each string followed by its terminator, then one more terminator; a list
// with no strings is a lone terminator.
std::wstring MultiString(const std::vector<USER_GROUP>& groups, std::wstring USER_GROUP::*field)
{
    std::wstring data;
    for (const auto& group : groups)
    {
        data += group.*field;
        data += L'\0';
    }
    data += L'\0';
    return data;
}

void WriteMultiString(const CRegKey& key, const wchar_t* name, const std::wstring& data)
{
    RegSetValueExW(key.Get(), name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}
} // namespace

// Individual value writes are not checked: a value that cannot be written
// must not keep the others from being written.
void CIdentity::RegLogIdent(const COMPUTER_IDENTITY* computer, const USER_IDENTITY* user)
{
    CRegKey key;
    LONG result = key.Create(m_CurrentUserKey.c_str(), KEY_WRITE);
    if (result != ERROR_SUCCESS)
        throw CException(static_cast<DWORD>(result),
                         FormatString(L"[!] CIdentity::RegLogIdent: Failed to open identity subkey; LastError=0x%lx",
                                      static_cast<unsigned long>(result)));
    if (computer)
    {
        key.WriteString(L"Computer Name", computer->Name);
        key.WriteString(L"Computer Domain", computer->Domain);
        key.WriteString(L"Computer DN", computer->DN);
        key.WriteString(L"Computer OU", computer->OU);
    }
    if (user)
    {
        key.WriteString(L"User Name", user->Name);
        key.WriteString(L"User Domain", user->Domain);
        key.WriteString(L"User DN", user->DN);
        key.WriteString(L"User OU", user->OU);
        WriteMultiString(key, L"User Group DNs", MultiString(user->Groups, &USER_GROUP::DN));
        WriteMultiString(key, L"User Group Names", MultiString(user->Groups, &USER_GROUP::Name));
    }
}
