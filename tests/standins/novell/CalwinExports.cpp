// calwin32.dll: the client's start-up. NWCallsInit fails as often as the
// script asks, so a test sees the agent retry.
#include "novell/ScriptedCall.h"

extern "C" NWRESULT WINAPI NWCallsInit(void*, void*)
{
    return ScriptedCall(L"NWCallsInit", [] { return TakeCallsInitFailure() ? CallFailed : 0; });
}

NOVELL_UNUSED_CALL(NWGetObjectNamesBeginA)
NOVELL_UNUSED_CALL(NWGetObjectNamesNextA)
NOVELL_UNUSED_CALL(NWGetObjectNamesEndA)
NOVELL_UNUSED_CALL(NWGetObjectNamesBeginW)
NOVELL_UNUSED_CALL(NWGetObjectNamesNextW)
NOVELL_UNUSED_CALL(NWGetObjectNamesEndW)
