#pragma once

#include "eventsystem/SensEvents.h"

#include <windows.h>

// Calls the event's method on the subscriber of every enabled subscription of
// a SENS logon event class (SENSGUID_EVENTCLASS_LOGON or _LOGON2) whose
// MethodName is empty or the event's. The subscriber is called directly, on
// the calling thread, with a reference held for the call. Returns the first
// failure (of QueryInterface, or else of the method), else the first
// subscriber's result, or EVENT_S_NOSUBSCRIBERS when nobody receives it.
HRESULT DeliverSensEvent(const SENS_EVENT& event, DWORD sessionId);
