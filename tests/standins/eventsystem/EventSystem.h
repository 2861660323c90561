#pragma once

#include "eventsystem/ComObject.h"

#include <windows.h>

#include <eventsys.h>

// CLSID_CEventSystem: stores subscriptions in the process (not across
// processes, as the real one does) for the SENS events that tests fire.
// Event classes, publishers and queries are not kept.
class CEventSystem : public CComObject<IEventSystem>
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE Query(BSTR, BSTR, int*, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Store(BSTR progId, IUnknown* object) override;
    HRESULT STDMETHODCALLTYPE Remove(BSTR progId, BSTR queryCriteria, int* errorIndex) override;
    HRESULT STDMETHODCALLTYPE get_EventObjectChangeEventClassID(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryS(BSTR, BSTR, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveS(BSTR progId, BSTR queryCriteria) override;
};
