#pragma once

#include "activeds/DispatchObject.h"

#include <windows.h>

#include <iads.h>
#include <optional>
#include <string>

// The NameTranslate class: translates the names a test scripted under
// ADSI\Names into their distinguished names.
class CNameTranslate : public CDispatchObject<IADsNameTranslate>
{
public:
    CNameTranslate() : CDispatchObject(IID_IADsNameTranslate) {}

    HRESULT STDMETHODCALLTYPE put_ChaseReferral(long chaseReferral) override;
    HRESULT STDMETHODCALLTYPE Init(long initType, BSTR path) override;
    HRESULT STDMETHODCALLTYPE InitEx(long initType, BSTR path, BSTR user, BSTR domain, BSTR password) override;
    HRESULT STDMETHODCALLTYPE Set(long nameType, BSTR name) override;
    HRESULT STDMETHODCALLTYPE Get(long formatType, BSTR* name) override;
    HRESULT STDMETHODCALLTYPE SetEx(long, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEx(long, VARIANT*) override { return E_NOTIMPL; }

private:
    HRESULT Bind(long initType, BSTR path);

    // Clients may share the object between threads (ThreadingModel Both).
    SRWLOCK m_Lock = SRWLOCK_INIT;
    bool m_Bound = false;
    std::optional<std::wstring> m_DistinguishedName; // of the object Set found
};
