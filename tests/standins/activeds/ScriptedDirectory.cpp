#include "activeds/ScriptedDirectory.h"

#include "activeds/OleHolders.h"
#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <vector>

const HRESULT NameNotFound = HRESULT_FROM_WIN32(ERROR_DS_NAME_ERROR_NOT_FOUND);
const HRESULT NoSuchObject = HRESULT_FROM_WIN32(ERROR_DS_NO_SUCH_OBJECT);

namespace
{
std::optional<HRESULT> ReadError(const wchar_t* name)
{
    std::optional<DWORD> error = CScriptKey(ScriptNames::AdsiKey).ReadDword(name);
    if (!error || *error == 0)
        return std::nullopt;
    return static_cast<HRESULT>(*error);
}

// A zero error reads as no entry at all: the script has no way to say
// "succeed without a value".
HRESULT ReadErrorEntry(const CScriptKey& key, const wchar_t* name, HRESULT unlisted)
{
    DWORD error = key.ReadDword(name).value_or(0);
    return error ? static_cast<HRESULT>(error) : unlisted;
}

HRESULT MakeString(const std::wstring& text, VARIANT* value)
{
    BSTR copy = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    if (!copy)
        return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return S_OK;
}

// "#<decimal>" scripts an element that is not a string, such as a directory
// could return for a damaged attribute.
HRESULT MakeElement(const std::wstring& item, VARIANT* value)
{
    std::optional<DWORD> number = item.size() > 1 && item[0] == L'#' ? ParseDecimal(item.substr(1)) : std::nullopt;
    if (!number)
        return MakeString(item, value);
    value->vt = VT_I4;
    value->lVal = static_cast<LONG>(*number);
    return S_OK;
}

HRESULT MakeArray(const std::vector<std::wstring>& items, VARIANT* value)
{
    CSafeArray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size())));
    if (!array)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < items.size(); ++i)
    {
        CVariant element;
        HRESULT result = MakeElement(items[i], element.Put());
        LONG index = static_cast<LONG>(i);
        if (SUCCEEDED(result))
            result = SafeArrayPutElement(array.Get(), &index, element.Address());
        if (FAILED(result))
            return result;
    }
    value->vt = VT_ARRAY | VT_VARIANT;
    value->parray = array.Take();
    return S_OK;
}
} // namespace

std::optional<HRESULT> ScriptedInitError() { return ReadError(ScriptNames::InitError); }

std::optional<HRESULT> ScriptedGetError() { return ReadError(ScriptNames::GetError); }

TRANSLATED_NAME LookUpScriptedName(const std::wstring& name)
{
    // An empty value name would read the key's default value.
    if (name.empty())
        return {NameNotFound, {}};
    CScriptKey names(ScriptNames::AdsiNamesKey);
    switch (names.ReadValue(name.c_str()).Type)
    {
    case REG_SZ:
        return {S_OK, names.ReadString(name.c_str())};
    case REG_DWORD:
        return {ReadErrorEntry(names, name.c_str(), NameNotFound), {}};
    default:
        return {NameNotFound, {}};
    }
}

HRESULT ReadScriptedObject(const std::wstring& path, VARIANT* memberOf)
{
    VariantInit(memberOf);
    CScriptKey objects(ScriptNames::AdsiObjectsKey);
    switch (objects.ReadValue(path.c_str()).Type)
    {
    case REG_SZ:
    {
        std::wstring group = objects.ReadString(path.c_str());
        return group.empty() ? S_OK : MakeString(group, memberOf);
    }
    case REG_MULTI_SZ:
        return MakeArray(objects.ReadMultiString(path.c_str()), memberOf);
    case REG_DWORD:
        return ReadErrorEntry(objects, path.c_str(), NoSuchObject);
    default:
        return NoSuchObject;
    }
}
