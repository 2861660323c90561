// The exported functions of the activeds.dll stand-in: ADsGetObject binds to
// the scripted directory, and the class object serves NameTranslate. Wine's
// own activeds answers for its other classes and for what its LDAP provider
// imports, so that loading the stand-in breaks nothing of Wine's.
#include "activeds/ClassFactory.h"
#include "activeds/DirectoryObject.h"
#include "activeds/ModuleLock.h"
#include "shared/BuiltinModule.h"
#include "shared/CallCounter.h"

#include <windows.h>

// iads.h, then adshlp.h, which needs its declarations.
#include <activeds.h>
#include <new>

namespace
{
const char* const ForwardedFunctions[] = {"DllGetClassObject", "ADsBuildVarArrayStr", "AllocADsStr"};
CBuiltinModule BuiltinActiveDs(L"activeds.dll", ForwardedFunctions);

HRESULT LoaderError()
{
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}
} // namespace

extern "C"
{
    HRESULT WINAPI ADsGetObject(LPCWSTR path, REFIID iid, void** object)
    {
        CountCall(L"ADsGetObject");
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!path)
            return E_INVALIDARG;
        if (!*path)
            return E_ADS_BAD_PATHNAME;
        try
        {
            return CDirectoryObject::Bind(path, iid, object);
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
    {
        if (IsEqualCLSID(clsid, CLSID_NameTranslate))
            return GetNameTranslateFactory(iid, object);
        auto builtin = BuiltinActiveDs.Get<decltype(&::DllGetClassObject)>("DllGetClassObject");
        return builtin ? builtin(clsid, iid, object) : LoaderError();
    }

    // Wine's activeds, once loaded, stays loaded; only the stand-in's own objects
    // keep it in memory.
    HRESULT WINAPI DllCanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

    HRESULT WINAPI ADsBuildVarArrayStr(LPWSTR* names, DWORD count, VARIANT* value)
    {
        auto builtin = BuiltinActiveDs.Get<decltype(&::ADsBuildVarArrayStr)>("ADsBuildVarArrayStr");
        return builtin ? builtin(names, count, value) : LoaderError();
    }

    LPWSTR WINAPI AllocADsStr(LPCWSTR text)
    {
        auto builtin = BuiltinActiveDs.Get<decltype(&::AllocADsStr)>("AllocADsStr");
        return builtin ? builtin(text) : nullptr;
    }
}
