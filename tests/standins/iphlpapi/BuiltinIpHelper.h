#pragma once

#include "shared/BuiltinModule.h"

#include <windows.h>

// Wine's own iphlpapi.dll, which answers whatever the stand-in does not script.
CBuiltinModule& BuiltinIpHelper();

// Calls Wine's function; its absence is the loader's error, as a failed import would be.
template <typename Function, typename... Args> DWORD CallBuiltin(const char* name, Args... args)
{
    auto function = BuiltinIpHelper().Get<Function>(name);
    return function ? function(args...) : GetLastError();
}
