#pragma once

#include <windows.h>

#include <atomic>
#include <unknwn.h>

// The class object of one of the stand-in's classes. Creating the first
// object of either class starts the thread that fires events.
class CClassFactory : public IClassFactory
{
public:
    // Makes a new object with one reference, or null when memory is short.
    using CCreate = IUnknown* (*)();

    explicit CClassFactory(CCreate create) : m_Create(create) {}
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; } // the DLL never unloads

private:
    virtual ~CClassFactory() = default;

    CCreate m_Create;
    std::atomic<ULONG> m_References{1};
};
