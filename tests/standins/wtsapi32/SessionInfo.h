#pragma once

#include "wtsapi32/ScriptedSessions.h"

#include <windows.h>

#include <vector>
#include <wtsapi32.h>

// The data WTSQuerySessionInformationW returns for one information class, in
// the form and size Windows documents for it. ERROR_SUCCESS, or the error the
// call fails with.
DWORD EncodeSessionInfo(const SCRIPTED_SESSION& session, WTS_INFO_CLASS infoClass, std::vector<BYTE>& data);
