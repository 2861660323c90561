#pragma once

#include "shared/BuiltinModule.h"

#include <windows.h>

#include <lm.h>

// Wine's own netapi32.dll, which answers whatever the stand-in does not script.
CBuiltinModule& BuiltinNetApi();

// Calls Wine's function; its absence is the loader's error, as a failed import would be.
template <typename Function, typename... Args> NET_API_STATUS CallBuiltin(const char* name, Args... args)
{
    auto function = BuiltinNetApi().Get<Function>(name);
    return function ? function(args...) : GetLastError();
}
