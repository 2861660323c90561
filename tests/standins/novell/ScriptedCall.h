#pragma once

#include "identifiers/NovellApi.h"
#include "novell/NovellScript.h"
#include "shared/CallCounter.h"

#include <new>

// The client's answer to a call it cannot take: a bad argument or state.
constexpr NWRESULT CallFailed = -1;

// Every exported function counts its call and returns a scripted error
// instead of doing its work; no C++ exception may leave it.
template <typename Work> NWRESULT ScriptedCall(const wchar_t* function, Work work)
{
    CountCall(function);
    try
    {
        if (std::optional<NWRESULT> error = ScriptedError(function))
            return *error;
        return work();
    }
    catch (const std::bad_alloc&)
    {
        return CallFailed;
    }
}

// A function the client exports and the agent never calls: it only counts
// the call and fails. Its arguments are the caller's to clean up (x64).
#define NOVELL_UNUSED_CALL(name)                                                                                       \
    extern "C" NWRESULT WINAPI name()                                                                                  \
    {                                                                                                                  \
        return ScriptedCall(L## #name, [] { return CallFailed; });                                                     \
    }
