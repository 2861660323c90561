#pragma once

#include <windows.h>

#include <winhttp.h>

// Every request on the session waits seconds for each step, not WinHTTP's
// default minutes (an unanswered resolve would otherwise wait for ever).
constexpr int HttpResolveTimeoutMs = 5000;
constexpr int HttpConnectTimeoutMs = 5000;
constexpr int HttpSendTimeoutMs = 5000;
constexpr int HttpReceiveTimeoutMs = 5000;

// The process's one WinHTTP session, opened by the update thread when it
// starts and closed when it ends; connections made while it is closed fail.
bool InitializeHttp();
void CloseHttp();

// A connection to the server on the session (port 80), or null with the last
// error set; the session is held while connecting, so it is never closed
// under a connect.
HINTERNET ConnectHttp(const wchar_t* server);

// The text of a Windows or WinHTTP error code, for "%s. Error code = %ld.".
const wchar_t* HttpErrorText(DWORD error, class CErrorText& text);
