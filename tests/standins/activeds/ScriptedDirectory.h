#pragma once

#include <windows.h>

#include <oaidl.h>
#include <optional>
#include <string>

// The directory a test scripted under HKLM\SOFTWARE\Kestrin Test\ADSI, read
// at every call.

// What Set of a NameTranslate object finds for a name: its distinguished
// name, or the error the script fails it with.
struct TRANSLATED_NAME
{
    HRESULT Result = S_OK;
    std::wstring DistinguishedName;
};

// HRESULT_FROM_WIN32(ERROR_DS_NAME_ERROR_NOT_FOUND), as DsCrackNames reports
// a name it cannot resolve.
extern const HRESULT NameNotFound;
// HRESULT_FROM_WIN32(ERROR_DS_NO_SUCH_OBJECT), the LDAP provider's answer for
// a path naming no object.
extern const HRESULT NoSuchObject;

// NameTranslate's Init and IADs::Get fail with these; none when zero.
std::optional<HRESULT> ScriptedInitError();
std::optional<HRESULT> ScriptedGetError();

// The name as the caller passed it, under Names.
TRANSLATED_NAME LookUpScriptedName(const std::wstring& name);

// The object's "memberOf" as IADs::Get returns it (VT_EMPTY when the object
// has none), or the error the bind fails with. The path as passed, under
// Objects.
HRESULT ReadScriptedObject(const std::wstring& path, VARIANT* memberOf);
