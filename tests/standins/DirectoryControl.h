#pragma once

#include "standins/CallCountControl.h"

#include <windows.h>

#include <string>
#include <vector>

// Scripts the activeds.dll stand-in (NameTranslate and ADsGetObject) from a
// test running under Wine; CallCountControl.h reads the call counts.
// Each function throws std::runtime_error when the registry refuses a write.

// Points the class at an in-process server for every program in the prefix
// (ThreadingModel Both). Only for classes the prefix itself lacks: the
// unregistration deletes the class's whole key.
void RegisterStandinClass(const CLSID& clsid, const std::wstring& dllPath);
void UnregisterStandinClass(const CLSID& clsid);

// IADsNameTranslate::Set of the name (exactly as the caller passes it, in
// any case) finds the object with this distinguished name...
void ScriptTranslatedName(const std::wstring& name, const std::wstring& distinguishedName);
// ...or fails with this error.
void ScriptTranslateError(const std::wstring& name, HRESULT error);
// IADsNameTranslate::Init (and InitEx) fail with this error; S_OK ends that.
void ScriptInitError(HRESULT error);

// ADsGetObject of the path binds an object without "memberOf"...
void ScriptDirectoryObject(const std::wstring& path);
// ...whose "memberOf" is this one string (VT_BSTR)...
void ScriptDirectoryObject(const std::wstring& path, const std::wstring& memberOf);
// ...or an array of VARIANT: strings, but "#<decimal>" gives a VT_I4 element.
void ScriptDirectoryObjectList(const std::wstring& path, const std::vector<std::wstring>& memberOf);
// ...or fails with this error.
void ScriptDirectoryObjectError(const std::wstring& path, HRESULT error);
// IADs::Get fails with this error; S_OK ends that.
void ScriptGetError(HRESULT error);

// Deletes the whole directory script: no name is found, no object bound.
void ClearDirectoryScript();

// Clears the directory script and the call counts when constructed and again
// when the scope ends.
class CDirectoryScript
{
public:
    CDirectoryScript()
    {
        ClearDirectoryScript();
        ClearCallCounts();
    }
    ~CDirectoryScript()
    {
        ClearDirectoryScript();
        ClearCallCounts();
    }
    CDirectoryScript(const CDirectoryScript&) = delete;
    CDirectoryScript& operator=(const CDirectoryScript&) = delete;
};
