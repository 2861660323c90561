#include "activeds/NameTranslate.h"

#include "activeds/ScriptedDirectory.h"
#include "shared/CallCounter.h"
#include "shared/Holders.h"

#include <adserr.h>
#include <new>

namespace
{
// Set and Get before the object is bound, or Get before a name is set: the
// object has nothing to work on yet.
const HRESULT NotReady = HRESULT_FROM_WIN32(ERROR_NOT_READY);

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

bool IsNameType(long type) { return type >= ADS_NAME_TYPE_1779 && type <= ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME; }

// A name that cannot be of the type it is given as is not found, as
// DsCrackNames answers it; only the forms the script can tell apart are
// checked.
bool FitsType(long type, const std::wstring& name)
{
    if (type == ADS_NAME_TYPE_NT4)
        return name.find(L'\\') != std::wstring::npos;
    if (type == ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME)
        return name.compare(0, 2, L"S-") == 0;
    return true;
}
} // namespace

HRESULT CNameTranslate::put_ChaseReferral(long) { return S_OK; }

HRESULT CNameTranslate::Init(long initType, BSTR path)
{
    CountCall(L"NameTranslate.Init");
    return Bind(initType, path);
}

// The credentials are not checked: the scripted directory has no accounts.
HRESULT CNameTranslate::InitEx(long initType, BSTR path, BSTR, BSTR, BSTR)
{
    CountCall(L"NameTranslate.Init");
    return Bind(initType, path);
}

HRESULT CNameTranslate::Bind(long initType, BSTR path)
{
    CExclusiveLock lock(m_Lock);
    m_Bound = false;
    m_DistinguishedName.reset();
    if (std::optional<HRESULT> error = ScriptedInitError())
        return *error;
    // The global catalog is found without a name; a domain or server needs one.
    bool named = SysStringLen(path) != 0;
    if (initType != ADS_NAME_INITTYPE_GC &&
        !((initType == ADS_NAME_INITTYPE_DOMAIN || initType == ADS_NAME_INITTYPE_SERVER) && named))
        return E_ADS_BAD_PARAMETER;
    m_Bound = true;
    return S_OK;
}

HRESULT CNameTranslate::Set(long nameType, BSTR name)
{
    CountCall(L"NameTranslate.Set");
    try
    {
        CExclusiveLock lock(m_Lock);
        m_DistinguishedName.reset();
        if (!m_Bound)
            return NotReady;
        if (!IsNameType(nameType))
            return E_ADS_BAD_PARAMETER;
        std::wstring text = Text(name);
        if (!FitsType(nameType, text))
            return NameNotFound;
        TRANSLATED_NAME found = LookUpScriptedName(text);
        if (SUCCEEDED(found.Result))
            m_DistinguishedName = std::move(found.DistinguishedName);
        return found.Result;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CNameTranslate::Get(long formatType, BSTR* name)
{
    CountCall(L"NameTranslate.Get");
    if (!name)
        return E_POINTER;
    *name = nullptr;
    CExclusiveLock lock(m_Lock);
    if (!m_DistinguishedName)
        return NotReady;
    // The script knows each object by its distinguished name only.
    if (formatType != ADS_NAME_TYPE_1779)
        return IsNameType(formatType) && formatType != ADS_NAME_TYPE_UNKNOWN ? E_NOTIMPL : E_ADS_BAD_PARAMETER;
    *name = SysAllocStringLen(m_DistinguishedName->c_str(), static_cast<UINT>(m_DistinguishedName->size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}
