#include "platform/HttpSession.h"

#include "common/CriticalSection.h"
#include "common/UniqueResource.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"

namespace
{
void CloseInternetHandle(HINTERNET handle) { WinHttpCloseHandle(handle); }
using CHttpSessionHandle = CUniqueResource<HINTERNET, CloseInternetHandle>;

// Read by the identification threads while the update thread opens or closes
// it, so every use is under the lock.
CCriticalSection SessionLock;
CHttpSessionHandle Session;
CModule ErrorSource;
} // namespace

bool InitializeHttp()
{
    CLock lock(SessionLock);
    Session.Reset(WinHttpOpen(L"Varnel UserAgent Update", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
    if (!Session)
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"Unable to initialize HTTP subsystem,\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
        return false;
    }
    // Without the bounds a silent server would hold the update thread and the
    // identification for minutes; a session that keeps the defaults is still
    // of use, so the failure is only logged.
    if (!WinHttpSetTimeouts(Session.Get(), HttpResolveTimeoutMs, HttpConnectTimeoutMs, HttpSendTimeoutMs,
                            HttpReceiveTimeoutMs))
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"[!] Unable to set the HTTP time-outs,\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
    }
    ErrorSource.Reset(LoadLibraryExW(L"WINHTTP.DLL", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!ErrorSource)
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"Unable to load the HTTP error source file %s. %s. Error code = %lu.", L"WINHTTP.DLL",
                  CErrorText(error).Text(), (unsigned long)error);
    }
    return true;
}

void CloseHttp()
{
    CLock lock(SessionLock);
    ErrorSource.Reset();
    Session.Reset();
}

HINTERNET ConnectHttp(const wchar_t* server)
{
    CLock lock(SessionLock);
    if (!Session)
    {
        SetLastError(ERROR_WINHTTP_NOT_INITIALIZED);
        return nullptr;
    }
    return WinHttpConnect(Session.Get(), server, INTERNET_DEFAULT_PORT, 0);
}

const wchar_t* HttpErrorText(DWORD error, CErrorText& text)
{
    CLock lock(SessionLock);
    text.FromSystemError(error, ErrorSource.Get());
    return text.Text();
}
