#include "activeds/DirectoryObject.h"

#include "activeds/ScriptedDirectory.h"
#include "shared/CallCounter.h"

#include <adserr.h>

HRESULT CDirectoryObject::Bind(const wchar_t* path, REFIID iid, void** object)
{
    CComRef<CDirectoryObject> bound(new CDirectoryObject(path));
    HRESULT result = ReadScriptedObject(path, bound->m_MemberOf.Put());
    if (FAILED(result))
        return result;
    return bound->QueryInterface(iid, object);
}

HRESULT CDirectoryObject::get_ADsPath(BSTR* path)
{
    if (!path)
        return E_POINTER;
    *path = SysAllocStringLen(m_Path.c_str(), static_cast<UINT>(m_Path.size()));
    return *path ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDirectoryObject::Get(BSTR name, VARIANT* value)
{
    CountCall(L"IADs.Get");
    if (!value)
        return E_POINTER;
    VariantInit(value);
    if (std::optional<HRESULT> error = ScriptedGetError())
        return *error;
    // Attribute names are case-insensitive, as in the directory.
    if (!name || CompareStringOrdinal(name, -1, L"memberOf", -1, TRUE) != CSTR_EQUAL || m_MemberOf.Get().vt == VT_EMPTY)
        return E_ADS_PROPERTY_NOT_FOUND;
    return VariantCopy(value, m_MemberOf.Address());
}
