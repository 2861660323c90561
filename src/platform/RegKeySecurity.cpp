#include "platform/RegKeySecurity.h"

#include "common/UniqueResource.h"

#include <aclapi.h>
#include <sddl.h>

namespace
{
// Protected DACL: SYSTEM and BUILTIN\Administrators, KEY_ALL_ACCESS, inherited
// by subkeys.
constexpr wchar_t AdministratorsOnly[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
} // namespace

DWORD RestrictKeyToAdministrators(HKEY key)
{
    CLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            AdministratorsOnly, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr))
        return GetLastError();

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted))
        return GetLastError();
    // SetSecurityInfo, unlike RegSetKeySecurity, carries the inherited
    // entries down to subkeys that exist already.
    return SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, dacl, nullptr);
}
