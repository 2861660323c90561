#pragma once

#include "activeds/DispatchObject.h"
#include "activeds/OleHolders.h"

#include <windows.h>

#include <iads.h>
#include <string>

// A directory object bound through ADsGetObject, whose one property is the
// "memberOf" a test scripted under ADSI\Objects. The property is read at the
// bind, as ADSI's property cache holds it; the object never changes after.
class CDirectoryObject : public CDispatchObject<IADs>
{
public:
    // ADsGetObject for the scripted directory.
    static HRESULT Bind(const wchar_t* path, REFIID iid, void** object);

    HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Class(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_GUID(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ADsPath(BSTR* path) override;
    HRESULT STDMETHODCALLTYPE get_Parent(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Schema(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInfo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetInfo() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Get(BSTR name, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE Put(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEx(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutEx(long, BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInfoEx(VARIANT, long) override { return E_NOTIMPL; }

private:
    explicit CDirectoryObject(const wchar_t* path) : CDispatchObject(IID_IADs), m_Path(path) {}

    const std::wstring m_Path;
    CVariant m_MemberOf; // VT_EMPTY when the object has none
};
